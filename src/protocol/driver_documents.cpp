// Documents made exactly once. A fiscal document exists once the register has recorded it in its
// storage, whatever happens afterwards: the paper may run out, the cutter or a read-back query may
// fail, or the answer may be lost on the cable. Reporting such a document as failed makes the
// cashier press again and the shop gets two fiscal documents for one sale. So once a document
// operation has reached its closing call, every failure is decided by asking the register whether
// the document was made; when the register cannot be asked, the question waits for the next call.
#include <exception>
#include <optional>

#include "addin/host_abi.h"
#include "protocol/driver.h"
#include "support/log.h"
#include "support/product.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

namespace {

// Which register an instance reaches: the connection, not the DeviceID, which is new at every
// ConnectEquipment.
std::string RegisterKey(const TDeviceDriver& in) {
  return std::to_string(in.PortNumber) + "|" + in.IPAddress + "|" + std::to_string(in.IPPort) +
         "|" + in.MACAddress;
}

std::string Named(const TDriver::TDocumentRequest& request, std::optional<std::int64_t> number) {
  std::string s = "Документ «" + request.Kind + "»";
  if (request.Numbered && number && *number > 0) s += " № " + std::to_string(*number);
  return s;
}

// DTO10 error texts end with a blank; the messages put their own punctuation after them.
std::string Reason(std::string failure) {
  while (!failure.empty() && (failure.back() == ' ' || failure.back() == '.')) failure.pop_back();
  return failure;
}

}  // namespace

void TDriver::Notify(const std::string& message) {
  log::WriteLog("Документ", message, log::Level::Error);
  AddMessage(abi::ADDIN_E_IMPORTANT, text::ToUtf16(product::kDriverName), message);
}

bool TDriver::SettleUndecided(const TDocumentRequest* request,
                              const std::function<void()>& output) {
  const auto it = FUndecided.find(RegisterKey(Instance()));
  if (it == FUndecided.end()) return false;
  const TUndecidedDocument undecided = it->second;
  TDevice& dev = Device();
  std::int64_t count = 0;
  try {
    count = dev.DocumentCount(undecided.Mark);
  } catch (const std::exception& e) {
    throw std::runtime_error(
        "ККТ не отвечает (" + Reason(e.what()) + "). " + Named(undecided.Request, std::nullopt) +
        " мог быть сформирован при предыдущем вызове (" + Reason(undecided.Failure) +
        "); это будет проверено при следующем обращении к ККТ. Повторный вызов с теми же данными "
        "второго документа не сформирует.");
  }
  FUndecided.erase(it);
  if (count <= undecided.Mark.Before) {
    log::WriteLog(
        "Документ",
        Named(undecided.Request, std::nullopt) + " при предыдущем вызове не был сформирован",
        log::Level::Info);
    return false;
  }
  const std::string made = Named(undecided.Request, count) +
                           " был сформирован при предыдущем вызове, хотя ККТ тогда не ответила (" +
                           Reason(undecided.Failure) + ")";
  if (request != nullptr && request->Fingerprint == undecided.Request.Fingerprint) {
    if (output) output();
    Notify(made + ". Повторно он не формируется и не печатается.");
    return true;
  }
  Notify(made + ". Он учтён в ККТ: повторять его не нужно.");
  return false;
}

void TDriver::MakeDocument(const TDocumentRequest& request, const std::function<void()>& make,
                           const std::function<void()>& output) {
  if (SettleUndecided(&request, output)) return;
  TDevice& dev = Device();
  dev.DocumentMark = {};
  std::exception_ptr error;
  std::string failure;
  try {
    make();
    return;
  } catch (const std::exception& e) {
    if (!dev.DocumentMark.Noted) throw;  // the register never got the closing call
    error = std::current_exception();
    failure = e.what();
  }
  const TDevice::TDocumentMark mark = dev.DocumentMark;

  // Ask the register. A register that answers the closing call but not these questions still
  // made the document when the closing call succeeded.
  std::optional<bool> printed;
  try {
    dev.Call("checkDocumentClosed");
    printed = dev.GetParamBool("LIBFPTR_PARAM_DOCUMENT_PRINTED");
  } catch (const std::exception&) {
  }
  std::optional<std::int64_t> count;
  try {
    count = dev.DocumentCount(mark);
  } catch (const std::exception&) {
  }
  if (!mark.Closed) {
    if (!count) {
      FUndecided[RegisterKey(Instance())] = {request, mark, failure};
      throw std::runtime_error(
          Named(request, std::nullopt) + " мог быть сформирован: ККТ не ответила (" +
          Reason(failure) +
          "). Это будет проверено при следующем обращении к ККТ; повторный вызов с теми же "
          "данными второго документа не сформирует.");
    }
    if (*count <= mark.Before) std::rethrow_exception(error);  // not made: the register's error
  }

  // Made: the call succeeds, and the host hears what went wrong afterwards.
  if (output) output();
  const std::optional<std::int64_t> number =
      request.Numbered && count ? count : std::optional<std::int64_t>{};
  std::string message =
      Named(request, number) + " сформирован, но затем произошла ошибка: " + Reason(failure) + ".";
  if (printed && !*printed) {
    message +=
        " Документ напечатан не полностью: заправьте бумагу (или устраните неисправность "
        "принтера)";
    if (request.Numbered) {
      message += " и напечатайте копию документа";
      if (number) message += " № " + std::to_string(*number);
    }
    message += ".";
  } else if (!printed && request.Numbered) {
    message += " Если документ не напечатан, напечатайте его копию.";
  }
  message += " Повторять операцию не нужно.";
  Notify(message);
}

}  // namespace vantorel
