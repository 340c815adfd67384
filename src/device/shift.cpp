// Shifts, reports, cash documents, the drawer and the shift counters on the register.
#include <cstdlib>

#include "device/device.h"
#include "support/equipment_errors.h"

namespace vantorel {

namespace {
const char* ReceiptTypeName(TDevice::TReceiptType t) {
  switch (t) {
    case TDevice::TReceiptType::rtSell:
      return "LIBFPTR_RT_SELL";
    case TDevice::TReceiptType::rtSellReturn:
      return "LIBFPTR_RT_SELL_RETURN";
    case TDevice::TReceiptType::rtBuy:
      return "LIBFPTR_RT_BUY";
    case TDevice::TReceiptType::rtBuyReturn:
      return "LIBFPTR_RT_BUY_RETURN";
    default:
      break;
  }
  throw std::logic_error("not a receipt kind");
}

const char* PaymentTypeName(TDevice::TPaymentType p) {
  switch (p) {
    case TDevice::TPaymentType::ptCash:
      return "LIBFPTR_PT_CASH";
    case TDevice::TPaymentType::ptElectroncally:
      return "LIBFPTR_PT_ELECTRONICALLY";
    case TDevice::TPaymentType::ptPrepaid:
      return "LIBFPTR_PT_PREPAID";
    case TDevice::TPaymentType::ptCredit:
      return "LIBFPTR_PT_CREDIT";
    case TDevice::TPaymentType::ptBarter:
      return "LIBFPTR_PT_OTHER";
  }
  throw std::logic_error("not a payment type");
}
}  // namespace

void TDevice::OpenShift(const std::string& cashierName, const std::string& cashierVATIN) {
  SetTag(1021, cashierName);
  SetTag(1203, cashierVATIN);
  Call("operatorLogin");
  // Noted before the inputs of openShift are staged: a query takes the staged inputs with it.
  DocumentMark.Before = LastDocumentNumber();
  DocumentMark.Noted = true;
  SetParam("LIBFPTR_PARAM_REPORT_ELECTRONICALLY", PrintReportElectronically);
  Call("openShift");
  DocumentMark.Closed = true;
  IsDocClosed();
}

void TDevice::CloseShift(const std::string& cashierName, const std::string& cashierVATIN) {
  if (ShiftState() == 0) throw EquException(errors::kShiftClosed, errors::kShiftClosedText);
  SetTag(1021, cashierName);
  SetTag(1203, cashierVATIN);
  Call("operatorLogin");
  DocumentMark.Before = LastDocumentNumber();
  DocumentMark.Noted = true;
  SetParam("LIBFPTR_PARAM_REPORT_TYPE", Const("LIBFPTR_RT_CLOSE_SHIFT"));
  SetParam("LIBFPTR_PARAM_REPORT_ELECTRONICALLY", PrintReportElectronically);
  Call("report");
  DocumentMark.Closed = true;
  IsDocClosed();
}

void TDevice::XReport() {
  if (PrintReportElectronically) return;  // an X report has no electronic form
  SetParam("LIBFPTR_PARAM_REPORT_TYPE", Const("LIBFPTR_RT_X"));
  Call("report");
  // Not a fiscal document: nothing to count it by, and printing it again costs only paper. What
  // fails after it does not make the report fail.
  DocumentMark.Noted = DocumentMark.Closed = true;
}

void TDevice::CashInOutcome(std::int64_t summ) {
  // A cash document is no fiscal document: it is counted by the shift's cash documents. The
  // count is read before the inputs are staged, since a query takes the staged inputs with it.
  DocumentMark.ByCashCounter = true;
  DocumentMark.CashOut = summ < 0;
  DocumentMark.Before = CashDocumentCount(DocumentMark.CashOut);
  DocumentMark.Noted = true;
  SetParam("LIBFPTR_PARAM_DOCUMENT_ELECTRONICALLY", PrintReportElectronically);
  // The method layer never passes INT64_MIN (amounts are bounded there), so the negation is safe.
  SetParam("LIBFPTR_PARAM_SUM", automation::Currency{summ < 0 ? -summ : summ});
  Call(summ < 0 ? "cashOutcome" : "cashIncome");
  DocumentMark.Closed = true;
}

void TDevice::OpenDrawer() { Call("openDrawer"); }

void TDevice::ReportCurrentStatusOfSettlements() {
  SetParam("LIBFPTR_PARAM_REPORT_TYPE", Const("LIBFPTR_RT_OFD_EXCHANGE_STATUS"));
  SetParam("LIBFPTR_PARAM_REPORT_ELECTRONICALLY", PrintReportElectronically);
  Call("report");
}

void TDevice::GetKKTShortState(bool& isCashDrawerOpened, bool& isPaperPresent, bool& isPaperNearEnd,
                               bool& isCoverOpened) {
  SetParam("LIBFPTR_PARAM_DATA_TYPE", Const("LIBFPTR_DT_SHORT_STATUS"));
  Call("queryData");
  isCashDrawerOpened = GetParamBool("LIBFPTR_PARAM_CASHDRAWER_OPENED");
  isPaperPresent = GetParamBool("LIBFPTR_PARAM_RECEIPT_PAPER_PRESENT");
  isPaperNearEnd = GetParamBool("LIBFPTR_PARAM_PAPER_NEAR_END");
  isCoverOpened = GetParamBool("LIBFPTR_PARAM_COVER_OPENED");
}

void TDevice::GetOperationCounters(TReceiptType receiptType, std::int32_t& receiptCount,
                                   std::int32_t& correctionCount, double& receiptSum,
                                   double& correctionSum) {
  SetParam("LIBFPTR_PARAM_FN_DATA_TYPE", Const("LIBFPTR_FNDT_TOTALS"));
  SetParam("LIBFPTR_PARAM_RECEIPT_TYPE", Const(ReceiptTypeName(receiptType)));
  SetParam("LIBFPTR_PARAM_FN_COUNTERS_TYPE", Const("LIBFPTR_FNCT_SHIFT"));
  CallUnchecked("fnQueryData");
  receiptCount = static_cast<std::int32_t>(GetParamInt("LIBFPTR_PARAM_RECEIPTS_COUNT"));
  correctionCount = static_cast<std::int32_t>(GetParamInt("LIBFPTR_PARAM_CORRECTIONS_COUNT"));
  receiptSum = GetParamDouble("LIBFPTR_PARAM_RECEIPTS_SUM");
  correctionSum = GetParamDouble("LIBFPTR_PARAM_CORRECTIONS_SUM");
}

double TDevice::GetPayments(TReceiptType receiptType, TPaymentType paymentType) {
  SetParam("LIBFPTR_PARAM_DATA_TYPE", Const("LIBFPTR_DT_PAYMENT_SUM"));
  SetParam("LIBFPTR_PARAM_RECEIPT_TYPE", Const(ReceiptTypeName(receiptType)));
  SetParam("LIBFPTR_PARAM_PAYMENT_TYPE", Const(PaymentTypeName(paymentType)));
  Call("queryData");
  return GetParamDouble("LIBFPTR_PARAM_SUM");
}

void TDevice::GetCashInOutCounters(TReceiptType receiptType, std::int32_t& count, double& sum) {
  const bool in = receiptType == TReceiptType::rtCashIn;
  if (!in && receiptType != TReceiptType::rtCashOut) throw std::logic_error("not a cash document");
  SetParam("LIBFPTR_PARAM_DATA_TYPE",
           Const(in ? "LIBFPTR_DT_CASHIN_SUM" : "LIBFPTR_DT_CASHOUT_SUM"));
  Call("queryData");
  sum = GetParamDouble("LIBFPTR_PARAM_SUM");
  SetParam("LIBFPTR_PARAM_DATA_TYPE",
           Const(in ? "LIBFPTR_DT_CASHIN_COUNT" : "LIBFPTR_DT_CASHOUT_COUNT"));
  Call("queryData");
  count = static_cast<std::int32_t>(GetParamInt("LIBFPTR_PARAM_DOCUMENTS_COUNT"));
}

}  // namespace vantorel
