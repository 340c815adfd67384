// The life of a receipt on the register: open, pay, close, cancel, and the closing check.
#include "device/device.h"
#include "support/equipment_errors.h"

namespace vantorel {

void TDevice::OpenReceipt(std::int32_t recType, bool electronically, bool isCorrection) {
  SetParam("LIBFPTR_PARAM_RECEIPT_ELECTRONICALLY", electronically);
  static const char* const kOrdinary[] = {"LIBFPTR_RT_SELL", "LIBFPTR_RT_SELL_RETURN",
                                          "LIBFPTR_RT_BUY", "LIBFPTR_RT_BUY_RETURN"};
  static const char* const kCorrection[] = {
      "LIBFPTR_RT_SELL_CORRECTION", "LIBFPTR_RT_SELL_RETURN_CORRECTION",
      "LIBFPTR_RT_BUY_CORRECTION", "LIBFPTR_RT_BUY_RETURN_CORRECTION"};
  if (recType < 1 || recType > 4) throw errors::InputError();
  SetParam("LIBFPTR_PARAM_RECEIPT_TYPE",
           Const((isCorrection ? kCorrection : kOrdinary)[recType - 1]));
  Call("openReceipt");
}

void TDevice::CloseReceipt(const Payments& p) {
  const struct {
    std::int64_t sum;
    const char* type;
  } rows[] = {{p.ElectronicPayment, "LIBFPTR_PT_ELECTRONICALLY"},
              {p.AdvancePayment, "LIBFPTR_PT_PREPAID"},
              {p.Credit, "LIBFPTR_PT_CREDIT"},
              {p.CashProvision, "LIBFPTR_PT_OTHER"},
              {p.Payment6, "LIBFPTR_PT_6"},
              {p.Payment7, "LIBFPTR_PT_7"},
              {p.Payment8, "LIBFPTR_PT_8"},
              {p.Payment9, "LIBFPTR_PT_9"},
              {p.Payment10, "LIBFPTR_PT_10"},
              {p.Cash, "LIBFPTR_PT_CASH"}};
  for (const auto& row : rows) {
    if (row.sum <= 0) continue;
    SetParam("LIBFPTR_PARAM_PAYMENT_TYPE", Const(row.type));
    SetParam("LIBFPTR_PARAM_PAYMENT_SUM", automation::Currency{row.sum});
    Call("payment");
  }
  DocumentMark.Before = LastDocumentNumber();
  DocumentMark.Noted = true;
  Call("closeReceipt");
  DocumentMark.Closed = true;
}

void TDevice::SetTax(std::int64_t sum, const automation::Value& tax) {
  SetParam("LIBFPTR_PARAM_TAX_TYPE", tax);
  SetParam("LIBFPTR_PARAM_TAX_SUM", automation::Currency{sum});
  Call("receiptTax");
}

void TDevice::CancelReceipt() {
  SetParam("LIBFPTR_PARAM_DATA_TYPE", Const("LIBFPTR_DT_RECEIPT_STATE"));
  Call("queryData");
  const std::int64_t state = GetParamInt("LIBFPTR_PARAM_RECEIPT_TYPE");
  if (state != Const("LIBFPTR_RT_CLOSED").asInt()) CallUnchecked("cancelReceipt");
}

void TDevice::IsDocClosed() {
  Call("checkDocumentClosed");
  if (!GetParamBool("LIBFPTR_PARAM_DOCUMENT_CLOSED"))
    throw EquException(errors::kGeneral, errors::kCloseDocumentError);
  if (!GetParamBool("LIBFPTR_PARAM_DOCUMENT_PRINTED"))
    throw EquException(errors::kGeneral, errors::kPrintError);
}

}  // namespace vantorel

namespace vantorel {

std::int64_t TDevice::LastDocumentNumber() {
  return RunQuery(Const("LIBFPTR_PARAM_FN_DATA_TYPE"), Const("LIBFPTR_FNDT_LAST_DOCUMENT"),
                  Const("LIBFPTR_PARAM_DOCUMENT_NUMBER"), TParamType::dtpInt, TMethodType::mtFN)
      .asInt();
}

std::int64_t TDevice::ShiftState() {
  return RunQuery(Const("LIBFPTR_PARAM_DATA_TYPE"), Const("LIBFPTR_DT_SHIFT_STATE"),
                  Const("LIBFPTR_PARAM_SHIFT_STATE"), TParamType::dtpInt, TMethodType::mtCommon)
      .asInt();
}

std::int64_t TDevice::CashDocumentCount(bool cashOut) {
  return RunQuery(Const("LIBFPTR_PARAM_DATA_TYPE"),
                  Const(cashOut ? "LIBFPTR_DT_CASHOUT_COUNT" : "LIBFPTR_DT_CASHIN_COUNT"),
                  Const("LIBFPTR_PARAM_DOCUMENTS_COUNT"), TParamType::dtpInt, TMethodType::mtCommon)
      .asInt();
}

std::int64_t TDevice::DocumentCount(const TDocumentMark& mark) {
  return mark.ByCashCounter ? CashDocumentCount(mark.CashOut) : LastDocumentNumber();
}

}  // namespace vantorel
