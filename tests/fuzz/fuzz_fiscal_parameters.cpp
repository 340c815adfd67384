// The fiscal parameters document of OperationFN; the length picks the operation (1 registration,
// 2 change of parameters, 3 closing the storage, 0 an unknown one). A closed storage lasts until
// the session renews the register.
#include "fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& s = fuzzhost::Session::Next();
  s.Call("OperationFN", {fuzzhost::Value::Text(s.DeviceId()),
                         fuzzhost::Value::I4(static_cast<std::int32_t>(size % 4)),
                         fuzzhost::TextFrom(data, size)});
  return 0;
}
