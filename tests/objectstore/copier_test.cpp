// The service's copier against the real store: a failing store holds up nothing here and is
// named; a kill mid-upload leaves no point off the host that looks whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/objectstore/Client.h"
#include "tests/ServiceFixture.h"
#include "tests/objectstore/Forwarder.h"
#include "tests/objectstore/StoreSetup.h"
#include "tests/tools/Has.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Common.h"
#include "tools/ibsdb/Offsite.h"

using ibsdb::Json;
using testutil::Child;

namespace {

const std::string kStore = IBS_S3_STORE_DIR;

class Copier : public testutil::ServiceFixture {
protected:
    void SetUp() override {
        testutil::UseStore(kStore, "copier", store, remote);
        storePort = testutil::StorePort(store);
    }
    void TearDown() override {
        if (service && !service->Wait(0)) {
            service->Signal(SIGKILL);
            service->Wait(10000);
        }
    }

    // The service's own credentials file, for the store at `port` (the store's or a
    // forwarder's).
    std::string Credentials(unsigned short port) {
        return testutil::WriteCredentials(env.dir / ("credentials-" + std::to_string(port)), store,
                                          port);
    }
    void StartService(const std::string& credentials, const std::string& more = "") {
        NameBackupFolder("<pref id=\"84\" type=\"text\">" + credentials +
                         "</pref><pref id=\"85\" type=\"text\">" + remote.prefix + "</pref>" +
                         more);
        service = StartReady({{"VELLUMARK_OFFSITE_RETRY_MS", "200"}});
    }
    std::unique_ptr<Child> Sim(int intervals) {
        std::vector<std::string> args = {VLSERVER_SIM_PATH, "run",
                                         "--backup",        backup,
                                         "--work",          env.dir / "sim",
                                         "--intervals",     std::to_string(intervals),
                                         "--databases",     "3",
                                         "--pages",         "64"};
        return std::make_unique<Child>(args, std::map<std::string, std::string>{});
    }

    std::set<std::string> LocalPoints() {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(backup, ec))
            if (e.path().filename().string().rfind("LastGood_", 0) == 0)
                names.insert(e.path().filename().string());
        return names;
    }
    // The points off the host; with `objects`, the objects they name.
    std::set<std::string> RemotePoints(std::set<std::string>* objects = nullptr) {
        std::map<std::string, ibsdb::OffsiteIndex> points;
        std::vector<std::string> problems;
        std::string error;
        std::set<std::string> names;
        if (!ibsdb::ListRemotePoints(remote, points, problems, error)) return names;
        for (const auto& [name, index] : points) {
            names.insert(name);
            for (const auto& f : index.files)
                if (objects) objects->insert(remote.Prefix() + "objects/" + f.sha256);
        }
        return names;
    }
    std::set<std::string> Objects() {
        std::vector<ObjectStore::ObjectInfo> objects;
        EXPECT_TRUE(ObjectStore::Client(store).ListAll(remote.Prefix() + "objects/", objects).ok());
        std::set<std::string> keys;
        for (const auto& o : objects) keys.insert(o.key);
        return keys;
    }
    // Every last-good folder here is off the host.
    bool AllPushed() {
        const auto here = LocalPoints(), there = RemotePoints();
        return !here.empty() && std::includes(there.begin(), there.end(), here.begin(), here.end());
    }
    ibsdb::ServiceStateFile State() {
        ibsdb::ServiceStateFile st;
        ibsdb::ParseServiceState(testutil::ReadFile(backup + "/State.tsv"), st);
        return st;
    }
    // The notify socket's status lines read first: STOPPING=1 waits for room there; a signal,
    // as the test's ORB may hold a connection to an earlier test's service.
    void StopService() {
        notify.WaitFor("\x01", 0);
        service->Signal(SIGTERM);
        ASSERT_EQ(service->Wait(30000), 0);
    }
    // The failed pushes, as the copier's debug log gives them.
    std::size_t FailedPushes() { return testutil::CountOf(env.DebugLog(), "; again in "); }
    // A store stopped, answering `answer` or refusing `secret` from the start: every interval
    // is published and checked, the state and status name `cause`, failed pushes (of `perPush`
    // requests each, no more) remove nothing here; once the store is back (or the file, read
    // at every push, fixed) every point goes off the host; one event says failed, one back.
    void FailThenRecover(const std::string& cause, int perPush, const std::string& answer,
                         const std::string& secret = "") {
        testutil::Forwarder door(storePort);
        const bool stopped = answer.empty() && secret.empty();
        if (stopped) door.Close();
        door.Answer(answer);
        const std::string file = env.dir / "offsite.credentials";
        testutil::WriteCredentials(file, store, door.Port(), secret);
        StartService(file);
        auto sim = Sim(3);
        ASSERT_EQ(sim->Wait(180000), 0) << sim->Stdout();
        ASSERT_TRUE(testutil::Eventually(
            [&] { return State().offState == "failing" && State().offCause == cause; }, 30000))
            << testutil::ReadFile(backup + "/State.tsv");
        // The store's own code for it, as its answer gave it.
        const auto code = answer.find("<Code>");
        if (!stopped) {
            EXPECT_TRUE(Has(State().offError,
                            secret.empty()
                                ? answer.substr(code + 6, answer.find("</Code>") - code - 6)
                                : "SignatureDoesNotMatch"));
        }
        Json status;
        EXPECT_EQ(Status(status), 1) << status.dump(2);
        EXPECT_EQ(status["service"]["offsite"]["cause"], cause) << status.dump(2);
        const std::set<std::string> here = LocalPoints();
        ASSERT_FALSE(here.empty());
        ASSERT_TRUE(testutil::Eventually([&] { return FailedPushes() >= 4; }, 60000));
        EXPECT_EQ(LocalPoints(), here);
        Json verify;
        EXPECT_EQ(Ibsdb({"verify", backup}, verify), 0) << verify.dump(2);
        EXPECT_TRUE(RemotePoints().empty());
        // Requests seen between two readings of the log lie within the pushes logged.
        const std::size_t before = FailedPushes();
        const int requests = door.Requests();
        EXPECT_TRUE(requests >= static_cast<int>(before) * perPush &&
                    requests <= static_cast<int>(FailedPushes() + 1) * perPush)
            << requests;

        if (stopped) door.Open();
        door.Answer("");
        testutil::WriteCredentials(file, store, door.Port());
        ASSERT_TRUE(testutil::Eventually([&] { return AllPushed(); }, 60000));
        ASSERT_TRUE(testutil::Eventually([&] { return State().offState == "idle"; }, 20000));
        StopService();
        ASSERT_FALSE(HasFatalFailure());
        const std::string said = service->Stderr();
        EXPECT_EQ(
            std::tuple(
                testutil::CountOf(
                    said, "[0x41000337] Copies off the host: the store failed (" + cause + ")"),
                testutil::CountOf(said, "[0x41000337]"), testutil::CountOf(said, "[0xc1000338]")),
            std::tuple(1u, 1u, 1u))
            << said;
    }
    int Status(Json& out) {
        return Ibsdb({"status", backup, "--warn-lag", "3650d", "--crit-lag", "3650d"}, out);
    }
    // Every point off the host verifies whole.
    void VerifyRemote() {
        Json out;
        EXPECT_EQ(Ibsdb({"verify", backup}, out, true), 0) << out.dump(2);
    }

    // ibsdb with `args` and --json (and the store's options with `remoteToo`): its exit code
    // and its JSON.
    int Ibsdb(const std::vector<std::string>& args, Json& out, bool remoteToo = false) {
        std::vector<std::string> argv = {IBSDB_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("--json");
        if (remoteToo)
            argv.insert(argv.end(), {"--remote", remote.credentials, "--prefix", remote.prefix});
        Child c(argv, {});
        const std::string text = c.Stdout();
        const int code = c.Wait(60000).value_or(-1);
        out = Json::parse(text, nullptr, false);
        return code;
    }

    ObjectStore::Config store;
    ibsdb::RemoteOptions remote;
    unsigned short storePort = 0;
    const std::string backup = env.dir / "backup";
    std::unique_ptr<Child> service;
};

}  // namespace

TEST_F(Copier, EachPublishedFolderIsPushedAndListedOffTheHost) {
    // With a bandwidth limit (preference 86).
    StartService(Credentials(storePort), "  <pref id=\"86\" type=\"int\">8388608</pref>\n");
    auto sim = Sim(3);
    ASSERT_EQ(sim->Wait(180000), 0) << sim->Stdout();
    ASSERT_TRUE(testutil::Eventually([&] { return AllPushed(); }, 60000))
        << "here " << LocalPoints().size() << ", off the host " << RemotePoints().size();

    Json list;
    EXPECT_EQ(Ibsdb({"list", backup}, list, true), 0) << list.dump(2);
    std::set<std::string> both;
    for (const auto& p : list["restore_points"])
        if (p["where"] == "both") both.insert(p["folder"].get<std::string>());
    EXPECT_EQ(both, LocalPoints());
    VerifyRemote();

    // The service said so: its state names the newest point off the host, nothing fails.
    ASSERT_TRUE(testutil::Eventually([&] { return State().offState == "idle"; }, 20000));
    const auto st = State();
    EXPECT_EQ(std::tuple(st.offsite, st.offNewest, st.offCause),
              std::tuple(true, *LocalPoints().rbegin(), std::string()));
    Json status;
    Status(status);
    EXPECT_EQ(Fields(status, "state") + " " + Fields(status["offsite"], "folder"),
              "state=\"OK\" folder=\"" + *LocalPoints().rbegin() + "\"");
    StopService();

    // The policy off the host needs no backup folder: the host that pushed may be gone.
    const std::size_t there = RemotePoints().size();
    Json expire;
    EXPECT_EQ(Ibsdb({"expire", "--keep", "2"}, expire, true), 0) << expire.dump(2);
    std::size_t kept = 0;
    for (const auto& p : expire["points"]) kept += p["kept"].get<bool>();
    EXPECT_EQ(std::pair(kept, expire["points"].size()),
              std::pair(std::min<std::size_t>(2, there), there));
}

TEST_F(Copier, AStoppedStoreHoldsUpNothingHereIsNamedAndPushingResumes) {
    FailThenRecover("connect", 0, "");
}

// Retried: each push tries its first operation 3 times before the copier backs off.
TEST_F(Copier, AStoreAnswering5xxIsRetriedNamedAndPushedToOnceItRecovers) {
    FailThenRecover(
        "server", 3,
        testutil::Forwarder::ErrorAnswer("503 Service Unavailable", "ServiceUnavailable"));
}

// As RADOS Gateway answers a user or bucket over its quota.
TEST_F(Copier, AFullStoreIsNamedRetriedAndCostsNothingHere) {
    FailThenRecover("store-full", 3,
                    testutil::Forwarder::ErrorAnswer("403 Forbidden", "QuotaExceeded"));
}

// As S3 answers a temporary credential past its end: not retried within a push.
TEST_F(Copier, AnExpiredCredentialIsNamedTriedOncePerPushAndPushingFollowsItsRenewal) {
    FailThenRecover("credentials-expired", 1,
                    testutil::Forwarder::ErrorAnswer("400 Bad Request", "ExpiredToken"));
}

// The real store refuses the secret: not retried within a push.
TEST_F(Copier, ARefusedCredentialIsNamedNotHammeredAndPushingFollowsTheFixedFile) {
    FailThenRecover("credentials", 1, "", "not-the-secret");
}

// The second object's upload stops moving: the first object is stored, the point's index is
// not. Every interval is published and checked by the server while the copier waits in it;
// killed there, the service leaves no point off the host that looks whole, and started again
// it pushes what it has.
TEST_F(Copier, AStoreThatStallsMidUploadHoldsUpNoLocalIntervalAndAKillThereLeavesNoPoint) {
    testutil::Forwarder door(storePort);
    door.HoldAt("PUT /" + store.bucket + "/" + remote.Prefix() + "objects/", 2);
    StartService(Credentials(door.Port()));
    auto sim = Sim(3);
    ASSERT_TRUE(door.WaitHeld(120000));
    ASSERT_EQ(sim->Wait(180000), 0);
    EXPECT_FALSE(LocalPoints().empty());
    // The held object is not done.
    EXPECT_TRUE(State().offState == "pushing" && State().offDone <= 1)
        << testutil::ReadFile(backup + "/State.tsv");
    service->Signal(SIGKILL);
    service->Wait(10000);

    EXPECT_TRUE(RemotePoints().empty());
    EXPECT_EQ(Objects().size(), 1u);
    Json list;
    EXPECT_EQ(Ibsdb({"list", backup}, list, true), 0) << list.dump(2);
    for (const auto& p : list["restore_points"]) EXPECT_EQ(p["where"], "here") << p.dump();

    door.Release();
    StartService(Credentials(door.Port()));
    ASSERT_TRUE(testutil::Eventually([&] { return AllPushed(); }, 90000));
    VerifyRemote();
}

TEST_F(Copier, ASlowStoreHoldsUpNoLocalIntervalAndEveryPointArrivesWhole) {
    testutil::Forwarder door(storePort);
    door.Slow(256 << 10);  // well below the disk, above the client's stall limit
    StartService(Credentials(door.Port()));
    auto sim = Sim(3);
    // Every interval is published and checked by the server while the copier is still sending.
    ASSERT_EQ(sim->Wait(180000), 0);
    EXPECT_FALSE(LocalPoints().empty());
    ASSERT_TRUE(testutil::Eventually([&] { return AllPushed(); }, 240000));
    ASSERT_TRUE(testutil::Eventually([&] { return State().offState == "idle"; }, 20000));
    EXPECT_TRUE(State().offCause.empty()) << State().offCause;
    StopService();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_GT(door.Requests(), 0);  // through the slow door
    EXPECT_EQ(testutil::CountOf(service->Stderr(), "[0x41000337]"), 0u)
        << "a slow store is not a failed one";
    VerifyRemote();
}

// A remote expiry killed before any one of its deletions: every point still listed off the
// host verifies whole, and the next expiry leaves no object that no point names.
TEST_F(Copier, ARemoteExpiryKilledAtAnyDeletionLeavesNoPointThatLooksWholeAndIsNot) {
    // Every point kept here: none is pruned before the copier has pushed it.
    StartService(Credentials(storePort), "  <pref id=\"82\" type=\"int\">20</pref>\n");
    auto sim = Sim(4);
    ASSERT_EQ(sim->Wait(180000), 0) << sim->Stderr();
    ASSERT_TRUE(testutil::Eventually([&] { return AllPushed(); }, 60000));
    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(30000), 0);
    const std::size_t points = RemotePoints().size();
    ASSERT_GE(points, 3u);

    testutil::Forwarder door(storePort);
    const std::string viaDoor = Credentials(door.Port());
    auto expire = [&](const std::string& credentials) {
        return std::make_unique<Child>(
            std::vector<std::string>{IBSDB_PATH, "expire", "--remote", credentials, "--prefix",
                                     remote.prefix, "--keep", "1", "--json"},
            std::map<std::string, std::string>{});
    };
    bool finished = false;
    for (int n : {1, 2, 3, 5, 8, 13}) {
        SCOPED_TRACE("killed before deletion " + std::to_string(n));
        door.HoldAt("DELETE /" + store.bucket + "/" + remote.Prefix(), n);
        auto run = expire(viaDoor);
        if (!door.WaitHeld(30000)) {
            finished = true;
            ASSERT_EQ(run->Wait(60000), 0) << run->Stdout();
            break;
        }
        run->Signal(SIGKILL);
        run->Wait(10000);
        door.Close();  // the held deletion never reaches the store
        door.Open();
        door.Release();
        VerifyRemote();
    }
    // Run to its end, from where the last one stopped.
    if (!finished) {
        ASSERT_EQ(expire(remote.credentials)->Wait(60000), 0);
    }
    std::set<std::string> named;
    EXPECT_LT(RemotePoints(&named).size(), points);
    VerifyRemote();
    EXPECT_EQ(Objects(), named) << "an object named by no point, or a point's object gone";
}

using CopierStart = testutil::ServiceFixture;

TEST_F(CopierStart, ACredentialsFileOthersMayReadStopsTheStartWithOneLine) {
    const std::string credentials = env.dir / "offsite.credentials";
    testutil::WriteFile(credentials,
                        "endpoint = http://127.0.0.1:9\nbucket = b\naccess_key = a\nsecret_key = "
                        "s\n");
    ::chmod(credentials.c_str(), 0644);
    testutil::WriteFile(env.dir / "prefs.xml", "<preferences><pref id=\"84\" type=\"text\">" +
                                                   credentials + "</pref></preferences>\n");
    auto refused = Start();
    EXPECT_EQ(refused->Wait(20000), 6);
    const std::string said = refused->Stderr();
    EXPECT_EQ(testutil::CountOf(said, "\n"), 1u) << said;
    EXPECT_TRUE(Has(said, credentials));

    // The same file the service's own: the start goes on (no folder configured, the service
    // waits for the server).
    ::chmod(credentials.c_str(), 0600);
    auto started = StartReady();
    Stop(started);
}
