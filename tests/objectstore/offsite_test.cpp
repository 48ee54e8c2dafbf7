// ibsdb's commands off the host on real folders against the store scripts/s3-store runs.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>

#include "platform/framework/BackupFolder.h"
#include "platform/framework/Manifest.h"
#include "platform/objectstore/Client.h"
#include "platform/objectstore/Digest.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/objectstore/Forwarder.h"
#include "tests/objectstore/StoreSetup.h"
#include "tests/tools/Expiry.h"
#include "tests/tools/Has.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"
#include "tools/ibsdb/Offsite.h"
#include "tools/sim/DatabaseModel.h"

using ibsdb::Json;
using Values = std::vector<Json>;

namespace {

const std::string kStore = IBS_S3_STORE_DIR;
constexpr std::uint64_t kHour = 3600ull * 1000000;

// A changed byte moves the time (the push trusts its hash while inode, size and time stay).
void FlipByte(const std::string& path, long offset) {
    testutil::FlipByte(path, static_cast<std::uint64_t>(offset));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_sec += 1;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class Offsite : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::UseStore(kStore, "offsite", config, remote);
        if (IsSkipped() || HasFailure()) return;
        remote.configure = [](ObjectStore::Config& c) {
            c.connectTimeoutMs = 5000;
            c.stallSeconds = 10;
            c.multipartThreshold = 8 << 20;
            c.partSize = 5 << 20;
        };
        backup = tmp / "backup";
        testutil::MakeDirs(backup);
    }

    // A last-good folder `hour` hours back; `write` fills it before its manifest is written.
    std::string Folder(int hour, const std::function<void(const std::string&)>& write) {
        const std::uint64_t end = ibsdb::NowUTC() - static_cast<std::uint64_t>(hour) * kHour;
        const std::string name = "LastGood_" + Talon::BackupFolder::MakeTimestamp(end).ToUTF8();
        testutil::MakeDirs(backup + "/" + name);
        write(backup + "/" + name);
        EXPECT_TRUE(Talon::Manifest::Write(
                        Mirel::Directory(Mirel::UniversalPath::Folder(backup + "/" + name)), end)
                        .OK());
        return name;
    }
    void WriteDb(sim::DatabaseModel& m, const std::string& path) {
        ASSERT_TRUE(m.WriteFullCopy(Mirel::UniversalPath::FromNative(path)).OK());
    }
    // ... holding full copies of `dbs` under their names.
    std::string Folder(int hour, const std::map<std::string, sim::DatabaseModel*>& dbs) {
        return Folder(hour, [&](const std::string& f) {
            for (const auto& [name, m] : dbs) WriteDb(*m, f + "/" + name);
        });
    }
    void Change(sim::DatabaseModel& m) {
        ::unlink((tmp / "scratch.vrl").c_str());
        ASSERT_TRUE(m.WriteRedoLog(tmp.File("scratch.vrl"), 3, ibsdb::NowUTC(), false).OK());
    }

    // `command` on `o` with JSON output, parsed into `j`; its exit code, which the JSON says.
    template <class Options, class Command>
    static int Run(Command command, Options o, Json& j) {
        o.json = true;
        std::ostringstream out;
        const int rc = command(o, out);
        j = Json::parse(out.str());
        EXPECT_EQ(j["exit_code"], rc);
        return rc;
    }
    int Push(Json& j, const ibsdb::RemoteOptions* through = nullptr) {
        return Run(ibsdb::OffsitePush, ibsdb::PushOptions{backup, through ? *through : remote}, j);
    }
    int VerifyRemote(Json& j, const std::string& folder = "") {
        return Run(ibsdb::VerifyRemote, ibsdb::RemoteVerifyOptions{remote, folder, backup}, j);
    }
    int Restore(const std::string& to, Json& r, bool resume = false,
                const std::string& credentials = "") {
        ibsdb::RemoteRestoreOptions o{remote, backup, to, "", UINT64_MAX, false, resume};
        if (!credentials.empty()) o.remote.credentials = credentials;
        return Run(ibsdb::RestoreRemote, o, r);
    }
    int Expire(const ibsdb::RemoteOptions& r, int keep, Json& j, bool dryRun = false) {
        return Run(ibsdb::ExpireRemote, ibsdb::RemoteExpireOptions{r, keep, 0, dryRun}, j);
    }
    // The options that reach the store through `door`.
    ibsdb::RemoteOptions Via(testutil::Forwarder& door) {
        ibsdb::RemoteOptions r = remote;
        r.credentials = testutil::WriteCredentials(
            tmp / ("credentials-" + std::to_string(door.Port())), config, door.Port());
        return r;
    }
    // Where each point is, by folder name.
    std::map<std::string, std::string> Where() {
        ibsdb::ListOptions o(backup, true);
        o.remote = remote;
        Json j;
        EXPECT_EQ(Run(ibsdb::List, o, j), ibsdb::kOk) << j.dump(2);
        std::map<std::string, std::string> w;
        for (const auto& p : j["restore_points"]) w[p["folder"]] = p["where"];
        return w;
    }
    std::set<std::string> Keys(const std::string& under) {
        std::vector<ObjectStore::ObjectInfo> objects;
        const auto s = ObjectStore::Client(config).ListAll(remote.Prefix() + under, objects);
        EXPECT_TRUE(s.ok()) << s.ToString();
        std::set<std::string> keys;
        for (const auto& o : objects) keys.insert(o.key.substr(remote.Prefix().size()));
        return keys;
    }
    std::string Object(const std::string& folder, const std::string& path) {
        return "objects/" + Sha(backup + "/" + folder + "/" + path);
    }
    // `bytes` under the test's prefix, in place of what a push stored there.
    ::testing::AssertionResult Put(const std::string& key, const std::string& bytes) {
        const ObjectStore::Status s = ObjectStore::Client(config).PutObject(
            remote.Prefix() + key, bytes.data(), bytes.size());
        if (s.ok()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << s.ToString();
    }
    static std::string Sha(const std::string& path) {
        return ObjectStore::Sha256HexOf(testutil::ReadFile(path));
    }

    ObjectStore::Config config;
    ibsdb::RemoteOptions remote;
    testutil::TempDir tmp;
    std::string backup;
};

TEST_F(Offsite, ASecondPointSendsOnlyTheFilesThatChangedAndListSaysWhereEachIs) {
    sim::DatabaseModel db0(1, 4096, 8), db1(2, 4096, 8), big(3, 4096, 2600);
    // Over the multipart threshold: its ETag must come out as the push foresaw.
    const std::string first = Folder(3, [&](const std::string& f) {
        WriteDb(db0, f + "/db0.vdb");
        testutil::MakeDirs(f + "/sales");
        WriteDb(db1, f + "/sales/db1.vdb");
        WriteDb(big, f + "/big.vdb");
        testutil::MakeDirs(f + "/big.vdb.rc/blobs");
        testutil::WriteFile(f + "/big.vdb.rc/blobs/1", "container bytes");
    });
    Json j;
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(Fields(j["summary"], "pushed objects_sent"), "pushed=1 objects_sent=4");
    EXPECT_EQ(Keys("objects/").size(), 4u);

    // The next interval changed db0 only; the rest is carried forward by hard links.
    Change(db0);
    const std::string second = Folder(2, [&](const std::string& f) {
        WriteDb(db0, f + "/db0.vdb");
        testutil::MakeDirs(f + "/sales");
        testutil::MakeDirs(f + "/big.vdb.rc/blobs");
        for (const char* p : {"sales/db1.vdb", "big.vdb", "big.vdb.rc/blobs/1"})
            ASSERT_EQ(::link((backup + "/" + first + "/" + p).c_str(), (f + "/" + p).c_str()), 0);
    });
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(Col(j["points"], "folder"), Values{second});
    // The linked files were known by their inode: not read again.
    EXPECT_EQ(Fields(j["summary"], "objects_sent files_from_record"),
              "objects_sent=1 files_from_record=3");
    const auto objects = Keys("objects/");
    EXPECT_TRUE(objects.size() == 5 && objects.count(Object(second, "db0.vdb")) &&
                objects.count(Object(first, "db0.vdb")));
    EXPECT_EQ(Keys("points/"),
              (std::set<std::string>{
                  "points/" + first + "/index.tsv", "points/" + first + "/manifest.tsv",
                  "points/" + second + "/index.tsv", "points/" + second + "/manifest.tsv"}));

    // Nothing new: nothing sent.
    ASSERT_EQ(Push(j), ibsdb::kOk);
    EXPECT_EQ(j["points"].size(), 0u);
    ASSERT_EQ(VerifyRemote(j), ibsdb::kOk) << j.dump(2);

    // A third point not pushed yet, and the first gone here.
    sim::DatabaseModel db3(4, 4096, 8);
    const std::string third = Folder(1, {{"x.vdb", &db3}});
    ASSERT_TRUE(
        Mirel::Directory(Mirel::UniversalPath::Folder(backup + "/" + first)).DeleteAll().OK());
    EXPECT_EQ(Where(), (std::map<std::string, std::string>{
                           {first, "remote"}, {second, "both"}, {third, "here"}}));

    ibsdb::OffsiteRecord record;
    ASSERT_TRUE(ibsdb::ReadOffsiteRecord(backup, record));
    EXPECT_EQ(record.folder, second);

    // status: the third point is an hour newer than the newest off the host.
    ibsdb::StatusOptions o{backup};
    for (const std::uint64_t warnAfter : {2 * kHour, kHour / 2}) {
        o.warnOffsiteLag = warnAfter;
        const int rc = Run(ibsdb::Status, o, j);
        EXPECT_EQ(j["offsite"]["folder"], second);
        EXPECT_NEAR(j["offsite"]["lag_seconds"].get<double>(), 3600, 1);
        EXPECT_EQ(j["reasons"].dump().find("off the host") != std::string::npos, warnAfter < kHour)
            << j.dump(2);
        EXPECT_TRUE(warnAfter > kHour || rc >= ibsdb::kWarning);
    }
}

TEST_F(Offsite, ACopyThatDoesNotMatchItsManifestIsNotSentAndItsPointNotWritten) {
    sim::DatabaseModel db0(1, 4096, 8), db1(2, 4096, 8);
    const std::string first = Folder(3, {{"db0.vdb", &db0}, {"db1.vdb", &db1}});
    Json j;
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    Change(db0);
    const std::string second = Folder(2, [&](const std::string& f) {
        WriteDb(db0, f + "/db0.vdb");
        ASSERT_EQ(::link((backup + "/" + first + "/db1.vdb").c_str(), (f + "/db1.vdb").c_str()), 0);
    });
    FlipByte(backup + "/" + second + "/db1.vdb", 6000);
    const std::string damagedSha = Sha(backup + "/" + second + "/db1.vdb");
    EXPECT_EQ(Push(j), ibsdb::kCritical) << j.dump(2);
    ASSERT_EQ(j["points"].size(), 1u);
    EXPECT_EQ(Fields(j["points"][0], "result files_from_record"),
              "result=\"refused\" files_from_record=0");
    EXPECT_TRUE(Has(j["points"][0]["problems"][0].get<std::string>(), "db1.vdb"));
    for (const auto& k : Keys("points/")) EXPECT_FALSE(Has(k, second));
    EXPECT_FALSE(Keys("objects/").count("objects/" + damagedSha));
}

TEST_F(Offsite, APushStoppedMidwayLeavesNoPointAndTheNextCompletesIt) {
    sim::DatabaseModel db0(1, 4096, 8), db1(2, 4096, 8), db2(3, 4096, 8);
    const std::string first = Folder(3, {{"db0.vdb", &db0}, {"db1.vdb", &db1}, {"db2.vdb", &db2}});
    // The store stops as the second object goes: every file was read, one object stored.
    Json j;
    {
        testutil::Forwarder door(testutil::StorePort(config));
        door.HoldAt("PUT /" + config.bucket + "/" + remote.Prefix() + "objects/", 2);
        const ibsdb::RemoteOptions via = Via(door);
        std::thread push([&] { EXPECT_EQ(Push(j, &via), ibsdb::kUnknown); });
        EXPECT_TRUE(door.WaitHeld(60000));
        door.Close();
        push.join();
        door.Open();
        door.Release();
    }
    ASSERT_EQ(j["points"].size(), 1u);
    EXPECT_NE(j["points"][0]["result"], "pushed");
    EXPECT_EQ(j["store_error"]["cause"], "connect") << j.dump(2);
    EXPECT_EQ(Keys("objects/").size(), 1u);  // the first, sent before the store stopped
    EXPECT_TRUE(Keys("points/").empty());
    Json v;
    EXPECT_EQ(VerifyRemote(v), ibsdb::kUnknown);  // nothing complete there

    // The files hashed by the push that stopped.
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(Fields(j["summary"], "pushed objects_stored_already objects_sent files_from_record"),
              "pushed=1 objects_stored_already=1 objects_sent=2 files_from_record=3");
    EXPECT_EQ(VerifyRemote(v, first), ibsdb::kOk) << v.dump(2);
    // The stopped push's intent stays (sparing what it names for its lease); the other's went.
    EXPECT_EQ(Keys("pushing/").size(), 1u);
}

TEST_F(Offsite, VerifyRemoteFindsObjectsChangedOrRemovedBehindItsBack) {
    sim::DatabaseModel db0(1, 4096, 8), db1(2, 4096, 8);
    const std::string first = Folder(3, {{"db0.vdb", &db0}, {"db1.vdb", &db1}});
    Json j;
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    ASSERT_EQ(VerifyRemote(j, first), ibsdb::kOk) << j.dump(2);

    const std::string path1 = backup + "/" + first + "/db1.vdb";
    std::string other = testutil::ReadFile(path1);
    other[7000] ^= 1;  // same size, one bit: only the bytes tell
    ASSERT_TRUE(Put("objects/" + Sha(path1), other));
    ASSERT_EQ(VerifyRemote(j, first), ibsdb::kCritical) << j.dump(2);
    EXPECT_EQ(Col(j["folders"][0]["files"], "path"), (Values{"db0.vdb", "db1.vdb"}));
    EXPECT_EQ(Col(j["folders"][0]["files"], "result"), (Values{"ok", "differs"}));

    ObjectStore::Client client(config);
    ObjectStore::Status s = client.DeleteObject(remote.Prefix() + Object(first, "db0.vdb"));
    ASSERT_TRUE(s.ok()) << s.ToString();
    ASSERT_EQ(VerifyRemote(j, first), ibsdb::kCritical);
    EXPECT_EQ(j["folders"][0]["files"][0]["result"], "missing");

    // An index changed by hand is refused by its own checksum.
    std::string index;
    s = client.GetObject(remote.Prefix() + "points/" + first + "/index.tsv",
                         [&](const char* d, std::size_t n) { return index.append(d, n), true; });
    ASSERT_TRUE(s.ok()) << s.ToString();
    const std::size_t at = index.find("\tdb1.vdb\t") + 9;
    index[at] = index[at] == '1' ? '2' : '1';  // the size
    ASSERT_TRUE(Put("points/" + first + "/index.tsv", index));
    EXPECT_EQ(VerifyRemote(j, first), ibsdb::kCritical);
}

TEST_F(Offsite, ARestoreFromTheStoreWritesOnlyCheckedCopies) {
    sim::DatabaseModel db0(1, 4096, 8), db1(2, 4096, 8);
    const std::string first = Folder(3, [&](const std::string& f) {
        WriteDb(db0, f + "/db0.vdb");
        testutil::MakeDirs(f + "/sub");
        WriteDb(db1, f + "/sub/db1.vdb");
        testutil::MakeDirs(f + "/sub/db1.vdb.rc/x");
        testutil::WriteFile(f + "/sub/db1.vdb.rc/x/blob", "container");
    });
    Json j;
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    std::map<std::string, std::string> original;
    for (const char* p : {"db0.vdb", "sub/db1.vdb", "sub/db1.vdb.rc/x/blob"})
        original[p] = testutil::ReadFile(backup + "/" + first + "/" + p);
    // Lost with the host.
    ASSERT_TRUE(
        Mirel::Directory(Mirel::UniversalPath::Folder(backup + "/" + first)).DeleteAll().OK());

    const std::string to = tmp / "restored";
    ASSERT_EQ(Restore(to, j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["folder"], first);
    for (const auto& [p, bytes] : original) EXPECT_EQ(testutil::ReadFile(to + "/" + p), bytes) << p;

    // A changed object: its database and container files are not placed, the other is.
    std::string other = original["sub/db1.vdb"];
    other[9000] ^= 4;
    ASSERT_TRUE(Put("objects/" + ObjectStore::Sha256HexOf(original["sub/db1.vdb"]), other));
    const std::string to2 = tmp / "restored2";
    EXPECT_EQ(Restore(to2, j), ibsdb::kCritical) << j.dump(2);
    // No temporary file stays.
    EXPECT_EQ(testutil::Snapshot(to2), to2 + "/db0.vdb=" + original["db0.vdb"] + "\n");

    // Not into a folder that holds something.
    EXPECT_EQ(Restore(to, j), ibsdb::kUnknown);
}

TEST_F(Offsite, ARestoreCutShortGoesOnWithoutFetchingWholeFilesAgainAndChecksEveryByte) {
    sim::DatabaseModel small(1, 4096, 8), big(2, 4096, 600);
    const std::string first = Folder(3, {{"a.vdb", &small}, {"b.vdb", &big}});
    Json j;
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    const std::string a = testutil::ReadFile(backup + "/" + first + "/a.vdb");
    const std::string b = testutil::ReadFile(backup + "/" + first + "/b.vdb");
    ASSERT_GT(b.size(), 2u << 20);
    const std::string bKey = remote.Prefix() + "objects/" + ObjectStore::Sha256HexOf(b);

    // The store lost 1 MiB into b.vdb: a.vdb placed, b.vdb's bytes so far beside its name.
    auto cutShort = [&](const std::string& to) {
        testutil::Forwarder door(testutil::StorePort(config));
        door.CutReplyTo("GET /" + config.bucket + "/" + bKey, 1 << 20);
        Json r;
        EXPECT_EQ(Restore(to, r, false, Via(door).credentials), ibsdb::kUnknown) << r.dump(2);
        EXPECT_EQ(testutil::ReadFile(to + "/a.vdb"), a);
        EXPECT_FALSE(Mirel::Os::Stat(to + "/b.vdb").exists);
        std::string part;
        for (const auto& [name, bytes] : testutil::TreeOf(to))
            if (name.rfind("b.vdb.", 0) == 0) part = to + "/" + name;
        return part;
    };

    const std::string to = tmp / "restored";
    const std::string part = cutShort(to);
    ASSERT_FALSE(part.empty());
    const std::uint64_t had = Mirel::Os::Stat(part).size;
    ASSERT_TRUE(had > 0 && had < b.size()) << had;
    EXPECT_EQ(testutil::ReadFile(part), b.substr(0, had));
    // Without --resume a folder not empty is refused, as before.
    EXPECT_EQ(Restore(to, j), ibsdb::kUnknown) << j.dump(2);

    // Resumed: a.vdb is read and kept, b.vdb fetched from where it stopped.
    ASSERT_EQ(Restore(to, j, true), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["summary"]["bytes_fetched"], b.size() - had) << j.dump(2);
    EXPECT_EQ(Col(j["files"], "result"), (Values{"kept", "restored"})) << j.dump(2);
    EXPECT_EQ(testutil::TreeOf(to),
              (std::map<std::string, std::string>{{"a.vdb", a}, {"b.vdb", b}}));

    // A byte of the part changed before the resume: caught, not placed; the next fetches it whole.
    const std::string to2 = tmp / "restored2";
    const std::string part2 = cutShort(to2);
    ASSERT_FALSE(part2.empty());
    FlipByte(part2, 5000);
    EXPECT_EQ(Restore(to2, j, true), ibsdb::kCritical) << j.dump(2);
    EXPECT_EQ(testutil::TreeOf(to2), (std::map<std::string, std::string>{{"a.vdb", a}}));
    ASSERT_EQ(Restore(to2, j, true), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["summary"]["bytes_fetched"], b.size()) << j.dump(2);
    EXPECT_EQ(testutil::ReadFile(to2 + "/b.vdb"), b);
}

TEST_F(Offsite, AStoreThatCannotBeUsedStopsThePushAndChangesNothingHere) {
    sim::DatabaseModel db0(1, 4096, 8);
    Folder(3, {{"db0.vdb", &db0}});
    const auto before = testutil::TreeOf(backup);

    // A wrong secret: not retried, named.
    remote.credentials =
        testutil::WriteCredentials(tmp / "wrong", config, testutil::StorePort(config), "nope");
    Json j;
    EXPECT_EQ(Push(j), ibsdb::kUnknown);
    EXPECT_EQ(j["store_error"]["cause"], "credentials") << j.dump(2);

    // A credentials file others may read is refused before anything is tried.
    ASSERT_EQ(::chmod(remote.credentials.c_str(), 0644), 0);
    EXPECT_EQ(Push(j), ibsdb::kUnknown);
    EXPECT_EQ(j["store_error"]["cause"], "config") << j.dump(2);

    // No offsite record either.
    EXPECT_EQ(testutil::TreeOf(backup), before);
}

// The documented example is what the code writes; a byte changed or the end cut is refused.
TEST(OffsiteIndex, TheDocumentedExampleIsWhatTheCodeWritesAndAChangedOneIsRefused) {
    const std::string doc = testutil::ReadFile(std::string(IBS_SOURCE_DIR) + "/docs/formats.md");
    const std::string marker = "<!-- checked: offsite-index -->\n```\n";
    const std::size_t at = doc.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::size_t start = at + marker.size();
    const std::string text = doc.substr(start, doc.find("```", start) - start);
    ibsdb::OffsiteIndex x, y;
    std::string why;
    ASSERT_TRUE(ibsdb::DecodeOffsiteIndex(text, x, &why)) << why;
    EXPECT_EQ(x.files.size() * 10 + x.absent.size(), 21u);  // two files, one absent
    EXPECT_EQ(ibsdb::EncodeOffsiteIndex(x), text);
    x.files[0].path = "a\tb/db.vdb";
    ASSERT_TRUE(ibsdb::DecodeOffsiteIndex(ibsdb::EncodeOffsiteIndex(x), y, &why)) << why;
    EXPECT_EQ(y.files[0].path, x.files[0].path);
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string t = text;
        t[i] = t[i] == 'b' ? 'c' : 'b';
        EXPECT_FALSE(ibsdb::DecodeOffsiteIndex(t, y)) << "byte " << i;
    }
    EXPECT_FALSE(ibsdb::DecodeOffsiteIndex(text.substr(0, text.rfind("end\t")), y));
}

}  // namespace

TEST_F(Offsite, ExpireRemoteKeepsTheNewestCopyOfEachDatabaseAndRemovesOnlyWhatNoPointNames) {
    sim::DatabaseModel db0(1, 4096, 8), db1(2, 4096, 8), dropped(3, 4096, 8);
    std::map<int, std::string> names, db0Sha;
    std::string db1Path;
    for (int hour = 4; hour >= 1; --hour) {
        if (hour < 4) Change(db0);
        names[hour] = Folder(hour, [&](const std::string& f) {
            WriteDb(db0, f + "/db0.vdb");
            db0Sha[hour] = Sha(f + "/db0.vdb");
            if (db1Path.empty()) {
                WriteDb(db1, f + "/db1.vdb");
                db1Path = f + "/db1.vdb";
            } else {
                ASSERT_EQ(::link(db1Path.c_str(), (f + "/db1.vdb").c_str()), 0);
            }
            // Dropped after the first interval: its newest copy anywhere is in that point.
            if (hour == 4) WriteDb(dropped, f + "/dropped.vdb");
        });
    }
    Json j;
    ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
    // An object no index names: what a push that has not written its index yet leaves.
    const std::string stray(64, 'a');
    ASSERT_TRUE(Put("objects/" + stray, "x"));

    ASSERT_EQ(Expire(remote, 2, j, true), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["removed_objects"], 1);  // db0 as it was in the second point
    const auto before = Keys("objects/");
    EXPECT_EQ(Keys("points/").size(), 8u);

    // The second point goes (only here now), the oldest stays for the dropped database.
    ASSERT_EQ(Expire(remote, 2, j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(Col(j["points"], "folder"), (Values{names[4], names[3], names[2], names[1]}));
    EXPECT_EQ(Col(j["points"], "kept"), (Values{true, false, true, true})) << j.dump(2);
    EXPECT_EQ(j["removed_objects"], 1);
    EXPECT_EQ(Where(),
              (std::map<std::string, std::string>{
                  {names[1], "both"}, {names[2], "both"}, {names[3], "here"}, {names[4], "both"}}));
    // db1's object is shared with points that stay; the stray one no point named: not ours.
    auto left = before;
    left.erase("objects/" + db0Sha[3]);
    EXPECT_EQ(Keys("objects/"), left);
    for (int hour : {4, 2, 1}) EXPECT_TRUE(left.count("objects/" + db0Sha[hour])) << hour;
    EXPECT_TRUE(left.count("objects/" + Sha(db1Path)) && left.count("objects/" + stray));
    // Every point left is whole.
    EXPECT_EQ(VerifyRemote(j), ibsdb::kOk) << j.dump(2);

    // Run again: nothing more goes (the oldest still holds the dropped database).
    ASSERT_EQ(Expire(remote, 2, j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["removed_objects"], 0);
    EXPECT_EQ(Keys("points/").size(), 6u);
}

// A push and an expiry at once, the new point reusing an object only the expiring point names:
// the expiry must not delete it under the push, nor the push rely on it meanwhile.
class OffsiteRace : public Offsite {
protected:
    void SetUp() override {
        Offsite::SetUp();
        if (IsSkipped() || HasFailure()) return;
        sim::DatabaseModel db(1, 4096, 8);
        std::string first;
        oldest = Folder(3, [&](const std::string& f) {
            WriteDb(db, f + "/db.vdb");
            first = f + "/db.vdb";
        });
        Change(db);
        const std::string middle = Folder(2, {{"db.vdb", &db}});
        replaced = Sha(backup + "/" + middle + "/db.vdb");
        Json j;
        ASSERT_EQ(Push(j), ibsdb::kOk) << j.dump(2);
        reused = Sha(first);
        newest = Folder(1, [&](const std::string& f) {
            testutil::WriteFile(f + "/db.vdb", testutil::ReadFile(first));
        });
    }
    bool Stored(const std::string& key) { return Keys("").count(key); }
    std::string Path(const std::string& key) const {
        return "/" + config.bucket + "/" + remote.Prefix() + key;
    }

    std::string oldest, newest, reused, replaced;
};

TEST_F(OffsiteRace, AnExpirySparesWhatAPushUnderWayReliesOn) {
    testutil::Forwarder door(testutil::StorePort(config));
    door.HoldAt("PUT " + Path("points/" + newest + "/index.tsv"), 1);
    Json pushed;
    int pushRc = -1;
    const ibsdb::RemoteOptions via = Via(door);
    std::thread push([&] { pushRc = Push(pushed, &via); });
    ASSERT_TRUE(door.WaitHeld(60000));  // every object looked for or sent, the index not yet

    Json j;
    EXPECT_EQ(Expire(remote, 1, j), ibsdb::kOk) << j.dump(2);
    EXPECT_FALSE(Where().count(oldest) && Where().at(oldest) != "here") << j.dump(2);
    EXPECT_TRUE(Stored("objects/" + reused)) << "deleted under the push that relies on it";
    door.Release();
    push.join();
    EXPECT_EQ(pushRc, ibsdb::kOk) << pushed.dump(2);
    EXPECT_EQ(VerifyRemote(j), ibsdb::kOk) << j.dump(2);
    EXPECT_TRUE(Keys("pushing/").empty());
    // The record stayed for the key the intent spared; the next run ends it.
    EXPECT_EQ(Keys("expiring/").size(), 1u);
    EXPECT_EQ(Expire(remote, 1, j), ibsdb::kOk) << j.dump(2);
    EXPECT_TRUE(Keys("expiring/").empty());
    EXPECT_TRUE(Stored("objects/" + reused));
}

TEST_F(OffsiteRace, APushWaitsForAnExpiryThatMayDeleteWhatItWouldReuse) {
    testutil::Forwarder expiryDoor(testutil::StorePort(config)),
        pushDoor(testutil::StorePort(config));
    expiryDoor.HoldAt("DELETE " + Path("objects/"), 1);
    Json expired, pushed;
    int expireRc = -1, pushRc = -1;
    std::thread expire([&] { expireRc = Expire(Via(expiryDoor), 1, expired); });
    ASSERT_TRUE(expiryDoor.WaitHeld(60000));  // the indexes gone, about to delete the object

    // A second reading of the expiry's record: the push saw it name what it uses, and waits.
    pushDoor.HoldAt("GET " + Path("expiring/"), 2);
    const ibsdb::RemoteOptions via = Via(pushDoor);
    std::thread push([&] { pushRc = Push(pushed, &via); });
    const bool waited = pushDoor.WaitHeld(60000);
    expiryDoor.Release();
    expire.join();
    pushDoor.Release();
    push.join();
    EXPECT_TRUE(waited) << "the push did not wait for the expiry";
    EXPECT_EQ(expireRc, ibsdb::kOk) << expired.dump(2);
    EXPECT_EQ(pushRc, ibsdb::kOk) << pushed.dump(2);
    ASSERT_EQ(pushed["points"].size(), 1u) << pushed.dump(2);
    EXPECT_EQ(pushed["points"][0]["objects_sent"], 1) << "the deleted object was not sent again";
    Json j;
    EXPECT_EQ(VerifyRemote(j), ibsdb::kOk) << j.dump(2);
}

TEST_F(OffsiteRace, ARecordOrIntentPastItsLeaseNeitherDeletesNorHoldsUpNorSpares) {
    Json j;
    // An expiry past its lease before its first object deletes none and leaves its record.
    ibsdb::RemoteOptions brief = remote;
    brief.leases.expiry = std::chrono::seconds(0);
    brief.leases.margin = std::chrono::seconds(0);
    EXPECT_EQ(Expire(brief, 1, j), ibsdb::kWarning) << j.dump(2);
    EXPECT_EQ(Keys("expiring/").size(), 1u);
    EXPECT_TRUE(Stored("objects/" + reused));

    // A push that takes that record as past its lease does not wait for it.
    EXPECT_EQ(Push(j, &brief), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(j["points"][0]["objects_stored_already"], 1) << j.dump(2);

    // A live push's intent spares what it names (the going point's copy); its record stays.
    ASSERT_TRUE(Put("pushing/" + oldest + "-1-1", remote.Prefix() + "objects/" + replaced + "\n"));
    EXPECT_EQ(Expire(remote, 1, j), ibsdb::kOk) << j.dump(2);
    EXPECT_EQ(Keys("points/").size(), 2u) << "only the newest point stays";
    EXPECT_TRUE(Stored("objects/" + replaced));
    EXPECT_TRUE(Stored("objects/" + reused)) << "the new point names it";
    EXPECT_EQ(Keys("expiring/").size(), 1u) << "the spared key keeps its record";

    // Once that intent is past its lease (its push was killed), it spares nothing and goes.
    ibsdb::RemoteOptions lapsed = remote;
    lapsed.leases.intent = std::chrono::seconds(0);
    lapsed.leases.margin = std::chrono::seconds(0);
    EXPECT_EQ(Expire(lapsed, 1, j), ibsdb::kOk) << j.dump(2);
    EXPECT_FALSE(Stored("objects/" + replaced));
    EXPECT_TRUE(Keys("pushing/").empty() && Keys("expiring/").empty());
    EXPECT_EQ(VerifyRemote(j), ibsdb::kOk) << j.dump(2);
}
