// Shifts, reports, cash documents, the drawer and the status documents of the host.
#include "protocol/driver.h"
#include "support/datetime.h"
#include "support/equipment_errors.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

namespace {

using TReceiptType = TDevice::TReceiptType;
using TPaymentType = TDevice::TPaymentType;

constexpr std::uint32_t kOpenShiftFields = TDriver::ofShiftNumber | TDriver::ofDateTime |
                                           TDriver::ofShiftState | TDriver::ofFNError |
                                           TDriver::ofFNOverflow | TDriver::ofFNFail;
// Bits 0 and 3 to 15.
constexpr std::uint32_t kCloseShiftFields = 0xFFF9u;
constexpr std::uint32_t kBacklogFields =
    TDriver::ofBacklogDocumentsCounter | TDriver::ofCashBalance |
    TDriver::ofBacklogDocumentFirstNumber | TDriver::ofBacklogDocumentFirstDateTime;
constexpr std::uint32_t kStatusFields = TDriver::ofShiftNumber | TDriver::ofCheckNumber |
                                        TDriver::ofShiftClosingCheckNumber | TDriver::ofShiftState |
                                        kBacklogFields | TDriver::ofShortState;
constexpr std::uint32_t kStatusWithCountersFields =
    kStatusFields | TDriver::ofCountersSell | TDriver::ofCountersSellReturn |
    TDriver::ofCountersBuy | TDriver::ofCountersBuyReturn | TDriver::ofPayments |
    TDriver::ofCashInOut;
constexpr std::uint32_t kSettlementsFields = TDriver::ofShiftState | kBacklogFields;

// The Parameters element among the children of the document element.
pugi::xml_node ParametersOf(const pugi::xml_document& input) {
  return input.document_element().child("Parameters");
}

// A Boolean attribute read leniently: missing or empty -> `def`; True/False in any letter case;
// anything else -> `def`.
bool BoolAttr(pugi::xml_node node, const char* name, bool def) {
  const pugi::xml_attribute a = node.attribute(name);
  if (!a) return def;
  const std::string v = a.value();
  if (text::EqualsIgnoreCase(v, "true")) return true;
  if (text::EqualsIgnoreCase(v, "false")) return false;
  return def;
}

std::string IsoText(const automation::Value& date) {
  return datetime::FormatIso(datetime::FromOleDate(date.asDate().days));
}

}  // namespace

void TDriver::ReadCashierParameters(const pugi::xml_document& input) {
  TDeviceDriver& in = Instance();
  const pugi::xml_node parameters = ParametersOf(input);
  in.CashierName = parameters.attribute("CashierName").value();
  in.CashierINN = parameters.attribute("CashierINN").value();
  // PrintRequired: true or false in any letter case; anything else counts as not given.
  in.PrintRequired = -1;
  if (const pugi::xml_attribute a = parameters.attribute("PrintRequired")) {
    const std::string v = text::Trim(std::string_view(a.value()));
    if (text::EqualsIgnoreCase(v, "true")) in.PrintRequired = 1;
    if (text::EqualsIgnoreCase(v, "false")) in.PrintRequired = 0;
  }
  in.Device().PrintReportElectronically =
      in.PrintRequired == -1 ? in.EnableReportPrinting == 2 : in.PrintRequired == 0;
}

void TDriver::OpenShift(const pugi::xml_document& input, pugi::xml_document& output) {
  const auto fill = [&](bool lenient) {
    output.reset();
    xml::NewOutput(output);
    BuildOutputParameters(output, kOpenShiftFields, lenient);
  };
  MakeDocument(
      {"Отчёт об открытии смены", true, "open-shift"},
      [&] {
        ReadCashierParameters(input);
        TDeviceDriver& in = Instance();
        TDevice& dev = in.Device();
        dev.CancelReceipt();
        CheckShiftState(true);
        dev.OpenShift(in.CashierName, in.CashierINN);
        CutAfterDocument(false, true);
        fill(false);
      },
      [&] { fill(true); });
}

void TDriver::CloseShift(const pugi::xml_document& input, pugi::xml_document& output) {
  const auto fill = [&](bool lenient) {
    output.reset();
    xml::NewOutput(output);
    BuildOutputParameters(output, kCloseShiftFields, lenient);
  };
  MakeDocument(
      {"Отчёт о закрытии смены", true, "close-shift"},
      [&] {
        ReadCashierParameters(input);
        TDeviceDriver& in = Instance();
        TDevice& dev = in.Device();
        dev.CancelReceipt();
        // An expired shift (over 24 hours) may be closed; only a closed one is refused.
        if (dev.ShiftState() == 0)
          throw EquException(errors::kShiftClosed, errors::kShiftClosedText);
        dev.CloseShift(in.CashierName, in.CashierINN);
        CutAfterDocument(false, true);
        fill(false);
      },
      [&] { fill(true); });
}

void TDriver::PrintXReport(const pugi::xml_document&) {
  MakeDocument({"X-отчёт", false, "x-report"},
               [&] {
                 TDevice& dev = Device();
                 dev.CancelReceipt();
                 dev.XReport();
                 CutAfterDocument(false, true);
               },
               {});
}

void TDriver::CashInOutcome(const pugi::xml_document&, std::int64_t amount) {
  MakeDocument({amount < 0 ? "Выплата наличных" : "Внесение наличных", false,
                "cash|" + std::to_string(amount)},
               [&] {
                 TDevice& dev = Device();
                 dev.CancelReceipt();
                 dev.CashInOutcome(amount);
                 CutAfterDocument(false, true);
               },
               {});
}

void TDriver::OpenCashDrawer() { Device().OpenDrawer(); }

void TDriver::GetCurrentStatus(const pugi::xml_document& input, pugi::xml_document& output) {
  const bool counters = BoolAttr(ParametersOf(input), "GetCounters", false);
  BuildOutputParameters(output, counters ? kStatusWithCountersFields : kStatusFields);
}

void TDriver::ReportCurrentStatusOfSettlements(const pugi::xml_document&,
                                               pugi::xml_document& output) {
  Device().ReportCurrentStatusOfSettlements();
  CutAfterDocument(false, true);
  BuildOutputParameters(output, kSettlementsFields);
}

void TDriver::BuildOutputParameters(pugi::xml_document& output, std::uint32_t fieldSet,
                                    bool lenient) {
  TDeviceDriver& in = Instance();
  TDevice& dev = in.Device();
  const auto has = [&](std::uint32_t field) { return (fieldSet & field) != 0; };
  const bool pv5 = in.PlatformVer == TPlatformVersion::pv5;

  // Leniently (a document already made): a value that cannot be read is left out.
  const auto field = [&](auto&& write) {
    if (!lenient) return write();
    try {
      write();
    } catch (const std::exception&) {
    }
  };
  TDeviceData fn;
  field([&] { dev.GetFNInfo(fn); });
  pugi::xml_node root = output.append_child("OutputParameters");
  pugi::xml_node params = root.append_child("Parameters");

  const auto dataType = dev.Const("LIBFPTR_PARAM_DATA_TYPE");
  const auto fnDataType = dev.Const("LIBFPTR_PARAM_FN_DATA_TYPE");
  const auto query = [&](const char* type, const char* out, TParamType kind) {
    return dev.RunQuery(dataType, dev.Const(type), dev.Const(out), kind, TMethodType::mtCommon);
  };
  const auto fnQuery = [&](const char* type, const char* out, TParamType kind) {
    return dev.RunQuery(fnDataType, dev.Const(type), dev.Const(out), kind, TMethodType::mtFN);
  };
  const auto integer = [](const automation::Value& v) { return static_cast<long long>(v.asInt()); };

  if (has(ofFNError) && fn.size() > 0)
    field([&] { xml::SetAttr(params, "FNError", fn.At("FN_NEED_REPLACEMENT").asBool()); });
  if (has(ofFNFail) && fn.size() > 0)
    field([&] { xml::SetAttr(params, "FNFail", fn.At("FN_RESOURCE_EXHAUSTED").asBool()); });
  if (has(ofFNOverflow) && fn.size() > 0)
    field([&] { xml::SetAttr(params, "FNOverflow", fn.At("FN_MEMORY_OVERFLOW").asBool()); });
  if (has(ofCashBalance))
    field([&] {
      xml::SetAttrDouble(
          params, "CashBalance",
          query("LIBFPTR_DT_CASH_SUM", "LIBFPTR_PARAM_SUM", TParamType::dtpDouble).asDouble());
    });
  if (has(ofShiftNumber))
    field([&] {
      xml::SetAttr(params, "ShiftNumber",
                   integer(query("LIBFPTR_DT_SHIFT_STATE", "LIBFPTR_PARAM_SHIFT_NUMBER",
                                 TParamType::dtpInt)));
    });
  if (has(ofCheckNumber))
    field([&] {
      xml::SetAttr(params, "CheckNumber",
                   integer(fnQuery("LIBFPTR_FNDT_LAST_DOCUMENT", "LIBFPTR_PARAM_DOCUMENT_NUMBER",
                                   TParamType::dtpInt)));
    });
  if (has(ofShiftClosingCheckNumber))
    field([&] {
      xml::SetAttr(params, "ShiftClosingCheckNumber",
                   integer(query("LIBFPTR_DT_RECEIPT_STATE", "LIBFPTR_PARAM_RECEIPT_NUMBER",
                                 TParamType::dtpInt)));
    });
  if (has(ofDateTime))
    field([&] {
      xml::SetAttr(
          params, "DateTime",
          std::string_view(IsoText(fnQuery("LIBFPTR_FNDT_LAST_DOCUMENT", "LIBFPTR_PARAM_DATE_TIME",
                                           TParamType::dtpDateTime))));
    });
  if (has(ofShiftState))
    field([&] {
      xml::SetAttr(params, "ShiftState",
                   integer(query("LIBFPTR_DT_SHIFT_STATE", "LIBFPTR_PARAM_SHIFT_STATE",
                                 TParamType::dtpInt)) +
                       1);
    });
  if (has(ofBacklogDocumentsCounter))
    field([&] {
      xml::SetAttr(params, "BacklogDocumentsCounter",
                   integer(fnQuery("LIBFPTR_FNDT_OFD_EXCHANGE_STATUS",
                                   "LIBFPTR_PARAM_DOCUMENTS_COUNT", TParamType::dtpInt)));
    });
  if (has(ofBacklogDocumentFirstNumber))
    field([&] {
      xml::SetAttr(params, "BacklogDocumentFirstNumber",
                   integer(fnQuery("LIBFPTR_FNDT_OFD_EXCHANGE_STATUS",
                                   "LIBFPTR_PARAM_DOCUMENT_NUMBER", TParamType::dtpInt)));
    });
  if (has(ofBacklogDocumentFirstDateTime))
    field([&] {
      xml::SetAttr(
          params, "BacklogDocumentFirstDateTime",
          std::string_view(IsoText(fnQuery("LIBFPTR_FNDT_OFD_EXCHANGE_STATUS",
                                           "LIBFPTR_PARAM_DATE_TIME", TParamType::dtpDateTime))));
    });
  if (!pv5) return;  // the older platform reports none of the fields below

  if (has(ofShortState))
    field([&] {
      bool drawerOpen = false, paperPresent = false, paperNearEnd = false, coverOpen = false;
      dev.GetKKTShortState(drawerOpen, paperPresent, paperNearEnd, coverOpen);
      xml::SetAttr(params, "RecState",
                   static_cast<long long>(paperNearEnd   ? 1
                                          : paperPresent ? 0
                                                         : 2));
      xml::SetAttr(params, "DrawerState", static_cast<long long>(drawerOpen ? 1 : 0));
      xml::SetAttr(params, "CoverOpen", static_cast<long long>(coverOpen ? 1 : 0));
    });
  const struct {
    std::uint32_t field;
    const char* element;
    TReceiptType type;
  } kinds[] = {{ofCountersSell, "CountersOperationType1", TReceiptType::rtSell},
               {ofCountersSellReturn, "CountersOperationType2", TReceiptType::rtSellReturn},
               {ofCountersBuy, "CountersOperationType3", TReceiptType::rtBuy},
               {ofCountersBuyReturn, "CountersOperationType4", TReceiptType::rtBuyReturn}};
  for (const auto& k : kinds) {
    if (!has(k.field)) continue;
    field([&] {
      std::int32_t receipts = 0, corrections = 0;
      double receiptSum = 0, correctionSum = 0;
      dev.GetOperationCounters(k.type, receipts, corrections, receiptSum, correctionSum);
      pugi::xml_node e = params.append_child(k.element);
      xml::SetAttr(e, "CheckCount", static_cast<long long>(receipts));
      xml::SetAttrDouble(e, "TotalChecksAmount", receiptSum);
      xml::SetAttr(e, "CorrectionCheckCount", static_cast<long long>(corrections));
      xml::SetAttrDouble(e, "TotalCorrectionChecksAmount", correctionSum);
    });
  }
  if (has(ofCashInOut))
    field([&] {
      for (const auto& [type, element] : {std::pair{TReceiptType::rtCashIn, "CashIn"},
                                          std::pair{TReceiptType::rtCashOut, "CashOut"}}) {
        std::int32_t count = 0;
        double sum = 0;
        dev.GetCashInOutCounters(type, count, sum);
        pugi::xml_node e = params.append_child(element);
        xml::SetAttr(e, "Count", static_cast<long long>(count));
        xml::SetAttrDouble(e, "TotalAmount", sum);
      }
    });
  if (has(ofPayments))
    field([&] {
      const struct {
        const char* element;
        TPaymentType type;
      } kPayments[] = {{"Cash", TPaymentType::ptCash},
                       {"NonCash", TPaymentType::ptElectroncally},
                       {"Prepaid", TPaymentType::ptPrepaid},
                       {"Credit", TPaymentType::ptCredit},
                       {"Barter", TPaymentType::ptBarter}};
      double sums[5][2] = {};
      for (int i = 0; i < 5; ++i) {
        sums[i][0] = dev.GetPayments(TReceiptType::rtSell, kPayments[i].type);
        sums[i][1] = dev.GetPayments(TReceiptType::rtSellReturn, kPayments[i].type);
      }
      pugi::xml_node payments = root.append_child("Payments");
      for (int i = 0; i < 5; ++i) {
        pugi::xml_node e = payments.append_child(kPayments[i].element);
        xml::SetAttrDouble(e, "Sell", sums[i][0]);
        xml::SetAttrDouble(e, "SellReturn", sums[i][1]);
      }
    });
}

}  // namespace vantorel
