// Marking-code requests from the host: one code at a time is checked, then accepted or declined;
// the results are kept on the session for the receipt that follows.
#include <charconv>
#include <cmath>
#include <string_view>

#include "protocol/driver.h"
#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

namespace {

// Blanks and control characters around a value do not count.
std::string_view TrimValue(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// A missing or unreadable attribute gives the default.
std::int32_t IntAttr(pugi::xml_node node, const char* name, std::int32_t def) {
  const std::string_view v = TrimValue(node.attribute(name).value());
  if (v.empty()) return def;
  std::string_view digits = v;
  if (digits.front() == '+') digits.remove_prefix(1);
  std::int32_t out = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return def;
  return out;
}

// Either "." or "," may separate the decimals; a missing or unreadable attribute gives the default.
double FloatAttr(pugi::xml_node node, const char* name, double def) {
  std::string v(TrimValue(node.attribute(name).value()));
  if (v.empty()) return def;
  for (char& c : v)
    if (c == ',') c = '.';
  std::string_view digits = v;
  if (digits.front() == '+') digits.remove_prefix(1);
  double out = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
      !std::isfinite(out))
    return def;
  return out;
}

bool IsFormat12(const TDeviceDriver& instance) {
  return instance.FFDVersion == static_cast<int>(TFFDVersion::ffd12);
}

}  // namespace

void TDriver::OpenSessionRegistrationKM() {
  TDeviceDriver& in = Instance();
  if (!IsFormat12(in)) return;
  CheckShiftState(false);
  TDevice& dev = in.Device();
  dev.CancelReceipt();
  dev.ClearKMResults();
  dev.Call("cancelMarkingCodeValidation");
  dev.Call("clearMarkingCodeValidationResult");
  in.FRequestCounter = 0;
}

// Ending a marking session resets it the same way as beginning one.
void TDriver::CloseSessionRegistrationKM() { OpenSessionRegistrationKM(); }

void TDriver::RequestKM(const pugi::xml_document& inputParameters,
                        pugi::xml_document& outputParameters) {
  TDeviceDriver& in = Instance();
  if (!IsFormat12(in)) return;
  CheckShiftState(false);
  const pugi::xml_node request = xml::TopElement(inputParameters, "RequestKM");
  if (!request) throw EquException(errors::kInputParameters, errors::kNoRequestKM);
  TDevice& dev = in.Device();

  if (in.FRequestCounter == 1) {
    dev.Call("declineMarkingCode");
    dev.RemoveKMResult(in.FCurrentKM);
    in.FRequestCounter = 0;
  }

  TKMInput km;
  km.GUID = request.attribute("GUID").value();
  const auto code = encoding::Base64Decode(request.attribute("MarkingCode").value());
  if (!code) throw errors::InputError("Код маркировки MarkingCode не в кодировке Base64");
  km.KM = encoding::Cp1251ToUtf8(
      std::string_view(reinterpret_cast<const char*>(code->data()), code->size()));
  km.MarkingCodeType = 0;
  km.PlannedStatus = IntAttr(request, "PlannedStatus", 0);
  km.Quantity = FloatAttr(request, "Quantity", 0);
  km.MeasureOfQuantity = IntAttr(request, "MeasureOfQuantity", 0);
  const pugi::xml_node fraction = request.child("FractionalQuantity");
  km.Numerator = IntAttr(fraction, "Numerator", 0);
  km.Denominator = IntAttr(fraction, "Denominator", 0);
  in.FCurrentKM = km.KM;

  TKMResult result;
  try {
    dev.CheckMark(km, result, false);
  } catch (...) {
    dev.RemoveKMResult(in.FCurrentKM);
    throw;
  }
  in.FKMResult = result;

  pugi::xml_node out = outputParameters.append_child("RequestKMResult");
  xml::SetAttr(out, "Checking", (result.LocalValidationResult & 1) != 0);
  xml::SetAttr(out, "CheckingResult", (result.LocalValidationResult & 2) != 0);

  // A check whose worker saw an error has been cancelled on the register: there is nothing left
  // to accept or decline, and declining it before the next request would fail every request
  // until the marking session is reset. (Only that branch gives status 2 without an online
  // validation error.)
  const bool cancelled = result.RequestStatus == 2 && result.OnlineValidationError == 0;
  if (!cancelled) in.FRequestCounter = 1;
}

void TDriver::GetProcessingKMResult(pugi::xml_document& outputParameters,
                                    std::int32_t& requestStatus) {
  TDeviceDriver& in = Instance();
  if (!IsFormat12(in)) return;
  const TKMResult& r = in.FKMResult;
  pugi::xml_node out = outputParameters.append_child("ProcessingKMResult");
  xml::SetAttr(out, "GUID", std::string_view(r.GUID));
  xml::SetAttr(out, "Result", (r.ProcessingResult & 2) != 0);
  xml::SetAttr(out, "ResultCode", static_cast<long long>(r.MarkingValidationResult));
  xml::SetAttr(out, "StatusInfo", static_cast<long long>(r.StatusInfo));
  xml::SetAttr(out, "HandleCode", static_cast<long long>(r.ProcessingCode));
  requestStatus = r.RequestStatus;
}

void TDriver::ConfirmKM(const std::u16string&, std::int32_t confirmationType) {
  // The confirmation applies to the code of the last request, whatever GUID comes with it.
  TDeviceDriver& in = Instance();
  if (!IsFormat12(in)) return;
  in.Device().Call(confirmationType == 0 ? "acceptMarkingCode" : "declineMarkingCode");
  in.FRequestCounter = 0;
}

}  // namespace vantorel
