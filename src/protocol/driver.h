// The concrete fiscal-register driver exposed to the host under the name "vantorel".
#pragma once

#include <map>
#include <memory>
#include <string>

#include "protocol/ecr_driver.h"

namespace vantorel {

class TDriver : public TEcrlDriver {
 public:
  TDriver();
  ~TDriver() override;

  static std::unique_ptr<TV8UserObject> Create();
  static const DriverClassInfo& Info();
  const DriverClassInfo& ClassInfo() const override { return Info(); }

  bool GetInterfaceRevision(V8Variant* result, V8Variant* params, long count);

  void SelectInstance(const std::u16string& deviceId) override;

  void GetDataKKT(pugi::xml_document& tableParametersKKT) override;
  void OperationFN(std::uint8_t operationType, const pugi::xml_document& parametersFiscal) override;
  void OpenShift(const pugi::xml_document& input, pugi::xml_document& output) override;
  void CloseShift(const pugi::xml_document& input, pugi::xml_document& output) override;
  void ProcessCheck(bool electronically, const pugi::xml_document& checkPackage,
                    pugi::xml_document& documentOutputParameters, bool isCorrection) override;
  void ProcessCorrectionCheck(bool electronically, const pugi::xml_document& package,
                              pugi::xml_document& documentOutputParameters) override;
  void PrintTextDocument(const pugi::xml_document& documentPackage) override;
  void CashInOutcome(const pugi::xml_document& input, std::int64_t amount) override;
  void PrintXReport(const pugi::xml_document& input) override;
  void GetCurrentStatus(const pugi::xml_document& input, pugi::xml_document& output) override;
  void ReportCurrentStatusOfSettlements(const pugi::xml_document& input,
                                        pugi::xml_document& output) override;
  void OpenCashDrawer() override;
  std::int64_t GetLineLength() override;
  void PrintCheckCopy(const std::u16string& checkNumber) override;
  void OpenSessionRegistrationKM() override;
  void CloseSessionRegistrationKM() override;
  void RequestKM(const pugi::xml_document& input, pugi::xml_document& output) override;
  void GetProcessingKMResult(pugi::xml_document& output, std::int32_t& requestStatus) override;
  void ConfirmKM(const std::u16string& guid, std::int32_t confirmationType) override;
  void SetDateTime(const std::u16string& dateTime) override;
  std::u16string GetDateTime() override;
  void GetDocumentInformation(std::int32_t docNumber, pugi::xml_document& output) override;
};

// Registers TDriver with the class registry; runs once when the library loads.
void RegisterDriverClass();

}  // namespace vantorel
