// Inside the virtual register: what every operation gets, and the operation table.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vregister/constants.h"
#include "vregister/register.h"

namespace vantorel::emulator {

// An operation's failure: becomes its return code and the object's errorCode/errorDescription.
struct DeviceError {
  int code;
  std::string description;
};

[[noreturn]] inline void Fail(int code, std::string description) {
  throw DeviceError{code, std::move(description)};
}

class OpContext {
 public:
  OpContext(const std::vector<std::pair<int, automation::Value>>& in,
            std::map<int, automation::Value>& out, Device& device,
            std::map<std::string, RecordsSelection>& selections, int& nextSelection)
      : selections(selections), nextSelection(nextSelection), in_(in), out_(out), device_(device) {}

  DeviceState& s() { return device_.state(); }
  Device& device() { return device_; }
  std::int64_t now() const { return device_.NowLocked(); }

  // Inputs. The last staged value of an id counts; Has/All see every staging.
  const automation::Value* Find(int id) const;
  const automation::Value* Find(std::string_view constant) const { return Find(C(constant)); }
  std::vector<const automation::Value*> All(int id) const;
  const std::vector<std::pair<int, automation::Value>>& inputs() const { return in_; }

  // Typed reads of inputs; `what` names the input in error texts. Required reads fail with
  // errc::kMissingParam when the input was not staged; a value that does not convert fails with
  // errc::kBadParam.
  std::int64_t Int(std::string_view constant) const;
  std::optional<std::int64_t> OptInt(std::string_view constant) const;
  bool Bool(std::string_view constant, bool fallback) const;
  std::string Text(std::string_view constant) const;
  std::optional<std::string> OptText(std::string_view constant) const;
  double Real(std::string_view constant) const;
  std::optional<double> OptReal(std::string_view constant) const;
  Kopecks Money(std::string_view constant) const;
  std::optional<Kopecks> OptMoney(std::string_view constant) const;
  automation::Bytes Bytes(std::string_view constant) const;
  std::int64_t WallTime(std::string_view constant) const;

  // Every staged fiscal tag (id 1..65535), in staging order, as tags.
  std::vector<Tag> StagedTags() const;

  // Outputs.
  void Out(std::string_view constant, automation::Value v) { out_[C(constant)] = std::move(v); }
  void Out(int id, automation::Value v) { out_[id] = std::move(v); }

  bool save = false;
  std::map<std::string, RecordsSelection>& selections;
  int& nextSelection;

 private:
  const std::vector<std::pair<int, automation::Value>>& in_;
  std::map<int, automation::Value>& out_;
  Device& device_;
};

using OperationFn = void (*)(OpContext&);

// The device operations by lower-case name; nothing for a name that is not one.
OperationFn FindOperation(const std::string& lowerName);

// Money and conversions shared by the operation files.
automation::Value MoneyValue(Kopecks k);
int ReceiptKind(int receiptType);  // 1..4 by LIBFPTR_RT_ receipt type (corrections too), 0 if none
bool IsCorrection(int receiptType);
std::string FormatMoney(Kopecks k);

// Printing helpers (documents.cpp).
void CheckPrinter(OpContext& ctx);
void PrintLine(OpContext& ctx, std::string text, Alignment a = Alignment::kLeft,
               bool doubleSize = false);
void PrintPair(OpContext& ctx, const std::string& left, const std::string& right);
void BeginPrintedDocument(OpContext& ctx, const std::string& title);
void EndPrintedDocument(OpContext& ctx, bool fiscal);
// Adds a fiscal document to the storage (number, time, fiscal sign) and returns it.
const FiscalDocument& AddFiscalDocument(OpContext& ctx, int type, std::vector<Tag> tags);
void PrintFiscalDocument(OpContext& ctx, const FiscalDocument& doc, bool copy);
void CheckCanMakeFiscalDocument(OpContext& ctx);
const Tag* FindTag(const std::vector<Tag>& tags, int number);
std::string RegText(const DeviceState& s, int tag);

// Operation bodies, by file.
void OpQueryData(OpContext&);
void OpFnQueryData(OpContext&);
void OpReadDeviceSetting(OpContext&);
void OpWriteDateTime(OpContext&);
void OpOperatorLogin(OpContext&);
void OpOpenShift(OpContext&);
void OpReport(OpContext&);
void OpCashIncome(OpContext&);
void OpCashOutcome(OpContext&);
void OpOpenDrawer(OpContext&);
void OpOpenReceipt(OpContext&);
void OpRegistration(OpContext&);
void OpPayment(OpContext&);
void OpReceiptTax(OpContext&);
void OpReceiptTotal(OpContext&);
void OpCloseReceipt(OpContext&);
void OpCancelReceipt(OpContext&);
void OpCheckDocumentClosed(OpContext&);
void OpPrintText(OpContext&);
void OpPrintBarcode(OpContext&);
void OpPrintPixelBuffer(OpContext&);
void OpLineFeed(OpContext&);
void OpCut(OpContext&);
void OpBeginNonfiscalDocument(OpContext&);
void OpEndNonfiscalDocument(OpContext&);
void OpFnOperation(OpContext&);
void OpBeginReadRecords(OpContext&);
void OpReadNextRecord(OpContext&);
void OpEndReadRecords(OpContext&);
void OpUtilFormTlv(OpContext&);
void OpWriteSalesNotice(OpContext&);
void OpBeginMarkingCodeValidation(OpContext&);
void OpGetMarkingCodeValidationStatus(OpContext&);
void OpAcceptMarkingCode(OpContext&);
void OpDeclineMarkingCode(OpContext&);
void OpCancelMarkingCodeValidation(OpContext&);
void OpClearMarkingCodeValidationResult(OpContext&);

}  // namespace vantorel::emulator
