#include "platform/framework/BackupFolder.h"

#include <algorithm>
#include <cstdio>

#include "platform/support/DateTime.h"
#include "platform/support/Listing.h"

namespace Talon {

using Mirel::unistring;

std::uint64_t BackupFolder::GetUTCFromTimestamp(const unistring& stamp) {
    std::string s = stamp.ToUTF8();
    // "YYYY-MM-DD_HHMM", or with the exact end "YYYY-MM-DD_HHMM_SS.ffffff".
    if ((s.size() != 15 && s.size() != 25) || s[4] != '-' || s[7] != '-' || s[10] != '_') return 0;
    auto digits = [&s](std::size_t from, std::size_t n) {
        int v = 0;
        for (std::size_t i = from; i < from + n; ++i) {
            if (s[i] < '0' || s[i] > '9') return -1;
            v = v * 10 + (s[i] - '0');
        }
        return v;
    };
    int y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2), h = digits(11, 2),
        mi = digits(13, 2), sec = 0, micro = 0;
    if (s.size() == 25) {
        if (s[15] != '_' || s[18] != '.') return 0;
        sec = digits(16, 2);
        micro = digits(19, 6);
    }
    if (y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0 || sec < 0 || micro < 0) return 0;
    return Mirel::DateTime::FromCalendar(y, mo, d, h, mi, sec, micro);
}

unistring BackupFolder::MakeTimestamp(std::uint64_t utc) {
    Mirel::DateTime dt(0);
    dt.SetMicroSecSinceEpoch(utc, 32767);
    unistring stamp = dt.AsUnistring(Mirel::Locale(2));
    if (!Mirel::UniversalPath::FormatBackupTimestamp(stamp)) return unistring();
    return stamp;
}

unistring BackupFolder::MakeExactTimestamp(std::uint64_t utc) {
    unistring stamp = MakeTimestamp(utc);
    if (stamp.empty()) return stamp;
    char tail[16];
    std::snprintf(tail, sizeof tail, "_%02u.%06u", static_cast<unsigned>(utc / 1000000 % 60),
                  static_cast<unsigned>(utc % 1000000));
    return stamp + unistring::FromUTF8(tail);
}

std::vector<Mirel::Directory> BackupFolder::GetList(const Mirel::UniversalPath& parent) const {
    std::vector<Mirel::UniversalPath> folders;
    Mirel::BuildUniversalPathListBasedOnFileNamePatternFunctor f(folders, mPrefix + u"_*", 0,
                                                                 Mirel::kListFolders, false);
    Mirel::Directory(parent).ProcessFiles(f, 1);
    std::vector<std::pair<std::uint64_t, Mirel::Directory>> keyed;
    for (const auto& p : folders) {
        Mirel::Directory d(p);
        unistring name = d.GetChildName();
        keyed.emplace_back(GetUTCFromTimestamp(name.substr(mPrefix.size() + 1)), d);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first
                                  : a.second.GetChildName() < b.second.GetChildName();
    });
    std::vector<Mirel::Directory> out;
    for (auto& k : keyed) out.push_back(k.second);
    return out;
}

bool BackupFolder::GetLatest(const Mirel::UniversalPath& parent, Mirel::Directory& latest) const {
    auto list = GetList(parent);
    if (list.empty()) return false;
    unistring name = list.back().GetChildName();
    if (GetUTCFromTimestamp(name.substr(mPrefix.size() + 1)) == 0) return false;
    latest = list.back();
    return true;
}

}  // namespace Talon
