// The text document of PrintTextDocument.
#include "fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& s = fuzzhost::Session::Next();
  s.Call("PrintTextDocument",
         {fuzzhost::Value::Text(s.DeviceId()), fuzzhost::TextFrom(data, size)});
  return 0;
}
