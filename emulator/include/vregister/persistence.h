// The virtual register's state file: one JSON file per register in the state folder.
//
// Folder: $VANTOREL_VREG_DIR when set; otherwise $XDG_DATA_HOME (or ~/.local/share)
// /Norvander/vantorel/vregister on Linux and %LOCALAPPDATA%\Norvander\vantorel\vregister on
// Windows. File name: the register key (from the connection settings, see ConnectionSettings)
// plus ".json".
//
// The file holds {"format": 1, "config": {...}, "state": {...}}. The "config" section may be
// edited by hand; every key is optional and a missing key keeps its default:
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
// The library itself (not a register) has its own file, library.json in the same folder:
// {"version": "10.10.6.0"}, the text that Version answers; read when an object is created.
// A file with only a "config" section is a register about to be created with that configuration.
// Writes go to a temporary file that is then renamed over the old one, so a crash leaves either
// the old or the new state, never a torn one.
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
// `wallNow` creates a fresh state when the text has only a config section.
DeviceState StateFromJsonText(std::string_view text, std::int64_t wallNow);
std::string ConfigToJsonText(const Config& config);
Config ConfigFromJsonText(std::string_view text);

// File access. Load returns false when the file does not exist.
bool LoadStateFile(const std::filesystem::path& file, std::int64_t wallNow, DeviceState& out);
void SaveStateFile(const std::filesystem::path& file, const DeviceState& state);

// Edits the config section of a register's file (creating the file when missing) without touching
// its state: for tools and tests that prepare a register before the driver connects.
void WriteConfigFile(const std::filesystem::path& file, const Config& config);

// The library version of library.json ("10.10.6.0" when the file is missing); throws
// StateFileError when it is damaged.
std::string LibraryVersion();
void WriteLibraryVersion(const std::string& version);

// Standard Base64 with padding (state files, pictures in the tape page).
std::string Base64(const automation::Bytes& bytes);

}  // namespace vantorel::emulator
