// The 22 methods of the fiscal-register (KKT) interface, revision 4004. Each is a uniform
// adapter: select the device instance named by the first parameter, unpack the host values,
// call one fiscal operation, write the results back and record the outcome.
#pragma once

#include <cstdint>
#include <pugixml.hpp>
#include <string>

#include "protocol/common_driver.h"

namespace vantorel {

class TEcrlDriver : public TCommonDriver {
 public:
  TEcrlDriver() { UpdateDriverInfo(DriverInfo()); }
  static void UpdateDriverInfo(TDriverInfo& info);
  static void Declare(DriverClassInfo& info);

  // Runs before every fiscal-register method except those making a document, once the instance
  // is selected: settles what an earlier call left undecided on that register.
  virtual void SettleBeforeCall() {}

  // Fiscal operations, implemented by the concrete driver.
  virtual void GetDataKKT(pugi::xml_document& tableParametersKKT) = 0;
  virtual void OperationFN(std::uint8_t operationType,
                           const pugi::xml_document& parametersFiscal) = 0;
  virtual void OpenShift(const pugi::xml_document& input, pugi::xml_document& output) = 0;
  virtual void CloseShift(const pugi::xml_document& input, pugi::xml_document& output) = 0;
  virtual void ProcessCheck(bool electronically, const pugi::xml_document& checkPackage,
                            pugi::xml_document& documentOutputParameters, bool isCorrection) = 0;
  virtual void ProcessCorrectionCheck(bool electronically, const pugi::xml_document& package,
                                      pugi::xml_document& documentOutputParameters) = 0;
  virtual void PrintTextDocument(const pugi::xml_document& documentPackage) = 0;
  // The amount is a currency value: ten-thousandths of the money unit.
  virtual void CashInOutcome(const pugi::xml_document& input, std::int64_t amount) = 0;
  virtual void PrintXReport(const pugi::xml_document& input) = 0;
  virtual void GetCurrentStatus(const pugi::xml_document& input, pugi::xml_document& output) = 0;
  virtual void ReportCurrentStatusOfSettlements(const pugi::xml_document& input,
                                                pugi::xml_document& output) = 0;
  virtual void OpenCashDrawer() = 0;
  virtual std::int64_t GetLineLength() = 0;
  virtual void PrintCheckCopy(const std::u16string& checkNumber) = 0;
  virtual void OpenSessionRegistrationKM() = 0;
  virtual void CloseSessionRegistrationKM() = 0;
  virtual void RequestKM(const pugi::xml_document& input, pugi::xml_document& output) = 0;
  virtual void GetProcessingKMResult(pugi::xml_document& output, std::int32_t& requestStatus) = 0;
  virtual void ConfirmKM(const std::u16string& guid, std::int32_t confirmationType) = 0;
  virtual void SetDateTime(const std::u16string& dateTime) = 0;
  virtual std::u16string GetDateTime() = 0;
  virtual void GetDocumentInformation(std::int32_t docNumber, pugi::xml_document& output) = 0;

  // Exported adapters.
  bool GetDataKKTM(V8Variant* result, V8Variant* params, long count);
  bool OperationFNM(V8Variant* result, V8Variant* params, long count);
  bool OpenShiftM(V8Variant* result, V8Variant* params, long count);
  bool CloseShiftM(V8Variant* result, V8Variant* params, long count);
  bool ProcessCheckM(V8Variant* result, V8Variant* params, long count);
  bool ProcessCorrectionCheckM(V8Variant* result, V8Variant* params, long count);
  bool PrintTextDocumentM(V8Variant* result, V8Variant* params, long count);
  bool CashInOutcomeM(V8Variant* result, V8Variant* params, long count);
  bool PrintXReportM(V8Variant* result, V8Variant* params, long count);
  bool GetCurrentStatusM(V8Variant* result, V8Variant* params, long count);
  bool ReportCurrentStatusOfSettlementsM(V8Variant* result, V8Variant* params, long count);
  bool OpenCashDrawerM(V8Variant* result, V8Variant* params, long count);
  bool GetLineLengthM(V8Variant* result, V8Variant* params, long count);
  bool PrintCheckCopyM(V8Variant* result, V8Variant* params, long count);
  bool OpenSessionRegistrationKMM(V8Variant* result, V8Variant* params, long count);
  bool CloseSessionRegistrationKMM(V8Variant* result, V8Variant* params, long count);
  bool RequestKMM(V8Variant* result, V8Variant* params, long count);
  bool GetProcessingKMResultM(V8Variant* result, V8Variant* params, long count);
  bool ConfirmKMM(V8Variant* result, V8Variant* params, long count);
  bool SetDateTimeM(V8Variant* result, V8Variant* params, long count);
  bool GetDateTimeM(V8Variant* result, V8Variant* params, long count);
  bool GetDocumentInformationM(V8Variant* result, V8Variant* params, long count);

 private:
  // Selects the device of P1, runs the body, records the outcome: equipment errors keep their
  // code, everything else is 1001.
  // `document`: the method makes a document and settles what was left undecided itself.
  template <typename Body>
  bool Adapter(V8Variant* result, V8Variant* params, Body&& body, bool document = false);
  template <typename Body>
  bool DocumentAdapter(V8Variant* result, V8Variant* params, Body&& body) {
    return Adapter(result, params, std::forward<Body>(body), true);
  }
};

// The amount of CashInOutcome as currency: ×10000, rounded half to even.
std::int64_t AmountToCurrency(double amount);

}  // namespace vantorel
