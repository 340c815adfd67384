// The concrete fiscal-register driver exposed to the host under the name "vantorel".
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "device/device.h"
#include "protocol/device_driver.h"
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

  // ==== Device instances ====

  void ConnectEquipment(const pugi::xml_document& settings) override;
  void DisconnectEquipment(const std::u16string& deviceId) override;
  void SelectInstance(const std::u16string& deviceId) override;
  void EquipmentTest(const pugi::xml_document& settings, std::string& description,
                     std::string& demoModeIsActivated) override;
  std::u16string GetAdditionalActions() override;
  TFFDVersion DetectFFDVersion(TDeviceDriver& instance);
  // Checks the shift before shift opening (mustBeClosed) or receipts and marking codes.
  void CheckShiftState(bool mustBeClosed);
  // The current instance; "Устройство не включено" when there is none.
  TDeviceDriver& Instance() const;
  TDevice& Device() const { return Instance().Device(); }
  std::size_t InstanceCount() const { return FInstanceList.size(); }

  // ==== Paper and receipt helpers shared by the document operations ====

  // Paper finishing after a document.
  void CutAfterDocument(bool noCut, bool fiscalDocument);
  // Writes the DocumentOutputParameters result document after a receipt. `lenient`: for a
  // document already made, a value that cannot be read is left out instead of failing.
  void BuildDocumentOutputParameters(pugi::xml_document& output, bool lenient = false);
  // Prints a text line as graphic text when it carries a [gtN]...[/gtN] tag pair.
  bool PrintGraphicTextTag(const std::string& text);
  void GetGraphicTextSettings(int group, std::string& fontName, std::string& fontStyle,
                              std::int32_t& fontSize) const;

  // ==== Fiscal operations ====

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

  // ==== Shifts, reports and status ====

  // Fields of the OutputParameters document, one bit each (bit 16 selects nothing).
  enum TOutputField : std::uint32_t {
    ofShiftNumber = 1u << 0,
    ofCheckNumber = 1u << 1,
    ofShiftClosingCheckNumber = 1u << 2,
    ofDateTime = 1u << 3,
    ofShiftState = 1u << 4,
    ofCountersSell = 1u << 5,
    ofCountersSellReturn = 1u << 6,
    ofCountersBuy = 1u << 7,
    ofCountersBuyReturn = 1u << 8,
    ofBacklogDocumentsCounter = 1u << 9,
    ofCashBalance = 1u << 10,
    ofBacklogDocumentFirstNumber = 1u << 11,
    ofBacklogDocumentFirstDateTime = 1u << 12,
    ofFNError = 1u << 13,
    ofFNOverflow = 1u << 14,
    ofFNFail = 1u << 15,
    ofPayments = 1u << 17,
    ofCashInOut = 1u << 18,
    ofShortState = 1u << 19,
  };
  // Cashier, INN and PrintRequired of a shift operation's input; sets the session's report flag.
  void ReadCashierParameters(const pugi::xml_document& input);
  // Writes the selected fields into the empty output document (`lenient` as above).
  void BuildOutputParameters(pugi::xml_document& output, std::uint32_t fieldSet,
                             bool lenient = false);

  // ==== Documents made exactly once ====

  // One document as the host asks for it: what it is called in messages, whether it has a
  // storage number, and a fingerprint of everything that makes it this document (kind,
  // positions, sums, payments), so that a repeated request can be recognised.
  struct TDocumentRequest {
    std::string Kind;
    bool Numbered = true;  // a fiscal document with its own number in the storage
    std::string Fingerprint;
  };
  // A document whose closing call failed while the register could not be reached: whether it
  // was made is asked at the next call on that register.
  struct TUndecidedDocument {
    TDocumentRequest Request;
    TDevice::TDocumentMark Mark;
    std::string Failure;
  };
  // Runs a document operation so that the document is made at most once and never reported as
  // failed when the register made it. `make` does the whole operation; `output` writes the
  // output of a document already made (leniently), or nothing.
  void MakeDocument(const TDocumentRequest& request, const std::function<void()>& make,
                    const std::function<void()>& output);
  // Settles the current register's undecided document, if any, before a call. True when
  // `request` asks for that very document and the register made it: `output` has answered.
  bool SettleUndecided(const TDocumentRequest* request, const std::function<void()>& output);
  void SettleBeforeCall() override { SettleUndecided(nullptr, {}); }
  // A message for the host (AddError with status 0: shown to the user, not raised), also logged.
  void Notify(const std::string& message);
  // The undecided document of each register, by the register's connection.
  const std::map<std::string, TUndecidedDocument>& UndecidedDocuments() const { return FUndecided; }

  // How sessions reach DTO10: the library's ProgID unless a test or tool says otherwise.
  static void SetDeviceFactory(TDevice::ObjectFactory factory);

 private:
  // One position of a text document: a text line, a barcode or graphic text.
  void PrintTextPosition(pugi::xml_node position);
  // The steps of a receipt (also a correction receipt of formats 1.1 and 1.2), and of the older
  // correction receipt, each ending with the result document.
  void ReceiptSteps(bool electronically, const pugi::xml_document& checkPackage,
                    pugi::xml_document& documentOutputParameters, bool isCorrection);
  void OlderCorrectionSteps(const pugi::xml_document& package,
                            pugi::xml_document& documentOutputParameters);
  // The result document of a receipt already made, written anew from the register.
  void RefillDocumentOutput(pugi::xml_document& output);

  std::map<std::u16string, std::unique_ptr<TDeviceDriver>> FInstanceList;
  TDeviceDriver* FInstance = nullptr;
  // Kept across DisconnectEquipment/ConnectEquipment of the same register.
  std::map<std::string, TUndecidedDocument> FUndecided;
};

// Breaks a text into printer lines of at most `width` characters, preferring spaces; blank lines
// are dropped, hard line breaks kept.
void SplitTextLines(const std::string& text, std::int32_t width, std::vector<std::string>& lines);

// Registers TDriver with the class registry; runs once when the library loads.
void RegisterDriverClass();

}  // namespace vantorel
