#pragma once

#include <cstdint>
#include <vector>

#include "platform/support/Directory.h"

namespace Talon {

// Time-stamped folders "<prefix>_YYYY-MM-DD_HHMM[_SS.ffffff]" below a parent folder; the
// stamp is a UTC time rounded down to the minute, or exact when the minute was taken.
class BackupFolder {
public:
    explicit BackupFolder(const Mirel::unistring& prefix, const void* component = nullptr)
        : mPrefix(prefix) {
        (void)component;
    }

    // The folder with the newest valid stamp; false when there is none.
    bool GetLatest(const Mirel::UniversalPath& parent, Mirel::Directory& latest) const;
    // Every folder whose name starts with "<prefix>_", oldest stamp first (folders with an
    // unreadable stamp first of all, by name).
    std::vector<Mirel::Directory> GetList(const Mirel::UniversalPath& parent) const;

    // UTC of a stamp "YYYY-MM-DD_HHMM" (the minute's start) or "YYYY-MM-DD_HHMM_SS.ffffff"
    // (exact); 0 when the text is neither.
    static std::uint64_t GetUTCFromTimestamp(const Mirel::unistring& stamp);
    // The stamp of a UTC time (the minute it falls in); empty when it has none.
    static Mirel::unistring MakeTimestamp(std::uint64_t utc);
    // The exact stamp, for a second folder in the same minute.
    static Mirel::unistring MakeExactTimestamp(std::uint64_t utc);

private:
    Mirel::unistring mPrefix;
};

}  // namespace Talon
