// Shared by the ibsdb commands: exit codes, times, durations, sizes.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace ibsdb {

using Json = nlohmann::ordered_json;

// Exit codes of status, verify and restore: the monitoring convention.
enum Exit { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* ExitName(int code);

// Version of the JSON documents (docs/operations.md); raised only for a change that breaks
// a reader, never for a field added.
inline constexpr int kJsonVersion = 1;

// "2026-01-01 12:05:50.123456" (UTC); "" for a time that cannot be shown.
std::string TimeText(std::uint64_t utc);
// "2026-01-01T12:05:50.123456Z", for JSON.
std::string IsoTime(std::uint64_t utc);
// "3d 4h", "2h 5m", "4m 10s", "12s", "-5m" (signed microseconds).
std::string DurationText(std::int64_t micro);
// "1.5 GiB", "512 KiB", "12 bytes".
std::string SizeText(std::uint64_t bytes);

// "90s", "15m", "2h", "1d", "1h30m", or plain seconds ("600"). False for anything else.
bool ParseDuration(const std::string& text, std::uint64_t& micro);
// A time: "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.ffffff]]" (or 'T' between), UTC unless an
// offset follows ("Z", "+01", "+0100", "+01:00", "-05:00", after the time or a space), or
// microseconds since the epoch. False for anything else.
bool ParseTime(const std::string& text, std::uint64_t& utc);

// The UTC of a last-good folder's name: "LastGood_YYYY-MM-DD_HHMM" (the start of the minute)
// or "LastGood_YYYY-MM-DD_HHMM_SS.ffffff" (exact). 0 when the name is neither.
std::uint64_t LastGoodNameTime(const std::string& name, bool* exact = nullptr);

std::uint64_t NowUTC();

}  // namespace ibsdb
