#include "tools/sim/RealWorld.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "platform/support/ErrorCodes.h"

namespace sim {

const std::vector<std::string>& RealWorldNames() {
    static const std::vector<std::string> names = {"setup",    "xdev",    "shared",    "recreate",
                                                   "longname", "late",    "clockback", "race",
                                                   "bitrot",   "firstlog"};
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
            return false;
        default:
            return !Mirel::IsEnvironmentError(answer);
    }
}

bool SetAsideRefusal(int answer) {
    return answer != 0 && answer != Mirel::kErrBadPathFormat && answer != Mirel::kErrFileNotTaken &&
           answer != Mirel::kErrFoldersNotReady && !Mirel::IsEnvironmentError(answer);
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
        if (f[0] == "database" && f.size() > 1)
            m.databases[f[1]] = std::vector<std::string>(f.begin() + 2, f.end());
    }
    return m;
}

bool ManifestCertifies(const ManifestLines& m, const std::string& relPath, std::uint32_t crc32c,
                       std::uint64_t size) {
    auto it = m.databases.find(relPath);
    if (it == m.databases.end()) return false;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", crc32c);
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

std::string LongName(const std::string& stem, const std::string& ext, std::size_t length) {
    std::string name = stem;
    const std::string fill = "-abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t i = 0; name.size() + ext.size() < length; ++i) name += fill[i % fill.size()];
    return name.substr(0, length - ext.size()) + ext;
}

}  // namespace sim
