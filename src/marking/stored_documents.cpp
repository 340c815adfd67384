// Documents read back from the fiscal storage as check packages, and copies of stored documents.
#include <pugixml.hpp>

#include "addin/v8napi.h"
#include "device/device.h"
#include "support/datetime.h"
#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "support/xml.h"

namespace vantorel {

namespace {

using TRecordFN = TDevice::TRecordFN;
using TTagType = TDevice::TTagType;
using TTagSection = TDevice::TTagSection;

// The storage's documents nest complex tags a level or two deep; anything deeper, or a library
// that never says "no more records", is not followed further.
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxRecords = 100000;

struct Reader {
  TDevice& dev;
  std::vector<TRecordFN>& list;
  std::int64_t ok;

  // One level of records of selection `id`, the children of `parent` (-1: the document itself).
  void ReadRecords(const std::string& id, std::int32_t parent, TTagSection section, int depth) {
    while (list.size() < kMaxRecords) {
      dev.SetParam("LIBFPTR_PARAM_RECORDS_ID", id);
      if (dev.CallUnchecked("readNextRecord") != ok) return;  // the level is finished

      TRecordFN r;
      switch (dev.GetParamInt("LIBFPTR_PARAM_TAG_TYPE")) {
        case 0:
          r.TagType = TTagType::tpSTLV;
          r.TagValue = dev.GetParamByteArray("LIBFPTR_PARAM_TAG_VALUE");
          break;
        case 1:
          r.TagType = TTagType::tpString;
          r.TagValue = dev.GetParamString("LIBFPTR_PARAM_TAG_VALUE");
          break;
        case 2:
          r.TagType = TTagType::tpByteArray;
          r.TagValue = dev.GetParamByteArray("LIBFPTR_PARAM_TAG_VALUE");
          break;
        case 3:
        case 6:
          r.TagType = TTagType::tpDouble;
          r.TagValue = dev.GetParamDouble("LIBFPTR_PARAM_TAG_VALUE");
          break;
        case 4:
          r.TagType = TTagType::tpByteArray;  // a bit set, read as its number
          r.TagValue = dev.GetParamInt("LIBFPTR_PARAM_TAG_VALUE");
          break;
        case 5:
        case 7:
        case 8:
          r.TagType = TTagType::tpInt;
          r.TagValue = dev.GetParamInt("LIBFPTR_PARAM_TAG_VALUE");
          break;
        case 9:
          r.TagType = TTagType::tpDateTime;
          r.TagValue = dev.GetParamDateTime("LIBFPTR_PARAM_TAG_VALUE");
          break;
        case 10:
          r.TagType = TTagType::tpBool;
          r.TagValue = dev.GetParamBool("LIBFPTR_PARAM_TAG_VALUE");
          break;
        default:
          // A type we do not know: the record keeps its number and name, with no value.
          r.TagType = TTagType::tpByteArray;
          break;
      }
      r.TagNumber = static_cast<std::int32_t>(dev.GetParamInt("LIBFPTR_PARAM_TAG_NUMBER"));
      r.TagName = dev.GetParamString("LIBFPTR_PARAM_TAG_NAME");
      const bool complex = dev.GetParamBool("LIBFPTR_PARAM_TAG_IS_COMPLEX");

      // Tags inside a position belong to it; tags inside any other complex tag belong where that
      // tag does.
      r.TagSection = parent == 1059 || parent == 1163 ? TTagSection::tsGoodPosition : section;
      if (!complex) {
        list.push_back(std::move(r));
        continue;
      }
      if (r.TagNumber == 1059) r.TagSection = TTagSection::tsMain;
      if (r.TagNumber == 1163) r.TagSection = TTagSection::tsGoodPosition;
      const automation::Bytes bytes = r.TagValue.is<automation::Bytes>()
                                          ? r.TagValue.get<automation::Bytes>()
                                          : automation::Bytes{};
      const std::int32_t number = r.TagNumber;
      const TTagSection childSection = r.TagSection;
      list.push_back(std::move(r));
      if (depth >= kMaxDepth) continue;

      dev.SetParam("LIBFPTR_PARAM_RECORDS_TYPE", dev.Const("LIBFPTR_RT_PARSE_COMPLEX_ATTR"));
      dev.SetParam("LIBFPTR_PARAM_TAG_VALUE", bytes);
      // A complex tag the library cannot take apart is kept whole: reading on with whatever
      // selection id it last reported could walk the parent's records again.
      if (dev.CallUnchecked("beginReadRecords") != ok) continue;
      const std::string nested = dev.GetParamString("LIBFPTR_PARAM_RECORDS_ID");
      ReadRecords(nested, number, childSection, depth + 1);
      dev.SetParam("LIBFPTR_PARAM_RECORDS_ID", nested);
      dev.CallUnchecked("endReadRecords");
    }
  }
};

// Sets an attribute, replacing the value of one already there.
void Put(pugi::xml_node node, const char* name, const std::string& value) {
  pugi::xml_attribute a = node.attribute(name);
  if (!a) a = node.append_attribute(name);
  a = xml::CleanXmlText(value).c_str();
}

// A value in its plain text form.
std::string PlainText(const automation::Value& v) {
  if (v.is<double>()) return FormatDouble(v.get<double>(), DecimalSeparator());
  if (v.is<bool>()) return v.get<bool>() ? "true" : "false";
  if (v.is<automation::Bytes>()) return {};
  return v.asText();
}

// The fiscal sign: bytes 3 to 6 of tag 1077, unsigned big-endian.
std::string FiscalSignText(const automation::Value& v) {
  if (!v.is<automation::Bytes>()) return v.asText();
  const auto& b = v.get<automation::Bytes>();
  const std::size_t from = b.size() >= 6 ? 2 : (b.size() > 4 ? b.size() - 4 : 0);
  const std::size_t to = b.size() >= 6 ? 6 : b.size();
  std::uint64_t n = 0;
  for (std::size_t i = from; i < to; ++i) n = n << 8 | b[i];
  return std::to_string(n);
}

std::string MarkingCodeText(const automation::Value& v) {
  automation::Bytes bytes;
  if (v.is<automation::Bytes>()) {
    bytes = v.get<automation::Bytes>();
  } else {
    const std::string ansi = encoding::Utf8ToCp1251(v.asText());
    bytes.assign(ansi.begin(), ansi.end());
  }
  return encoding::Base64Encode(bytes, true);
}

// The storage keeps the taxation system of tag 1055 as one bit; the package's code is its place
// (0 general ... 5 patent). Anything but a single known bit has no code.
std::string TaxationSystemText(const automation::Value& v) {
  if (v.is<automation::Bytes>()) return {};
  std::int64_t bits = 0;
  try {
    bits = v.asInt();
  } catch (const automation::AutomationError&) {
    return {};
  }
  for (int code = 0; code <= 5; ++code)
    if (bits == (std::int64_t{1} << code)) return std::to_string(code);
  return {};
}

// The package's rate text of a tag 1199 code; empty for a code it has no text for.
std::string VatRateText(const automation::Value& v) {
  static const char* const kRates[] = {"",     "20", "10", "20/120", "10/110", "0",
                                       "none", "5",  "7",  "5/105",  "7/107"};
  if (v.is<automation::Bytes>()) return {};
  std::int64_t code = 0;
  try {
    code = v.asInt();
  } catch (const automation::AutomationError&) {
    return {};
  }
  return code >= 1 && code <= 10 ? kRates[code] : "";
}

void BuildCheckPackage(const std::vector<TRecordFN>& records, std::int64_t documentType,
                       pugi::xml_node& output) {
  pugi::xml_node root = output.append_child("CheckPackage");
  pugi::xml_node parameters = root.append_child("Parameters");
  Put(parameters, "DocumentType", std::to_string(documentType));
  pugi::xml_node payments, positions, position;
  const auto payment = [&](const char* name, const automation::Value& v) {
    if (!payments) payments = root.append_child("Payments");
    Put(payments, name, PlainText(v));
  };
  for (const TRecordFN& r : records) {
    const automation::Value& v = r.TagValue;
    if (r.TagSection == TTagSection::tsMain) {
      switch (r.TagNumber) {
        case 1012:
          if (v.is<automation::Date>())
            Put(parameters, "DateTime",
                datetime::FormatIso(datetime::FromOleDate(v.get<automation::Date>().days)));
          break;
        case 1021:
          Put(parameters, "CashierName", PlainText(v));
          break;
        case 1203:
          Put(parameters, "CashierINN", PlainText(v));
          break;
        case 1040:
          Put(parameters, "DocNumber", PlainText(v));
          break;
        case 1054:
          Put(parameters, "OperationType", PlainText(v));
          break;
        case 1055:
          if (const std::string code = TaxationSystemText(v); !code.empty())
            Put(parameters, "TaxationSystem", code);
          break;
        case 1077:
          Put(parameters, "FiscalSign", FiscalSignText(v));
          break;
        case 1031:
          payment("Cash", v);
          break;
        case 1081:
          payment("ElectronicPayment", v);
          break;
        case 1215:
          payment("PrePayment", v);
          break;
        case 1216:
          payment("PostPayment", v);
          break;
        case 1217:
          payment("Barter", v);
          break;
        case 1059:
          if (!positions) positions = root.append_child("Positions");
          position = positions.append_child("FiscalString");
          break;
        default:
          break;
      }
      continue;
    }
    if (!position) continue;  // position data with no position to hold it
    switch (r.TagNumber) {
      case 1030:
        Put(position, "Name", PlainText(v));
        break;
      case 1079:
        Put(position, "PriceWithDiscount", PlainText(v));
        break;
      case 1023:
        Put(position, "Quantity", PlainText(v));
        break;
      case 1043:
        Put(position, "AmountWithDiscount", PlainText(v));
        break;
      case 1199:
        if (const std::string rate = VatRateText(v); !rate.empty()) Put(position, "VATRate", rate);
        break;
      case 1200:
        Put(position, "VATAmount", PlainText(v));
        break;
      case 1212:
        Put(position, "CalculationSubject", PlainText(v));
        break;
      case 1214:
        Put(position, "PaymentMethod", PlainText(v));
        break;
      case 1305:
        Put(position, "MarkingCode", MarkingCodeText(v));
        break;
      default:
        break;
    }
  }
}

}  // namespace

void TDevice::GetDocumentFromFN(std::int32_t docNumber, pugi::xml_node& output) {
  std::int64_t number = docNumber;
  if (number <= 0) {
    SetParam("LIBFPTR_PARAM_FN_DATA_TYPE", Const("LIBFPTR_FNDT_LAST_DOCUMENT"));
    CallUnchecked("fnQueryData");
    number = GetParamInt("LIBFPTR_PARAM_DOCUMENT_NUMBER");
  }
  RecordFNList.clear();
  SetParam("LIBFPTR_PARAM_RECORDS_TYPE", Const("LIBFPTR_RT_FN_DOCUMENT_TLVS"));
  if (number < 1 || number > INT32_MAX) number = 0;  // no such document: the register says so
  SetParam("LIBFPTR_PARAM_DOCUMENT_NUMBER", static_cast<std::int32_t>(number));
  Call("beginReadRecords");
  const std::int64_t documentType = GetParamInt("LIBFPTR_PARAM_FN_DOCUMENT_TYPE");
  const std::string id = GetParamString("LIBFPTR_PARAM_RECORDS_ID");
  Reader reader{*this, RecordFNList, Const("LIBFPTR_OK").asInt()};
  reader.ReadRecords(id, -1, TTagSection::tsMain, 0);
  SetParam("LIBFPTR_PARAM_RECORDS_ID", id);
  CallUnchecked("endReadRecords");
  BuildCheckPackage(RecordFNList, documentType, output);
}

void TDevice::PrintDocCopy(std::int64_t checkNumber) {
  if (checkNumber != 0) {
    SetParam("LIBFPTR_PARAM_REPORT_TYPE", Const("LIBFPTR_RT_FN_DOC_BY_NUMBER"));
    if (checkNumber < INT32_MIN || checkNumber > INT32_MAX)
      throw errors::InputError("Номер документа вне допустимого диапазона");
    SetParam("LIBFPTR_PARAM_DOCUMENT_NUMBER", static_cast<std::int32_t>(checkNumber));
  } else {
    SetParam("LIBFPTR_PARAM_REPORT_TYPE", Const("LIBFPTR_RT_LAST_DOCUMENT"));
  }
  Call("report");
}

}  // namespace vantorel
