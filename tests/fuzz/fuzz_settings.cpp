// The settings document of ConnectEquipment and EquipmentTest.
#include "fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& s = fuzzhost::Session::Next();
  const auto settings = fuzzhost::TextFrom(data, size);
  auto c =
      s.Call("ConnectEquipment", {fuzzhost::Value::Empty(), fuzzhost::Value::Empty(), settings});
  if (c.result->boolean) s.Call("DisconnectEquipment", {c.params[0]});
  s.Call("EquipmentTest",
         {fuzzhost::Value::Empty(), settings, fuzzhost::Value::Empty(), fuzzhost::Value::Empty()});
  return 0;
}
