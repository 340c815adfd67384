// The methods every driver of the equipment standard (interface revision 4004) has, whatever its
// equipment type: revision, description, last error, connection, settings page, parameters,
// connection test, additional actions, application information and localization.
#pragma once

#include <pugixml.hpp>
#include <string>

#include "addin/custom_driver.h"

namespace vantorel {

enum class TEquipmentType {
  etScanner = 0,
  etMCR,
  etFR,
  etReceiptPrinter,
  etLabelPrinter,
  etCustomerDisplay,
  etDataCollectionTerminal,
  etAcquiringTerminal,
  etScale,
  etPrintingScale,
  etRFIDReader,
  etECR,
  etVideocamera,
  etElectronicLock,
  etUnknown,
};
// The type's name as the host knows it ("ККТ"); throws "Enum value unacceptable".
std::string EquipmentTypeName(TEquipmentType type);

struct TDriverInfo {
  std::string Name;
  std::string Description;
  TEquipmentType EquipmentType = TEquipmentType::etUnknown;
  bool IntegrationComponent = false;
  bool MainDriverInstalled = false;
  std::string DriverVersion;
  std::string IntegrationComponentVersion;
  std::string DownloadURL;
  bool LogIsEnabled = false;
  std::string LogPath;
};

// The driver information of the library, filled when the driver registers.
TDriverInfo& DriverInfo();
// The library file's version as "major.minor.release.build".
std::string LibraryVersionText();

class TCommonDriver : public TCustomDriver {
 public:
  TCommonDriver();

  static void UpdateDriverInfo(TDriverInfo& info);
  static void RegisterDriver(CreateProc create, const DriverClassInfo& info,
                             const std::u16string& extension, const std::string& name,
                             const std::string& description);
  // The declarations of this class, appended after those of a descendant.
  static void Declare(DriverClassInfo& info);

  // Operations the concrete driver supplies or replaces.
  virtual void ConnectEquipment(const pugi::xml_document& settings);
  virtual void DisconnectEquipment(const std::u16string& deviceId);
  virtual void SelectInstance(const std::u16string& deviceId) = 0;
  virtual void EquipmentTest(const pugi::xml_document& settings, std::string& description,
                             std::string& demoModeIsActivated);
  virtual std::u16string SettingsPageText();
  virtual std::u16string DescriptionText();
  virtual std::u16string GetAdditionalActions();
  virtual void RunAdditionalAction(const std::u16string& name);

  // The live value of the LogEnabled property.
  bool LogEnabled() const;
  void SetLogEnabled(bool on);

  // Exported methods.
  bool GetInterfaceRevision(V8Variant* result, V8Variant* params, long count);
  bool GetDescription(V8Variant* result, V8Variant* params, long count);
  bool GetLastError(V8Variant* result, V8Variant* params, long count);
  bool ConnectEquipmentM(V8Variant* result, V8Variant* params, long count);
  bool DisconnectEquipmentM(V8Variant* result, V8Variant* params, long count);
  bool EquipmentParameters(V8Variant* result, V8Variant* params, long count);
  bool SetParameter(V8Variant* result, V8Variant* params, long count);
  bool EquipmentTestM(V8Variant* result, V8Variant* params, long count);
  bool GetAdditionalActionsM(V8Variant* result, V8Variant* params, long count);
  bool DoAdditionalAction(V8Variant* result, V8Variant* params, long count);
  bool EquipmentAutoSetup(V8Variant* result, V8Variant* params, long count);
  bool SetApplicationInformation(V8Variant* result, V8Variant* params, long count);
  bool GetLocalizationPattern(V8Variant* result, V8Variant* params, long count);
  bool SetLocalization(V8Variant* result, V8Variant* params, long count);

  // Additional actions.
  void ViewLog();
  void ShowHelp();

 public:
  // The DeviceID of the last connection (what ConnectEquipment returns to the host).
  const std::u16string& CurrentDeviceIdForTests() const { return FDeviceID; }

 protected:
  const std::u16string& CurrentDeviceId() const { return FDeviceID; }
  void SetCurrentDeviceId(std::u16string id) { FDeviceID = std::move(id); }
};

}  // namespace vantorel
