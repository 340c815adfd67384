// The add-in as 1C drives it, for the fuzz targets: the instrumented library is loaded once and
// one driver object with a connected virtual register serves a run of inputs. The object is
// renewed (and the register's state folder emptied) every few dozen inputs, so that the host's
// ledger of freed blocks stays small and a leak is reported close to the input that made it.
//
// Every call is held to the host contract; a breach aborts, which libFuzzer reports as a crash:
//   - the call returns true to the host (false only with an AddError, for values it cannot take);
//   - the result value is a Boolean and agrees with GetLastError (0 and "" on success, a code
//     and a text on failure);
//   - no memory fault (double free, overrun, foreign block, unterminated text...), and no block
//     left behind when the object closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component.h"

namespace fuzzhost {

using kkthost::Value;

// The bytes as host text: valid UTF-8 as its characters; every byte that is not part of a valid
// UTF-8 sequence as the lone surrogate U+DC00 + byte, so that hostile code units reach the add-in
// while XML seeds stay readable and mutate usefully.
Value TextFrom(const std::uint8_t* data, std::size_t size);

[[noreturn]] void Fail(const std::string& what);

class Session {
 public:
  // The session for the next input (renewed every `kRenewEvery` inputs).
  static Session& Next();
  static constexpr int kRenewEvery = 40;

  kkthost::Component& Object() { return *object_; }
  // The DeviceID of the connected virtual register (a shift is open unless an input closed it).
  const std::string& DeviceId() const { return deviceId_; }

  // A call held to the contract above. `hostValues` allows a false host result that comes with
  // an AddError (values of types the add-in cannot take). Returns the outcome.
  kkthost::CallOutcome Call(std::string_view method, std::vector<Value> params,
                            bool hostValues = false);
  kkthost::CallOutcome CallIndex(long index, std::vector<Value> params, kkthost::CallKind kind,
                                 bool hostValues);

  // Closes the object and checks the host's memory ledger.
  void Close();
  ~Session();

 private:
  Session();
  void Check(const kkthost::CallOutcome& out, bool hostValues);

  std::unique_ptr<kkthost::Component> object_;
  std::string deviceId_;
};

}  // namespace fuzzhost
