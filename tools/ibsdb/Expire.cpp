// ibsdb expire: applies a retention policy to a backup folder by hand. The folders the policy
// keeps stay whole; the others lose the copies a newer good copy makes unnecessary, and go
// when nothing of theirs is left. A database's newest good copy never goes.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <set>

#include "platform/framework/Manifest.h"
#include "platform/framework/Prefs.h"
#include "platform/framework/RemoteContainerMgr.h"
#include "platform/framework/Retention.h"
#include "platform/framework/ServiceSetup.h"
#include "platform/support/Directory.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {

using InodeKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

// The files below a folder, by device and inode, links not followed.
void CollectInodes(const std::string& folder, std::set<InodeKey>& out, int depth = 0) {
    std::vector<Mirel::Os::DirEntry> entries;
    if (depth > 16 || Mirel::Os::ListDir(folder, entries) != 0) return;
    for (const auto& e : entries) {
        const std::string path = folder + "/" + e.name;
        Mirel::Os::Info info = Mirel::Os::Stat(path);
        if (info.isDir && !info.isLink)
            CollectInodes(path, out, depth + 1);
        else if (info.isFile)
            out.insert({static_cast<std::uint64_t>(info.dev), info.ino});
    }
}

// Whether a folder holds nothing but its manifest, the copies `going` (relative paths) and
// their container folders.
bool OnlyThese(const std::string& root, const std::string& rel, const std::set<std::string>& going,
               int depth = 0) {
    std::vector<Mirel::Os::DirEntry> entries;
    if (depth > 16 || Mirel::Os::ListDir(root + (rel.empty() ? "" : "/" + rel), entries) != 0)
        return false;
    for (const auto& e : entries) {
        const std::string path = rel.empty() ? e.name : rel + "/" + e.name;
        if (path == Talon::Manifest::sFileName || going.count(path)) continue;
        if (path.size() > 3 && path.compare(path.size() - 3, 3, ".rc") == 0 &&
            going.count(path.substr(0, path.size() - 3)))
            continue;
        const Mirel::Os::Info info = Mirel::Os::Stat(root + "/" + path);
        if (!info.isDir || info.isLink || !OnlyThese(root, path, going, depth + 1)) return false;
    }
    return true;
}

bool Alive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

struct Removed {
    std::string path, uuid, newerIn;
    std::uint64_t msn = 0, bytes = 0;
    int error = 0;  // not 0: it could not be removed and stays
};
struct Spared {
    std::string path, uuid, why;
    std::uint64_t msn = 0;
};
struct FolderResult {
    const LastGoodFolder* folder = nullptr;
    bool kept = false;
    std::string why;  // why it is kept whole
    std::vector<Removed> removed;
    std::vector<Spared> spared;
    bool folderGone = false;
};

// A copy that can stand for its database: listed in a readable manifest, and whole as far
// as its size and header show.
bool Good(const LastGoodFolder& f, const Copy& c) {
    return f.manifestState == LastGoodFolder::kManifest && c.listed && c.state == Copy::kOk &&
           !c.uuid.empty();
}

}  // namespace

int Expire(const ExpireOptions& o, std::ostream& out) {
    Talon::Retention policy;
    auto refuse = [&](const std::string& why) {
        if (o.json)
            out << Json{{"version", kJsonVersion}, {"backup", o.backup}, {"state", "UNKNOWN"},
                        {"exit_code", kUnknown},   {"reasons", {why}},   {"folders", Json::array()}}
                       .dump(2)
                << "\n";
        else
            out << "UNKNOWN: nothing removed: " << why << "\n";
        return kUnknown;
    };
    std::string backup = o.backup;
    while (backup.size() > 1 && backup.back() == '/') backup.pop_back();

    if (o.keep < 0 || o.keepHours < 0) {
        const std::string file = o.prefs.empty() ? Talon::PrefKeys::DefaultDesignation() : o.prefs;
        Talon::ServicePrefs prefs;
        std::string problem;
        if (Talon::ReadServicePrefs(file, prefs, problem) != 0)
            return refuse("the preference file cannot be read for the defaults (" + problem +
                          "): give --keep and --keep-hours");
        policy = prefs.retention;
    }
    if (o.keep >= 0) policy.count = o.keep;
    if (o.keepHours >= 0) policy.hours = o.keepHours;

    BackupView view;
    if (std::string why = view.LoadBackupFolder(backup); !why.empty()) return refuse(why);
    // The service prunes this folder itself and holds its copies in its catalogue: removing
    // them under it would take copies it counts on.
    if (view.state.present && !view.state.problem.empty())
        return refuse("State.tsv cannot be read (" + view.state.problem +
                      "), so whether the service runs on this folder is not known");
    if (view.state.present && view.state.running && Alive(view.state.pid))
        return refuse("the service (process " + std::to_string(view.state.pid) +
                      ") runs on this folder: stop it first, or set preferences 82 and 83 and "
                      "let it prune at its next interval");

    std::vector<FolderResult> results;
    std::vector<std::uint64_t> ends;
    for (const auto& f : view.folders)
        if (!f.vanished) ends.push_back(f.intervalEnd);
    const std::uint64_t newestEnd = ends.empty() ? 0 : *std::max_element(ends.begin(), ends.end());
    const std::set<std::uint64_t> kept =
        Talon::KeptRestorePoints(ends, policy.count, policy.hours, newestEnd);
    std::set<std::uint64_t> all(ends.begin(), ends.end());
    std::vector<std::uint64_t> newestFirst(all.rbegin(), all.rend());
    // A copy an interval the service left unfinished still shares: it checks the in-progress
    // copy against this one when it starts again.
    std::set<InodeKey> inProgress;
    CollectInodes(backup + "/InProgress", inProgress);

    int code = kOk;
    std::uint64_t bytes = 0;
    int copies = 0, folders = 0, keptWhole = 0;
    for (const auto& f : view.folders) {
        if (f.vanished) continue;
        FolderResult r;
        r.folder = &f;
        if (kept.count(f.intervalEnd)) {
            r.kept = true;
            const auto rank = std::find(newestFirst.begin(), newestFirst.end(), f.intervalEnd) -
                              newestFirst.begin();
            r.why = f.intervalEnd == newestEnd ? "the newest"
                    : rank < policy.count      ? "one of the newest " + std::to_string(policy.count)
                                          : "younger than " + std::to_string(policy.hours) + "h";
        } else if (std::vector<Mirel::Os::DirEntry> entries;
                   f.manifestState == LastGoodFolder::kNoManifest &&
                   Mirel::Os::ListDir(f.path, entries) == 0 && entries.empty()) {
            // Nothing at all: what a removal cut short between its manifest and its folder
            // leaves. No restore point.
            r.folderGone = o.dryRun || Talon::Manifest::DeleteFolderIfOnlyManifest(
                                           Mirel::Directory(Mirel::UniversalPath::Folder(f.path)))
                                           .OK();
            if (r.folderGone) ++folders;
            results.push_back(r);
            continue;
        } else if (f.manifestState != LastGoodFolder::kManifest) {
            // Without a manifest nothing says which files are the service's copies.
            r.kept = true;
            r.why = std::string("its manifest is ") + f.ManifestWord() + ": left as it is";
        }
        if (r.kept) {
            ++keptWhole;
            results.push_back(r);
            continue;
        }
        const std::string root = f.path;
        std::set<std::string> listedFolders;  // the folders on the way to its listed copies
        for (const Copy& c : f.copies) {
            if (!c.listed) continue;  // not the service's
            for (std::string d = Mirel::Os::ParentOf(root + "/" + c.path);
                 d.size() > root.size() && d.compare(0, root.size(), root) == 0;
                 d = Mirel::Os::ParentOf(d))
                listedFolders.insert(d);
            const LastGoodFolder* newer = nullptr;
            for (const auto& g : view.folders) {
                if (g.vanished || g.intervalEnd <= f.intervalEnd || c.uuid.empty()) continue;
                const Copy* n = g.FindUuid(c.uuid);
                if (n && Good(g, *n)) newer = &g;
            }
            const std::string path = root + "/" + c.path;
            if (c.state == Copy::kMissing) {
                // Gone already: a removal cut short after the copy may have left its
                // container folder, which goes as it would have gone with it.
                if (newer && !o.dryRun) {
                    Talon::RemoteContainerMgr rc(Mirel::UniversalPath::FromNative(path));
                    rc.DeleteAll(true);
                }
                continue;
            }
            Spared s{c.path, c.uuid, "", c.msn};
            const Mirel::Os::Info info = Mirel::Os::Stat(path);
            std::vector<std::string> components;
            for (std::size_t at = 0; at <= c.path.size();) {
                std::size_t slash = c.path.find('/', at);
                if (slash == std::string::npos) slash = c.path.size();
                components.push_back(c.path.substr(at, slash - at));
                at = slash + 1;
            }
            if (!newer) {
                s.why = "the newest good copy of its database";
            } else if (!info.isFile || Mirel::Os::CheckRealPath(root, components, true) != 0) {
                // A link, or a folder on the way that is one, could lead out of the folder.
                s.why = "not a regular file in a folder of its own: left as it is";
            } else if (inProgress.count({static_cast<std::uint64_t>(info.dev), info.ino})) {
                s.why = "an unfinished interval in InProgress/ shares it";
            }
            if (!s.why.empty()) {
                r.spared.push_back(s);
                continue;
            }
            Removed x{c.path, c.uuid, newer->name, c.msn, info.size, 0};
            if (!o.dryRun) {
                x.error = Mirel::Os::DeleteFile(path);
                if (x.error == Mirel::kErrPathNotFound) x.error = 0;
                if (x.error == 0) {
                    // Its container folder goes with it; a link there goes as a link.
                    Talon::RemoteContainerMgr rc(Mirel::UniversalPath::FromNative(path));
                    if (Talon::Error e = rc.DeleteAll(true);
                        !e.OK() && e.GetError() != Mirel::kErrPathNotFound)
                        x.error = e.GetError();
                }
            }
            if (x.error != 0) {
                code = std::max(code, static_cast<int>(kWarning));
            } else {
                bytes += x.bytes;
                ++copies;
            }
            r.removed.push_back(x);
        }
        if (!o.dryRun) {
            // Folders on the way to its copies that are empty now (the removals, or an earlier
            // one cut short, emptied them), deepest first; then the folder itself when only
            // its manifest is left. Anything else anyone put there keeps it.
            for (auto d = listedFolders.rbegin(); d != listedFolders.rend(); ++d) {
                std::vector<Mirel::Os::DirEntry> left;
                if (Mirel::Os::ListDir(*d, left) == 0 && left.empty())
                    Mirel::Directory(Mirel::UniversalPath::Folder(*d)).Delete();
            }
            r.folderGone = Talon::Manifest::DeleteFolderIfOnlyManifest(
                               Mirel::Directory(Mirel::UniversalPath::Folder(root)))
                               .OK();
            if (!r.folderGone && !r.removed.empty()) Mirel::Os::SyncDir(root);
        } else {
            std::set<std::string> going;
            for (const Removed& x : r.removed) going.insert(x.path);
            r.folderGone = OnlyThese(root, "", going);
        }
        if (r.folderGone) ++folders;
        results.push_back(r);
    }
    if (!o.dryRun && (copies || folders)) Mirel::Os::SyncDir(backup);

    const std::string verb = o.dryRun ? "would remove " : "removed ";
    std::string summary = verb + std::to_string(copies) + " cop" + (copies == 1 ? "y" : "ies") +
                          " (" + SizeText(bytes) + ") and " + std::to_string(folders) + " folder" +
                          (folders == 1 ? "" : "s") + "; " + std::to_string(keptWhole) +
                          " restore point" + (keptWhole == 1 ? "" : "s") + " kept whole (keep " +
                          std::to_string(policy.count) + ", keep-hours " +
                          std::to_string(policy.hours) + ")";
    int failed = 0;
    for (const auto& r : results)
        for (const auto& x : r.removed) failed += x.error != 0;
    if (failed) summary += "; " + std::to_string(failed) + " could not be removed";

    if (o.json) {
        Json j;
        j["version"] = kJsonVersion;
        j["backup"] = backup;
        j["state"] = ExitName(code);
        j["exit_code"] = code;
        j["dry_run"] = o.dryRun;
        j["keep"] = policy.count;
        j["keep_hours"] = policy.hours;
        j["removed_copies"] = copies;
        j["removed_bytes"] = bytes;
        j["removed_folders"] = folders;
        j["summary"] = summary;
        j["folders"] = Json::array();
        for (const auto& r : results) {
            Json f{{"folder", r.folder->name},
                   {"interval_end", r.folder->intervalEnd},
                   {"interval_end_text", TimeText(r.folder->intervalEnd)},
                   {"kept", r.kept},
                   {"why", r.kept ? Json(r.why) : Json(nullptr)},
                   {"removed", Json::array()},
                   {"spared", Json::array()},
                   {"folder_removed", r.folderGone}};
            for (const auto& x : r.removed)
                f["removed"].push_back({{"path", x.path},
                                        {"uuid", x.uuid},
                                        {"msn", x.msn},
                                        {"bytes", x.bytes},
                                        {"newer_in", x.newerIn},
                                        {"error", x.error ? Json(x.error) : Json(nullptr)}});
            for (const auto& s : r.spared)
                f["spared"].push_back(
                    {{"path", s.path}, {"uuid", s.uuid}, {"msn", s.msn}, {"why", s.why}});
            j["folders"].push_back(f);
        }
        out << j.dump(2) << "\n";
        return code;
    }
    for (auto r = results.rbegin(); r != results.rend(); ++r) {
        const LastGoodFolder& f = *r->folder;
        out << (r->kept ? "kept    " : "expired ") << f.name << "  interval end "
            << TimeText(f.intervalEnd) << " UTC";
        if (r->kept) out << "  whole (" << r->why << ")";
        out << "\n";
        for (const auto& x : r->removed) {
            if (x.error)
                out << "  NOT removed " << x.path << ": error " << Mirel::ErrorText(x.error)
                    << "\n";
            else
                out << "  " << verb << x.path << "  " << x.uuid << "  MSN " << x.msn << "  "
                    << SizeText(x.bytes) << "  (newer copy in " << x.newerIn << ")\n";
        }
        for (const auto& s : r->spared)
            out << "  kept " << s.path << "  " << (s.uuid.empty() ? "(no UUID)" : s.uuid)
                << "  MSN " << s.msn << ": " << s.why << "\n";
        if (r->folderGone) out << "  " << verb << "the folder (nothing of it is left)\n";
    }
    out << ExitName(code) << ": " << summary << "\n";
    return code;
}

}  // namespace ibsdb
