#include "platform/framework/BackupFolder.h"

#include <algorithm>
#include <cstdio>

#include "platform/support/DateTime.h"
#include "platform/support/Listing.h"

namespace Talon {

using Mirel::unistring;

std::uint64_t BackupFolder::GetUTCFromTimestamp(const unistring& stamp) {
    std::string s = stamp.ToUTF8();
    if (s.size() != 15 || s[4] != '-' || s[7] != '-' || s[10] != '_') return 0;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 13, 14})
        if (s[i] < '0' || s[i] > '9') return 0;
    int y = std::stoi(s.substr(0, 4)), mo = std::stoi(s.substr(5, 2)),
        d = std::stoi(s.substr(8, 2)), h = std::stoi(s.substr(11, 2)),
        mi = std::stoi(s.substr(13, 2));
    return Mirel::DateTime::FromCalendar(y, mo, d, h, mi, 0, 0);
}

unistring BackupFolder::MakeTimestamp(std::uint64_t utc) {
    Mirel::DateTime dt(0);
    dt.SetMicroSecSinceEpoch(utc, 32767);
    unistring stamp = dt.AsUnistring(Mirel::Locale(2));
    if (!Mirel::UniversalPath::FormatBackupTimestamp(stamp)) return unistring();
    return stamp;
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
