// Registration, change of registration parameters and closing of the fiscal storage.
#include <charconv>
#include <stdexcept>

#include "device/device.h"
#include "support/text.h"

namespace vantorel {

namespace {
std::string TextOf(const TDeviceData& data, std::string_view key) {
  return data.Contains(key) ? data.At(key).asText() : std::string();
}

bool FlagOf(const TDeviceData& data, std::string_view key) {
  return data.Contains(key) && data.At(key).asBool();
}

// Bit i (0 to lastBit) is set when the digit i occurs anywhere in the text, as GetDataKKT writes
// the lists ("0,2").
std::int32_t DigitBits(const std::string& list, int lastBit) {
  std::int32_t bits = 0;
  for (int i = 0; i <= lastBit; ++i)
    if (list.find(static_cast<char>('0' + i)) != std::string::npos) bits |= 1 << i;
  return bits;
}

std::uint32_t ReregistrationReasons(const std::string& codes) {
  // An empty list names no reason: the register decides whether it needs one. An empty item
  // inside a list ("1,,4") is a malformed list.
  if (text::Trim(codes).empty()) return 0;
  std::uint32_t reasons = 0;
  std::size_t from = 0;
  while (true) {
    const std::size_t to = codes.find_first_of(",.", from);
    const std::string part =
        text::Trim(std::string_view(codes).substr(from, to == std::string::npos ? to : to - from));
    int n = 0;
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), n);
    if (part.empty() || ec != std::errc() || end != part.data() + part.size() || n < 1 || n > 32)
      throw std::runtime_error("Некорректный код причины перерегистрации: \"" + part + "\"");
    reasons |= 1u << (n - 1);
    if (to == std::string::npos) break;
    from = to + 1;
  }
  return reasons;
}
}  // namespace

void TDevice::FNOperation(std::uint8_t operationType, const TDeviceData& data) {
  const std::string ffd = TextOf(data, "FFDVersion");
  if (ffd != "1.1" && ffd != "1.2")  // the c is a Latin letter: the text hosts already know
    throw std::runtime_error("Регистрация/Перерегистрация c данной версией ФФД невозможна");

  const auto operation = Const("LIBFPTR_PARAM_FN_OPERATION_TYPE");
  switch (operationType) {
    case 1:
      SetParamId(operation, Const("LIBFPTR_FNOP_REGISTRATION"));
      break;
    case 2: {
      const std::uint32_t reasons = ReregistrationReasons(TextOf(data, "RegistrationLabelCodes"));
      if (reasons != 0) SetTag(1205, static_cast<std::int32_t>(reasons));
      SetParamId(operation, Const((reasons & 1u) != 0 ? "LIBFPTR_FNOP_CHANGE_FN"
                                                      : "LIBFPTR_FNOP_CHANGE_PARAMETERS"));
      break;
    }
    case 3:
      SetParamId(operation, Const("LIBFPTR_FNOP_CLOSE_ARCHIVE"));
      break;
    default:
      break;
  }

  if (operationType == 1 || operationType == 2) {
    SetTag(1018, TextOf(data, "INN"));
    SetTag(1037, TextOf(data, "KKTNumber"));
    SetTag(1062, DigitBits(TextOf(data, "TaxationSystems"), 5));
    SetTag(1057, DigitBits(TextOf(data, "AgentTypes"), 6));
    SetTag(1060, TextOf(data, "FNSURL"));
    SetTag(1009, TextOf(data, "SaleAddress"));
    SetTag(1048, TextOf(data, "CompanyName"));
    SetTag(1117, TextOf(data, "SenderEmail"));
    SetTag(1187, TextOf(data, "SaleLocation"));
    if (ffd == "1.1") {
      SetTag(1209, Const("LIBFPTR_FFD_1_1"));
    } else {
      SetTag(1209, Const("LIBFPTR_FFD_1_2"));
      SetParam("LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS", FlagOf(data, "IsMarking"));
      SetParam("LIBFPTR_PARAM_PAWN_SHOP_ACTIVITY", FlagOf(data, "IsPawnshop"));
      SetParam("LIBFPTR_PARAM_INSURANCE_ACTIVITY", FlagOf(data, "IsAssurance"));
    }
    SetTag(1001, FlagOf(data, "IsAutomatic"));
    const std::string automaticNumber = TextOf(data, "AutomaticNumber");
    if (!text::Trim(automaticNumber).empty()) SetTag(1036, automaticNumber);
    SetTag(1002, FlagOf(data, "IsOffline"));
    SetTag(1056, FlagOf(data, "IsEncrypted"));
    SetTag(1108, FlagOf(data, "IsOnline"));
    SetTag(1109, FlagOf(data, "IsService"));
    SetTag(1110, FlagOf(data, "BSOSing"));
    SetTag(1126, FlagOf(data, "IsLottery"));
    SetTag(1193, FlagOf(data, "IsGambling"));
    SetTag(1207, FlagOf(data, "IsExcisable"));
    SetTag(1221, FlagOf(data, "IsAutomaticPrinter"));
    SetTag(1017, TextOf(data, "OFDCompanyINN"));
    SetTag(1046, TextOf(data, "OFDCompany"));
    SetParam("LIBFPTR_PARAM_REPORT_ELECTRONICALLY", PrintReportElectronically);
  }
  Call("fnOperation");
}

}  // namespace vantorel
