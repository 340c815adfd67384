// The check package of ProcessCheck; the length's parity picks a printed or electronic receipt.
#include "fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& s = fuzzhost::Session::Next();
  s.Call("ProcessCheck", {fuzzhost::Value::Text(s.DeviceId()), fuzzhost::Value::Bool(size % 2 != 0),
                          fuzzhost::TextFrom(data, size), fuzzhost::Value::Empty()});
  return 0;
}
