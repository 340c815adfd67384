// Receipts from check packages, and correction receipts.
#include <cstdint>
#include <vector>

#include "documents/check_package.h"
#include "platform/platform.h"
#include "protocol/driver.h"
#include "support/datetime.h"
#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

namespace {

using namespace package;

// Internal tax code of each rate text of the tax list (by its 1-based position); 18 % and 18/118
// are sent as 20 % and 20/120.
constexpr std::int32_t kTaxCodeOfRate[13] = {0, 1, 1, 2, 5, 6, 3, 3, 4, 7, 8, 9, 10};
constexpr std::int32_t kTaxCodeVat0 = 5, kTaxCodeNone = 6;

std::int32_t TaxCode(const TTaxValues& list, std::string_view rate) {
  const int id = list.IDOfTax(rate);
  if (id < 1 || id > 12) throw EquException(errors::kTaxOutOfRange, errors::kTaxOutOfRangeText);
  return kTaxCodeOfRate[id];
}

// Tax-system constants by the package's TaxationSystem (-1 .. 5).
const char* TaxationConstant(std::int32_t value) {
  static const char* const names[] = {"LIBFPTR_TT_DEFAULT",    "LIBFPTR_TT_OSN",
                                      "LIBFPTR_TT_USN_INCOME", "LIBFPTR_TT_USN_INCOME_OUTCOME",
                                      "LIBFPTR_TT_ENVD",       "LIBFPTR_TT_ESN",
                                      "LIBFPTR_TT_PATENT"};
  if (value < -1 || value > 5) return nullptr;
  return names[value + 1];
}

void StageTaxation(TDevice& dev, std::int32_t value) {
  if (const char* name = TaxationConstant(value)) dev.SetTag(1055, dev.Const(name));
}

// The date of the corrected settlement: the ISO text in UTC, or today without time of day.
automation::Date CorrectionDate(pugi::xml_node correction) {
  const std::string text = Trimmed(correction, "Date");
  datetime::DateTime dt;
  if (!text.empty()) {
    const auto parsed = datetime::ParseIso8601(text);
    if (!parsed) throw errors::InputError();
    dt = *parsed;
  } else {
    const platform::LocalTime now = platform::Now();
    dt = {now.year, now.month, now.day, 0, 0, 0};
  }
  return automation::Date{datetime::ToOleDate(dt)};
}

// Dates and numbers of the correction basis go through the ANSI code page on the way.
std::string ThroughAnsi(std::string_view s) {
  return encoding::Cp1251ToUtf8(encoding::Utf8ToCp1251(s));
}

TDevice::Payments ReadPayments(pugi::xml_node payments) {
  TDevice::Payments p;
  p.Cash = Payment(payments, "Cash");
  p.ElectronicPayment = Payment(payments, "ElectronicPayment");
  p.AdvancePayment = Payment(payments, "PrePayment");
  p.Credit = Payment(payments, "PostPayment");
  p.CashProvision = Payment(payments, "Barter");
  p.Payment6 = Payment(payments, "Payment6");
  p.Payment7 = Payment(payments, "Payment7");
  p.Payment8 = Payment(payments, "Payment8");
  p.Payment9 = Payment(payments, "Payment9");
  p.Payment10 = Payment(payments, "Payment10");
  return p;
}

// The money of every position, read before anything reaches the register: an unreadable sum must
// fail the package before a receipt is opened, not leave one half made.
void CheckPositionMoney(pugi::xml_node positions) {
  for (pugi::xml_node node : positions.children()) {
    if (!IsElement(node, "FiscalString")) continue;
    for (const char* name :
         {"PriceWithDiscount", "AmountWithDiscount", "DiscountAmount", "VATAmount", "ExciseAmount"})
      Money(node, name);
  }
}

// The three required parts of a package; 1004 when the document lacks any of them.
struct PackageParts {
  pugi::xml_node parameters, positions, payments;
};

PackageParts FindParts(const pugi::xml_document& package) {
  const pugi::xml_node root = package.document_element();
  PackageParts parts;
  if (root) {
    parts.parameters = root.child("Parameters");
    parts.positions = root.child("Positions");
    parts.payments = root.child("Payments");
  }
  if (!parts.parameters || !parts.positions || !parts.payments) throw errors::InputError();
  return parts;
}

// The product code text of a position's GoodCodeData; may supply the marking code in format 1.2.
std::string GoodCodeText(pugi::xml_node good, bool ffd12,
                         std::optional<automation::Bytes>& markingCode) {
  if (!ffd12) return Base64Text(good, "MarkingCode");
  if (!markingCode) markingCode = Base64Bytes(good, "GS1.M");
  for (const char* name : {"KMK", "NotIdentified", "EAN8", "EAN13", "ITF14", "GS1.0"}) {
    std::string v = Base64Text(good, name);
    if (!v.empty()) return v;
  }
  if (std::string v(Text(good, "MI")); !v.empty()) return v;
  for (const char* name : {"EGAIS20", "EGAIS30"}) {
    std::string v = Base64Text(good, name);
    if (!v.empty()) return v;
  }
  return {};
}

}  // namespace

namespace {
TDriver::TDocumentRequest ReceiptRequest(bool isCorrection, bool electronically,
                                         const pugi::xml_document& package) {
  // The package as parsed: the same request sent again gives the same text.
  return {isCorrection ? "Чек коррекции" : "Чек", true,
          std::string(isCorrection ? "correction|" : "receipt|") + (electronically ? "e|" : "p|") +
              xml::ToUtf8Text(package)};
}
}  // namespace

void TDriver::ProcessCheck(bool electronically, const pugi::xml_document& checkPackage,
                           pugi::xml_document& documentOutputParameters, bool isCorrection) {
  MakeDocument(
      ReceiptRequest(isCorrection, electronically, checkPackage),
      [&] { ReceiptSteps(electronically, checkPackage, documentOutputParameters, isCorrection); },
      [&] { RefillDocumentOutput(documentOutputParameters); });
}

void TDriver::RefillDocumentOutput(pugi::xml_document& output) {
  output.reset();
  xml::NewOutput(output);
  BuildDocumentOutputParameters(output, true);
}

void TDriver::ReceiptSteps(bool electronically, const pugi::xml_document& checkPackage,
                           pugi::xml_document& documentOutputParameters, bool isCorrection) {
  TDeviceDriver& in = Instance();
  TDevice& dev = in.Device();
  CheckShiftState(false);

  const PackageParts parts = FindParts(checkPackage);
  const pugi::xml_node params = parts.parameters;
  const pugi::xml_node correction = params.child("CorrectionData");

  const std::int32_t recType = Byte(params, "OperationType");
  if (recType < 1 || recType > 4) throw errors::InputError();

  const std::string cashierName(Text(params, "CashierName"));
  // Numbers and addresses are sent trimmed: a register refuses an INN with blanks around it.
  const std::string cashierInn = Trimmed(params, "CashierINN");
  const std::string customerEmail = Trimmed(params, "CustomerEmail");
  const std::string customerPhone = Trimmed(params, "CustomerPhone");
  const std::int32_t taxation = Int(params, "TaxationSystem", -1);
  const std::string senderEmail = Trimmed(params, "SenderEmail");
  const std::int32_t agentType = Int(params, "AgentType", -1);
  const std::string additional = Trimmed(params, "AdditionalAttribute");
  const std::string receiptText(Text(params, "ReceiptText"));
  const bool ffd12 = dev.FFDVersion == TFFDVersion::ffd12;
  CheckPositionMoney(parts.positions);
  const TDevice::Payments payments = ReadPayments(parts.payments);

  dev.CancelReceipt();

  if (!text::Trim(cashierName).empty()) dev.SetTag(1021, cashierName);
  if (!cashierInn.empty()) dev.SetTag(1203, cashierInn);
  dev.Call("operatorLogin");

  std::optional<automation::Bytes> basis;
  if (isCorrection && correction) {
    const automation::Date date = CorrectionDate(correction);
    dev.SetTag(1178, date);
    if (const std::string number(Text(correction, "Number")); !number.empty())
      dev.SetTag(1179, ThroughAnsi(number));
    dev.Call("utilFormTlv");
    basis = dev.GetParamByteArray("LIBFPTR_PARAM_TAG_VALUE");
  }

  const TDevice::TReceiptAttributes attributes = dev.StageReceiptAttributes(params);

  if (!customerEmail.empty())
    dev.SetTag(1008, customerEmail);
  else if (!customerPhone.empty())
    dev.SetTag(1008, customerPhone);
  if (!senderEmail.empty()) dev.SetTag(1117, senderEmail);
  if (!additional.empty()) dev.SetTag(1192, additional);
  StageTaxation(dev, taxation);
  dev.StageAgentData(true, params.child("AgentData"), params.child("VendorData"), agentType);
  if (isCorrection && basis) {
    dev.SetTag(1173, Int(correction, "Type", 0));
    dev.SetTag(1174, *basis);
  }

  bool electronic = false;
  if (in.EnablePrinting == 1)
    electronic = electronically;
  else if (in.EnablePrinting == 2)
    electronic = true;
  dev.OpenReceipt(recType, electronic, isCorrection);

  bool marked = false;
  for (pugi::xml_node node : parts.positions.children()) {
    if (IsElement(node, "FiscalString")) {
      const pugi::xml_node good = node.child("GoodCodeData");
      const pugi::xml_node industry = node.child("IndustryAttribute");
      const pugi::xml_node fraction = node.child("FractionalQuantity");

      TDevice::TItem item;
      if (industry) {
        item.IndustryDocumentDate = Trimmed(industry, "DocumentDate");
        item.IndustryIdentifierFOIV = Trimmed(industry, "IdentifierFOIV");
        item.IndustryDocumentNumber = Trimmed(industry, "DocumentNumber");
        item.IndustryAttributeValue = Trimmed(industry, "AttributeValue");
      }
      item.Tax = TaxCode(in.TaxValues, Text(node, "VATRate"));
      item.MarkingCode = Base64Bytes(node, "MarkingCode");
      if (good) item.GoodCodeData = GoodCodeText(good, ffd12, item.MarkingCode);
      if (item.MarkingCode) marked = true;

      item.Name = Text(node, "Name");
      item.PriceWithDiscount = Money(node, "PriceWithDiscount");
      item.Quantity = Number(node, "Quantity", 0);
      item.SumWithDiscount = Money(node, "AmountWithDiscount");
      item.DiscountSum = Money(node, "DiscountAmount");
      // Every rate with a tax carries the host's VAT sum; 0 % and "none" have none.
      item.TaxSum =
          item.Tax == kTaxCodeVat0 || item.Tax == kTaxCodeNone ? 0 : Money(node, "VATAmount");
      item.Department = Byte(node, "Department");
      item.SignCalculationObject = Byte(node, "CalculationSubject");
      item.SignMethodCalculation = Byte(node, "PaymentMethod");
      item.SignSubjectCalculationAgent = Int(node, "CalculationAgent", -1);
      item.AdditionalAttribute = Trimmed(node, "AdditionalAttribute");
      item.CountryOfOrigin = Trimmed(node, "CountryOfOrigin");
      item.CustomsDeclaration = Trimmed(node, "CustomsDeclaration");
      item.ExciseAmount = Money(node, "ExciseAmount");
      item.MeasurementUnit = Trimmed(node, "MeasurementUnit");
      item.MeasureOfQuantity = Int(node, "MeasureOfQuantity", 0);
      if (fraction) {
        item.Numerator = Int(fraction, "Numerator", 0);
        item.Denominator = Int(fraction, "Denominator", 0);
      }
      item.GoodCodeDataNode = good ? &good : nullptr;

      dev.StageAgentData(false, node.child("AgentData"), node.child("VendorData"), -1);
      dev.RegisterItem(item);
    } else if (IsElement(node, "TextString") || IsElement(node, "Barcode") ||
               IsElement(node, "GraphicText")) {
      // The same elements as in a text document; cut markers mean nothing inside a receipt.
      PrintTextPosition(node);
    }
  }

  if (marked && ffd12 && attributes.IndustryValue && !attributes.CustomerINN.empty()) {
    dev.SetTag(1261, *attributes.IndustryValue);
    dev.SetTag(1228, attributes.CustomerINN);
    dev.Call("writeSalesNotice");
  }

  std::vector<std::string> lines;
  SplitTextLines(receiptText, in.LineLength, lines);
  for (const auto& line : lines) dev.ReceiptPrintText(line);

  dev.CloseReceipt(payments);
  CutAfterDocument(false, true);
  BuildDocumentOutputParameters(documentOutputParameters);
}

void TDriver::ProcessCorrectionCheck(bool electronically, const pugi::xml_document& package,
                                     pugi::xml_document& documentOutputParameters) {
  TDevice& dev = Device();
  if (dev.FFDVersion != TFFDVersion::ffd10 && dev.FFDVersion != TFFDVersion::ffd105) {
    ProcessCheck(electronically, package, documentOutputParameters, true);
    return;
  }
  MakeDocument(
      ReceiptRequest(true, electronically, package),
      [&] { OlderCorrectionSteps(package, documentOutputParameters); },
      [&] { RefillDocumentOutput(documentOutputParameters); });
}

void TDriver::OlderCorrectionSteps(const pugi::xml_document& package,
                                   pugi::xml_document& documentOutputParameters) {
  TDeviceDriver& in = Instance();
  TDevice& dev = in.Device();

  // The older correction receipt: a total and one tax sum per position, no positions.
  CheckShiftState(false);

  const PackageParts parts = FindParts(package);
  const pugi::xml_node params = parts.parameters;
  const pugi::xml_node correction = params.child("CorrectionData");
  const std::string cashierName(Text(params, "CashierName"));
  const std::string cashierInn = Trimmed(params, "CashierINN");
  const std::int32_t taxation = Int(params, "TaxationSystem", -1);
  const std::int32_t type = Int(correction, "Type", 0);
  const std::string number = ThroughAnsi(Text(correction, "Number"));
  const automation::Date date = CorrectionDate(correction);

  const std::int32_t recType = Byte(params, "OperationType");
  if (recType != 1 && recType != 3) throw errors::InputError();

  // Tax types by the rate's place in the tax list; the 5 % and 7 % rates have none here.
  static const char* const kTaxType[13] = {nullptr,
                                           "LIBFPTR_TAX_VAT20",
                                           "LIBFPTR_TAX_VAT20",
                                           "LIBFPTR_TAX_VAT10",
                                           "LIBFPTR_TAX_VAT0",
                                           "LIBFPTR_TAX_NO",
                                           "LIBFPTR_TAX_VAT120",
                                           "LIBFPTR_TAX_VAT120",
                                           "LIBFPTR_TAX_VAT110",
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr};

  // Every sum is read before the register is touched.
  std::vector<std::pair<pugi::xml_node, std::int64_t>> taxes;
  for (pugi::xml_node node : parts.positions.children())
    if (IsElement(node, "FiscalString")) taxes.emplace_back(node, Payment(node, "VATAmount"));
  const TDevice::Payments payments = ReadPayments(parts.payments);
  // A correction gives no change: its total is the sum of every payment registered at closing,
  // all ten kinds.
  std::int64_t total = 0;
  for (std::int64_t sum :
       {payments.Cash, payments.ElectronicPayment, payments.AdvancePayment, payments.Credit,
        payments.CashProvision, payments.Payment6, payments.Payment7, payments.Payment8,
        payments.Payment9, payments.Payment10}) {
    if (sum <= 0) continue;  // not registered
    // Each sum fits the currency range; their total might not.
    if (total > INT64_MAX - sum) throw errors::InputError("Сумма оплат вне допустимого диапазона");
    total += sum;
  }

  dev.CancelReceipt();

  // setParam's own return is checked here, as the register may refuse the name.
  if (!text::Trim(cashierName).empty()) {
    const automation::Value r = dev.DtoDrv().call("setParam", std::int32_t{1021}, cashierName);
    dev.GetResult(r.empty() ? 0 : r.asInt());
  }
  if (!cashierInn.empty()) dev.SetTag(1203, cashierInn);
  dev.Call("operatorLogin");

  dev.SetTag(1178, date);
  dev.SetTag(1179, number);
  dev.Call("utilFormTlv");
  const automation::Bytes basis = dev.GetParamByteArray("LIBFPTR_PARAM_TAG_VALUE");
  dev.SetTag(1173, type);
  dev.SetTag(1174, basis);
  StageTaxation(dev, taxation);

  dev.OpenReceipt(recType, in.EnablePrinting == 2, true);

  dev.SetParam("LIBFPTR_PARAM_SUM", automation::Currency{total});
  dev.Call("receiptTotal");

  for (const auto& [node, sum] : taxes) {
    const int id = in.TaxValues.IDOfTax(Text(node, "VATRate"));
    const char* taxType = id >= 1 && id <= 12 ? kTaxType[id] : nullptr;
    if (taxType == nullptr) throw EquException(errors::kTaxOutOfRange, errors::kTaxOutOfRangeText);
    dev.SetTax(sum, dev.Const(taxType));
  }

  dev.CloseReceipt(payments);
  CutAfterDocument(false, true);
  BuildDocumentOutputParameters(documentOutputParameters);
}

}  // namespace vantorel
