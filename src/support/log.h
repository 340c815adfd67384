// The driver's daily log files.
//
// Mode 0 off, 1 ERROR lines only, 2 INFO and ERROR, 3 everything, 4 off for the current host call.
// The driver sets only 0, 3 and 4.
//
// Log trouble (the folder cannot be made, the file cannot be opened, is refused or cannot be
// written) never reaches a caller as an exception: the log is an aid, and a receipt that was
// printed must not be reported as failed because its log line was not. The facility keeps the
// first trouble until the host-call layer takes it and tells the host, and switches logging off
// for the rest of the call (mode 4), so that a broken log costs one failed attempt per call.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vantorel::log {

enum class Level { Info = 0, Debug = 1, Error = 2 };

void WriteLog(std::string_view message, std::string_view detail, Level level);
void SetLogLevel(int mode);
int LogLevel();
// Whether a line of the level would be written now.
bool Writes(Level level);
void SetLogBaseName(std::string_view name);
// Writes the start banner when logging is on and it has not been written since logging was
// last switched off.
void StartLog();
// Writes the stop banner when due; called when the library unloads.
void StopLog();
// The log folder with a trailing separator, created (with its access rights) when missing.
// Throws std::runtime_error when it cannot be: for the log viewer, whose whole work it is.
std::string GetLogDirectory();
// The same for showing the folder's name (the driver description): a folder that cannot be
// created is log trouble, and its name is still returned (empty when the system names no data
// folder at all).
std::string LogDirectoryName();
// GetLogDirectory() plus today's file name: <base>_yyyy.mm.dd.log
std::string GetLogFileName();

// The first log trouble since it was last taken, as a readable text; empty when there was none.
std::string TakeTrouble();
bool HasTrouble();

namespace detail {
// Tests only: replaces the clock that stamps lines and picks the day's file (nullptr restores
// the system clock), so that a day change can be reproduced.
using Clock = platform::LocalTime (*)();
void SetClockForTesting(Clock clock);
}  // namespace detail

}  // namespace vantorel::log
