// The virtual register's state: its configuration (what kind of register it is and which faults
// it shows) and everything a real register keeps between power cycles (clock, shift, receipt,
// cash, counters, registration, fiscal storage, paper). Plain data; the operations live in
// Device, the text form in persistence.h, the database in storage.h.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vregister/fiscal_data.h"
#include "vregister/tape.h"

namespace vantorel::emulator {

using Kopecks = std::int64_t;

// One planned failure: calls of `operation` (letter case ignored; "*" any operation) are counted;
// after `skip` successful-looking calls pass, the next `times` calls fail with `code`/`description`
// (times 0: every call from then on). Consumed faults are removed.
// `after`: the operation is carried out first and the planned error is reported afterwards (the
// paper ran out after the storage recorded the document). `lost`: the link breaks: the call fails
// as a broken link does (with `after` the operation was carried out and only its answer is lost),
// and so do the next `lost` calls of any operation (a "*" fault stands for them in the list).
struct Fault {
  std::string operation;
  int skip = 0;
  int times = 1;
  int code = 0;
  std::string description;
  bool after = false;
  int lost = 0;
  friend bool operator==(const Fault&, const Fault&) = default;
};

// How the marking service answers a marking-code check sent to it.
enum class MarkingService {
  kOnline,   // answers after markingDelayMs
  kSilent,   // never answers: the status stays "not ready"
  kOffline,  // answers at once that it could not be reached (online validation error)
  kFailing,  // getMarkingCodeValidationStatus itself fails
};

struct Config {
  // The register.
  int modelNumber = 93;
  std::string modelName = "ВР-10 виртуальная ККТ";
  std::string serialNumber = "00106100000001";
  std::string configurationVersion = "5.10.3";  // "5.x" makes the driver use its platform-5 path
  std::string firmwareVersion = "5.10.3.2210";
  int deviceFfdVersion = 120;  // 100, 105, 110, 120: what the register supports
  int lineLength = 48;
  int lineLengthPix = 576;
  std::map<int, std::string> deviceSettings{{66, "1"}, {300, "1"}};
  bool cutter = true;
  // The fiscal storage fitted when the state is created.
  std::string fnSerial = "9960440300000001";
  std::string fnVersion = "fn-1.2 v2";
  int fnFfdVersion = 120;
  bool registerOnCreate = true;  // a new register starts registered (fiscal) with sample data
  // The marking service.
  MarkingService markingService = MarkingService::kOnline;
  int markingDelayMs = 500;
  std::vector<int> markingAnswerTags{2106, 2109, 2005, 2105, 2100, 2114};
  int markingValidationResult = 15;  // tag 2106
  int markingStatusInfo = 1;         // tag 2109
  int markingProcessingResult = 3;   // tag 2005 (bit 1: the code is valid)
  int markingProcessingCode = 0;     // tag 2105
  int markingCodeType = 1;           // tag 2100
  int markingOnlineError = 0;        // reported when the service is kOffline (default 2 then)
  // The exchange with the fiscal data operator.
  bool ofdConfirmsAtOnce = true;  // false: documents pile up as not sent
  // Conditions of the hardware.
  bool paperPresent = true;
  bool paperNearEnd = false;
  // The paper runs out while the next fiscal document prints: the document is made in the storage
  // but its printing stops (checkDocumentClosed then reports it not printed).
  bool paperEndsInNextDocument = false;
  bool coverOpen = false;
  bool printerError = false;
  bool fnMemoryOverflow = false;  // the storage is full: no fiscal document can be made
  bool fnNeedReplacement = false;
  bool fnResourceExhausted = false;
  bool fnCriticalError = false;
  bool fnOfdTimeout = false;
  std::vector<Fault> faults;
  // Bookkeeping of the emulator itself.
  size_t traceLimit = 100000;  // entries kept in an object's call trace, 0 = no trace
  size_t tapeLimit = 20000;    // tape items kept (and saved)
  friend bool operator==(const Config&, const Config&) = default;
};

struct Counter {
  std::int64_t count = 0;
  Kopecks sum = 0;
  friend bool operator==(const Counter&, const Counter&) = default;
};

// Per kind of receipt (1 sell, 2 sell return, 3 buy, 4 buy return: index 0..3).
struct Counters {
  std::array<Counter, 4> receipts{};
  std::array<Counter, 4> corrections{};
  std::array<std::array<Kopecks, 10>, 4> payments{};  // [kind][payment type 0..9]
  Counter cashIn;
  Counter cashOut;
  friend bool operator==(const Counters&, const Counters&) = default;
};

struct Position {
  std::string name;
  Kopecks price = 0;
  double quantity = 0;
  Kopecks sum = 0;
  int taxType = 0;  // tag 1199 code
  Kopecks taxSum = 0;
  int department = 0;
  std::vector<Tag> tags;  // everything else staged for the position
  friend bool operator==(const Position&, const Position&) = default;
};

struct Receipt {
  int type = 0;  // LIBFPTR_RT_ value of the open receipt, 0 when none is open
  bool electronic = false;
  std::vector<Tag> tags;  // receipt-level tags staged at opening (and closing)
  std::vector<Position> positions;
  std::vector<std::pair<int, Kopecks>> taxes;     // receipt-level tax totals (tag 1199 code, sum)
  std::optional<Kopecks> total;                   // set by receiptTotal
  std::vector<std::pair<int, Kopecks>> payments;  // payment type 0..9, sum
  friend bool operator==(const Receipt&, const Receipt&) = default;
};

// One document of the fiscal storage.
struct FiscalDocument {
  std::int64_t number = 0;
  int type = 0;  // 1 registration, 11 re-registration, 2 shift opening, 3 receipt, 31 correction,
                 // 5 shift closing, 6 closing the storage, 21 report on the state of settlements
  std::int64_t wallTime = 0;
  std::uint32_t fiscalSign = 0;
  bool sent = false;  // confirmed by the fiscal data operator
  std::vector<Tag> tags;
  friend bool operator==(const FiscalDocument&, const FiscalDocument&) = default;
};

struct Registration {
  std::vector<Tag> tags;  // 1018, 1037, 1048, 1009, 1187, 1060, 1062, 1057, 1209, 1001 ...
  std::map<std::string, bool>
      activities;  // marking, pawnshop, insurance, catering, wholesale, vending
  friend bool operator==(const Registration&, const Registration&) = default;
};

struct DeviceState {
  Config config;
  // Clock: the register's wall time is the host's local wall time plus this offset.
  std::int64_t clockOffset = 0;
  // Shift.
  bool shiftOpen = false;
  std::int64_t shiftNumber = 0;  // the open shift, or the last closed one
  std::int64_t shiftOpenedAt = 0;
  std::int64_t receiptNumber = 0;  // receipts in the current shift
  // Cashier of the last operatorLogin.
  std::string cashierName;
  std::string cashierInn;
  // Money.
  Kopecks cash = 0;
  Counters shiftCounters;
  Counters totalCounters;
  // Documents.
  Receipt receipt;
  bool nonfiscalOpen = false;
  bool lastDocumentPrinted = true;
  // Registration and fiscal storage.
  bool fiscal = false;
  int fnPhase = 1;  // 1 ready for registration, 3 fiscal mode, 7 post-fiscal (archive closed)
  std::string fnSerial;
  std::int64_t registrationsCount = 0;
  std::int64_t lastRegistrationNumber = 0;
  std::int64_t lastRegistrationTime = 0;
  int ffdVersion = 120;  // the version the register is registered with
  Registration registration;
  // The fiscal storage's documents live in the register's database (storage.h), read by number.
  // Paper printed since the last document boundary (the database keeps the tape before it).
  Tape tape;
  // Not saved: a drawer is closed by hand, and a power cycle finds it closed.
  bool drawerOpen = false;
  friend bool operator==(const DeviceState& a, const DeviceState& b) {
    return a.config == b.config && a.clockOffset == b.clockOffset && a.shiftOpen == b.shiftOpen &&
           a.shiftNumber == b.shiftNumber && a.shiftOpenedAt == b.shiftOpenedAt &&
           a.receiptNumber == b.receiptNumber && a.cash == b.cash &&
           a.shiftCounters == b.shiftCounters && a.totalCounters == b.totalCounters &&
           a.receipt == b.receipt && a.fiscal == b.fiscal && a.registration == b.registration &&
           a.tape.items() == b.tape.items();
  }
};

// The host's local wall clock as seconds since 1970, as a register set to local time shows it.
std::int64_t HostWallClock();

// A new register in its factory state as `config` describes it (registered when the config says
// so, with sample registration data: its registration document goes to `documents`).
DeviceState NewDeviceState(const Config& config, std::int64_t wallNow,
                           std::vector<FiscalDocument>* documents);

}  // namespace vantorel::emulator
