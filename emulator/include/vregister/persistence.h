// The virtual register's state in text: the JSON forms of its configuration, its state, tags
// and tape items, as the register's database (storage.h) keeps them, and the state folder.
//
// Folder: $VANTOREL_VREG_DIR when set; otherwise $XDG_DATA_HOME (or ~/.local/share)
// /Norvander/vantorel/vregister on Linux and %LOCALAPPDATA%\Norvander\vantorel\vregister on
// Windows. Each register is one database there, named by the register key (from the connection
// settings, see ConnectionSettings) plus ".db".
//
// The configuration is a JSON object; every key is optional and a missing key keeps its default:
//   modelNumber, modelName, serialNumber, configurationVersion, firmwareVersion,
//   deviceFfdVersion (100/105/110/120), lineLength, lineLengthPix, deviceSettings {"66": "1"},
//   cutter, fnSerial, fnVersion, fnFfdVersion, registerOnCreate,
//   markingService ("online" | "silent" | "offline" | "failing"), markingDelayMs,
//   markingAnswerTags [2106, ...], markingValidationResult, markingStatusInfo,
//   markingProcessingResult, markingProcessingCode, markingCodeType, markingOnlineError,
//   ofdConfirmsAtOnce, paperPresent, paperNearEnd, paperEndsInNextDocument, coverOpen,
//   printerError, fnMemoryOverflow, fnNeedReplacement, fnResourceExhausted, fnCriticalError,
//   fnOfdTimeout, faults [{"operation", "skip", "times", "code", "description", "after",
//   "lost"}], traceLimit, tapeLimit.
// The older single-file form, {"format": 1, "config": {...}, "state": {...}} with the documents
// and the tape inside the state, is read once to import it; a file with only a "config" section
// is a register about to be created with that configuration.
// The library itself (not a register) has its own file, library.json in the same folder:
// {"version": "10.10.6.0"}, the text that Version answers; read when an object is created.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "vregister/state.h"

namespace vantorel::emulator {

class StateFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::filesystem::path StateDirectory();

// Text forms; parsing checks every field and throws StateFileError on anything malformed.
std::string StateToJsonText(const DeviceState& state);
// The single-file form: `wallNow` creates a fresh state when the text has only a config section;
// its documents go to `documents` when given.
DeviceState StateFromJsonText(std::string_view text, std::int64_t wallNow,
                              std::vector<FiscalDocument>* documents = nullptr);
std::string ConfigToJsonText(const Config& config);
Config ConfigFromJsonText(std::string_view text);
// The state without its configuration, documents and tape.
std::string CoreStateToJsonText(const DeviceState& state);
void CoreStateFromJsonText(std::string_view text, DeviceState& state);
std::string TagsToJsonText(const std::vector<Tag>& tags);
std::vector<Tag> TagsFromJsonText(std::string_view text, const std::string& where);
std::string TapeItemToJsonText(const TapeItem& item);
TapeItem TapeItemFromJsonText(std::string_view text, const std::string& where);
// A whole file's text; `exists` false when there is none. Throws StateFileError when it cannot
// be read or is too large.
std::string ReadStateFile(const std::filesystem::path& file, bool& exists);

// The library version of library.json ("10.10.6.0" when the file is missing); throws
// StateFileError when it is damaged.
std::string LibraryVersion();
void WriteLibraryVersion(const std::string& version);

// Standard Base64 with padding (state files, pictures in the tape page).
std::string Base64(const automation::Bytes& bytes);

}  // namespace vantorel::emulator
