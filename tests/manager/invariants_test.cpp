// What a user restoring relies on, checked after every interval of a randomised server model
// (independent of the service: real files, every database's pages at every interval end):
//  1. a database in a last-good folder is the server's exact state at its end (held: at its MSN);
//  2. the newest last-good folder holds every database that has not failed;
//  3. a database's newest good copy is never deleted before a newer one exists;
//  4. an accepted log or upload is deleted only once used or superseded, uploads never changed;
//  5. the cycle always catches up, without spinning;
//  6. every folder a retention policy keeps is as it was published.
// The real world (tools/sim/RealWorld.h) adds a rule-breaking server and a changing host. Each
// finding names what it breaks in brackets.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "platform/engine/Formats.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "tests/manager/Files.h"
#include "tests/manager/ManagerFixture.h"
#include "tests/tools/Expiry.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"
#include "tools/sim/DatabaseModel.h"
#include "tools/sim/RealWorld.h"
#include "tools/sim/ServerWriters.h"
#include "tools/sim/Verify.h"

using namespace testutil;

namespace {

// Small files on a memory file system keep hundreds of intervals within seconds.
const bool kOnShm = [] {
    if (IsDir("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 0);
    return true;
}();

constexpr std::uint64_t kMinute = 60000000;
Mirel::UniversalPath P(const std::string& path) {
    return Mirel::UniversalPath::FromNative(path);
}
using sim::RealWorld;

struct State {
    std::uint64_t msn;
    sim::PageMap pages;
};

struct Db {
    Mirel::Format::Uuid uuid;
    Mirel::unistring key;  // canonical text
    std::uint32_t pageSize;
    std::uint64_t msn;
    sim::PageMap pages;
    bool corrupted = false;  // a damaged log was announced and no upload came since
    std::uint64_t uploads = 0;
    // Real world.
    std::string name;   // its uploads' file name; empty: db<i>.vdb in any case
    std::string cause;  // the host's doing that lets the service fail it, until an upload
    State uploaded;     // its state at that upload
    std::size_t uploadedAfter = 0;  // intervals ended at its last upload
};

// An accepted log or upload.
struct Log {
    std::string path;
    Mirel::unistring key;
    std::uint64_t msn;
    int db;
    std::uint64_t uploadsBefore;         // the database's upload count when it was written
    std::uint64_t digest = 0, size = 0;  // an upload's bytes as the server left them
};
using UploadRec = Log;

// A database dropped and created again under its file name: its newest copy must stay.
struct Retired {
    Mirel::unistring key;
    std::string name;
    std::uint64_t end;  // of the folder that holds its newest copy
    State state;
    int interval = 0;  // the model's interval in which the new database was uploaded
    bool logSent = false, eventChecked = false;
};

// An upload whose first log was damaged: published as held in the interval's folder.
struct Held {
    Mirel::unistring key;
    std::uint64_t end = 0;  // 0 while the interval is open
    State state;
    bool checked = false;
};

// A last-good copy whose bytes the host changed (by its file: a pruned inode's number returns).
struct Damaged : sim::ChangedFile {
    Mirel::unistring key;
    std::uint64_t uploadsAtFlip;
    std::size_t eventsBefore;  // events seen before the flip
    bool eventDue = false;     // it was its database's only copy when logs came
    bool eventChecked = false;
};

class Server {
public:
    Server(IBSMgr* manager, std::uint64_t seed, std::string backup, int databases)
        : mgr(manager),
          rng(seed),
          rw(seed * 7919 + 17),
          backup(std::move(backup)),
          clock(1767225600000000ull + seed * kMinute * 7) {
        for (int i = 0; i < databases; ++i) {
            const std::uint32_t size = std::array<std::uint32_t, 3>{512, 1024, 4096}[rng() % 3];
            dbs.push_back(
                NewDb(size, rng() % 2 ? 1000 : (std::uint64_t{1} << 32) + rng() % 1000, rng));
        }
    }

    // A new database: three pages at places `places` draws.
    Db NewDb(std::uint32_t pageSize, std::uint64_t msn, std::mt19937_64& places) {
        Db d;
        d.uuid = Mirel::UuidText::Generate();
        d.key = Mirel::UuidText::ToText(d.uuid);
        d.pageSize = pageSize;
        d.msn = msn;
        for (int p = 0; p < 3; ++p) d.pages[places() % 8] = Page(d);
        return d;
    }
    Db& At(int i) { return dbs[static_cast<std::size_t>(i)]; }
    sim::PageImage Page(const Db& d) {
        sim::PageImage p(d.pageSize);
        for (auto& b : p) b = static_cast<std::uint8_t>(rng());
        return p;
    }

    // A full upload of database i, into a new folder of its own or into `into`.
    bool Upload(int i, const std::string& into = "") {
        Db& d = At(i);
        std::string folder = into.empty() ? backup + "/Copies/up" + std::to_string(++seq) : into;
        MakeDirs(folder);
        std::string path = folder + (rng() % 4 ? "/db" : "/DB") + std::to_string(i) +
                           (rng() % 4 ? ".vdb" : ".VDB");
        if (!d.name.empty()) path = folder + "/" + d.name;
        // Renamed into place: a name at the length limit leaves no room for a temporary one.
        const std::string written = folder + "/writing-" + std::to_string(++seq) + ".tmp";
        EXPECT_TRUE(sim::WriteDatabaseFile(P(written), d.uuid, d.pageSize, d.msn, d.pages).OK());
        std::filesystem::rename(written, path);
        bool ok = mgr->FullDBBackupIsUploaded(U(path), d.key);
        if (ok) {
            d.corrupted = false;
            d.cause.clear();
            d.uploaded = State{d.msn, d.pages};
            d.uploadedAfter = ends.size();
            UploadRec u{path, d.key, d.msn, i, d.uploads};
            sim::FileDigest(path, u.digest, u.size);
            uploads.push_back(u);
            ++d.uploads;
            whole[d.key][d.msn] = State{d.msn, d.pages};
            // A newer upload in the same interval stands in for one whose first log failed.
            for (Held& h : held)
                if (h.key == d.key && h.end == 0) h.checked = true;
        }
        return ok;
    }

    std::string Folder() {
        if (redoStart == 0) {
            redoStart = clock;
            MakeDirs(RedoPath(redoStart));
        }
        return RedoPath(redoStart);
    }
    std::string RedoPath(std::uint64_t start) const {
        return backup + "/Changes/Redo_" + std::to_string(start);
    }

    // One log of database i in `folder` ending at `end`, `damage`d behind a sound header.
    std::int32_t WriteLog(int i, const std::string& folder, std::uint64_t end, bool damage,
                          const std::string& name = "") {
        Db& d = At(i);
        std::string path = folder + "/" + std::to_string(++seq) + (rng() % 5 ? ".vrl" : ".VRL");
        if (!name.empty()) path = folder + "/" + name;
        sim::RedoLogWriter w;
        EXPECT_TRUE(w.Open(P(path), d.uuid, d.pageSize, d.msn).OK());
        int n = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < n; ++k) {
            std::uint64_t page = rng() % 12;  // pages repeat; the database grows now and then
            sim::PageImage img = Page(d);
            EXPECT_TRUE(w.AddPage(page, img.data()).OK());
            d.pages[page] = img;
        }
        d.msn += 1 + rng() % 3;
        EXPECT_TRUE(w.Finish(d.msn, end, false).OK());
        // Before or after its announcement: a record's bit, cut short, or a header bit.
        const int when = damage ? static_cast<int>(rng() % 4) : -1;
        std::string bytes = ReadFile(path);
        if (when == 0 || when == 1)
            bytes[128 + 16 + 3] = static_cast<char>(bytes[128 + 16 + 3] ^ 0x10);
        if (when == 2) bytes.resize(bytes.size() - 1 - rng() % (bytes.size() - 129));
        if (when == 3) {
            const std::size_t at = rng() % 76;
            bytes[at] = static_cast<char>(bytes[at] ^ (1 << rng() % 8));
        }
        if (when == 0) WriteFile(path, bytes);
        if (damage) d.corrupted = true;
        lastLog = path;
        std::int32_t r = mgr->RedoLogIsReady(U(path), d.key, true);
        if (when > 0) WriteFile(path, bytes);
        if (r == 0) accepted.push_back({path, d.key, d.msn, i, d.uploads});
        return r;
    }

    bool Roll(RealWorld c) {
        if (!realWorld.count(c)) return false;
        return rw() % 1000 < (realWorld.size() == 1 ? 300u : 120u);
    }
    void Happened(int interval, RealWorld c) {
        trail += " " + std::to_string(interval) + ":" + sim::RealWorldName(c);
        ++happened[c];
    }

    IBSMgr* mgr;
    std::mt19937_64 rng;
    std::mt19937_64 rw;  // the real world's own choices: plain runs draw exactly as before
    std::string backup;
    std::uint64_t clock;
    std::uint64_t redoStart = 0;
    std::vector<Db> dbs;
    std::vector<Log> accepted;
    std::vector<UploadRec> uploads;
    std::map<std::uint64_t, std::map<Mirel::unistring, State>> history;  // end -> states
    // Every whole state a copy may hold (uploads and interval ends), by database and MSN.
    std::map<Mirel::unistring, std::map<std::uint64_t, State>> whole;
    std::vector<std::uint64_t> ends;
    int seq = 0;
    std::string lastLog;
    // Real world.
    std::set<RealWorld> realWorld;
    std::vector<Retired> retired;
    std::vector<Held> held;
    std::vector<Damaged> damaged;
    // A redo folder swapped for a link: the outside files then, and whose taken logs it hid.
    struct Swap {
        std::string outside;
        std::string folder;  // the redo folder a link now stands for
        std::map<std::string, std::string> files;
        std::vector<Mirel::unistring> keys;
        std::map<Mirel::unistring, std::vector<std::string>> logs;  // by database, as announced
        std::size_t eventsBefore = 0;
        bool judged = false;
    };
    std::vector<Swap> swaps;
    std::map<RealWorld, int> happened;
    std::string trail;  // "interval:class ..." for the one who reads a failure
};

// "" when the file is exactly that state.
std::string Differs(const std::string& file, const Mirel::unistring& key, const State& s) {
    Mirel::Format::Uuid uuid{};
    Mirel::UuidText::FromText(key, uuid);
    return sim::DatabaseModel::Compare(P(file), uuid, s.msn, s.pages);
}

// An accepted upload as the server left it.
bool Unchanged(const UploadRec& u) {
    std::uint64_t digest = 0, size = 0;
    sim::FileDigest(u.path, digest, size);
    return digest == u.digest && size == u.size;
}

// A private mount namespace for this thread's tmpfs mounts; false where it may not mount.
bool PrivateMounts() {
    static thread_local const bool ok =
        ::unshare(CLONE_NEWNS) == 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return ok;
}
struct TmpfsMount {
    explicit TmpfsMount(const std::string& at) : path(at) {
        MakeDirs(at);
        ok = ::mount("ibs-test", at.c_str(), "tmpfs", 0, "size=8m") == 0;
    }
    ~TmpfsMount() {
        if (ok) ::umount2(path.c_str(), MNT_DETACH);
    }
    std::string path;
    bool ok = false;
};

struct LastGood {
    std::string path;
    std::uint64_t end;  // the interval end the folder stands for
};

class InvariantTest : public ManagerTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    ShortRetries shortRetries{mgr};

    // Settle, retries included; false when the cycle spun or a worker took over `patienceMs`.
    bool SettleAll(unsigned long patienceMs = 60000) {
        for (int runs = 0; runs < 20000;) {
            auto m = Queue().GetMsg(0);
            if (!m && Idle() && !mgr->RetryPending() && Queue().Size() == 0) return true;
            if (!m && !(m = Queue().GetMsg(patienceMs))) return false;
            if (m->GetMsgCode() == 1231 && ++runs < 20000) mgr->CheckIntervals();
        }
        return false;
    }

    // The check waiting, if any, taken before a stop or a restart.
    void TakeCheck() {
        if (auto m = Queue().GetMsg(0); m && m->GetMsgCode() == 1231) mgr->CheckIntervals();
    }
    void Run(std::uint64_t seed, int intervals, const std::set<RealWorld>& realWorld = {});
    void Check(Server& s, const std::string& where);
    // 6 (`published`: each folder's files as first seen).
    void CheckKept(const Server& s,
                   std::map<std::string, std::map<std::string, std::string>>& published,
                   const std::string& where);
    Talon::Retention retention;  // the default unless a test sets one
    void CheckRealWorld(Server& s, const std::vector<LastGood>& folders, const std::string& where);
    void FailedStart(Server& s, int n, const std::string& where);
    void CrossDeviceSetup(Server& s, int n, const std::string& where);
    void RaceFolderChange(Server& s, int n);
    void Recreate(Server& s, int n, const std::string& where);
    void NewLongNamedDatabase(Server& s, int n, const std::string& where);
    std::int32_t LongNamedLog(Server& s, int i, const std::string& folder, std::uint64_t end);
    void LateLog(Server& s, int n, const std::string& where);
    void RetiredLog(Server& s, int n, const std::string& where);
    void FlipByte(Server& s, int n);
    void KilledExpiry(Server& s, int n, const std::string& where);
    std::string SwapRedoFolder(Server& s, int n, const std::string& folder);
    void CheckSwapped(Server& s, const std::string& where);
    std::int32_t Err(const Mirel::unistring& key) { return mgr->GetDatabaseError(key); }
    // A random sound database that `fits` (-1: none).
    int Pick(Server& s, const std::function<bool(const Db&)>& fits) {
        std::vector<int> all;
        for (int i = 0; i < static_cast<int>(s.dbs.size()); ++i)
            if (!s.At(i).corrupted && Err(s.At(i).key) == 0 && fits(s.At(i))) all.push_back(i);
        return all.empty() ? -1 : all[s.rw() % all.size()];
    }
    // Failed for a swapped redo folder (20307, or 10721 after the hidden logs): nothing else said.
    bool FailedForLink(const Server& s, const Mirel::unistring& key) {
        return !s.swaps.empty() && sim::expect::LinkFailure(Err(key));
    }
    // An event since the `from`th with this code (0: any but a set-aside) naming one of `names`.
    bool Said(std::size_t from, std::uint32_t code, const std::vector<std::string>& names) {
        std::lock_guard<std::mutex> g(events.m);
        for (std::size_t e = from; e < events.seen.size(); ++e) {
            std::vector<std::string> t;
            for (const auto& v : events.seen[e].second) t.push_back(v.ToUTF8());
            if (code == 0x41000331u) {  // exactly the database and the number
                if (events.seen[e].first == code && std::count(t.begin(), t.end(), names[0]) &&
                    std::count(t.begin(), t.end(), names[1]))
                    return true;
            } else if (sim::expect::EventMatches(code, events.seen[e].first, t, names)) {
                return true;
            }
        }
        return false;
    }
    std::size_t EventsSoFar() {
        std::lock_guard<std::mutex> g(events.m);
        return events.seen.size();
    }
    // Failed for a link (0x41000331 with 20307) since a swap, even if an upload mended it.
    bool EverFailedForLink(const Server& s, const Mirel::unistring& key) {
        return !s.swaps.empty() && Said(s.swaps.front().eventsBefore, 0x41000331u,
                                        {key.ToUTF8(), std::to_string(Mirel::kErrIsALink)});
    }
    void ExpectSetAside(const std::string& path, std::int32_t reason, const std::string& where) {
        auto rejected = sim::ReadRejected(backup());
        auto it = rejected.find(path);
        EXPECT_TRUE(it != rejected.end() && it->second.reason == reason)
            << where << " not set aside with reason " << reason << ": " << path;
    }
    // The server registers and names the folder again, as after a start.
    bool NamedAgain() {
        mgr->RegisterServer(u"127.0.0.1", 1);
        return mgr->SetBackupFolder(U(backup())) == 1;
    }
    bool OnlyCopy(const Damaged& x);
    bool InNewestFolder(Server& s, const Db& d);

    Events events;
    int restores = 0;
};

// Each folder's manifest has its exact end; its name the minute, or the end if that was taken.
std::vector<LastGood> Folders(const std::string& backup) {
    std::vector<LastGood> out;
    for (const auto& d :
         Talon::BackupFolder(u"LastGood").GetList(Mirel::UniversalPath::Folder(backup))) {
        std::uint64_t utc = Talon::BackupFolder::GetUTCFromTimestamp(d.GetChildName().substr(9));
        if (utc == 0) continue;
        Talon::Manifest manifest;
        std::uint64_t end = 0;
        if (Talon::Manifest::Read(d, manifest).OK()) end = manifest.intervalEnd;
        EXPECT_TRUE(utc % kMinute != 0 ? end == utc : end - end % kMinute == utc)
            << d.GetPath().Native() << ": the name does not fit the end " << end;
        out.push_back({d.GetPath().Native(), end});
    }
    return out;
}

void InvariantTest::Check(Server& s, const std::string& where) {
    auto folders = Folders(backup());
    bool rwOn = !s.realWorld.empty();
    if (folders.empty()) {  // every database failed before it had a good copy
        for (const Db& d : s.dbs) ASSERT_NE(Err(d.key), 0) << where << ": [5]";
        return;
    }
    // 5: the newest folder stands for the last interval closed, unless every database failed.
    EXPECT_EQ(UnfinishedIntervals(), "") << where << ": [5 progress] closed, left unfinished";
    if (std::any_of(s.dbs.begin(), s.dbs.end(), [&](const Db& d) { return Err(d.key) == 0; })) {
        EXPECT_EQ(folders.back().end, s.ends.back()) << where << ": [5 progress] last end";
    }
    std::map<Mirel::unistring, std::uint64_t> newestCopy;  // database -> newest folder's end
    auto copyIn = [&](const Mirel::unistring& key, std::uint64_t end) {
        newestCopy[key] = std::max(newestCopy[key], end);
    };
    for (const LastGood& f : folders) {
        ASSERT_NE(f.end, 0u) << f.path << ": no manifest";
        auto states = s.history.find(f.end);
        ASSERT_NE(states, s.history.end()) << f.path;
        Talon::Manifest manifest;
        Talon::Manifest::Read(Mirel::Directory(Mirel::UniversalPath::Folder(f.path)), manifest);
        sim::ManifestLines lines;
        if (rwOn) lines = sim::ReadManifestLines(f.path);
        for (const auto& file : List(f.path)) {
            const std::string at = file.Native(), rel = at.substr(f.path.size() + 1);
            // 9: bytes the host changed are never certified; they are not the service's.
            auto rot = std::find_if(s.damaged.begin(), s.damaged.end(),
                                    [&](const Damaged& x) { return sim::IsChangedFile(x, at); });
            if (rwOn && rot != s.damaged.end()) {
                std::uint64_t size = 0;
                std::uint32_t crc = 0;
                Talon::Manifest::Checksum(at, size, crc);
                EXPECT_FALSE(sim::ManifestCertifies(lines, rel, crc, size))
                    << where << ": [9 bit rot] the manifest certifies changed bytes: " << at;
                copyIn(rot->key, f.end);
                continue;
            }
            Mirel::unistring key;
            std::uint64_t msn = 0;
            ASSERT_TRUE(Talon::IBS_Config::GetDBInfo(file, key, msn).OK()) << at;
            const Talon::ManifestEntry* line = manifest.Find(rel);
            if (line && line->held) {
                // 1: a failed database's newest good copy, exact at its own MSN.
                auto st = s.whole[key].find(msn);
                ASSERT_NE(st, s.whole[key].end()) << where << ": [1] " << at << " held at MSN "
                                                  << msn << ", a state the server never had";
                EXPECT_EQ(Differs(at, key, st->second), "") << where << ": [1] " << at;
                for (Held& h : s.held)
                    if (h.key == key && h.end == f.end) h.checked = true;
                copyIn(key, f.end);
                continue;
            }
            // 10: an upload no log changed, kept as the newest good copy.
            auto h = std::find_if(s.held.begin(), s.held.end(),
                                  [&](const Held& x) { return x.key == key && x.end == f.end; });
            if (rwOn && h != s.held.end() && Differs(at, key, h->state).empty()) {
                EXPECT_TRUE(sim::ManifestMarksHeld(lines, rel))
                    << where << ": [10 held] the upload no log changed is not marked "
                    << sim::expect::kHeldMark << ": " << at << " (version " << lines.version << ")";
                h->checked = true;
                copyIn(key, f.end);
                continue;
            }
            auto st = states->second.find(key);
            ASSERT_NE(st, states->second.end()) << where << ": [1 exact] not the server's: " << at;
            EXPECT_EQ(Differs(at, key, st->second), "") << where << ": [1 exact] " << at;
            copyIn(key, f.end);
        }
    }
    const auto failedList = sim::ReadFailedList(backup());
    for (const Db& d : s.dbs) {
        const bool failed = Err(d.key) != 0;
        // Only for a damaged log, a spoilt copy or a swapped redo folder, and visibly.
        if (failed) {
            EXPECT_TRUE(d.corrupted || !d.cause.empty() || FailedForLink(s, d.key))
                << where << ": [visible] failed without a cause (" << Err(d.key) << ")";
            EXPECT_TRUE(!rwOn || failedList.count(d.key.ToUTF8()))
                << where << ": [visible] Failed.tsv does not list " << d.key.ToUTF8();
        }
        // 2: in the newest folder, unless failed; 3: a failed one keeps a good copy.
        EXPECT_TRUE(failed || d.corrupted || newestCopy[d.key] == folders.back().end)
            << where << ": [2 complete] not in the newest folder: " << d.key.ToUTF8();
        // Its newest copy may wait in Copies/ (an upload the host kept from moving) or Kept/.
        bool waiting = false;
        if (!d.cause.empty() || FailedForLink(s, d.key))
            for (const UploadRec& u : s.uploads) waiting |= u.key == d.key && IsFile(u.path);
        if (failed && (d.corrupted || !d.cause.empty() || FailedForLink(s, d.key)))
            for (const auto& file : List(backup() + "/Kept")) waiting |= DbInfo(file).uuid == d.key;
        if (newestCopy.count(d.key) == 0 && d.uploads > 0 && !waiting)
            ADD_FAILURE() << where << ": [3 newest copy] no last-good copy of " << d.key.ToUTF8();
    }
    // 4: every accepted log is still there, set aside, applied, or superseded by an upload.
    auto appliedTo = [&](const Mirel::unistring& key, std::uint64_t msn) {
        return std::any_of(folders.begin(), folders.end(), [&](const LastGood& f) {
            auto st = s.history[f.end].find(key);
            return st != s.history[f.end].end() && st->second.msn >= msn && Exists(f.path);
        });
    };
    auto uploadsOf = [&](const Mirel::unistring& key, int db) {
        const Db& d = s.At(db);
        return d.key == key ? d.uploads : UINT64_MAX;  // a replaced database: done with
    };
    for (const Log& l : s.accepted) {
        if (IsFile(l.path) ||
            Exists(backup() + "/Rejected/" + l.path.substr(l.path.rfind('/') + 1)))
            continue;
        EXPECT_TRUE(appliedTo(l.key, l.msn) || uploadsOf(l.key, l.db) > l.uploadsBefore)
            << where << ": [4 nothing lost] accepted log vanished unapplied: " << l.path;
    }
    if (!rwOn) return;
    // 4: an accepted upload is there unchanged, used, superseded, or a failed database's.
    for (const UploadRec& u : s.uploads) {
        if (IsFile(u.path)) {
            EXPECT_TRUE(Unchanged(u)) << where << ": [4 nothing lost] changed in place: " << u.path;
            continue;
        }
        EXPECT_TRUE(appliedTo(u.key, u.msn) || uploadsOf(u.key, u.db) > u.uploadsBefore + 1 ||
                    Err(u.key) != 0)
            << where << ": [4 nothing lost] accepted upload vanished unused: " << u.path;
    }
    CheckRealWorld(s, folders, where);
}

void InvariantTest::CheckRealWorld(Server& s, const std::vector<LastGood>& folders,
                                   const std::string& where) {
    // 10: the interval's folder holds the upload no log changed.
    for (Held& h : s.held) {
        if (h.checked || h.end == 0) continue;
        h.checked = true;
        // An upload at the MSN of a copy already kept is that copy.
        bool kept = false;
        for (const LastGood& f : folders)
            for (const auto& file : List(f.path))
                kept |=
                    DbInfo(file).uuid == h.key && Differs(file.Native(), h.key, h.state).empty();
        // Or it is still in Copies/, unchanged, its move failed by the host (10710).
        for (const UploadRec& u : s.uploads)
            kept |= u.key == h.key && u.msn == h.state.msn && IsFile(u.path) && Unchanged(u) &&
                    Err(h.key) == Mirel::kErrCopyFailed;
        if (kept || FailedForLink(s, h.key) || EverFailedForLink(s, h.key)) continue;
        ADD_FAILURE() << where << ": [10 held] the folder of the interval ending " << h.end
                      << " does not hold " << h.key.ToUTF8()
                      << " as uploaded (the copy no log changed is its newest good copy)";
    }
    // 4: a replaced database's newest copy stays where it is, and an event says so.
    for (Retired& r : s.retired) {
        auto f = std::find_if(folders.begin(), folders.end(),
                              [&](const LastGood& x) { return x.end == r.end; });
        EXPECT_TRUE(f != folders.end() && IsFile(f->path + "/" + r.name) &&
                    Differs(f->path + "/" + r.name, r.key, r.state).empty())
            << where << ": [3 newest copy] lost by " << r.key.ToUTF8() << ", replaced under "
            << r.name;
        if (!r.eventChecked && !FailedForLink(s, r.key)) {
            r.eventChecked = true;
            EXPECT_TRUE(Said(0, sim::expect::kReplacedEvent, {r.key.ToUTF8()}))
                << where << ": [4 replaced] no event for " << r.key.ToUTF8() << " under " << r.name;
        }
    }
    // 9: verify names the damage, and a restore never hands back the changed bytes.
    bool rotInFolders = false;
    for (const LastGood& f : folders)
        for (const auto& file : List(f.path, Mirel::kListFiles, 100))
            for (const Damaged& x : s.damaged) rotInFolders |= sim::IsChangedFile(x, file.Native());
    if (!rotInFolders) return;
    std::ostringstream out;
    EXPECT_EQ(ibsdb::Verify({backup(), false}, out), ibsdb::kCritical)
        << where << ": [9 bit rot] verify passes a changed copy:\n"
        << out.str();
    ibsdb::RestoreOptions ro;
    ro.backup = backup();
    ro.to = tmp / ("restore-" + std::to_string(++restores));
    ibsdb::Restore(ro, out);
    for (const auto& file : List(ro.to, Mirel::kListFiles, 100)) {
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
        Talon::Manifest::Checksum(file.Native(), size, crc);
        for (const Damaged& x : s.damaged)
            EXPECT_FALSE(crc == x.crc32c && size == x.size)
                << where << ": [9 bit rot] restore handed back the bytes of " << x.path << ":\n"
                << out.str();
    }
    std::filesystem::remove_all(ro.to);
}

bool InvariantTest::OnlyCopy(const Damaged& x) {
    bool any = false;
    for (const LastGood& f : Folders(backup()))
        for (const auto& file : List(f.path)) {
            bool same = sim::IsChangedFile(x, file.Native());
            if (!same && DbInfo(file).uuid == x.key) return false;
            any |= same;
        }
    return any;
}

bool InvariantTest::InNewestFolder(Server& s, const Db& d) {
    auto folders = Folders(backup());
    if (folders.empty() || folders.back().end != s.ends.back()) return false;
    const State& want = s.history[s.ends.back()][d.key];
    for (const auto& f : List(folders.back().path))
        if (Differs(f.Native(), d.key, want).empty()) return true;
    return false;
}

// 1: a start's set-up fails (read-only for a moment); named again, it is set up, not cleared.
void InvariantTest::FailedStart(Server& s, int n, const std::string& where) {
    s.Happened(n, RealWorld::kSetup);
    ASSERT_TRUE(mgr->StopWorkers(false)) << where;
    mgr->Cat().ClearIntervals();  // a new process
    {
        auto disarm = Fault(Mirel::FsOp::kAny, backup() + "/Copies*", Mirel::kErrAccessDenied);
        EXPECT_FALSE(
            mgr->In().SetupFolders(Mirel::Directory(Mirel::UniversalPath::Folder(backup()))))
            << where << ": set up with a read-only Copies/";
    }
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"probe", u"00000000-0000-0000-0000-000000000000", 0, false),
              Mirel::kErrFoldersNotReady)
        << where << ": [answer] in service after a failed set-up";
    EXPECT_TRUE(NamedAgain()) << where << ": [answer] refused, named again after a failed set-up";
}

// 2: a folder with Copies/, InProgress/ or a last-good folder on another device is refused.
void InvariantTest::CrossDeviceSetup(Server& s, int n, const std::string& where) {
    if (!PrivateMounts()) return;
    static const char* kParts[] = {"Copies", "InProgress", "LastGood_2026-01-01_0000"};
    std::string probe = tmp / ("xdev-" + std::to_string(n));
    std::string part = kParts[s.rw() % 3];
    TmpfsMount other(probe + "/" + part);
    if (!other.ok) return;
    s.Happened(n, RealWorld::kXdev);
    EXPECT_EQ(mgr->SetBackupFolder(U(probe)), 0)
        << where << ": [2 set-up] taken with " << part << " on another file system";
    EXPECT_TRUE(mgr->FoldersReady() &&
                Mirel::Os::SameObject(mgr->GetBackupFolder().GetPath().Native(), backup()))
        << where << ": [2 set-up] the folder in service left service";
}

// 8: the folder named again while the check it posts runs at once (one processor, the change
// at idle priority: its post hands over the processor before it returns).
void InvariantTest::RaceFolderChange(Server& s, int n) {
    s.Happened(n, RealWorld::kRace);
    cpu_set_t before, one;
    pthread_getaffinity_np(pthread_self(), sizeof before, &before);
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &before)) {
            CPU_SET(c, &one);
            break;
        }
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    // The checks already waiting are taken with the first message the change wakes us for.
    std::vector<std::unique_ptr<Mirel::Msg>> waiting;
    while (auto m = Queue().GetMsg(0)) waiting.push_back(std::move(m));
    // Only an untimed GetMsg: a timeout would let the change run on unseen.
    constexpr std::int32_t kChanged = 4242;
    std::int32_t result = -1;
    std::thread change([&] {
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        sched_param p{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &p);
        mgr->RegisterServer(u"127.0.0.1", 1);
        result = mgr->SetBackupFolder(U(backup()));
        Queue().PostMsg(kChanged);
    });
    for (;;) {
        auto m = Queue().GetMsg();
        for (auto& w : waiting)
            if (w->GetMsgCode() == 1231) mgr->CheckIntervals();
        waiting.clear();
        if (m->GetMsgCode() == kChanged) break;
        if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
    }
    change.join();
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
    EXPECT_EQ(result, 1) << "[answer] the folder in service, named again, was refused";
}

// 4: the server drops a database and creates a new one under its file name.
void InvariantTest::Recreate(Server& s, int n, const std::string& where) {
    const int i = Pick(s, [&](const Db& d) { return d.cause.empty() && InNewestFolder(s, d); });
    if (i < 0) return;
    Db& d = s.At(i);
    auto folders = Folders(backup());
    std::string name;
    for (const auto& f : List(folders.back().path))
        if (DbInfo(f).uuid == d.key) name = f.Native().substr(folders.back().path.size() + 1);
    if (name.empty() || name.find('/') != std::string::npos) return;
    s.Happened(n, RealWorld::kRecreate);
    s.retired.push_back({d.key, name, folders.back().end, s.history[s.ends.back()][d.key], n});
    d = s.NewDb(d.pageSize, 500 + s.rw() % 500, s.rw);  // a new database starts low
    d.name = name;
    EXPECT_TRUE(s.Upload(i)) << where << ": [answer] refused, the new database under " << name;
}

// 4: a log of the replaced database, once the new upload's interval started: set aside.
void InvariantTest::RetiredLog(Server& s, int n, const std::string& where) {
    for (Retired& r : s.retired) {
        if (r.logSent || r.interval >= n) continue;
        r.logSent = true;
        Db old;
        Mirel::UuidText::FromText(r.key, old.uuid);
        const auto& pages = r.state.pages;
        old.pageSize =
            pages.empty() ? 512 : static_cast<std::uint32_t>(pages.rbegin()->second.size());
        std::string path = s.Folder() + "/" + std::to_string(++s.seq) + "-replaced.vrl";
        sim::RedoLogWriter w;
        w.Open(P(path), old.uuid, old.pageSize, r.state.msn);
        w.AddPage(0, s.Page(old).data());
        w.Finish(r.state.msn + 1, s.clock, false);
        std::int32_t a = mgr->RedoLogIsReady(U(path), r.key, true);
        EXPECT_TRUE(sim::expect::ReplacedLogAnswerOk(a) ||
                    (a == Mirel::kErrIsALink && FailedForLink(s, r.key)))
            << where << ": [4 replaced] a log of the replaced database answered " << a;
        if (a != 0) ExpectSetAside(path, a, where + ": [4 replaced]");
        return;
    }
}

// 5: a new database whose file name is 250 to 255 bytes long.
void InvariantTest::NewLongNamedDatabase(Server& s, int n, const std::string& where) {
    s.Happened(n, RealWorld::kLongName);
    Db d = s.NewDb(512, 2000, s.rw);
    int i = static_cast<int>(s.dbs.size());
    d.name = sim::LongName("db" + std::to_string(i) + "-", ".vdb", 250 + s.rw() % 6);
    s.dbs.push_back(std::move(d));
    const int refusedBefore = events.Count(sim::expect::kUploadRefusedEvent);
    if (s.Upload(i)) return;  // taken: it must work from now on
    // Refused with a reason: the server names it shorter.
    EXPECT_GT(events.Count(sim::expect::kUploadRefusedEvent), refusedBefore)
        << where << ": [5 names] a long-named upload refused without an event";
    s.dbs.back().name = "db" + std::to_string(i) + ".vdb";
    EXPECT_TRUE(s.Upload(i)) << where;
}

// 5: a log named with 250 to 255 bytes; refused, it is written again under a short name.
std::int32_t InvariantTest::LongNamedLog(Server& s, int i, const std::string& folder,
                                         std::uint64_t end) {
    const Db before = s.At(i);
    std::string name = sim::LongName(std::to_string(++s.seq) + "-", ".vrl", 250 + s.rw() % 6);
    std::int32_t r = s.WriteLog(i, folder, end, false, name);
    if (r == 0 || r == Mirel::kErrFoldersNotReady) return r;
    EXPECT_NE(r, Mirel::kErrBadPathFormat) << "[5 names] " << name;
    std::error_code ec;
    std::filesystem::remove(folder + "/" + name, ec);
    s.At(i) = before;
    return s.WriteLog(i, folder, end, false);
}

// 6: a log that ends inside the newest published interval, announced now.
void InvariantTest::LateLog(Server& s, int n, const std::string& where) {
    s.Happened(n, RealWorld::kLate);
    // Not uploaded since the newest end: a log continuing it cannot end before it.
    const int i =
        Pick(s, [&](const Db& d) { return d.uploads > 0 && d.uploadedAfter < s.ends.size(); });
    if (i < 0) return;
    std::uint64_t from = s.ends.size() > 1 ? s.ends[s.ends.size() - 2] : s.ends.back() - kMinute;
    std::uint64_t end = s.ends.back() - s.rw() % (s.ends.back() - from);
    EXPECT_EQ(s.WriteLog(i, s.Folder(), end, false), 0) << where << ": [6 late] refused";
}

// 9: one byte of a copy in the newest last-good folder changes on disk.
void InvariantTest::FlipByte(Server& s, int n) {
    auto folders = Folders(backup());
    if (folders.empty()) return;
    const auto files = List(folders.back().path);
    if (files.empty()) return;
    const std::string path = files[s.rw() % files.size()].Native();
    Mirel::HBFile db(P(path));
    if (!db.Open(Mirel::HBFile::kPermRead).OK() || db.GetPageCount() == 0) return;
    Mirel::unistring key = db.GetUUID();
    std::uint64_t at =
        db.GetPageSize() * (1 + s.rw() % db.GetPageCount()) + s.rw() % db.GetPageSize();
    db.Close();
    int index = -1;
    for (int i = 0; i < static_cast<int>(s.dbs.size()); ++i)
        if (s.At(i).key == key) index = i;
    if (index < 0) return;
    testutil::FlipByte(path, at);  // in place, as a failing disk would: every hard link sees it
    Damaged x;
    if (!sim::RecordChangedFile(path, x)) return;
    x.eventsBefore = EventsSoFar();
    x.key = key;
    x.uploadsAtFlip = s.At(index).uploads;
    s.damaged.push_back(x);
    s.At(index).cause = "bit rot";
    s.Happened(n, RealWorld::kBitRot);
}

// 11: an expiry killed before a random removal while the service is down: what `list` calls
// whole verifies, each newest copy stays, and the next expiry ends where an unkilled one does.
void InvariantTest::KilledExpiry(Server& s, int n, const std::string& where) {
    namespace fs = std::filesystem;
    // Settled, the manager plays a killed service until the rescan below.
    WriteKilledServiceState(backup());
    // The service keeps two points already: a policy that keeps more takes nothing.
    const std::int64_t keep = s.rw() % 4 == 0 ? 2 : 1, hours = s.rw() % 8 == 0 ? 1 : 0;
    const ibsdb::ExpireOptions o{backup(), keep, hours, false, false, ""};
    // Where an unkilled expiry ends, on a copy.
    const std::string ref = tmp / ("expired-" + std::to_string(n));
    ASSERT_EQ(std::system(("cp -a " + backup() + " " + ref).c_str()), 0);
    int removals = 0;
    {
        RemovalCounter count;
        Mirel::Env::Scope use(count);
        ibsdb::ExpireOptions r = o;
        r.backup = ref;
        std::ostringstream out;
        ASSERT_EQ(ibsdb::Expire(r, out), ibsdb::kOk) << where << ": " << out.str();
        removals = count.removals;
    }
    const auto expired = TreeOf(ref, true);
    fs::remove_all(ref);
    std::map<Mirel::unistring, std::pair<std::uint64_t, std::string>> newest;
    std::set<std::string> verifiedBefore;  // the folders that verify before the expiry
    for (const LastGood& f : Folders(backup())) {
        std::ostringstream ignored;
        if (ibsdb::Verify({f.path, false}, ignored) == ibsdb::kOk) verifiedBefore.insert(f.path);
        for (const auto& file : List(f.path)) {
            const DbId id = DbInfo(file);
            if (id.uuid.empty()) continue;
            auto& at = newest[id.uuid];
            if (f.end >= at.first) at = {f.end, file.Native()};
        }
    }
    std::map<std::string, std::string> newestBytes;
    for (const auto& [key, at] : newest) newestBytes[at.second] = ReadFile(at.second);
    if (removals > 0) {
        s.Happened(n, RealWorld::kExpire);
        const int dieAt = 1 + static_cast<int>(s.rw() % static_cast<unsigned>(removals));
        const int rc = ExitCodeKilledAt(dieAt, [&] {
            std::ostringstream out;
            return ibsdb::Expire(o, out) == ibsdb::kOk;
        });
        const std::string at = where + ": [11 expiry] killed before removal " +
                               std::to_string(dieAt) + " of " + std::to_string(removals) +
                               " (keep " + std::to_string(o.keep) + ", " +
                               std::to_string(o.keepHours) + " h)";
        ASSERT_EQ(rc, 9) << at << ": not killed";
        std::ostringstream listed;
        ibsdb::List(ibsdb::ListOptions(backup(), true), listed);
        const ibsdb::Json j = ibsdb::Json::parse(listed.str(), nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << at << ": list\n" << listed.str();
        for (const auto& point : j["restore_points"]) {
            if (!point["whole"].get<bool>()) continue;
            const std::string folder = backup() + "/" + point["folder"].get<std::string>();
            if (!verifiedBefore.count(folder)) continue;  // bit rot, say: not the expiry's doing
            EXPECT_TRUE(ListedFilesThere(folder)) << at << ": a file gone in " << folder;
            std::ostringstream verified;
            EXPECT_EQ(ibsdb::Verify({folder, false}, verified), ibsdb::kOk)
                << at << ": list calls " << folder << " whole; verify:\n"
                << verified.str();
        }
        for (const auto& [path, bytes] : newestBytes)
            EXPECT_TRUE(IsFile(path) && ReadFile(path) == bytes)
                << at << ": the newest copy " << path << " is gone or changed";
        std::ostringstream again;
        EXPECT_EQ(ibsdb::Expire(o, again), ibsdb::kOk) << at << ": the next expiry\n"
                                                       << again.str();
        EXPECT_EQ(TreeDiff(expired, TreeOf(backup(), true)), "")
            << at << ": the next expiry ends elsewhere than one never killed\n"
            << again.str();
    }
    ASSERT_TRUE(NamedAgain()) << where;
}

// 12: a local user swaps an announced redo folder, or one announced log of it, for a link; the
// folder to use instead.
std::string InvariantTest::SwapRedoFolder(Server& s, int n, const std::string& folder) {
    Server::Swap w;
    std::set<Mirel::unistring> behind;  // may fail: any database with a log there
    // One log, half the time: one a database still needs.
    std::string one;
    if (s.rng() % 2) {
        std::vector<std::string> logs;
        for (const Log& l : s.accepted) {
            const Db& d = s.At(l.db);
            if (l.path.rfind(folder + "/", 0) == 0 && d.key == l.key &&
                d.uploads == l.uploadsBefore && !d.corrupted && Err(d.key) == 0)
                logs.push_back(l.path);
        }
        if (logs.empty()) return folder;
        one = logs[s.rng() % logs.size()];
    }
    const std::string swapped = one.empty() ? folder : one;
    auto isSwapped = [&](const Log& l) {
        return one.empty() ? l.path.rfind(folder + "/", 0) == 0 : l.path == one;
    };
    for (const Log& l : s.accepted) {
        if (!isSwapped(l)) continue;
        behind.insert(l.key);
        const Db& d = s.At(l.db);
        if (d.key != l.key || d.uploads != l.uploadsBefore || d.corrupted || Err(d.key) != 0)
            continue;  // superseded by an upload, or failing already
        if (std::find(w.keys.begin(), w.keys.end(), d.key) == w.keys.end()) w.keys.push_back(d.key);
        w.logs[d.key].push_back(l.path);
    }
    if (w.keys.empty()) return folder;
    s.Happened(n, RealWorld::kRedoLink);
    static int swaps = 0;  // the long run's seeds share the test's folder
    w.outside = tmp / ("outside-" + std::to_string(++swaps));
    MakeDirs(w.outside);
    const std::string moved = w.outside + "/moved", lure = w.outside + "/lure";
    // One log, half of those times, is deleted instead: only its database may fail.
    const bool deleted = !one.empty() && s.rng() % 2;
    if (deleted)
        EXPECT_EQ(::unlink(one.c_str()), 0);
    else
        SwapForLinkToCopy(swapped, lure, moved);
    w.files = TreeOf(w.outside);
    w.folder = swapped;
    s.accepted.erase(std::remove_if(s.accepted.begin(), s.accepted.end(), isSwapped),
                     s.accepted.end());
    // A scan finding the link cannot tell whose logs it hid: any database may fail.
    for (Db& d : s.dbs) {
        if (deleted && behind.count(d.key)) d.cause = "its taken redo log deleted";
        if (deleted) continue;
        d.cause = behind.count(d.key) ? "its redo log or folder swapped for a link"
                                      : "a redo log or folder swapped for a link, found by a scan";
    }
    w.eventsBefore = EventsSoFar();
    s.swaps.push_back(w);
    if (!one.empty()) return folder;
    s.redoStart = 0;
    s.clock += 1;
    return s.Folder();
}

void InvariantTest::CheckSwapped(Server& s, const std::string& where) {
    for (Server::Swap& w : s.swaps) {
        EXPECT_EQ(TreeDiff(w.files, TreeOf(w.outside)), "")
            << where << ": [12 link] touched outside the backup folder: " << w.outside;
        if (w.judged) continue;
        w.judged = true;
        for (const Mirel::unistring& key : w.keys) {
            auto d =
                std::find_if(s.dbs.begin(), s.dbs.end(), [&](const Db& x) { return x.key == key; });
            if (d == s.dbs.end() || d->cause.empty()) continue;  // an upload since: logs not needed
            EXPECT_NE(Err(key), 0)
                << where
                << ": [12 link] a taken log behind the link and no failure: " << key.ToUTF8();
            // Failed for another cause first, it never read the log.
            const bool otherCause = !FailedForLink(s, key) && Err(key) != 0;
            std::vector<std::string> names = w.logs[key];
            names.push_back(key.ToUTF8());
            // A scan names the link, not the hidden logs; with two swaps the first may say it.
            for (const Server::Swap& other : s.swaps) names.push_back(other.folder);
            EXPECT_TRUE(otherCause ||
                        Said(s.swaps.front().eventsBefore, sim::expect::kUnreadableLogEvent, names))
                << where << ": [12 link] no event of an unreadable log of " << key.ToUTF8();
        }
    }
}

int FailuresSoFar() {
    const ::testing::TestResult* r =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < r->total_part_count(); ++i) n += r->GetTestPartResult(i).failed();
    return n;
}

void InvariantTest::CheckKept(const Server& s,
                              std::map<std::string, std::map<std::string, std::string>>& published,
                              const std::string& where) {
    // The last interval closed pruned at its start; its own folder, if any, is the newest.
    const std::uint64_t from = s.ends.back();
    std::map<std::uint64_t, std::string> byEnd;
    std::vector<std::uint64_t> before;
    for (const LastGood& f : Folders(backup())) {
        ASSERT_NE(f.end, 0u) << where << ": no manifest in " << f.path;
        byEnd[f.end] = f.path;
        if (!published.count(f.path)) published[f.path] = TreeOf(f.path);
        if (f.end < from) before.push_back(f.end);
    }
    std::set<std::uint64_t> kept =
        Talon::KeptRestorePoints(before, retention.count - 1, retention.hours, from);
    if (byEnd.count(from)) kept.insert(from);
    for (std::uint64_t end : kept)
        EXPECT_EQ(TreeDiff(published.at(byEnd.at(end)), TreeOf(byEnd.at(end))), "")
            << where << ": [6 retention] kept, and not as published: " << byEnd.at(end);
}

void InvariantTest::Run(std::uint64_t seed, int intervals, const std::set<RealWorld>& realWorld) {
    const int failuresBefore = FailuresSoFar();
    mgr->Cycle().SetRetention(retention);
    std::map<std::string, std::map<std::string, std::string>> published;
    auto failed = [&] { return FailuresSoFar() > failuresBefore; };
    Server s(mgr, seed, backup(), 2 + static_cast<int>(seed % 3));
    s.realWorld = realWorld;
    const bool rwOn = !realWorld.empty();
    const unsigned long patience = rwOn ? 10000 : 60000;
    // Its own draws: the scenarios of the other draws stay what they were.
    std::mt19937_64 aborts(seed * 7919 + 13);
    for (int i = 0; i < static_cast<int>(s.dbs.size()); ++i) ASSERT_TRUE(s.Upload(i));
    for (int n = 0; n < intervals; ++n) {
        const std::string where = "seed " + std::to_string(seed) + " interval " + std::to_string(n);
        bool restartAfterDone = false;
        // A failed set-up before the interval-done file (0) or after it (1).
        int failedStartAt = n > 0 && s.Roll(RealWorld::kSetup) ? static_cast<int>(s.rw() % 2) : -1;
        if (n > 0 && s.Roll(RealWorld::kRecreate)) Recreate(s, n, where);
        if (!s.retired.empty() && s.Roll(RealWorld::kRecreate)) RetiredLog(s, n, where);
        if (s.dbs.size() < 6 && s.Roll(RealWorld::kLongName)) NewLongNamedDatabase(s, n, where);
        if (n > 0 && s.Roll(RealWorld::kLate)) {
            LateLog(s, n, where);
            restartAfterDone = true;
        }
        if (n > 0 && s.Roll(RealWorld::kXdev)) CrossDeviceSetup(s, n, where);
        const bool clockBack = n > 0 && s.Roll(RealWorld::kClockBack);
        // Set right again, the clock is past every time it read before.
        const std::uint64_t readBefore = s.clock;
        if (clockBack) {  // back by up to three minutes
            s.Happened(n, RealWorld::kClockBack);
            s.clock = s.ends.back() - 1 - s.rw() % (3 * kMinute);
        }
        int firstLogOf = -1;
        if (s.Roll(RealWorld::kFirstLog)) firstLogOf = static_cast<int>(s.rw() % s.dbs.size());
        int sharedOf = -1;  // an upload into the folder of the one before
        if (s.Roll(RealWorld::kShared)) sharedOf = static_cast<int>(s.rw() % s.dbs.size());
        if (failed()) break;

        std::string folder = s.Folder();
        for (int i = 0; i < static_cast<int>(s.dbs.size()); ++i) {
            Db& d = s.At(i);
            bool failed = Err(d.key) != 0;
            // Notification 21 answered with a new upload, some time later.
            if (failed && s.rng() % 3 == 0) {
                ASSERT_TRUE(s.Upload(i)) << where;
                failed = false;
            }
            const int other = (i + 1) % static_cast<int>(s.dbs.size());
            if (i == sharedOf && !failed && other != i && Err(s.At(other).key) == 0) {
                s.Happened(n, RealWorld::kShared);
                ASSERT_TRUE(s.Upload(other)) << where;
                const std::string p = s.uploads.back().path;
                ASSERT_TRUE(s.Upload(i, p.substr(0, p.rfind('/')))) << where;
            }
            bool firstLog = false;
            if (i == firstLogOf && !failed && !d.corrupted) {
                // A new upload whose first log is damaged: the newest good copy.
                ASSERT_TRUE(s.Upload(i)) << where;
                s.Happened(n, RealWorld::kFirstLog);
                s.held.push_back({d.key, 0, d.uploaded, false});
                firstLog = true;
            }
            if (!firstLog && s.rng() % 3 == 0) continue;  // idle this interval
            int logs = firstLog ? 1 : 1 + static_cast<int>(s.rng() % 3);
            for (int k = 0; k < logs; ++k) {
                s.clock += 1 + s.rng() % 3000000;
                bool damage = firstLog || (!failed && !d.corrupted && s.rng() % 23 == 0);
                std::int32_t r;
                if (!damage && !failed && !d.corrupted && s.Roll(RealWorld::kLongName)) {
                    s.Happened(n, RealWorld::kLongName);
                    r = LongNamedLog(s, i, folder, s.clock);
                } else {
                    r = s.WriteLog(i, folder, s.clock, damage);
                }
                if (failed || (d.corrupted && !damage))
                    EXPECT_TRUE(r == 0 || r == Err(d.key)) << where << " " << r;
                else
                    EXPECT_EQ(r, 0) << where << ": [answer] " << s.lastLog;
            }
            if (!firstLog && s.rng() % 11 == 0) {
                ASSERT_TRUE(s.Upload(i)) << where;  // a new full backup
            }
            // Logs and no upload since the flip: they start from the damaged copy, if not failed.
            for (Damaged& x : s.damaged)
                if (x.key == d.key && !x.eventChecked && d.uploads == x.uploadsAtFlip &&
                    Err(d.key) == 0 && OnlyCopy(x))
                    x.eventDue = true;
        }
        if (failedStartAt == 0) FailedStart(s, n, where);
        if (clockBack && s.clock + 1 < s.ends.back()) {
            // An interval-done file before the newest end: refused, set aside.
            std::string stale = folder + "/IntervalDone.vid";
            ASSERT_TRUE(sim::WriteIntervalDone(P(stale), s.clock + 1, {}).OK());
            std::int32_t r = Ready(stale);
            EXPECT_TRUE(sim::expect::StaleDoneAnswerOk(r))
                << where << ": [7 clock] a done file before the newest end answered " << r;
            if (r != 0) ExpectSetAside(stale, r, where + ": [7 clock]");
            // The clock right again; the next interval-done file in a folder of its own.
            s.clock = std::max(s.ends.back() + 1, readBefore) + s.rw() % kMinute;
            s.redoStart = s.clock;
            folder = s.Folder();
            MakeDirs(folder);
        } else if (clockBack) {
            s.clock = std::max({s.clock, s.ends.back() + 1, readBefore});
        }
        if (s.Roll(RealWorld::kRedoLink)) {
            folder = SwapRedoFolder(s, n, folder);
            MakeDirs(folder);
        }
        // Sometimes in the same minute as the previous end.
        std::uint64_t end = s.rng() % 4 == 0 && !s.ends.empty() &&
                                    (s.ends.back() + 1) / kMinute == (s.clock + 1) / kMinute
                                ? s.clock + 1
                                : (s.clock / kMinute + 1) * kMinute + s.rng() % kMinute;
        auto& snap = s.history[end];
        for (const Db& d : s.dbs) snap[d.key] = s.whole[d.key][d.msn] = State{d.msn, d.pages};
        for (Held& h : s.held)
            if (h.end == 0) h.end = end;
        // A log of the next interval before this interval-done file.
        std::uint64_t nextStart = end + 1, early = 0;
        if (s.rng() % 5 == 0) {
            MakeDirs(s.RedoPath(nextStart));
            int i = static_cast<int>(s.rng() % s.dbs.size());
            if (Err(s.At(i).key) == 0 && !s.At(i).corrupted) {
                early = end + 1 + s.rng() % 1000;
                EXPECT_EQ(s.WriteLog(i, s.RedoPath(nextStart), early, false), 0);
            }
        }
        std::string done = folder + (s.rng() % 6 ? "/IntervalDone.vid" : "/intervaldone.VID");
        if (clockBack) done = folder + "/IntervalDone.vid";
        MakeDirs(folder);  // a folder change may have wiped it: the server writes anyway
        ASSERT_TRUE(sim::WriteIntervalDone(P(done), end, {}).OK());
        Mirel::FaultEnv::Scope disarm(faults);
        if (s.rng() % 5 == 0) {
            static const Mirel::FsOp ops[] = {Mirel::FsOp::kCopy,      Mirel::FsOp::kHardLink,
                                              Mirel::FsOp::kWrite,     Mirel::FsOp::kRename,
                                              Mirel::FsOp::kCreateDir, Mirel::FsOp::kSync};
            static const int errors[] = {Mirel::kErrDiskFull, Mirel::kErrIO,
                                         Mirel::kErrTooManyFiles};
            faults.Arm(ops[s.rng() % 6], backup() + "/InProgress*", errors[s.rng() % 3],
                       1 + static_cast<int>(s.rng() % 3));
        }
        // Copies/ on another file system: moving an upload from it fails across devices.
        bool pendingUpload = false;
        for (const UploadRec& u : s.uploads) pendingUpload |= IsFile(u.path);
        if (pendingUpload && s.Roll(RealWorld::kXdev)) {
            s.Happened(n, RealWorld::kXdev);
            for (const UploadRec& u : s.uploads)
                if (IsFile(u.path) && s.At(u.db).key == u.key)
                    s.At(u.db).cause = "Copies/ on another file system";
            faults.Arm(Mirel::FsOp::kRename, backup() + "/Copies/*", Mirel::kErrCrossDevice, 1);
        }
        ASSERT_EQ(Ready(done), 0) << where;
        s.ends.push_back(end);
        s.clock = std::max(end + 1, early);  // the next interval ends after that log
        s.redoStart = nextStart;
        MakeDirs(s.RedoPath(nextStart));
        if (restartAfterDone) {
            if (s.rw() % 2) TakeCheck();  // killed right after the interval-done file
            ASSERT_TRUE(NamedAgain()) << where;
        }
        if (failedStartAt == 1) FailedStart(s, n, where);
        // Sometimes the workers stop mid-pass (an operator, a folder change), resuming later.
        if (aborts() % 4 == 0) {
            TakeCheck();
            EXPECT_TRUE(mgr->StopWorkers(false)) << where << ": [5 progress] abort not taken";
        }
        if (s.Roll(RealWorld::kRace)) RaceFolderChange(s, n);
        // Sometimes a rescan, in the middle of the work.
        if (s.rng() % 9 == 0) {
            TakeCheck();
            ASSERT_TRUE(NamedAgain()) << where;
        }
        if (!SettleAll(patience)) ADD_FAILURE() << where << ": [5 progress] spun or stalled";
        if (!failed()) Check(s, where);
        if (!failed() && !retention.IsDefault() && !s.ends.empty()) CheckKept(s, published, where);
        if (!failed()) CheckSwapped(s, where);
        // 9: a damaged copy met as a starting copy is reported.
        for (Damaged& x : s.damaged) {
            if (!x.eventDue || x.eventChecked || failed()) continue;
            x.eventChecked = true;
            // An upload since is where they start instead: the copy need never be read.
            const bool uploadedSince = std::any_of(s.dbs.begin(), s.dbs.end(), [&](const Db& d) {
                return d.key == x.key && d.uploads != x.uploadsAtFlip;
            });
            if (uploadedSince || FailedForLink(s, x.key)) continue;
            EXPECT_TRUE(Said(x.eventsBefore, sim::expect::kDamagedCopyEvent,
                             {x.key.ToUTF8(), x.path.substr(x.path.rfind('/') + 1)}))
                << where << ": [9 bit rot] the only copy when logs came, no event: " << x.path;
        }
        if (!failed() && s.Roll(RealWorld::kBitRot)) FlipByte(s, n);
        // Not under a policy whose kept folders are checked.
        if (!failed() && retention.IsDefault() && s.Roll(RealWorld::kExpire)) {
            KilledExpiry(s, n, where);
            if (!SettleAll(patience)) ADD_FAILURE() << where << ": [5 progress] after a restart";
        }
        if (failed()) {
            std::string log = ReadFile(tmp / "talonibDebug.log");
            const char* tail = std::getenv("IBS_TEST_LOG_TAIL");
            std::size_t keep = tail ? std::strtoull(tail, nullptr, 10) : 6000;
            std::size_t from = log.size() > keep ? log.rfind('\n', log.size() - keep) : 0;
            if (rwOn) ADD_FAILURE() << "real world so far (interval:class):" << s.trail;
            ADD_FAILURE() << "end of the debug log:\n" << log.substr(from);
            return;
        }
    }
    // A class that never fires finds nothing.
    if (rwOn && realWorld.size() == 1 && !failed()) {
        EXPECT_GT(s.happened[*realWorld.begin()], 0) << sim::RealWorldName(*realWorld.begin());
    }
}

}  // namespace

TEST_P(InvariantTest, EveryIntervalIsAnExactCompleteRestorePoint) {
    Run(GetParam(), 30);
}

INSTANTIATE_TEST_SUITE_P(Seeds, InvariantTest, ::testing::Range<std::uint64_t>(1, 201));

// By count (odd seeds), and by age (even: an hour keeps most intervals a few minutes apart).
class InvariantRetention : public InvariantTest {};
TEST_P(InvariantRetention, KeptFoldersStayWhole) {
    retention = GetParam() % 2 ? Talon::Retention{4, 0} : Talon::Retention{2, 1};
    Run(GetParam(), 30);
}
INSTANTIATE_TEST_SUITE_P(Seeds, InvariantRetention, ::testing::Range<std::uint64_t>(1, 21));

// The real world, one class at a time (each named by its class) and all together.
class InvariantRealWorld : public InvariantTest {};
TEST_P(InvariantRealWorld, OneClass) {
    SCOPED_TRACE(sim::RealWorldNames()[GetParam()]);
    Run(100 + GetParam(), 30, {static_cast<RealWorld>(GetParam())});
}
INSTANTIATE_TEST_SUITE_P(Classes, InvariantRealWorld, ::testing::Range<std::uint64_t>(0, 12),
                         [](const ::testing::TestParamInfo<std::uint64_t>& i) {
                             return sim::RealWorldNames()[i.param];
                         });
class InvariantRealWorldAll : public InvariantTest {};
TEST_P(InvariantRealWorldAll, EveryClass) {
    std::set<RealWorld> all;
    sim::ParseRealWorld("all", all);
    Run(GetParam(), 30, all);
}
INSTANTIATE_TEST_SUITE_P(Seeds, InvariantRealWorldAll, ::testing::Range<std::uint64_t>(1, 4));
// Seeds a long run found failing, with a redo folder swapped for a link under every class.
INSTANTIATE_TEST_SUITE_P(Found, InvariantRealWorldAll,
                         ::testing::Values<std::uint64_t>(20864, 20873, 20907, 20972, 21017, 21258,
                                                          21817));

// A long run: IBS_INVARIANT_SEEDS seeds from IBS_INVARIANT_FIRST (1000); IBS_INVARIANT_REAL_WORLD
// (all, or a list of classes) adds the real world; IBS_INVARIANT_KEEP_GOING runs every seed.
class InvariantLongRun : public InvariantTest {};
TEST_F(InvariantLongRun, ManySeeds) {
    const char* n = std::getenv("IBS_INVARIANT_SEEDS");
    if (!n) GTEST_SKIP() << "set IBS_INVARIANT_SEEDS for the long run";
    const std::uint64_t seeds = std::strtoull(n, nullptr, 10);
    const char* f = std::getenv("IBS_INVARIANT_FIRST");
    const std::uint64_t first = f ? std::strtoull(f, nullptr, 10) : 1000;
    std::set<RealWorld> realWorld;
    const char* rw = std::getenv("IBS_INVARIANT_REAL_WORLD");
    std::string bad;
    ASSERT_TRUE(!rw || sim::ParseRealWorld(rw, realWorld, &bad)) << "unknown class " << bad;
    const bool keepGoing = std::getenv("IBS_INVARIANT_KEEP_GOING") != nullptr;
    int failing = 0;
    for (std::uint64_t seed = first; seed < first + seeds && (keepGoing || !HasFailure()); ++seed) {
        const int before = FailuresSoFar();
        Run(seed, 30, realWorld);
        if (FailuresSoFar() > before) ++failing;
        TearDown();
        std::filesystem::remove_all(backup());
        SetUp();
    }
    if (keepGoing)
        std::printf("seeds run: %llu, failing: %d\n", static_cast<unsigned long long>(seeds),
                    failing);
}
