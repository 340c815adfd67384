// Marking-code checks on the register: the code is staged and the check begun on the calling
// thread; a worker thread asks the register every 50 ms whether the marking service has answered
// while the calling thread waits at most TimeoutRequestKM seconds; without an answer the code is
// checked again by the fiscal storage alone.
//
// Threads. The worker reaches the register through its own handed-off object (on Windows a COM
// proxy whose calls the owning thread carries out), so the calling thread waits with
// WaitServingCalls, both for the answer and for the worker's end. The worker and the caller share
// only FEvent and the poll state below, both guarded; the caller touches the register again only
// after the worker has finished.
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "device/device.h"
#include "support/equipment_errors.h"

namespace vantorel {

using automation::Value;

namespace {

// What the worker and the calling thread share during one check.
class TKMPoll {
 public:
  void RequestTerminate() {
    {
      std::lock_guard lock(mu_);
      terminate_ = true;
    }
    cv_.notify_all();
  }
  bool TerminateRequested() const {
    std::lock_guard lock(mu_);
    return terminate_;
  }
  // Sleeps for `interval` unless termination is asked for first; true when it was.
  bool SleepOrTerminate(std::chrono::milliseconds interval) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, interval, [this] { return terminate_; });
  }

  // The worker's findings.
  void SetStatusReady(bool ready) {
    std::lock_guard lock(mu_);
    statusReady_ = ready;
  }
  void SetFailed() {
    std::lock_guard lock(mu_);
    failed_ = true;
  }
  void SetError(std::exception_ptr error) {
    std::lock_guard lock(mu_);
    error_ = std::move(error);
  }
  void SetFinished() {
    std::lock_guard lock(mu_);
    finished_ = true;
  }
  bool StatusReady() const {
    std::lock_guard lock(mu_);
    return statusReady_;
  }
  bool Failed() const {
    std::lock_guard lock(mu_);
    return failed_;
  }
  std::exception_ptr Error() const {
    std::lock_guard lock(mu_);
    return error_;
  }
  bool Finished() const {
    std::lock_guard lock(mu_);
    return finished_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool terminate_ = false;
  bool statusReady_ = false;  // LStatusReady
  bool failed_ = false;       // getMarkingCodeValidationStatus returned an error
  std::exception_ptr error_;  // the handed-off object itself failed
  bool finished_ = false;
};

// The worker: polls until the register has the answer, reports an error, or it is told to stop.
void PollValidationStatus(automation::ThreadHandoff& handoff, TKMPoll& poll,
                          TManualResetEvent& event) {
  try {
    // Destroyed before the worker reports its end: releasing a proxy may itself be a call the
    // owning thread has to serve.
    const std::unique_ptr<automation::Object> dto = handoff.Open();
    const Value readyId = dto->get("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_READY");
    bool leftLoop = false;
    while (!poll.TerminateRequested()) {
      if (dto->call("getMarkingCodeValidationStatus").asInt() != 0) {
        poll.SetFailed();
        leftLoop = true;
        break;
      }
      const bool ready = dto->call("getParamBool", readyId).asBool();
      poll.SetStatusReady(ready);
      if (ready) {
        leftLoop = true;
        break;
      }
      if (poll.SleepOrTerminate(TDevice::kMarkingPollInterval)) break;
    }
    if (leftLoop) event.Set();
  } catch (...) {
    poll.SetError(std::current_exception());
    event.Set();  // no point in waiting out the timeout
  }
  poll.SetFinished();
}

// The LIBFPTR_MCT12_ name of a marking-code type 0..6; nothing for any other value.
const char* MarkingCodeTypeName(std::int32_t type) {
  static constexpr const char* kNames[] = {"LIBFPTR_MCT12_AUTO",        "LIBFPTR_MCT12_UNKNOWN",
                                           "LIBFPTR_MCT12_SHORT",       "LIBFPTR_MCT12_88_CHECK",
                                           "LIBFPTR_MCT12_44_NO_CHECK", "LIBFPTR_MCT12_44_CHECK",
                                           "LIBFPTR_MCT12_4_NO_CHECK"};
  if (type < 0 || type > 6) return nullptr;
  return kNames[type];
}

bool ListContains(const std::string& list, std::string_view item) {
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(';', start), list.size());
    if (std::string_view(list).substr(start, end - start) == item) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<TKMResult> TDevice::FindKMResult(const std::string& km) const {
  const auto it = FKMListResult.find(km);
  if (it == FKMListResult.end()) return std::nullopt;
  return it->second;
}

void TDevice::CheckMark(const TKMInput& input, TKMResult& result, bool gtinSale) {
  const std::int32_t status = input.PlannedStatus;

  // Stage the code and begin the check; a register still busy with an earlier check (401) has
  // that check cancelled and this one begun again, a bounded number of times.
  for (int restarts = 0;; ++restarts) {
    if (const char* typeName = MarkingCodeTypeName(input.MarkingCodeType))
      SetParam("LIBFPTR_PARAM_MARKING_CODE_TYPE", Const(typeName));
    SetParam("LIBFPTR_PARAM_MARKING_CODE", Value(input.KM));
    SetParam("LIBFPTR_PARAM_MARKING_CODE_STATUS", Value(status));
    SetParam("LIBFPTR_PARAM_MARKING_NOT_SEND_TO_SERVER", Value(gtinSale));
    if (status == 2 || status == 4) {
      SetParam("LIBFPTR_PARAM_MEASUREMENT_UNIT", Value(input.MeasureOfQuantity));
      if (input.Numerator != 0 && input.Numerator < input.Denominator &&
          input.MeasureOfQuantity == 0) {
        SetParam("LIBFPTR_PARAM_MARKING_FRACTIONAL_QUANTITY",
                 Value(std::to_string(input.Numerator) + "/" + std::to_string(input.Denominator)));
        SetParam("LIBFPTR_PARAM_QUANTITY", Value(std::int32_t{1}));
      } else {
        SetParam("LIBFPTR_PARAM_QUANTITY", Value(input.Quantity));
      }
    }
    SetParam("LIBFPTR_PARAM_MARKING_PROCESSING_MODE", Value(std::int32_t{0}));
    const std::int64_t begun = CallUnchecked("beginMarkingCodeValidation");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (begun == 0) break;
    if (restarts < kMaxMarkingRestarts && DtoDrv().get("errorCode").asInt() == 401) {
      Call("cancelMarkingCodeValidation");
      continue;
    }
    GetResult(begun);
  }

  const std::int64_t validationResult = GetParamInt("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_RESULT");
  const std::int64_t offlineError =
      GetParamInt("LIBFPTR_PARAM_MARKING_CODE_OFFLINE_VALIDATION_ERROR");

  // Poll on the worker. The handoff is made and dropped on this thread, the worker is always
  // finished and joined before this block is left, also when something here throws.
  TKMResult polled = result;  // LKMResult
  TKMPoll poll;
  bool answered = false;
  {
    auto handoff = DtoDrv().ShareWithThread();
    FEvent.Reset();
    FThread =
        std::thread(PollValidationStatus, std::ref(*handoff), std::ref(poll), std::ref(FEvent));
    struct Joiner {
      TKMPoll& poll;
      std::thread& thread;
      ~Joiner() {
        poll.RequestTerminate();
        // The worker's calls may need this thread to serve them until its very end.
        while (!automation::WaitServingCalls([this] { return poll.Finished(); },
                                             std::chrono::seconds(1))) {
        }
        thread.join();
        thread = std::thread();
      }
    } joiner{poll, FThread};
    answered = automation::WaitServingCalls(
        [this] { return FEvent.IsSet(); },
        std::chrono::milliseconds(std::int64_t{TimeoutRequestKM} * 1000));
  }

  if (const std::exception_ptr error = poll.Error()) {
    CallUnchecked("cancelMarkingCodeValidation");
    std::rethrow_exception(error);
  }
  // Without the signal the worker's findings are not taken, even if it had them a moment after
  // the timeout: the online check is cancelled below.
  const bool statusReady = answered && poll.StatusReady();
  if (answered && poll.Failed()) polled.RequestStatus = 2;

  if (!answered) {
    CallUnchecked("cancelMarkingCodeValidation");
    // The service did not answer in time: the fiscal storage checks the code on its own.
    SetParam("LIBFPTR_PARAM_MARKING_PROCESSING_MODE", Value(std::int32_t{0}));
    SetParam("LIBFPTR_PARAM_MARKING_CODE_STATUS", Value(status));
    SetParam("LIBFPTR_PARAM_MARKING_CODE", Value(input.KM));
    SetParam("LIBFPTR_PARAM_MARKING_NOT_SEND_TO_SERVER", Value(true));
    SetParam("LIBFPTR_PARAM_MARKING_WAIT_FOR_VALIDATION_RESULT", Value(false));
    Call("beginMarkingCodeValidation");
    Call("getMarkingCodeValidationStatus");
  }

  result = polled;
  if (result.RequestStatus == 2) {
    // The register reported an error while the service was asked: nothing to keep.
    CallUnchecked("cancelMarkingCodeValidation");
    return;
  }

  // Whatever is read here, the result so far is kept for the code (not for a sale by GTIN).
  struct Keep {
    TDevice& device;
    const TKMResult& result;
    bool gtinSale;
    ~Keep() {
      try {
        if (!gtinSale) device.FKMListResult.try_emplace(result.KM, result);
      } catch (...) {  // out of memory while already failing: the first error is reported
      }
    }
  } keep{*this, result, gtinSale};

  result.GUID = input.GUID;
  result.KM = input.KM;
  result.LocalValidationResult = static_cast<std::int32_t>(validationResult);
  result.OfflineValidationError = static_cast<std::int32_t>(offlineError);
  result.PlannedStatus = status;
  result.OnlineValidationError =
      static_cast<std::int32_t>(GetParamInt("LIBFPTR_PARAM_MARKING_CODE_ONLINE_VALIDATION_ERROR"));
  if (result.OnlineValidationError != 0) {
    result.RequestStatus = 2;
  } else if (!statusReady) {
    result.RequestStatus = 1;
  } else {
    result.RequestStatus = 0;
    const auto tagInt = [this](std::int32_t tag) {
      return static_cast<std::int32_t>(GetParamId(TParamType::dtpInt, Value(tag)).asInt());
    };
    result.MarkingValidationResult = tagInt(2106);
    result.TLVList = GetParamString("LIBFPTR_PARAM_TLV_LIST");
    const auto optional = [&](std::int32_t tag) {
      return ListContains(result.TLVList, std::to_string(tag)) ? tagInt(tag) : 0;
    };
    result.StatusInfo = optional(2109);
    result.ProcessingResult = optional(2005);
    result.ProcessingCode = optional(2105);
    result.KMType = optional(2100);
    result.RequestDate = tagInt(2114);
  }
}

}  // namespace vantorel
