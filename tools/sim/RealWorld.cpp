#include "tools/sim/RealWorld.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/engine/Formats.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/TextUtil.h"

namespace sim {

const std::vector<std::string>& RealWorldNames() {
    static const std::vector<std::string> names = {"setup",    "xdev",     "shared",    "recreate",
                                                   "longname", "late",     "clockback", "race",
                                                   "bitrot",   "firstlog", "expire",    "redolink"};
    return names;
}

const char* RealWorldName(RealWorld c) {
    return RealWorldNames()[static_cast<std::size_t>(c)].c_str();
}

bool ParseRealWorld(const std::string& list, std::set<RealWorld>& out, std::string* bad) {
    std::set<RealWorld> got;
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        std::string name = list.substr(at, comma - at);
        at = comma + 1;
        if (name.empty()) continue;
        if (name == "all") {
            for (std::size_t i = 0; i < RealWorldNames().size(); ++i)
                got.insert(static_cast<RealWorld>(i));
            continue;
        }
        const auto& names = RealWorldNames();
        auto it = std::find(names.begin(), names.end(), name);
        if (it == names.end()) {
            if (bad) *bad = name;
            return false;
        }
        got.insert(static_cast<RealWorld>(it - names.begin()));
    }
    out = got;
    return true;
}

namespace expect {

bool LinkFailure(int number) {
    return number == Mirel::kErrIsALink || number == Mirel::kErrLogChainBreak;
}

bool NewRefusal(int answer) {
    switch (answer) {
        case 0:
        case Mirel::kErrBadPathFormat:
        case Mirel::kErrNoFullBackup:
        case Mirel::kErrFileNotTaken:
        case Mirel::kErrFoldersNotReady:
        case Mirel::kErrInvalidFile:
        case Mirel::kErrCopyFailed:
        case Mirel::kErrNoStartingCopy:
        case Mirel::kErrLogWrongDatabase:
        case Mirel::kErrLogChainBreak:
        case Mirel::kErrRejectedFull:
            return false;
        default:
            return !Mirel::IsEnvironmentError(answer);
    }
}

bool SetAsideRefusal(int answer) {
    return answer != 0 && answer != Mirel::kErrBadPathFormat && answer != Mirel::kErrFileNotTaken &&
           answer != Mirel::kErrFoldersNotReady && answer != Mirel::kErrRejectedFull &&
           !Mirel::IsEnvironmentError(answer);
}

bool StaleDoneAnswerOk(int answer) {
    return kStaleIntervalDone != 0 ? answer == kStaleIntervalDone : NewRefusal(answer);
}

bool ReplacedLogAnswerOk(int answer) {
    return kReplacedDatabaseLog != 0 ? answer == kReplacedDatabaseLog : SetAsideRefusal(answer);
}

bool EventMatches(std::uint32_t expected, std::uint32_t code, const std::vector<std::string>& texts,
                  const std::vector<std::string>& names) {
    if (expected != 0 ? code != expected : code == kSetAsideEvent) return false;
    for (const auto& t : texts)
        for (const auto& n : names)
            if (!n.empty() && t.find(n) != std::string::npos) return true;
    return false;
}

}  // namespace expect

namespace {
std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        std::size_t tab = line.find('\t', at);
        out.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos) return out;
        at = tab + 1;
    }
}
}  // namespace

ManifestLines ReadManifestLines(const std::string& folder) {
    ManifestLines m;
    std::ifstream in(folder + "/manifest.tsv");
    if (!in) return m;
    m.present = true;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        auto f = SplitTabs(line);
        if (f[0] == "version" && f.size() > 1) m.version = std::atoi(f[1].c_str());
        if (f[0] == "interval-end" && f.size() > 1)
            m.intervalEnd = std::strtoull(f[1].c_str(), nullptr, 10);
        if (f[0] == "database" && f.size() > 1)
            m.databases[f[1]] = std::vector<std::string>(f.begin() + 2, f.end());
    }
    return m;
}

bool ManifestCertifies(const ManifestLines& m, const std::string& relPath, std::uint32_t crc32c,
                       std::uint64_t size) {
    auto it = m.databases.find(relPath);
    if (it == m.databases.end()) return false;
    const std::string hex = Mirel::Hex32(crc32c);
    const auto& f = it->second;
    return std::find(f.begin(), f.end(), hex) != f.end() &&
           std::find(f.begin(), f.end(), std::to_string(size)) != f.end();
}

bool ManifestMarksHeld(const ManifestLines& m, const std::string& relPath) {
    auto it = m.databases.find(relPath);
    if (it == m.databases.end() || m.version < expect::kHeldManifestVersion) return false;
    const auto& f = it->second;
    return std::find(f.begin(), f.end(), expect::kHeldMark) != f.end();
}

namespace {
bool Identify(const std::string& path, ChangedFile& id) {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &sx) != 0)
        return false;
    id.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    id.ino = sx.stx_ino;
    id.born = (sx.stx_mask & STATX_BTIME) != 0;
    id.bornSec = sx.stx_btime.tv_sec;
    id.bornNsec = sx.stx_btime.tv_nsec;
    return true;
}
}  // namespace

std::uint32_t FileCrc32c(const std::string& path, std::uint64_t& size) {
    std::ifstream in(path, std::ios::binary);
    std::uint32_t crc = 0;
    size = 0;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        crc = Mirel::Format::Crc32c(buf, static_cast<std::size_t>(in.gcount()), crc);
        size += static_cast<std::uint64_t>(in.gcount());
    }
    return crc;
}

bool RecordChangedFile(const std::string& path, ChangedFile& out) {
    ChangedFile x;
    if (!Identify(path, x)) return false;
    x.path = path;
    x.crc32c = FileCrc32c(path, x.size);
    out = x;
    return true;
}

bool IsChangedFile(const ChangedFile& x, const std::string& path) {
    ChangedFile now;
    if (!Identify(path, now) || now.dev != x.dev || now.ino != x.ino) return false;
    if (x.born && now.born) return now.bornSec == x.bornSec && now.bornNsec == x.bornNsec;
    // No birth times: the changed file keeps its bytes (nothing writes to a copy that fails
    // its check), a new file at its inode number has others.
    std::uint64_t size = 0;
    return FileCrc32c(path, size) == x.crc32c && size == x.size;
}

std::string LongName(const std::string& stem, const std::string& ext, std::size_t length) {
    std::string name = stem;
    const std::string fill = "-abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t i = 0; name.size() + ext.size() < length; ++i) name += fill[i % fill.size()];
    return name.substr(0, length - ext.size()) + ext;
}

}  // namespace sim
