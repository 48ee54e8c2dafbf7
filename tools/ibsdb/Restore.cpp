// ibsdb restore: copies the newest copy of each database (or the newest at or before a time)
// out of the last-good folders, checking every byte against the folder's manifest on its way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>

#include "platform/engine/Formats.h"
#include "platform/support/Directory.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {

using Clock = std::chrono::steady_clock;

std::string ParentOf(const std::string& p) {
    std::size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}

std::string FileName(const std::string& p) {
    return p.substr(p.find_last_of('/') + 1);
}

bool Matches(const std::string& selector, const std::string& uuid, const std::string& rel) {
    if (Mirel::AsciiLower(selector) == uuid || selector == rel) return true;
    std::string file = FileName(rel);
    if (selector == file) return true;
    std::size_t dot = file.find_last_of('.');
    return dot != std::string::npos && selector == file.substr(0, dot);
}

class Progress {
public:
    Progress(bool on, std::uint64_t total) : mOn(on), mTotal(total), mStart(Clock::now()) {}
    void Add(std::uint64_t n) {
        mDone += n;
        if (!mOn) return;
        auto now = Clock::now();
        if (now - mLast < std::chrono::milliseconds(200)) return;
        mLast = now;
        double secs = std::chrono::duration<double>(now - mStart).count();
        double rate = secs > 0 ? static_cast<double>(mDone) / secs : 0;
        std::string eta =
            rate > 0 ? DurationText(static_cast<std::int64_t>(
                           static_cast<double>(mTotal - std::min(mDone, mTotal)) / rate * 1e6))
                     : "?";
        std::cerr << "\r  " << SizeText(mDone) << " of " << SizeText(mTotal) << ", "
                  << SizeText(static_cast<std::uint64_t>(rate)) << "/s, " << eta << " left    "
                  << std::flush;
        mShown = true;
    }
    void Done() {
        if (mShown) std::cerr << "\r" << std::string(70, ' ') << "\r" << std::flush;
    }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - mStart).count(); }

private:
    bool mOn;
    std::uint64_t mTotal, mDone = 0;
    Clock::time_point mStart, mLast{};
    bool mShown = false;
};

// Copies `from` to `to` (created or truncated), a few MiB at a time in the kernel, and
// computes size and CRC-32C on each piece as it landed in the copy (read back at once, while
// it is still in the cache): what is checked is what was written. Not synced yet.
int CopyChecked(const std::string& from, const std::string& to, std::uint64_t& size,
                std::uint32_t& crc, Progress& progress) {
    size = 0;
    crc = 0;
    int in = -1, out = -1;
    if (int rc = Mirel::Os::OpenRead(from, in)) return rc;
    int rc = Mirel::Os::OpenWrite(to, true, true, out);
    if (rc == 0) {
        constexpr std::size_t kPiece = 4 << 20;
        std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kPiece]);
        ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
        bool kernelCopy = true;
        for (;;) {
            ssize_t n = -1;
            if (kernelCopy) {
                // The kernel's copy meets the thread's Env as a read and a write would.
                std::size_t none = 0;
                Mirel::Env& env = Mirel::Env::Current();
                if ((rc = env.PReadAll(in, buf.get(), 0, size, none, from).GetError()) != 0 ||
                    (rc = env.PWriteAll(out, buf.get(), 0, size, to).GetError()) != 0)
                    break;
                n = ::copy_file_range(in, nullptr, out, nullptr, kPiece, 0);
                if (n < 0 &&
                    (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                    kernelCopy = false;
                    continue;
                }
            } else {
                std::size_t got = 0;
                if ((rc = Mirel::Os::PReadAll(in, buf.get(), kPiece, size, got, from)) != 0) break;
                n = static_cast<ssize_t>(got);
                if (n > 0)
                    rc =
                        Mirel::Os::PWriteAll(out, buf.get(), static_cast<std::size_t>(n), size, to);
            }
            if (n < 0) {
                if (errno == EINTR) continue;
                rc = Mirel::Os::MapErrno(errno);
            }
            if (n <= 0 || rc != 0) break;
            std::size_t len = static_cast<std::size_t>(n), got = 0;
            if ((rc = Mirel::Os::PReadAll(out, buf.get(), len, size, got, to)) != 0) break;
            if (got != len) {
                rc = Mirel::kErrIO;
                break;
            }
            crc = Mirel::Format::Crc32c(buf.get(), len, crc);
            size += len;
            progress.Add(len);
        }
        // Written back now, waited for later: syncing each file before copying the next would
        // make the disk wait for the copy and the copy for the disk.
        if (rc == 0) ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    Mirel::Os::Close(in);
    if (out >= 0) Mirel::Os::Close(out);
    return rc;
}

struct Item {
    std::string uuid;
    const LastGoodFolder* folder = nullptr;
    const Copy* copy = nullptr;
};

Json TimeJson(std::uint64_t utc) {
    return Json{{"utc", utc}, {"text", IsoTime(utc)}};
}

}  // namespace

int Restore(const RestoreOptions& o, std::ostream& json) {
    // With --json the lines are not printed: one document says it all at the end.
    std::ostringstream unused;
    std::ostream& out = o.json ? unused : json;
    Json results = Json::array();
    auto document = [&](int code, const std::vector<std::string>& reasons) {
        Json j;
        j["version"] = kJsonVersion;
        j["backup"] = o.backup;
        j["to"] = o.to;
        j["state"] = ExitName(code);
        j["exit_code"] = code;
        j["reasons"] = reasons;
        j["databases"] = results;
        return j;
    };
    auto refuse = [&](const std::string& why) {
        if (o.json)
            json << document(kUnknown, {"nothing restored: " + why}).dump(2) << "\n";
        else
            out << "UNKNOWN: nothing restored: " << why << "\n";
        return kUnknown;
    };
    BackupView view;
    if (int e = view.Load(o.backup); e != 0)
        return refuse("cannot read the backup folder " + o.backup + ": error " +
                      Mirel::ErrorText(e));

    // The backup is never a place to restore into: a restore there could replace the very
    // copies it reads, and the service would take what it wrote for its own.
    if (o.to == view.backup || o.to.compare(0, view.backup.size() + 1, view.backup + "/") == 0)
        return refuse(o.to + " is inside the backup folder");
    Mirel::Os::Info target = Mirel::Os::Stat(o.to);
    if (target.exists && !target.isDir) return refuse(o.to + " exists and is not a folder");
    if (target.exists && !o.force &&
        !Mirel::Directory(Mirel::UniversalPath::Folder(o.to)).IsEmpty())
        return refuse(o.to +
                      " is not empty (--force restores into it, replacing files of "
                      "the same names)");

    // What to restore: the newest copy of each database, or the copies of one folder.
    auto plan = [&](const BackupView& v) {
        std::map<std::string, Item> items;
        if (!o.atFolder.empty()) {
            for (const auto& f : v.folders)
                if (f.name == o.atFolder)
                    for (const auto& c : f.copies)
                        if (!c.uuid.empty()) items[c.uuid] = Item{c.uuid, &f, &c};
        } else {
            for (const auto& [uuid, n] : v.NewestCopies(o.at))
                items[uuid] = Item{uuid, n.folder, n.copy};
        }
        return items;
    };
    std::map<std::string, Item> all = plan(view);
    if (!o.atFolder.empty() &&
        std::none_of(view.folders.begin(), view.folders.end(),
                     [&](const LastGoodFolder& f) { return f.name == o.atFolder; }))
        return refuse("no last-good folder " + o.atFolder + " in " + view.backup);
    if (all.empty()) {
        if (o.at == UINT64_MAX || view.folders.empty())
            return refuse("no database copy in any last-good folder of " + view.backup);
        // Too early: the operator needs the earliest time there is.
        const LastGoodFolder& oldest = view.folders.front();
        return refuse("no last-good folder ended at or before " + TimeText(o.at) +
                      " UTC; the oldest restore point is " + oldest.name + " (interval end " +
                      TimeText(oldest.intervalEnd) + " UTC)");
    }
    std::set<std::string> chosen;
    for (const auto& s : o.databases) {
        bool any = false;
        for (const auto& [uuid, it] : all)
            if (Matches(s, uuid, it.copy->path)) {
                chosen.insert(uuid);
                any = true;
            }
        if (!any) return refuse("no database '" + s + "' among the copies to restore from");
    }
    std::vector<std::string> skipped;
    if (o.databases.empty())
        for (const auto& [uuid, it] : all) {
            // Dropped by the server, its name now another database's: asked for by name only.
            const FailedDatabase* fd = view.FindFailed(uuid);
            if (fd && fd->error == Mirel::kErrReplaced && o.atFolder.empty()) {
                skipped.push_back(it.copy->path + "  " + uuid);
                continue;
            }
            chosen.insert(uuid);
        }
    for (const auto& s : skipped) {
        out << "skipped  " << s << ": replaced by another database under its name (restore it "
            << "with --database and its UUID)\n";
        const std::string uuid = s.substr(s.rfind("  ") + 2);
        results.push_back({{"name", all[uuid].copy->path},
                           {"uuid", uuid},
                           {"state", "skipped"},
                           {"folder", all[uuid].folder->name},
                           {"interval_end", TimeJson(all[uuid].folder->intervalEnd)},
                           {"msn", all[uuid].copy->msn},
                           {"notes", {"replaced by another database under its name"}}});
    }
    std::map<std::string, std::string> byPath;  // target path -> UUID
    for (const auto& uuid : chosen) {
        const std::string& rel = all[uuid].copy->path;
        if (byPath.count(rel))
            return refuse("two databases would be restored as " + rel + " (" + byPath[rel] +
                          " and " + uuid + "): restore them one at a time with --database UUID");
        byPath[rel] = uuid;
    }

    const LastGoodFolder* newest = view.NewestFolder(o.at);
    std::uint64_t total = 0;
    for (const auto& uuid : chosen) {
        const Item& it = all[uuid];
        total += it.copy->size;
        for (const auto& c : Talon::Manifest::ListContainerFiles(
                 Mirel::Directory(Mirel::UniversalPath::Folder(it.folder->path)), it.copy->path))
            total += Mirel::Os::Stat(it.folder->path + "/" + c).size;
    }
    if (int rc =
            Mirel::Directory(Mirel::UniversalPath::Folder(o.to)).CreateIfNotExists().GetError())
        return refuse("cannot create " + o.to + ": error " + Mirel::ErrorText(rc));

    Progress progress(o.progress, total);
    int code = kOk, restored = 0;
    std::vector<std::string> failures;
    // A file is copied under a temporary name and checked; a database's files are put in
    // place only once all of them passed, and only after they are on disk.
    struct Staged {
        std::string uuid, rel, report;
        std::uint64_t intervalEnd = 0;
        Json result;
        // The database's temporary and final name first, then its staged container files.
        std::vector<std::pair<std::string, std::string>> files;
        std::string rcStage, rcFinal;  // its container folder, when it has one
    };
    auto stageFile = [&](const LastGoodFolder& f, const std::string& rel, const std::string& tmp,
                         const Talon::ManifestEntry* listed, const std::string& uuid,
                         std::string& why) -> bool {
        int rc = Mirel::Directory(Mirel::UniversalPath::Folder(ParentOf(tmp)))
                     .CreateIfNotExists()
                     .GetError();
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
        if (rc == 0) rc = CopyChecked(f.path + "/" + rel, tmp, size, crc, progress);
        if (rc != 0) {
            Mirel::Os::DeleteFile(tmp);
            why = rc == Mirel::kErrPathNotFound ? "gone from " + f.name
                                                : "copy failed: error " + Mirel::ErrorText(rc);
            return false;
        }
        if (listed && (size != listed->size || crc != listed->crc)) {
            Mirel::Os::DeleteFile(tmp);
            char buf[128];
            std::snprintf(buf, sizeof buf, "size %llu and CRC-32C %08x, listed %llu and %08x",
                          static_cast<unsigned long long>(size), crc,
                          static_cast<unsigned long long>(listed->size), listed->crc);
            why =
                std::string("the copy in ") + f.name + " does not match its manifest (" + buf + ")";
            return false;
        }
        if (!uuid.empty()) {
            Talon::ManifestEntry h;
            Talon::Error e = Talon::Manifest::ReadDatabaseHeader(tmp, h);
            if (!e.OK() || h.uuid != uuid || (listed && h.msn != listed->msn)) {
                Mirel::Os::DeleteFile(tmp);
                why = "the restored file is not the database it should be (error " + e.Text() + ")";
                return false;
            }
        }
        return true;
    };
    auto listedOf = [](const Item& i, const std::string& path) -> const Talon::ManifestEntry* {
        return i.folder->manifestState == LastGoodFolder::kManifest ? i.folder->manifest.Find(path)
                                                                    : nullptr;
    };
    auto fail = [&](const std::string& rel, const std::string& uuid, const std::string& why) {
        code = kCritical;
        failures.push_back(rel + " (" + uuid + "): " + why);
        progress.Done();
        out << "FAILED   " << rel << "  " << uuid << ": " << why << "\n";
        results.push_back({{"name", rel},
                           {"uuid", uuid},
                           {"state", "failed"},
                           {"folder", nullptr},
                           {"interval_end", nullptr},
                           {"msn", nullptr},
                           {"notes", {why}}});
    };

    std::vector<Staged> staged;
    std::map<std::uint64_t, std::vector<std::string>> ends;  // interval end -> restored names
    std::deque<BackupView> looks;  // views taken again while restoring; items point into them
    // A database's files copied and checked under temporary names: the database file, then its
    // container files. False with the reason when any of them is not as listed.
    auto stageItem = [&](Item& it, const std::string& rel, Staged& st,
                         const Talon::ManifestEntry*& listed, std::string& why) {
        const std::string dst = o.to + "/" + rel;
        listed = listedOf(it, rel);
        // Staged under short names of their own: "<name>.part" would not fit beside a name
        // at the length limit.
        const std::string stage = Mirel::Os::TempNameBeside(dst);
        bool ok = stageFile(*it.folder, rel, stage, listed, it.uuid, why);
        if (!ok && why.rfind("gone from", 0) == 0) {
            // The service removes an older copy once a newer one is in place: look again.
            looks.emplace_back();
            if (looks.back().Load(o.backup) == 0) {
                auto items = plan(looks.back());
                auto found = items.find(it.uuid);
                if (found != items.end() && found->second.copy->path == rel &&
                    found->second.copy->state == Copy::kOk) {
                    it = found->second;
                    listed = listedOf(it, rel);
                    ok = stageFile(*it.folder, rel, stage, listed, it.uuid, why);
                }
            }
        }
        st = Staged();
        st.uuid = it.uuid;
        st.rel = rel;
        st.files.emplace_back(stage, dst);
        const auto containers = Talon::Manifest::ListContainerFiles(
            Mirel::Directory(Mirel::UniversalPath::Folder(it.folder->path)), rel);
        if (ok && !containers.empty()) {
            // Staged as a folder of its own, so the old one is replaced as a whole.
            st.rcFinal = dst + ".rc";
            st.rcStage = Mirel::Os::TempNameBeside(dst);
            Mirel::Directory(Mirel::UniversalPath::Folder(st.rcStage)).DeleteAll();
            for (const auto& c : containers) {
                const std::string tmp = st.rcStage + c.substr(rel.size() + 3);
                st.files.emplace_back(tmp, "");
                if (!stageFile(*it.folder, c, tmp, listedOf(it, c), "", why)) {
                    why = "container file " + c + ": " + why;
                    ok = false;
                    break;
                }
            }
        }
        if (!ok) {
            Mirel::Os::DeleteFile(stage);
            if (!st.rcStage.empty())
                Mirel::Directory(Mirel::UniversalPath::Folder(st.rcStage)).DeleteAll();
        }
        return ok;
    };
    // Files of the newest folder that name no database (no line, no readable header).
    std::map<std::string, const Copy*> unnamed;
    if (newest && o.atFolder.empty() && o.databases.empty())
        for (const auto& c : newest->copies)
            if (c.uuid.empty()) unnamed[c.path] = &c;
    for (const auto& [rel, uuid] : byPath) {
        // The newest copy first; when it is damaged or gone, an older copy of the same path
        // (never when one folder was asked for), said so, and the run ends WARNING. Only a
        // copy its manifest lists stands in: a rotted page passes a look at the structure, so
        // an unlisted copy is only named, for a restore asked for by hand.
        std::vector<Item> tries{all[uuid]};
        std::string unchecked;
        if (o.atFolder.empty())
            for (const auto& older :
                 view.OlderIntactCopies(uuid, tries.front().folder->intervalEnd)) {
                if (older.copy->path != rel) continue;
                if (older.copy->listed)
                    tries.push_back(Item{uuid, older.folder, older.copy});
                else if (unchecked.empty())
                    unchecked = older.folder->name;
            }
        std::vector<std::string> refused;  // why each newer copy was not restored
        Staged st;
        const Talon::ManifestEntry* listed = nullptr;
        Item it;
        bool ok = false;
        for (std::size_t k = 0; k < tries.size() && !ok; ++k) {
            it = tries[k];
            std::string why;
            if (it.copy->state != Copy::kOk)
                why = std::string("the copy in ") + it.folder->name + " is " +
                      Copy::Word(it.copy->state) + " (" + it.copy->detail + ")";
            else
                ok = stageItem(it, rel, st, listed, why);
            if (!ok) refused.push_back(why);
        }
        if (!ok) {
            std::string why;
            for (const auto& r : refused) why += (why.empty() ? "" : "; ") + r;
            why += tries.size() > 1 ? "; no older copy is whole either"
                                    : "; no older copy to fall back to";
            if (!unchecked.empty())
                why += "; " + unchecked + " has a copy no manifest lists (--at " + unchecked +
                       " --database " + rel + " restores it, checked for structure only)";
            fail(rel, uuid, why);
            continue;
        }
        std::ostringstream line;
        line << "restored " << rel << "  " << uuid << "  MSN " << it.copy->msn << "  interval end "
             << TimeText(it.folder->intervalEnd) << " UTC  from " << it.folder->name
             << (listed ? "" : "  (no manifest: checked for structure only)") << "\n";
        std::vector<std::string> notes;  // each on a line of its own below
        if (!listed) notes.push_back("no manifest: checked for structure only");
        auto sameName = unnamed.find(rel);
        if (it.copy->held) {
            // Not the database at the folder's end: the one the service kept when it failed.
            line << "         WARNING: held copy: " << rel << " failed and this is its newest good "
                 << "copy, at MSN " << it.copy->msn << ", older than the interval end of "
                 << it.folder->name << "\n";
            notes.push_back("held copy: its newest good copy, at MSN " +
                            std::to_string(it.copy->msn) + ", older than the interval end of " +
                            it.folder->name);
            code = std::max(code, static_cast<int>(kWarning));
        }
        if (!refused.empty()) {
            std::string why = "NOT the newest copy: ";
            for (std::size_t i = 0; i < refused.size(); ++i) why += (i ? "; " : "") + refused[i];
            line << "         " << why << "\n";
            notes.push_back(why);
            code = std::max(code, static_cast<int>(kWarning));
        } else if (newest && it.folder->intervalEnd < newest->intervalEnd && o.atFolder.empty()) {
            std::string why = "older than the newest last-good folder " + newest->name;
            if (sameName != unnamed.end()) {
                // Perhaps this very database, whose file there can no longer be read.
                why += ": its file of that name there names no database (" +
                       sameName->second->detail + ")";
                code = std::max(code, static_cast<int>(kWarning));
            } else {
                why += ": this database is not in it";
                if (const FailedDatabase* fd = view.FindFailed(uuid);
                    fd && fd->error == Mirel::kErrReplaced)
                    why += " (another database took its name at " + TimeText(fd->since) + " UTC)";
                else if (fd)
                    why += " (it failed with error " + Mirel::ErrorText(fd->error) + " at " +
                           TimeText(fd->since) + " UTC and awaits a new full upload)";
            }
            line << "         " << why << "\n";
            notes.push_back(why);
        }
        if (sameName != unnamed.end()) unnamed.erase(sameName);
        if (!listed) code = std::max(code, static_cast<int>(kWarning));
        st.report = line.str();
        st.intervalEnd = it.folder->intervalEnd;
        st.result = {{"name", rel},
                     {"uuid", uuid},
                     {"state", "restored"},
                     {"folder", it.folder->name},
                     {"interval_end", TimeJson(it.folder->intervalEnd)},
                     {"msn", it.copy->msn},
                     {"newest_copy", refused.empty()},
                     {"held", it.copy->held},
                     {"notes", notes}};
        staged.push_back(std::move(st));
    }
    // Accounted for too: a file of the newest folder that names no database.
    const std::size_t unnamedCount = unnamed.size();
    for (const auto& [rel, c] : unnamed)
        fail(rel, "-", "names no database, so it cannot be restored (" + c->detail + ")");

    // Everything copied and checked: now on disk, then in place.
    for (const auto& st : staged) {
        int rc = 0;
        auto sync = [&](const std::string& path) {
            int fd = -1;
            if (rc == 0) rc = Mirel::Os::OpenWrite(path, false, false, fd);
            if (rc == 0) rc = Mirel::Os::SyncFile(fd, path);
            if (fd >= 0) Mirel::Os::Close(fd);
        };
        for (const auto& f : st.files) sync(f.first);
        if (rc == 0 && !st.rcStage.empty()) {
            // The container folder goes in first: a database under its name has its own.
            Mirel::Directory old(Mirel::UniversalPath::Folder(st.rcFinal));
            rc = old.DeleteAll().GetError();
            if (rc == 0) rc = Mirel::Os::RenameDurable(st.rcStage, st.rcFinal);
        }
        const auto& [tmp, dst] = st.files.front();
        if (rc == 0)
            rc = Mirel::Os::Stat(dst).exists ? Mirel::Os::ReplaceDurable(tmp, dst)
                                             : Mirel::Os::RenameDurable(tmp, dst);
        if (rc != 0) {
            Mirel::Os::DeleteFile(tmp);
            if (!st.rcStage.empty())
                Mirel::Directory(Mirel::UniversalPath::Folder(st.rcStage)).DeleteAll();
            fail(st.rel, st.uuid, "cannot put it in place: error " + Mirel::ErrorText(rc));
            continue;
        }
        ++restored;
        progress.Done();
        out << st.report;
        results.push_back(st.result);
        ends[st.intervalEnd].push_back(st.rel);
    }
    progress.Done();
    std::vector<std::string> reasons = failures;
    for (const auto& r : results)
        if (r["state"] == "restored")
            for (const auto& n : r["notes"])
                reasons.push_back(r["name"].get<std::string>() + ": " + n.get<std::string>());
    // Databases of different interval ends are not one state of the server: whoever starts
    // them together must know.
    if (ends.size() > 1) {
        code = std::max(code, static_cast<int>(kWarning));
        std::size_t older = 0;
        for (auto e = ends.begin(); std::next(e) != ends.end(); ++e) older += e->second.size();
        const std::string mixed = "the databases restored are not of one point in time: " +
                                  std::to_string(ends.rbegin()->second.size()) +
                                  " of interval end " + TimeText(ends.rbegin()->first) + " UTC, " +
                                  std::to_string(older) + " older (the oldest " +
                                  ends.begin()->second.front() + ", interval end " +
                                  TimeText(ends.begin()->first) + " UTC)";
        out << "WARNING: " << mixed << "\n";
        reasons.push_back(mixed);
    }
    const std::string summary =
        std::to_string(restored) + " of " + std::to_string(byPath.size() + unnamedCount) +
        " database(s) restored to " + o.to + ", " + SizeText(total) + " in " +
        DurationText(static_cast<std::int64_t>(progress.Seconds() * 1e6)) +
        (failures.empty() ? "" : "; " + std::to_string(failures.size()) + " failed");
    if (o.json) {
        Json j = document(code, reasons);
        j["summary"] = summary;
        j["bytes"] = total;
        json << j.dump(2) << "\n";
    } else {
        out << ExitName(code) << ": " << summary << "\n";
    }
    return code;
}

}  // namespace ibsdb
