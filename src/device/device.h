// The session with one cash register over its DTO10 automation object.
//
// TDevice owns the object, creates it on first use and checks the library's version at every use,
// opens the connection, turns DTO10 error returns into errors and carries the register's print
// options. The device operations (receipts, reports, shifts, marking codes, stored documents) are
// further member functions of this class, declared in their own sections below and defined in
// their own source files.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "device/automation.h"
#include "marking/km_types.h"
#include "marking/manual_reset_event.h"

namespace pugi {
class xml_node;
}

namespace vantorel {

// Fiscal data format version of a register.
enum class TFFDVersion { ffd10, ffd105, ffd11, ffd12 };

// The kind of value a one-value query returns, and the query call it uses.
enum class TParamType { dtpString, dtpInt, dtpDouble, dtpBool, dtpDateTime };
enum class TMethodType { mtCommon, mtFN };

// What a reader collects: text key -> value, every key added once, iterated in key order.
// Readers whose keys differ may fill one dictionary together.
class TDeviceData {
 public:
  using Map = std::map<std::string, automation::Value, std::less<>>;

  // Throws std::runtime_error when the key is already there; the dictionary is left unchanged.
  void Add(std::string key, automation::Value value);
  bool Contains(std::string_view key) const { return items_.find(key) != items_.end(); }
  // Throws std::out_of_range for a missing key.
  const automation::Value& At(std::string_view key) const;
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  Map::const_iterator begin() const { return items_.begin(); }
  Map::const_iterator end() const { return items_.end(); }

 private:
  Map items_;
};

// How to reach the register (the device instance's settings).
struct TConnectionSettings {
  // 0 serial, 1 TCP/IP, 2 USB, 3 Bluetooth; any other value sends no port settings.
  std::int32_t ConnectionType = 0;
  std::string AccessPassword;
  std::string OperatorPassword;
  std::int32_t PortNumber = 0;  // serial: COM<PortNumber>
  std::int32_t BaudRate = 115200;
  std::string IPAddress;
  std::int32_t TCPPort = 0;
  std::int32_t OFDChannel = 0;  // non-zero: the register sends to the fiscal data operator itself
  std::string MACAddress;
};

// The ProgID of the register maker's driver library and the oldest version we work with.
inline constexpr std::string_view kDtoProgId = "AddIn.Fptr10";
inline constexpr std::string_view kDtoMinimumVersion = "10.10.5.0";

// A library version as four numbers, read the way the library's version text is compared:
// "10.10.5" is 10.10.5.0, "10.10" is 10.0.0.0 (reading stops at the first missing dot), a part
// that is not an integer is 0, and the fourth part is everything after the third dot.
struct TDtoVersion {
  std::uint16_t part[4] = {0, 0, 0, 0};
  static TDtoVersion Parse(std::string_view text);
  friend auto operator<=>(const TDtoVersion&, const TDtoVersion&) = default;
};

class TDevice {
 public:
  using ObjectFactory = std::function<std::unique_ptr<automation::Object>()>;

  // The DTO10 object comes from the ProgID AddIn.Fptr10 on first use.
  TDevice();
  // The DTO10 object comes from `factory` on first use (tests, tools). A factory that throws or
  // returns nothing counts as a missing library.
  explicit TDevice(ObjectFactory factory);
  // Closes the connection and releases the object.
  ~TDevice();
  TDevice(const TDevice&) = delete;
  TDevice& operator=(const TDevice&) = delete;

  // ==== Session ====

  // The DTO10 object: created on first use, its version checked at every use, held until the
  // session ends (also after a failed check). Throws std::runtime_error with the user's texts for
  // a missing library or one older than kDtoMinimumVersion. Every DTO10 call goes through here.
  automation::Object& DtoDrv();
  // Whether the object has been created (no DTO10 call).
  bool HasDtoDrv() const { return dto_ != nullptr; }

  // Applies the connection settings and opens the connection. Throws on any failure; the object
  // stays held.
  void Connect(const TConnectionSettings& settings);
  // Closes the connection if there is an object; never throws. The object stays held.
  void Disconnect() noexcept;
  // Turns a DTO10 return into an error: 0 does nothing (and calls nothing); any other value throws
  // std::runtime_error "[errorCode] - errorDescription " as the object reports them.
  void GetResult(std::int64_t codeError);

  // ==== DTO10 calls ====
  // Every LIBFPTR_ name is read from the object where it is used; the system holds no numeric
  // value of its own. Fiscal tags are plain numbers.

  // The value the object gives for a LIBFPTR_ name.
  automation::Value Const(std::string_view name);
  // Calls a DTO10 operation without arguments and checks its return through GetResult.
  void Call(std::string_view method);
  // Calls a DTO10 operation and returns its return code without checking it.
  std::int64_t CallUnchecked(std::string_view method);
  // setParam with the id named by a LIBFPTR_ name, a fiscal tag number, or an id already read.
  void SetParam(std::string_view name, const automation::Value& value);
  void SetTag(std::int32_t tag, const automation::Value& value);
  void SetParamId(const automation::Value& id, const automation::Value& value);
  // getParam<type>(id) with the output named by a LIBFPTR_ name, normalised to the type:
  // dtpInt -> int64, dtpDouble -> double, dtpBool -> bool, dtpString -> text, dtpDateTime -> date.
  automation::Value GetParam(TParamType type, std::string_view name);
  automation::Value GetParamId(TParamType type, const automation::Value& id);
  std::int64_t GetParamInt(std::string_view name);
  double GetParamDouble(std::string_view name);
  bool GetParamBool(std::string_view name);
  std::string GetParamString(std::string_view name);
  automation::Date GetParamDateTime(std::string_view name);
  automation::Bytes GetParamByteArray(std::string_view name);

  // ==== Device settings and clock ====

  // The device setting `settingId` as text (readDeviceSetting, checked).
  std::string ReadSetting(const automation::Value& settingId);
  // The register's clock. queryData is not checked here: a failing query yields whatever the
  // library reports.
  automation::Date GetDateTime();
  void SetDateTime(automation::Date dateTime);

  // ==== Queries and readers ====

  // setParam(queryType, queryValue), queryData or fnQueryData (checked), then the output `paramId`
  // read as `paramType`. The caller passes constants it has read, e.g.
  //   RunQuery(Const("LIBFPTR_PARAM_DATA_TYPE"), Const("LIBFPTR_DT_SHIFT_STATE"),
  //            Const("LIBFPTR_PARAM_SHIFT_STATE"), TParamType::dtpInt, TMethodType::mtCommon)
  automation::Value RunQuery(const automation::Value& queryType,
                             const automation::Value& queryValue, const automation::Value& paramId,
                             TParamType paramType, TMethodType methodType);
  // setParam(queryType, queryValue), setParam(tag, tagValue), fnQueryData (checked), then
  // LIBFPTR_PARAM_TAG_VALUE as text.
  std::string RunQueryTag(const automation::Value& queryType, const automation::Value& queryValue,
                          const automation::Value& tag, const automation::Value& tagValue);
  // The readers add their keys to `data`; a key already present fails (see TDeviceData::Add).
  void GetKKTState(TDeviceData& data);
  void GetRegInfo(TDeviceData& data);
  void GetFNInfo(TDeviceData& data);
  void GetFFDVersions(TDeviceData& data);
  void GetFNLastRegistration(TDeviceData& data);

  // ==== Print options of the register (set from the device instance's settings) ====

  bool DisableCut = false;
  std::int32_t ReceiptFontNumber = 0;  // text inside receipts; 0 = the register's default
  bool ReceiptUseDoubleHeight = false;
  bool ReceiptUseDoubleWidth = false;
  std::int32_t FontNumber = 0;  // non-fiscal text documents; 0 = the register's default
  bool UseDoubleHeight = false;
  bool UseDoubleWidth = false;
  std::int32_t RibbonWidth = 0;  // printable width in millimetres
  bool PrintReportElectronically = false;
  TFFDVersion FFDVersion = TFFDVersion::ffd10;
  std::int32_t TimeoutRequestKM = 0;  // seconds

  // ==== Further operations ====
  // Receipts, text documents, reports, shifts, registration, marking codes and stored documents
  // add their member functions (and the state they need) in sections of their own here.

  // ==== Receipts ====

  // Opens a receipt of the host's type 1 sale, 2 sale return, 3 purchase, 4 purchase return
  // (1004 for anything else); electronic receipts are not printed.
  void OpenReceipt(std::int32_t recType, bool electronically, bool isCorrection);
  // Registers the payments (cash last) and closes the receipt. Sums are currency values.
  struct Payments {
    std::int64_t Cash = 0, ElectronicPayment = 0, AdvancePayment = 0, Credit = 0, CashProvision = 0,
                 Payment6 = 0, Payment7 = 0, Payment8 = 0, Payment9 = 0, Payment10 = 0;
  };
  // The storage's last document number is noted in DocumentMark just before closeReceipt.
  void CloseReceipt(const Payments& payments);
  // One receipt-level tax total: `tax` is a LIBFPTR_TAX_ constant's value, `sum` currency.
  void SetTax(std::int64_t sum, const automation::Value& tax);
  // Cancels the receipt open on the register, if any (the cancellation itself is not checked).
  void CancelReceipt();
  // Raises when the last document was not closed or not printed.
  void IsDocClosed();

  // ==== Documents made exactly once ====

  // What a document operation knows about its document once it reaches the closing call
  // (closeReceipt, openShift, the Z report, the cash document): a failure from there on is decided
  // by asking the register whether the document was made, never by guessing.
  struct TDocumentMark {
    bool Noted = false;          // the closing call was reached; `Before` holds the count
    bool Closed = false;         // the closing call succeeded: the document is made
    bool ByCashCounter = false;  // a cash document: counted by the shift's cash documents
    bool CashOut = false;        // ... of withdrawals (else of deposits)
    std::int64_t Before = 0;     // the storage's last document number (or the cash count) before
  };
  // Cleared by the driver when a document operation starts.
  TDocumentMark DocumentMark;
  // The storage's last fiscal document number (fnQueryData, checked).
  std::int64_t LastDocumentNumber();
  // The shift's state as the register reports it: 0 closed, 1 open, 2 over 24 hours (checked).
  std::int64_t ShiftState();
  // The shift's number of deposits (or withdrawals), checked.
  std::int64_t CashDocumentCount(bool cashOut);
  // The count the document is decided by, as it is now (checked).
  std::int64_t DocumentCount(const TDocumentMark& mark);

  // ==== Text, barcodes, paper ====

  enum class TBarCodeType { btEAN8, btEAN13, btCODE39, btQR };
  void PrintString(const std::string& text);       // non-fiscal text line
  void ReceiptPrintText(const std::string& text);  // free text inside a receipt
  void PrintBarCode(std::string code, TBarCodeType type);
  void Cut(bool part);
  void Feed(std::int32_t count);
  void BeginNonfiscalDocument();
  void EndNonfiscalDocument(bool footer);
  // Renders the text in its font at the paper's width and prints it as a picture.
  void PrintGraphicText(const std::string& text, const std::string& fontName,
                        const std::string& fontStyle, std::int32_t fontSize);

  // ==== Item registration ====

  // One receipt position, its values already converted from the check package.
  struct TItem {
    std::string Name;
    std::int64_t PriceWithDiscount = 0;  // currency (ten-thousandths)
    double Quantity = 0;
    std::int64_t SumWithDiscount = 0;  // currency
    std::int64_t DiscountSum = 0;      // currency
    std::int32_t Tax = 0;              // tax code 1 to 10
    std::int64_t TaxSum = 0;           // currency
    std::uint8_t Department = 0;
    std::uint8_t SignCalculationObject = 0;         // tag 1212
    std::uint8_t SignMethodCalculation = 0;         // tag 1214
    std::int32_t SignSubjectCalculationAgent = -1;  // tag 1222; -1 none
    std::optional<automation::Bytes> MarkingCode;   // none: the position is not marked
    std::string AdditionalAttribute;                // tag 1191
    std::string CountryOfOrigin;                    // tag 1230
    std::string CustomsDeclaration;                 // tag 1231
    std::int64_t ExciseAmount = 0;                  // currency, tag 1229
    std::string MeasurementUnit;                    // tag 1197
    std::int32_t MeasureOfQuantity = 0;             // tag 2108
    std::int32_t Numerator = 0, Denominator = 0;
    std::string IndustryDocumentDate, IndustryIdentifierFOIV, IndustryDocumentNumber,
        IndustryAttributeValue;
    std::string GoodCodeData;  // product code text chosen from the good-code element
    const pugi::xml_node* GoodCodeDataNode = nullptr;  // that element, when there is one
  };
  // Registers one position in the open receipt.
  void RegisterItem(const TItem& item);
  // The tag 1162 value of a marking code (older formats).
  automation::Bytes GetTag1162(const std::string& markingCode);
  // Stages every phone of a ";"-separated list as one value of `tag`.
  void SetAgentPhones(std::int32_t tag, const std::string& phones);

  // ==== Receipt attributes and agent data ====

  // What the receipt attribute steps hand back for the sales notice.
  struct TReceiptAttributes {
    std::optional<automation::Bytes> IndustryValue;  // composed tag 1261
    std::string CustomerINN;                         // trimmed
  };
  // Stages the user attribute, customer details and (format 1.2) operational and industry
  // attributes of a check package's Parameters element.
  TReceiptAttributes StageReceiptAttributes(const pugi::xml_node& parameters);
  // Stages agent and supplier data: the receipt's (Parameters' AgentData/VendorData and
  // AgentType) or one position's (its own AgentData/VendorData; agentType unused). Either element
  // may be empty. A position's composed agent and supplier tags (1223, 1224) and 1226 are staged
  // by the RegisterItem that follows.
  void StageAgentData(bool forReceipt, const pugi::xml_node& agentData,
                      const pugi::xml_node& vendorData, std::int32_t agentType);
  // A staged fiscal tag: number and value.
  using TStagedTag = std::pair<std::int32_t, automation::Value>;

 private:
  // A position's tags 1226, 1223 and 1224 from StageAgentData, held back for the next
  // RegisterItem: DTO10 folds every staged tag into the next composed tag, so they are staged
  // after the position's own compositions.
  std::vector<TStagedTag> FItemAgentTags;

 public:
  // ==== Marking codes ====

  // Checks one code on the register (and with the marking service unless gtinSale); the result
  // is stored in the result list unless gtinSale.
  void CheckMark(const TKMInput& input, TKMResult& result, bool gtinSale);
  // The stored result of a code, when there is one.
  std::optional<TKMResult> FindKMResult(const std::string& km) const;
  // The results of the current marking session by code (exact, letter case kept). A code is
  // added once: a later check of the same code leaves the first result in place.
  const std::map<std::string, TKMResult>& KMListResult() const { return FKMListResult; }
  void RemoveKMResult(const std::string& km) { FKMListResult.erase(km); }
  void ClearKMResults() { FKMListResult.clear(); }
  // A register answering 401 ("a check is in progress") has its check cancelled and begun again
  // at most this many times; then the 401 is reported.
  static constexpr int kMaxMarkingRestarts = 3;
  // How often the worker asks the register whether the marking service has answered.
  static constexpr std::chrono::milliseconds kMarkingPollInterval{50};

 private:
  // Only the calling thread touches the list; the worker shares nothing but FEvent and the
  // guarded poll state local to CheckMark.
  std::map<std::string, TKMResult> FKMListResult;
  TManualResetEvent FEvent;  // set by the polling worker when it has an answer or an error
  std::thread FThread;       // the polling worker of the check in progress

 public:
  // ==== Shifts, reports and status ====

  enum class TReceiptType { rtSell, rtSellReturn, rtBuy, rtBuyReturn, rtCashIn, rtCashOut };
  enum class TPaymentType { ptCash, ptElectroncally, ptPrepaid, ptCredit, ptBarter };

  // Logs the cashier in and opens the shift (reports follow PrintReportElectronically).
  void OpenShift(const std::string& cashierName, const std::string& cashierVATIN);
  // Closes the shift with the Z report; 3005 when no shift is open.
  void CloseShift(const std::string& cashierName, const std::string& cashierVATIN);
  // The X report; nothing at all while reports are made electronically.
  void XReport();
  // A deposit (amount 0 or above) or a withdrawal (below 0); `summ` is currency.
  void CashInOutcome(std::int64_t summ);
  void OpenDrawer();
  void ReportCurrentStatusOfSettlements();
  void GetKKTShortState(bool& isCashDrawerOpened, bool& isPaperPresent, bool& isPaperNearEnd,
                        bool& isCoverOpened);
  // Counters of the current shift for a receipt kind (rtSell to rtBuyReturn). The storage query
  // is not checked: a register without these totals yields what the library reports.
  void GetOperationCounters(TReceiptType receiptType, std::int32_t& receiptCount,
                            std::int32_t& correctionCount, double& receiptSum,
                            double& correctionSum);
  // Shift payment sum of one payment type for a receipt kind (rtSell to rtBuyReturn).
  double GetPayments(TReceiptType receiptType, TPaymentType paymentType);
  // Shift deposits (rtCashIn) or withdrawals (rtCashOut).
  void GetCashInOutCounters(TReceiptType receiptType, std::int32_t& count, double& sum);

  // Registration (1), change of registration parameters (2) or closing of the fiscal storage (3)
  // with the fiscal parameters document's attributes (texts as text, flags as Booleans).
  void FNOperation(std::uint8_t operationType, const TDeviceData& data);

  // ==== Stored documents ====

  enum class TTagType { tpSTLV, tpString, tpByteArray, tpDouble, tpInt, tpDateTime, tpBool };
  enum class TTagSection { tsMain, tsGoodPosition };
  // One tag read back from a stored document.
  struct TRecordFN {
    std::int32_t TagNumber = 0;
    std::string TagName;
    automation::Value TagValue;
    TTagType TagType = TTagType::tpString;
    TTagSection TagSection = TTagSection::tsMain;
  };
  // The tags of the document read last, parents before their children.
  std::vector<TRecordFN> RecordFNList;

  // Reads document `docNumber` (0 or below: the last one) from the fiscal storage into `output`
  // (an empty document) as a CheckPackage.
  void GetDocumentFromFN(std::int32_t docNumber, pugi::xml_node& output);
  // Prints a copy of stored document `checkNumber` (0: the last document).
  void PrintDocCopy(std::int64_t checkNumber);

 private:
  // One reader: stages the query type, runs the query (checked), then reads each output.
  struct ReaderField {
    const char* key;
    const char* output;  // a LIBFPTR_ name, or nullptr when `tag` names a fiscal tag
    std::int32_t tag;
    TParamType type;
  };
  void RunReader(TDeviceData& data, const char* queryTypeName, const char* queryValueName,
                 TMethodType method, std::span<const ReaderField> fields);
  void SetSingleSetting(std::string_view setting, const std::string& value);
  void SetSingleSettingConst(std::string_view setting, std::string_view valueName);

  ObjectFactory factory_;
  std::unique_ptr<automation::Object> dto_;
};

}  // namespace vantorel
