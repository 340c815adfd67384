// The host value boundary: any method or the property, called as a function or a procedure, with
// values of every type code, with and without the by-ref/array/vector flags. The first parameter
// is often the connected register's DeviceID so that the fiscal methods get past the device
// lookup. A value the add-in cannot take must come back as an AddError, never a crash or a leak.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_host.h"

namespace {

namespace abi = kkthost::abi;
using fuzzhost::Value;

Value RandomValue(FuzzedDataProvider& in) {
  static const std::uint16_t kFlags[] = {
      0, 0, 0, 0, abi::VTYPE_BYREF, abi::VTYPE_ARRAY, abi::VTYPE_VECTOR};
  Value v;
  std::uint16_t code = in.ConsumeIntegralInRange<std::uint16_t>(0, abi::VTYPE_CLSID + 1);
  if (code == abi::VTYPE_CLSID + 1)
    code = in.ConsumeBool() ? abi::VTYPE_STR_BLOB
                            : in.ConsumeIntegral<std::uint16_t>() & abi::VTYPE_CODE_MASK;
  v.vt = static_cast<std::uint16_t>(
      code | kFlags[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kFlags) - 1)]);
  switch (code) {
    case abi::VTYPE_PWSTR: {
      const auto bytes =
          in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 64));
      Value t = fuzzhost::TextFrom(bytes.data(), bytes.size());
      v.rawUnits = true;
      v.units = std::move(t.units);
      break;
    }
    case abi::VTYPE_PSTR:
      v.text = in.ConsumeRandomLengthString(64);
      break;
    case abi::VTYPE_BLOB:
      v.bytes = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 64));
      break;
    case abi::VTYPE_R4:
    case abi::VTYPE_R8:
    case abi::VTYPE_DATE:
      v.real = in.ConsumeFloatingPoint<double>();
      break;
    case abi::VTYPE_BOOL:
      v.boolean = in.ConsumeBool();
      break;
    case abi::VTYPE_TM:
      v.dateTime = {in.ConsumeIntegralInRange(-100, 12000), in.ConsumeIntegralInRange(-2, 14),
                    in.ConsumeIntegralInRange(-2, 33),      in.ConsumeIntegralInRange(-2, 25),
                    in.ConsumeIntegralInRange(-2, 61),      in.ConsumeIntegralInRange(-2, 62)};
      break;
    default:
      v.integer = in.ConsumeIntegral<std::int64_t>();
      break;
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  auto& s = fuzzhost::Session::Next();
  auto& object = s.Object();
  const long methods = object.MethodCount();
  const long pick = in.ConsumeIntegralInRange<long>(0, methods + 1);
  if (pick >= methods) {  // the property
    const long prop = 0;
    if (pick == methods) {
      const auto out = object.ReadPropIndex(prop);
      if (!out.memoryFaults.empty())
        fuzzhost::Fail("GetPropVal: " + out.memoryFaults[0].Describe());
    } else {
      const auto out = object.WritePropIndex(prop, RandomValue(in));
      if (!out.memoryFaults.empty())
        fuzzhost::Fail("SetPropVal: " + out.memoryFaults[0].Describe());
    }
    return 0;
  }
  const long count = object.ParamCount(pick);
  std::vector<Value> params;
  for (long i = 0; i < count; ++i) {
    if (i == 0 && in.ConsumeBool())
      params.push_back(Value::Text(s.DeviceId()));
    else
      params.push_back(RandomValue(in));
  }
  const auto kind = in.ConsumeBool() ? kkthost::CallKind::Function : kkthost::CallKind::Procedure;
  s.CallIndex(pick, std::move(params), kind, true);
  return 0;
}
