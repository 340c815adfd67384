// Registration of one receipt position: its values, tax, calculation signs and optional data
// staged on the register, then one registration call.
#include <algorithm>
#include <cstdio>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>

#include "device/device.h"
#include "documents/attribute_values.h"
#include "documents/tag_stager.h"
#include "platform/platform.h"
#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "support/text.h"

namespace vantorel {

namespace {

using automation::Bytes;
using automation::Currency;
using automation::Value;

// Tax code (1 to 10) -> DTO10 tax type. The old 18 % rates arrive as the 20 % codes.
const char* TaxTypeName(std::int32_t tax) {
  static const char* const kNames[] = {
      "LIBFPTR_TAX_VAT20",  "LIBFPTR_TAX_VAT10", "LIBFPTR_TAX_VAT120", "LIBFPTR_TAX_VAT110",
      "LIBFPTR_TAX_VAT0",   "LIBFPTR_TAX_NO",    "LIBFPTR_TAX_VAT5",   "LIBFPTR_TAX_VAT7",
      "LIBFPTR_TAX_VAT105", "LIBFPTR_TAX_VAT107"};
  return tax >= 1 && tax <= 10 ? kNames[tax - 1] : nullptr;
}

// Marking codes travel as bytes in the system's ANSI code page; the driver's texts are UTF-8.
std::string AnsiText(const Bytes& bytes) {
  return encoding::Cp1251ToUtf8(std::string(bytes.begin(), bytes.end()));
}
Bytes AnsiBytes(const std::string& text) {
  const std::string ansi = encoding::Utf8ToCp1251(text);
  return Bytes(ansi.begin(), ansi.end());
}

bool NonBlank(const std::string& s) { return !text::Trim(s).empty(); }

}  // namespace

void TDevice::RegisterItem(const TItem& item) {
  // Tags StageAgentData held back for this position; staged once its own compositions are made.
  TTagStager stager(*this, std::move(FItemAgentTags));
  FItemAgentTags.clear();

  // Refused before anything reaches the register: a wrong sign or tax code would otherwise be
  // sent as an empty or wrong fiscal value.
  const char* taxName = TaxTypeName(item.Tax);
  if (!taxName) throw EquException(errors::kTaxOutOfRange, errors::kTaxOutOfRangeText);
  const char* agentName = nullptr;
  if (item.SignSubjectCalculationAgent != -1) {
    agentName = attributes::AgentTypeName(item.SignSubjectCalculationAgent);
    if (!agentName)
      throw EquException(errors::kAgentSignOutOfRange, errors::kAgentSignOutOfRangeText);
  }

  const bool ffd12 = FFDVersion == TFFDVersion::ffd12;
  // Checked before the sale by GTIN, which the register would otherwise accept for nothing.
  std::optional<datetime::DateTime> industryDate;
  if (ffd12 && !item.IndustryDocumentDate.empty()) {
    industryDate = attributes::ParseDayMonthYear(item.IndustryDocumentDate);
    if (!industryDate) throw errors::InputError("Некорректная дата документа основания");
  }
  std::string km;  // the marking code as text
  TKMResult kmResult;
  std::optional<Bytes> industryValue;  // composed tag 1260

  if (ffd12) {
    const std::string itf14 =
        item.GoodCodeDataNode ? item.GoodCodeDataNode->attribute("ITF14").as_string() : "";
    if (!itf14.empty() && text::EqualsIgnoreCase(item.IndustryAttributeValue, "mode=horeca")) {
      // Sale by GTIN: the code is checked on the register alone and accepted at once.
      const auto bytes = encoding::Base64Decode(itf14);
      if (!bytes) throw errors::InputError("Некорректный код маркировки");
      km = encoding::Cp1251ToUtf8(std::string(bytes->begin(), bytes->end()));
      TKMInput input;
      input.GUID = "{" + platform::NewGuid() + "}";
      input.KM = km;
      input.MarkingCodeType = 0;
      input.PlannedStatus = 2;
      input.Quantity = item.Quantity;
      input.MeasureOfQuantity = item.MeasureOfQuantity;
      input.Numerator = item.Numerator;
      input.Denominator = item.Denominator;
      CheckMark(input, kmResult, true);
      Call("acceptMarkingCode");
    } else if (item.MarkingCode) {
      km = AnsiText(*item.MarkingCode);
      kmResult = FindKMResult(km).value_or(TKMResult{});
    }

    // Industry attribute of the position (tag 1260).
    const std::size_t mark = stager.Mark();
    if (industryDate) stager.Tag(1263, Value(attributes::FormatDayMonthYear(*industryDate)));
    if (!item.IndustryIdentifierFOIV.empty()) stager.Tag(1262, Value(item.IndustryIdentifierFOIV));
    if (!item.IndustryDocumentNumber.empty()) stager.Tag(1264, Value(item.IndustryDocumentNumber));
    if (!item.IndustryAttributeValue.empty()) stager.Tag(1265, Value(item.IndustryAttributeValue));
    industryValue = stager.Compose(mark);
  }
  // The position's agent and supplier data, kept out of the check and the composition above.
  stager.Flush();

  const Value taxType = Const(taxName);
  const Value agentType = agentName ? Const(agentName) : Value();

  if (item.Department > 0)
    SetParam("LIBFPTR_PARAM_DEPARTMENT", Value(std::int32_t{item.Department}));
  SetParam("LIBFPTR_PARAM_POSITION_SUM", Currency{item.SumWithDiscount});
  SetParam("LIBFPTR_PARAM_COMMODITY_NAME", Value(item.Name));
  SetParam("LIBFPTR_PARAM_PRICE", Currency{item.PriceWithDiscount});
  SetParam("LIBFPTR_PARAM_QUANTITY", Value(item.Quantity));
  SetParam("LIBFPTR_PARAM_TAX_TYPE", taxType);
  SetParam("LIBFPTR_PARAM_TAX_SUM", Currency{item.TaxSum});
  SetParam("LIBFPTR_PARAM_INFO_DISCOUNT_SUM", Currency{item.DiscountSum});
  SetParam("LIBFPTR_PARAM_USE_ONLY_TAX_TYPE", Value(false));
  SetTag(1212, Value(std::int32_t{item.SignCalculationObject}));
  SetTag(1214, Value(std::int32_t{item.SignMethodCalculation}));

  if (ffd12) {
    SetTag(2108, Value(item.MeasureOfQuantity));
    if (!item.MarkingCode) {
      if (!item.GoodCodeData.empty())
        SetParam("LIBFPTR_PARAM_PRODUCT_CODE", Value(item.GoodCodeData));
    } else {
      if (item.Numerator < item.Denominator && item.Numerator != 0 && item.MeasureOfQuantity == 0 &&
          item.Quantity == 1) {
        char fraction[32];
        std::snprintf(fraction, sizeof fraction, "%d/%d", item.Numerator, item.Denominator);
        SetParam("LIBFPTR_PARAM_MARKING_FRACTIONAL_QUANTITY", Value(std::string(fraction)));
      }
      SetParam("LIBFPTR_PARAM_MARKING_CODE", Value(km));
      SetParam("LIBFPTR_PARAM_MARKING_CODE_STATUS", Value(kmResult.PlannedStatus));
      SetParam("LIBFPTR_PARAM_MARKING_CODE_ONLINE_VALIDATION_RESULT",
               Value(kmResult.MarkingValidationResult));
      SetParam("LIBFPTR_PARAM_MARKING_PROCESSING_MODE", Value(std::int32_t{0}));
    }
  } else {
    if (!item.GoodCodeData.empty())
      SetTag(1162, Value(AnsiBytes(item.GoodCodeData)));
    else if (item.MarkingCode)
      SetTag(1162, Value(GetTag1162(AnsiText(*item.MarkingCode))));
    if (NonBlank(item.MeasurementUnit)) SetTag(1197, Value(item.MeasurementUnit));
  }

  if (NonBlank(item.AdditionalAttribute)) SetTag(1191, Value(item.AdditionalAttribute));
  if (item.ExciseAmount != 0) SetTag(1229, Currency{item.ExciseAmount});
  if (NonBlank(item.CountryOfOrigin)) SetTag(1230, Value(item.CountryOfOrigin));
  if (NonBlank(item.CustomsDeclaration)) SetTag(1231, Value(item.CustomsDeclaration));
  if (agentName) SetTag(1222, agentType);
  if (industryValue) SetTag(1260, Value(*industryValue));
  Call("registration");
}

automation::Bytes TDevice::GetTag1162(const std::string& markingCode) {
  auto fail = [&]() -> std::runtime_error {
    return std::runtime_error("Некорректный код маркировки " + markingCode);
  };
  // One byte per character, as the code page the code came in.
  const std::string m = encoding::Utf8ToCp1251(markingCode);
  const std::size_t p = m.find("01");
  if (p == std::string::npos || p > 1) throw fail();
  std::string s = m.substr(p + 2);
  const std::string gtinText = text::Trim(s.substr(0, 14));
  s.erase(0, std::min<std::size_t>(14, s.size()));
  // The serial number's identifier must follow the GTIN: taking two characters off anything else
  // would make a wrong serial number.
  if (s.compare(0, 2, "21") != 0) throw fail();
  s.erase(0, 2);
  std::size_t q = s.find('\x1d');
  if (q == std::string::npos) q = s.find("92");
  if (q == std::string::npos) throw fail();
  const std::string serial = text::Trim(s.substr(0, q));

  // A GTIN is a count of at most 14 digits; it always fits the six bytes.
  bool digits = !gtinText.empty();
  for (char c : gtinText) digits = digits && c >= '0' && c <= '9';
  if (!digits)
    throw std::runtime_error("'" + encoding::Cp1251ToUtf8(gtinText) +
                             "' is not a valid integer value");
  const std::uint64_t gtin = std::stoull(gtinText);

  Bytes out{'D', 'M'};
  for (int shift = 40; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(gtin >> shift));
  out.insert(out.end(), serial.begin(), serial.end());
  return out;
}

void TDevice::SetAgentPhones(std::int32_t tag, const std::string& phones) {
  TTagStager stager(*this);
  stager.Phones(tag, phones);
  stager.Flush();
}

}  // namespace vantorel
