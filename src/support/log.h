// The driver's daily log files.
//
// Mode 0 off, 1 ERROR lines only, 2 INFO and ERROR, 3 everything, 4 off for the current host call.
// The driver sets only 0, 3 and 4. Failures to create the folder or write the file propagate
// to the caller as std::runtime_error.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vantorel::log {

enum class Level { Info = 0, Debug = 1, Error = 2 };

void WriteLog(std::string_view message, std::string_view detail, Level level);
void SetLogLevel(int mode);
int LogLevel();
void SetLogBaseName(std::string_view name);
// Writes the start banner when logging is on and it has not been written since logging was
// last switched off.
void StartLog();
// Writes the stop banner when due; called when the library unloads.
void StopLog();
// The log folder with a trailing separator, created (with its access rights) when missing.
std::string GetLogDirectory();
// GetLogDirectory() plus today's file name: <base>_yyyy.mm.dd.log
std::string GetLogFileName();

namespace detail {
// Tests only: replaces the clock that stamps lines and picks the day's file (nullptr restores
// the system clock), so that a day change can be reproduced.
using Clock = platform::LocalTime (*)();
void SetClockForTesting(Clock clock);
}  // namespace detail

}  // namespace vantorel::log
