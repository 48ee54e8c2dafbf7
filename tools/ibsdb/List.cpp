// ibsdb list: every restore point of a backup folder, newest first, with what it holds, what
// its files take and whether a look (sizes and headers, never whole files) finds it whole.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <ostream>
#include <set>
#include <utility>

#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {

using InodeKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

struct Inode {
    std::uint64_t links = 0;  // as the file system counts them
    std::uint64_t seen = 0;   // links met below the restore point
    std::uint64_t bytes = 0;  // allocated: blocks of 512 bytes
};

// Every regular file below `dir`, at any depth; links are not followed. An entry gone while
// it is walked is left out (the service prunes older copies); a folder that cannot be listed
// is said.
void Walk(const std::string& dir, std::uint64_t& apparent, std::map<InodeKey, Inode>& inodes,
          std::vector<std::string>& problems, const std::string& rel = "") {
    std::vector<Mirel::Os::DirEntry> entries;
    if (int rc = Mirel::Os::ListDir(dir, entries)) {
        if (rc != Mirel::kErrPathNotFound)
            problems.push_back((rel.empty() ? std::string("the folder") : rel) +
                               " cannot be listed: error " + Mirel::ErrorText(rc) +
                               " (sizes leave it out)");
        return;
    }
    for (const auto& e : entries) {
        const std::string path = dir + "/" + e.name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            Walk(path, apparent, inodes, problems, rel.empty() ? e.name : rel + "/" + e.name);
        } else if (S_ISREG(st.st_mode)) {
            apparent += static_cast<std::uint64_t>(st.st_size);
            Inode& n = inodes[{static_cast<std::uint64_t>(st.st_dev),
                               static_cast<std::uint64_t>(st.st_ino)}];
            n.links = static_cast<std::uint64_t>(st.st_nlink);
            ++n.seen;
            n.bytes = static_cast<std::uint64_t>(st.st_blocks) * 512;
        }
    }
}

struct Point {
    const LastGoodFolder* folder = nullptr;
    std::uint64_t apparent = 0, unique = 0;
    std::map<InodeKey, Inode> inodes;
    int severity = kOk;
    bool whole = true;
    std::vector<std::string> why;  // why it is not whole, or what else is wrong
    int removed = 0;               // listed copies the service pruned (newer copies exist)
    int held = 0;
    Json databases = Json::array();
};

Point Look(const LastGoodFolder& f, const std::vector<LastGoodFolder>& all) {
    Point p;
    p.folder = &f;
    auto raise = [&](int s, const std::string& why) {
        p.severity = std::max(p.severity, s);
        p.whole = false;
        p.why.push_back(why);
    };
    if (f.manifestState == LastGoodFolder::kNoManifest)
        raise(kWarning, "no manifest: nothing says what it should hold");
    else if (f.manifestState == LastGoodFolder::kDamaged)
        raise(kCritical, "manifest damaged (" + f.manifestWhy + ")");
    if (!f.nameMatches) {
        p.severity = std::max(p.severity, static_cast<int>(kWarning));
        p.why.push_back("the name does not match the interval end " + TimeText(f.intervalEnd) +
                        " UTC in its manifest (renamed?)");
    }
    // Gone from an older folder while a newer one holds the database: the service's pruning.
    auto newer = [&](const std::string& uuid) -> const LastGoodFolder* {
        if (uuid.empty()) return nullptr;
        for (const auto& other : all)
            if (other.intervalEnd > f.intervalEnd && other.FindUuid(uuid)) return &other;
        return nullptr;
    };
    std::set<std::string> pruned;  // paths of databases the service removed
    for (const auto& c : f.copies) {
        std::string word = Copy::Word(c.state);
        std::string detail = c.detail;
        if (c.listed && c.state == Copy::kMissing) {
            if (const LastGoodFolder* n = newer(c.uuid)) {
                word = "superseded";
                detail = "removed by the service: a newer copy is in " + n->name;
                ++p.removed;
                pruned.insert(c.path);
                p.whole = false;
            } else {
                raise(kCritical, c.path + ": missing");
            }
        } else if (c.listed && c.state != Copy::kOk) {
            raise(kCritical, c.path + ": " + word + " (" + c.detail + ")");
        }
        if (c.held) ++p.held;
        const Talon::ManifestEntry* line = c.listed ? f.manifest.Find(c.path) : nullptr;
        p.databases.push_back(
            {{"name", c.path},
             {"uuid", c.uuid.empty() ? Json(nullptr) : Json(c.uuid)},
             {"msn", c.msn},
             {"state", !c.listed ? Json(nullptr) : Json(c.held ? "held" : "current")},
             {"listed", c.listed},
             {"copy", word},
             {"copy_problem", detail},
             {"size", c.size},
             {"listed_size", line ? Json(line->size) : Json(nullptr)}});
    }
    if (f.manifestState == LastGoodFolder::kManifest)
        for (const auto& e : f.manifest.entries) {
            if (e.kind != Talon::ManifestEntry::kContainer) continue;
            const std::size_t rc = e.path.find(".rc/");
            if (rc != std::string::npos && pruned.count(e.path.substr(0, rc))) continue;
            struct stat st;
            const std::string full = f.path + "/" + e.path;
            if (::lstat(full.c_str(), &st) != 0)
                raise(kCritical, e.path + ": missing");
            else if (!S_ISREG(st.st_mode))
                raise(kCritical, e.path + ": not a regular file");
            else if (static_cast<std::uint64_t>(st.st_size) != e.size)
                raise(kCritical, e.path + ": size " + std::to_string(st.st_size) + ", listed " +
                                     std::to_string(e.size));
        }
    if (p.removed)
        p.why.push_back(std::to_string(p.removed) +
                        " of its copies removed by the service once newer ones existed: it "
                        "cannot be restored in full");
    std::vector<std::string> walk;
    Walk(f.path, p.apparent, p.inodes, walk);
    for (const auto& w : walk) {
        p.severity = std::max(p.severity, static_cast<int>(kWarning));
        p.why.push_back(w);
    }
    // Freed with the folder: what no link outside it holds on to.
    for (const auto& [key, n] : p.inodes)
        if (n.seen >= n.links) p.unique += n.bytes;
    return p;
}

}  // namespace

int List(const ListOptions& o, std::ostream& out) {
    auto unknown = [&](const std::string& why) {
        if (o.json)
            out << Json{{"version", kJsonVersion}, {"backup", o.backup},
                        {"state", "UNKNOWN"},      {"exit_code", kUnknown},
                        {"reasons", {why}},        {"restore_points", Json::array()}}
                       .dump(2)
                << "\n";
        else
            out << "UNKNOWN: " << why << "\n";
        return kUnknown;
    };
    BackupView v;
    if (std::string why = v.LoadBackupFolder(o.backup); !why.empty()) return unknown(why);

    std::vector<Point> points;
    for (auto f = v.folders.rbegin(); f != v.folders.rend(); ++f)
        points.push_back(Look(*f, v.folders));
    std::vector<std::string> notes = v.notes;
    for (const auto& n : v.unreadableNames)
        notes.push_back(n + ": no time in its name, so no restore point (left out)");

    int code = kOk, whole = 0;
    std::uint64_t apparent = 0, onDisk = 0;
    std::set<InodeKey> counted;
    std::vector<std::string> reasons;
    for (const auto& p : points) {
        code = std::max(code, p.severity);
        whole += p.whole ? 1 : 0;
        apparent += p.apparent;
        for (const auto& [key, n] : p.inodes)
            if (counted.insert(key).second) onDisk += n.bytes;
        if (p.severity > kOk)
            for (const auto& w : p.why) reasons.push_back(p.folder->name + ": " + w);
    }
    // Off the host: the points the store holds, by folder name.
    std::map<std::string, OffsiteIndex> remote;
    const bool withRemote = !o.remote.credentials.empty();
    std::vector<std::string> remoteReasons;
    if (withRemote) {
        std::vector<std::string> problems;
        std::string error;
        if (!ListRemotePoints(o.remote, remote, problems, error)) {
            code = kUnknown;
            remoteReasons.push_back("the points off the host cannot be listed: " + error);
        }
        for (const auto& p : problems) {
            code = std::max(code, static_cast<int>(kCritical));
            remoteReasons.push_back(p);
        }
        reasons.insert(reasons.end(), remoteReasons.begin(), remoteReasons.end());
    }
    std::set<std::string> here;
    for (const auto& p : points) here.insert(p.folder->name);
    struct Row {
        const Point* local = nullptr;
        const OffsiteIndex* index = nullptr;
        std::uint64_t end = 0;
    };
    std::vector<Row> rows;
    for (const auto& p : points) {
        auto r = remote.find(p.folder->name);
        rows.push_back({&p, r == remote.end() ? nullptr : &r->second, p.folder->intervalEnd});
    }
    int remoteOnly = 0, remoteWhole = 0;
    for (const auto& [name, x] : remote) {
        remoteWhole += x.absent.empty() ? 1 : 0;
        if (here.count(name)) continue;
        ++remoteOnly;
        rows.push_back({nullptr, &x, x.intervalEnd});
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return a.end > b.end; });
    auto isDatabase = [](const std::string& path) {
        std::string lower = path;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".vdb") == 0 &&
               lower.find(".vdb.rc/") == std::string::npos;
    };
    auto where = [](const Row& r) { return !r.local ? "remote" : r.index ? "both" : "here"; };
    auto remoteJson = [](const OffsiteIndex& x) {
        std::uint64_t bytes = 0;
        for (const auto& f : x.files) bytes += f.size;
        return Json{{"pushed", {{"utc", x.pushed}, {"text", IsoTime(x.pushed)}}},
                    {"files", x.files.size()},
                    {"bytes", bytes},
                    {"absent", x.absent}};
    };

    std::string summary = points.empty()
                              ? "no restore point in " + v.backup + " yet (no last-good folder)"
                              : std::to_string(points.size()) + " restore point(s), " +
                                    std::to_string(whole) + " whole; " + SizeText(apparent) +
                                    " in their files, " + SizeText(onDisk) + " on disk";
    if (withRemote)
        summary += "; off the host: " + std::to_string(remote.size()) + " restore point(s), " +
                   std::to_string(remoteWhole) + " whole, " + std::to_string(remoteOnly) +
                   " only there";

    if (o.json) {
        Json j;
        j["version"] = kJsonVersion;
        j["backup"] = v.backup;
        j["state"] = ExitName(code);
        j["exit_code"] = code;
        j["reasons"] = reasons;
        j["restore_points"] = Json::array();
        for (const auto& row : rows) {
            if (!row.local) {
                const OffsiteIndex& x = *row.index;
                Json dbs = Json::array();
                int count = 0;
                for (const auto& f : x.files)
                    if (isDatabase(f.path)) {
                        ++count;
                        dbs.push_back({{"name", f.path}, {"copy", "ok"}, {"size", f.size}});
                    }
                for (const auto& a : x.absent)
                    if (isDatabase(a)) {
                        ++count;
                        dbs.push_back({{"name", a}, {"copy", "superseded"}, {"size", 0}});
                    }
                Json problems = Json::array();
                if (!x.absent.empty())
                    problems.push_back(std::to_string(x.absent.size()) +
                                       " of its files were removed here before it was pushed: "
                                       "it cannot be restored in full");
                j["restore_points"].push_back(
                    {{"folder", x.folder},
                     {"where", "remote"},
                     {"path", nullptr},
                     {"interval_end", {{"utc", x.intervalEnd}, {"text", IsoTime(x.intervalEnd)}}},
                     {"interval_end_exact", true},
                     {"manifest", "present"},
                     {"manifest_problem", ""},
                     {"name_matches", true},
                     {"database_count", count},
                     {"held_count", nullptr},
                     {"databases", dbs},
                     {"apparent_bytes", nullptr},
                     {"unique_bytes", nullptr},
                     {"whole", x.absent.empty()},
                     {"removed_copies", x.absent.size()},
                     {"state", "OK"},
                     {"problems", problems},
                     {"remote", remoteJson(x)}});
                continue;
            }
            const Point& p = *row.local;
            const LastGoodFolder& f = *p.folder;
            j["restore_points"].push_back(
                {{"folder", f.name},
                 {"where", where(row)},
                 {"path", f.path},
                 {"interval_end", {{"utc", f.intervalEnd}, {"text", IsoTime(f.intervalEnd)}}},
                 {"interval_end_exact", f.endExact},
                 {"manifest", f.ManifestWord()},
                 {"manifest_problem", f.manifestWhy},
                 {"name_matches", f.nameMatches},
                 {"database_count", p.databases.size()},
                 {"held_count", p.held},
                 {"databases", p.databases},
                 {"apparent_bytes", p.apparent},
                 {"unique_bytes", p.unique},
                 {"whole", p.whole},
                 {"removed_copies", p.removed},
                 {"state", ExitName(p.severity)},
                 {"problems", p.why}});
            if (row.index) j["restore_points"].back()["remote"] = remoteJson(*row.index);
        }
        j["summary"] = {{"restore_points", points.size()},
                        {"whole", whole},
                        {"apparent_bytes", apparent},
                        {"on_disk_bytes", onDisk},
                        {"text", summary}};
        j["notes"] = notes;
        out << j.dump(2) << "\n";
        return code;
    }
    for (const auto& row : rows) {
        if (!row.local) {
            const OffsiteIndex& x = *row.index;
            std::uint64_t bytes = 0;
            int count = 0;
            for (const auto& f : x.files) {
                bytes += f.size;
                count += isDatabase(f.path) ? 1 : 0;
            }
            out << x.folder << "  " << TimeText(x.intervalEnd) << " UTC  " << count
                << " database(s)  " << SizeText(bytes) << "  "
                << (x.absent.empty() ? "whole" : "NOT WHOLE") << "  remote\n";
            if (!x.absent.empty())
                out << "    " << x.absent.size()
                    << " of its files were removed here before it was pushed: it cannot be "
                       "restored in full\n";
            continue;
        }
        const Point& p = *row.local;
        const LastGoodFolder& f = *p.folder;
        out << f.name << "  " << TimeText(f.intervalEnd) << " UTC"
            << (f.endExact ? "" : " (minute)") << "  " << p.databases.size() << " database(s)"
            << (p.held ? " (" + std::to_string(p.held) + " held)" : std::string()) << "  "
            << SizeText(p.apparent) << ", unique " << SizeText(p.unique) << "  "
            << (p.whole ? "whole" : "NOT WHOLE") << "  " << where(row) << "\n";
        for (const auto& w : p.why) out << "    " << w << "\n";
    }
    for (const auto& n : notes) out << "note: " << n << "\n";
    for (const auto& r : remoteReasons) out << r << "\n";
    out << ExitName(code) << ": " << summary << "\n";
    return code;
}

}  // namespace ibsdb
