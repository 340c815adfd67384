// The RequestKM document, then the result and the confirmation as the host asks for them.
#include "fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzzhost::Value;
  auto& s = fuzzhost::Session::Next();
  const Value id = Value::Text(s.DeviceId());
  s.Call("RequestKM", {id, fuzzhost::TextFrom(data, size), Value::Empty()});
  s.Call("GetProcessingKMResult", {id, Value::Empty(), Value::Empty()});
  if (size % 3 == 0)
    s.Call("ConfirmKM", {id, Value::Text("{00000000-0000-0000-0000-000000000000}"), Value::I4(0)});
  return 0;
}
