// One connected register: its settings from the host's settings document, its run-time state
// and its session.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "addin/custom_driver.h"
#include "device/automation.h"
#include "marking/km_types.h"

namespace vantorel {

class TDevice;

enum class TPlatformVersion { pv5, pvOld };

// The VAT rate texts a check package may name, in the order that gives their tax codes.
class TTaxValues {
 public:
  // 1-based position of the rate text (letter case ignored), 0 when it is not a known rate.
  int IDOfTax(std::string_view taxValue) const;
  static const std::array<const char*, 12>& Values();
};

struct GraphicTextStyle {
  std::string FontName = "Arial";
  std::int32_t FontSize = 40;
  bool IsBold = false, IsItalic = false, IsStrikeout = false, IsUnderline = false;
};

class TDeviceDriver {
 public:
  // The session reaches DTO10 through `factory` when one is given, else through the ProgID.
  explicit TDeviceDriver(std::function<std::unique_ptr<automation::Object>()> factory = {});
  ~TDeviceDriver();
  TDeviceDriver(const TDeviceDriver&) = delete;
  TDeviceDriver& operator=(const TDeviceDriver&) = delete;

  // Settings (filled by name from the settings document; the instance starts with zeroes).
  std::int32_t PortNumber = 0;
  std::int32_t BaudRate = 0;
  std::string OperatorPassword;
  std::string AccessPassword;
  std::string IPAddress;
  std::int32_t IPPort = 0;
  std::string MACAddress;
  std::int32_t OFDChannel = 0;
  std::string CutString;
  bool DisableCut = false;
  std::int32_t RibbonWidth = 0;
  std::uint8_t EnablePrinting = 0;
  std::uint8_t EnableReportPrinting = 0;
  bool ReceiptTextAvailable = false;
  std::int32_t ReceiptFontNumber = 0;
  bool ReceiptUseDoubleWidth = false;
  bool ReceiptUseDoubleHeight = false;
  std::int32_t FontNumber = 0;
  bool UseDoubleWidth = false;
  bool UseDoubleHeight = false;
  std::int32_t TimeoutRequestKM = 0;
  std::array<GraphicTextStyle, 5> GraphicText{};
  bool LogEnabled = false;
  std::int32_t LineLength = 0;

  // The session; "Устройство не включено" when there is none.
  TDevice& Device() const;

  // Run-time state.
  TTaxValues TaxValues;
  int FFDVersion = 0;  // TFFDVersion of the device session
  TPlatformVersion PlatformVer = TPlatformVersion::pv5;
  std::string FirmwareVersion;
  bool AutoCut = false;
  bool IsOffline = false;
  std::string CashierName;
  std::string CashierINN;
  std::int32_t PrintRequired = -1;

  // Marking-code requests of this instance.
  TKMResult FKMResult;         // the result of the last RequestKM
  std::string FCurrentKM;      // the code of the last RequestKM
  std::int32_t FRequestCounter = 0;  // 1 while that code is neither accepted nor declined

  // The settings as properties, for applying a settings document by name.
  static const std::vector<PropDecl>& Properties();
  // Finds a property by name, ignoring letter case; null when there is none.
  static const PropDecl* FindProperty(std::string_view name);

 private:
  std::unique_ptr<TDevice> FDevice;
};

}  // namespace vantorel
