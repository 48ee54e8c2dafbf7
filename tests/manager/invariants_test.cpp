// What a user restoring relies on, checked after every interval of a randomised server:
//  1. every database in a last-good folder is the server's exact state at that interval's end
//     (a copy its manifest calls held: the server's exact state at the copy's own MSN);
//  2. the newest last-good folder holds every database that has not failed;
//  3. a database's newest good copy is never deleted before a newer one exists;
//  4. an accepted redo log is only deleted once applied (or made unnecessary by an upload);
//  5. the cycle always catches up, without spinning.
// The server model here is independent of the service's code: it writes real files with
// the engine's writers and remembers every database's pages at every interval end.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "platform/engine/HBFile.h"
#include "platform/engine/Uuid.h"
#include "platform/engine/Writers.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "tests/manager/ManagerFixture.h"

namespace {

// Small files on a memory file system keep hundreds of intervals within seconds.
const bool kOnShm = [] {
    if (testutil::IsDir("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 0);
    return true;
}();

constexpr std::uint64_t kMinute = 60000000;

struct Db {
    Mirel::Format::Uuid uuid;
    Mirel::unistring key;  // canonical text
    std::uint32_t pageSize;
    std::uint64_t msn;
    Mirel::PageMap pages;
    bool corrupted = false;  // a damaged log was announced and no upload came since
    std::uint64_t uploads = 0;
};

struct State {
    std::uint64_t msn;
    Mirel::PageMap pages;
};

struct Log {
    std::string path;
    int db;
    std::uint64_t msn;
    std::uint64_t uploadsBefore;  // the database's upload count when it was written
};

class Server {
public:
    Server(std::uint64_t seed, std::string backup, int databases)
        : rng(seed), backup(std::move(backup)), clock(1767225600000000ull + seed * kMinute * 7) {
        for (int i = 0; i < databases; ++i) {
            Db d;
            d.uuid = Mirel::UuidText::Generate();
            d.key = Mirel::UuidText::ToText(d.uuid);
            d.pageSize = std::array<std::uint32_t, 3>{512, 1024, 4096}[rng() % 3];
            d.msn = rng() % 2 ? 1000 : (std::uint64_t{1} << 32) + rng() % 1000;
            for (int p = 0; p < 3; ++p) d.pages[rng() % 8] = Page(d);
            dbs.push_back(std::move(d));
        }
    }

    Mirel::PageImage Page(const Db& d) {
        Mirel::PageImage p(d.pageSize);
        for (auto& b : p) b = static_cast<std::uint8_t>(rng());
        return p;
    }

    bool Upload(int i) {
        Db& d = dbs[static_cast<std::size_t>(i)];
        std::string folder = backup + "/Copies/up" + std::to_string(++seq);
        testutil::MakeDirs(folder);
        std::string path = folder + (rng() % 4 ? "/db" : "/DB") + std::to_string(i) +
                           (rng() % 4 ? ".vdb" : ".VDB");
        EXPECT_TRUE(Mirel::WriteDatabaseFile(Mirel::UniversalPath::FromNative(path), d.uuid,
                                             d.pageSize, d.msn, d.pages)
                        .OK());
        bool ok =
            IBSMgr::GetInstance()->FullDBBackupIsUploaded(Mirel::unistring::FromUTF8(path), d.key);
        if (ok) {
            d.corrupted = false;
            ++d.uploads;
            whole[d.key][d.msn] = State{d.msn, d.pages};
        }
        return ok;
    }

    std::string Folder() {
        if (redoStart == 0) {
            redoStart = clock;
            testutil::MakeDirs(RedoPath(redoStart));
        }
        return RedoPath(redoStart);
    }
    std::string RedoPath(std::uint64_t start) const {
        return backup + "/Changes/Redo_" + std::to_string(start);
    }

    // Writes one log of database i into `folder`, ending at `end`; `damage` flips a bit of a
    // page image after the log is written (its header stays valid).
    std::int32_t WriteLog(int i, const std::string& folder, std::uint64_t end, bool damage) {
        Db& d = dbs[static_cast<std::size_t>(i)];
        std::string path = folder + "/" + std::to_string(++seq) + (rng() % 5 ? ".vrl" : ".VRL");
        Mirel::RedoLogWriter w;
        EXPECT_TRUE(w.Open(Mirel::UniversalPath::FromNative(path), d.uuid, d.pageSize, d.msn).OK());
        int n = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < n; ++k) {
            std::uint64_t page = rng() % 12;  // pages repeat; the database grows now and then
            Mirel::PageImage img = Page(d);
            EXPECT_TRUE(w.AddPage(page, img.data()).OK());
            d.pages[page] = img;
        }
        d.msn += 1 + rng() % 3;
        EXPECT_TRUE(w.Finish(d.msn, end, false).OK());
        if (damage) {
            std::string bytes = testutil::ReadFile(path);
            bytes[128 + 16 + 3] = static_cast<char>(bytes[128 + 16 + 3] ^ 0x10);
            testutil::WriteFile(path, bytes);
            d.corrupted = true;
        }
        std::int32_t r =
            IBSMgr::GetInstance()->RedoLogIsReady(Mirel::unistring::FromUTF8(path), d.key, true);
        if (r == 0) accepted.push_back({path, i, d.msn, d.uploads});
        return r;
    }

    std::mt19937_64 rng;
    std::string backup;
    std::uint64_t clock;
    std::uint64_t redoStart = 0;
    std::vector<Db> dbs;
    std::vector<Log> accepted;
    std::map<std::uint64_t, std::map<Mirel::unistring, State>> history;  // end -> states
    // Every whole state a copy may hold (uploads and interval ends), by database and MSN.
    std::map<Mirel::unistring, std::map<std::uint64_t, State>> whole;
    std::vector<std::uint64_t> ends;
    int seq = 0;
};

// Empty when the file is exactly that state.
std::string Differs(const std::string& file, const Mirel::unistring& key, const State& s) {
    Mirel::HBFile db(Mirel::UniversalPath::FromNative(file));
    if (!db.Open(Mirel::HBFile::kPermRead).OK()) return "cannot be opened";
    if (db.GetUUID() != key) return "another database";
    if (db.GetMSN() != s.msn)
        return "MSN " + std::to_string(db.GetMSN()) + " where the server had " +
               std::to_string(s.msn);
    std::uint64_t count = s.pages.empty() ? 0 : s.pages.rbegin()->first + 1;
    if (db.GetPageCount() != count) return "page count " + std::to_string(db.GetPageCount());
    std::vector<std::uint8_t> page(db.GetPageSize());
    for (std::uint64_t n = 0; n < count; ++n) {
        if (!db.ReadPage(n, page.data()).OK()) return "page unreadable";
        auto it = s.pages.find(n);
        bool same = it == s.pages.end()
                        ? std::all_of(page.begin(), page.end(), [](auto b) { return b == 0; })
                        : page == it->second;
        if (!same) return "page " + std::to_string(n) + " differs";
    }
    return "";
}

class InvariantTest : public testutil::ManagerTest,
                      public ::testing::WithParamInterface<std::uint64_t> {
protected:
    ShortRetries shortRetries{IBSMgr::GetInstance()};

    // Runs the cycle until it has nothing left to do, retries included. False when it
    // would not stop (a spinning cycle).
    bool SettleAll() {
        int runs = 0;
        for (;;) {
            while (auto m = Queue().GetMsg(0))
                if (m->GetMsgCode() == 1231 && ++runs < 20000) mgr->CheckIntervals();
            if (runs >= 20000) return false;
            if (Idle() && !mgr->RetryPending() && Queue().Size() == 0) return true;
            auto m = Queue().GetMsg(60000);
            if (!m) return false;
            if (m->GetMsgCode() == 1231 && ++runs < 20000) mgr->CheckIntervals();
        }
    }

    void Run(std::uint64_t seed, int intervals);
    void Check(Server& s, const std::string& where);
};

struct LastGood {
    std::string path;
    std::uint64_t end;  // the interval end the folder stands for
};

// Every last-good folder carries its interval's exact end in its manifest; its name carries
// the minute, or the exact end when an earlier folder took the minute.
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
    if (folders.empty()) {
        // Only when every database failed before it ever had a good copy.
        for (const Db& d : s.dbs)
            ASSERT_NE(mgr->GetDatabaseError(d.key), 0) << where << ": no last-good folder";
        return;
    }
    // 5: the cycle worked through the last interval closed, and the newest last-good
    // folder stands for it, unless every database had failed (nothing to publish).
    mgr->WithCatalogue([&](IntervalMap& intervals) {
        for (auto& [key, interval] : intervals)
            EXPECT_TRUE(key == kOpenInterval || !interval.backup.IsClear())
                << where << ": interval " << key << " was left unfinished";
    });
    bool anyAlive = false;
    for (const Db& d : s.dbs) anyAlive |= mgr->GetDatabaseError(d.key) == 0;
    if (anyAlive) {
        EXPECT_EQ(folders.back().end, s.ends.back()) << where << ": no folder for the last end";
    }
    std::map<Mirel::unistring, std::uint64_t> newestCopy;  // database -> newest folder's end
    for (const LastGood& f : folders) {
        ASSERT_NE(f.end, 0u) << f.path << ": no manifest";
        auto states = s.history.find(f.end);
        ASSERT_NE(states, s.history.end()) << f.path;
        std::vector<Mirel::UniversalPath> files;
        Mirel::BuildUniversalPathListFunctor list(files, Mirel::kListDatabaseFiles, true);
        Mirel::Directory folder(Mirel::UniversalPath::Folder(f.path));
        folder.ProcessFiles(list, 3);
        Talon::Manifest manifest;
        Talon::Manifest::Read(folder, manifest);
        std::string root = f.path;
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        for (const auto& file : files) {
            Mirel::unistring key;
            std::uint64_t msn = 0;
            ASSERT_TRUE(Talon::IBS_Config::GetDBInfo(file, key, msn).OK()) << file.Native();
            const Talon::ManifestEntry* line = manifest.Find(file.Native().substr(root.size() + 1));
            if (line && line->held) {
                // 1: a failed database's newest good copy, exact at its own MSN.
                auto st = s.whole[key].find(msn);
                ASSERT_NE(st, s.whole[key].end()) << file.Native() << ": held at MSN " << msn
                                                  << ", a state the server never had: " << where;
                EXPECT_EQ(Differs(file.Native(), key, st->second), "")
                    << file.Native() << ": " << where;
                newestCopy[key] = std::max(newestCopy[key], f.end);
                continue;
            }
            auto st = states->second.find(key);
            ASSERT_NE(st, states->second.end()) << file.Native() << ": " << where;
            // 1: exact.
            EXPECT_EQ(Differs(file.Native(), key, st->second), "")
                << file.Native() << ": " << where;
            newestCopy[key] = std::max(newestCopy[key], f.end);
        }
    }
    for (const Db& d : s.dbs) {
        bool failed = mgr->GetDatabaseError(d.key) != 0;
        // Only a database that was sent a damaged log may fail.
        if (failed) {
            EXPECT_TRUE(d.corrupted) << where << ": database failed without a cause";
        }
        // 2: in the newest folder, unless failed; 3: a failed one keeps a good copy.
        if (!failed && !d.corrupted) {
            EXPECT_EQ(newestCopy[d.key], folders.back().end)
                << where << ": " << d.key.ToUTF8() << " missing from the newest folder";
        }
        if (newestCopy.count(d.key) == 0 && d.uploads > 0 && !d.corrupted)
            ADD_FAILURE() << where << ": no last-good copy of " << d.key.ToUTF8();
    }
    // 4: every accepted log is still there, set aside, applied, or superseded by an upload.
    for (const Log& l : s.accepted) {
        if (testutil::IsFile(l.path)) continue;
        std::string name = l.path.substr(l.path.rfind('/') + 1);
        if (testutil::Exists(backup() + "/Rejected/" + name)) continue;
        const Db& d = s.dbs[static_cast<std::size_t>(l.db)];
        bool applied = false;
        for (const LastGood& f : folders) {
            auto st = s.history[f.end].find(d.key);
            if (st != s.history[f.end].end() && st->second.msn >= l.msn && testutil::Exists(f.path))
                applied = true;
        }
        EXPECT_TRUE(applied || d.uploads > l.uploadsBefore)
            << where << ": accepted log " << l.path << " vanished unapplied";
    }
}

void InvariantTest::Run(std::uint64_t seed, int intervals) {
    Server s(seed, backup(), 2 + static_cast<int>(seed % 3));
    for (int i = 0; i < static_cast<int>(s.dbs.size()); ++i) ASSERT_TRUE(s.Upload(i));
    for (int n = 0; n < intervals; ++n) {
        const std::string where = "seed " + std::to_string(seed) + " interval " + std::to_string(n);
        std::string folder = s.Folder();
        for (int i = 0; i < static_cast<int>(s.dbs.size()); ++i) {
            Db& d = s.dbs[static_cast<std::size_t>(i)];
            bool failed = mgr->GetDatabaseError(d.key) != 0;
            // The server answers notification 21 with a new full upload, some time later.
            if (failed && s.rng() % 3 == 0) {
                ASSERT_TRUE(s.Upload(i)) << where;
                failed = false;
            }
            if (s.rng() % 3 == 0) continue;  // idle this interval
            int logs = 1 + static_cast<int>(s.rng() % 3);
            for (int k = 0; k < logs; ++k) {
                s.clock += 1 + s.rng() % 3000000;
                bool damage = !failed && !d.corrupted && s.rng() % 23 == 0;
                std::int32_t r = s.WriteLog(i, folder, s.clock, damage);
                if (failed || (d.corrupted && !damage))
                    EXPECT_TRUE(r == 0 || r == mgr->GetDatabaseError(d.key)) << where << " " << r;
                else
                    EXPECT_EQ(r, 0) << where;
            }
            if (s.rng() % 11 == 0) {
                ASSERT_TRUE(s.Upload(i)) << where;  // a new full backup
            }
        }
        // The interval ends, sometimes in the same minute as the previous one.
        std::uint64_t end = s.rng() % 4 == 0 && !s.ends.empty() &&
                                    (s.ends.back() + 1) / kMinute == (s.clock + 1) / kMinute
                                ? s.clock + 1
                                : (s.clock / kMinute + 1) * kMinute + s.rng() % kMinute;
        auto& snap = s.history[end];
        for (const Db& d : s.dbs) snap[d.key] = s.whole[d.key][d.msn] = State{d.msn, d.pages};
        // A log of the next interval may be announced before this interval-done file.
        std::uint64_t nextStart = end + 1, early = 0;
        if (s.rng() % 5 == 0) {
            testutil::MakeDirs(s.RedoPath(nextStart));
            int i = static_cast<int>(s.rng() % s.dbs.size());
            if (mgr->GetDatabaseError(s.dbs[static_cast<std::size_t>(i)].key) == 0 &&
                !s.dbs[static_cast<std::size_t>(i)].corrupted) {
                early = end + 1 + s.rng() % 1000;
                EXPECT_EQ(s.WriteLog(i, s.RedoPath(nextStart), early, false), 0);
            }
        }
        std::string done = folder + (s.rng() % 6 ? "/IntervalDone.vid" : "/intervaldone.VID");
        ASSERT_TRUE(
            Talon::IBS_Config::WriteIntervalDone(Mirel::UniversalPath::FromNative(done), end, {})
                .OK());
        // The environment fails now and then: a full disk, an I/O error, no file handles.
        Mirel::Faults::Scope faults;
        if (s.rng() % 5 == 0) {
            static const Mirel::FsOp ops[] = {Mirel::FsOp::kCopy,      Mirel::FsOp::kHardLink,
                                              Mirel::FsOp::kWrite,     Mirel::FsOp::kRename,
                                              Mirel::FsOp::kCreateDir, Mirel::FsOp::kSync};
            static const int errors[] = {Mirel::kErrDiskFull, Mirel::kErrIO,
                                         Mirel::kErrTooManyFiles};
            Mirel::Faults::Arm(ops[s.rng() % 6], backup() + "/InProgress*", errors[s.rng() % 3],
                               1 + static_cast<int>(s.rng() % 3));
        }
        ASSERT_EQ(mgr->RedoLogIsReady(Mirel::unistring::FromUTF8(done), u"", true), 0) << where;
        s.ends.push_back(end);
        s.clock = std::max(end + 1, early);  // the next interval ends after that log
        s.redoStart = nextStart;
        testutil::MakeDirs(s.RedoPath(nextStart));
        // Sometimes the server registers again and names the same folder: a rescan, in the
        // middle of the work.
        if (s.rng() % 9 == 0) {
            if (auto m = Queue().GetMsg(0))
                if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
            IBSMgr::sServerRegistered.store(true);
            ASSERT_EQ(mgr->SetBackupFolder(Mirel::unistring::FromUTF8(backup())), 1) << where;
        }
        if (!SettleAll()) ADD_FAILURE() << where << ": the cycle spun or stalled";
        if (!::testing::Test::HasFailure()) Check(s, where);
        if (::testing::Test::HasFailure()) {
            // What the service did, for the one who has to find out why.
            std::string log = testutil::ReadFile(tmp / "talonibDebug.log");
            const char* tail = std::getenv("IBS_TEST_LOG_TAIL");
            std::size_t keep = tail ? std::strtoull(tail, nullptr, 10) : 6000;
            std::size_t from = log.size() > keep ? log.rfind('\n', log.size() - keep) : 0;
            ADD_FAILURE() << "end of the debug log:\n" << log.substr(from);
            return;
        }
    }
}

}  // namespace

TEST_P(InvariantTest, EveryIntervalIsAnExactCompleteRestorePoint) {
    Run(GetParam(), 30);
}

INSTANTIATE_TEST_SUITE_P(Seeds, InvariantTest, ::testing::Range<std::uint64_t>(1, 201));

// A long run: IBS_INVARIANT_SEEDS=10000 runs that many seeds here (from seed 1000, or from
// IBS_INVARIANT_FIRST).
class InvariantLongRun : public InvariantTest {};
TEST_F(InvariantLongRun, ManySeeds) {
    const char* n = std::getenv("IBS_INVARIANT_SEEDS");
    if (!n) GTEST_SKIP() << "set IBS_INVARIANT_SEEDS for the long run";
    const std::uint64_t seeds = std::strtoull(n, nullptr, 10);
    // IBS_INVARIANT_FIRST moves the window, so a long run can go in pieces.
    const char* f = std::getenv("IBS_INVARIANT_FIRST");
    const std::uint64_t first = f ? std::strtoull(f, nullptr, 10) : 1000;
    for (std::uint64_t seed = first; seed < first + seeds && !HasFailure(); ++seed) {
        Run(seed, 30);
        TearDown();
        // Each seed starts on an empty backup folder, as each parameterised one does.
        std::filesystem::remove_all(backup());
        SetUp();
    }
}
