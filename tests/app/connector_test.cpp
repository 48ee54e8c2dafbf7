// The connector's link to the event hub: a hub of the test's own on a free loopback port.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "app/DBSConnector.h"
#include "tests/manager/Files.h"
#include "tests/manager/ManagerFixture.h"
#include "tools/sim/EventHub.h"

using testutil::FreePort;

namespace {

// What the hub heard, in order; its event records can be held at a gate, as a slow hub would.
struct Heard {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> calls;
    bool gateOpen = true;
    int blocked = 0;
    void Add(const std::string& c) {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(c);
        cv.notify_all();
    }
    void Gate(bool open) {
        std::lock_guard<std::mutex> g(m);
        gateOpen = open;
        cv.notify_all();
    }
    bool WaitFor(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(20), done);
    }
    int Count(const std::string& prefix) {
        std::lock_guard<std::mutex> g(m);
        return std::count_if(calls.begin(), calls.end(),
                             [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    }
};

// One ORB for the process: it serves the hub and is the connector's.
struct Orb {
    Orb() {
        std::vector<std::string> args = {"connector", "-ORBendPoint",
                                         "giop:tcp:127.0.0.1:" + std::to_string(port),
                                         "-ORBclientCallTimeOutPeriod", "20000"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        int argc = static_cast<int>(argv.size());
        orb = CORBA::ORB_init(argc, argv.data(), "omniORB4");
        hub = new sim::EventHubServer(orb, [this](const std::string& l) { heard.Add(l); });
        hub->OnEvent([this](std::uint32_t code, const std::vector<std::string>&) {
            std::unique_lock<std::mutex> g(heard.m);
            ++heard.blocked;
            heard.cv.notify_all();
            heard.cv.wait(g, [&] { return heard.gateOpen; });
            --heard.blocked;
            heard.calls.push_back("held event " + std::to_string(code));
            heard.cv.notify_all();
        });
    }
    unsigned short port = FreePort();
    Heard heard;
    CORBA::ORB_var orb;
    sim::EventHubServer* hub = nullptr;
};

Orb& TheOrb() {
    static Orb* o = new Orb;  // lives with the process: the ORB outlives every test
    return *o;
}

// The connector once its thread serves requests.
void AwaitServing(DBSConnector& c) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (c.GetStatus() != TalonTypes::kCS_ServicingRequests &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
}

}  // namespace

TEST(ConnectorTest, AStaleLinkIsReplacedAndTheLinkCheckDropsOnlyItsOwn) {
    Orb& o = TheOrb();
    DBSConnector c(o.orb);
    AwaitServing(c);
    ASSERT_TRUE(c.ConnectToServer("127.0.0.1", o.port));
    const int first = o.heard.Count("component link ");
    ASSERT_TRUE(c.ConnectToServer("127.0.0.1", o.port));  // alive and the same: kept
    EXPECT_EQ(o.heard.Count("component link "), first);
    Talon::EventLink_var old = c.GetEventLink(0);

    // The server restarted quickly: same address and port, the old link gone.
    o.hub->DropLinks();
    ASSERT_TRUE(c.ConnectToServer("127.0.0.1", o.port));
    EXPECT_EQ(o.heard.Count("component link "), first + 1) << "the dead link was trusted";
    // Another port is another hub, even with a live link.
    EXPECT_FALSE(c.LinkAlive("127.0.0.1", static_cast<unsigned short>(o.port + 1)));
    // A check of the old link finds it dead; dropping it keeps the new one.
    c.DropLink(old);
    Talon::EventLink_var current = c.GetEventLink(0);
    ASSERT_FALSE(CORBA::is_nil(current));
    EXPECT_EQ(current->GetLinkID(), static_cast<CORBA::ULong>(first + 1));
    c.AbortMain();
    c.Join();
}

TEST(ConnectorTest, ARegistrationAtAnUnreachableHubKeepsTheWorkingLink) {
    Orb& o = TheOrb();
    DBSConnector c(o.orb);
    AwaitServing(c);
    ASSERT_TRUE(c.ConnectToServer("127.0.0.1", o.port));
    Talon::EventLink_var first = c.GetEventLink(0);
    const CORBA::ULong id = first->GetLinkID();
    // Another hub, where nobody serves one.
    EXPECT_FALSE(c.ConnectToServer("127.0.0.1", FreePort()));
    Talon::EventLink_var kept = c.GetEventLink(0);
    ASSERT_FALSE(CORBA::is_nil(kept)) << "the working link was dropped";
    EXPECT_EQ(kept->GetLinkID(), id);
    // The server's stop notice is still answered through it.
    c.Deliver(8, 2, {});
    const std::string notice = "stopping notice link " + std::to_string(id);
    ASSERT_TRUE(o.heard.WaitFor([&] {
        return std::any_of(o.heard.calls.begin(), o.heard.calls.end(),
                           [&](const std::string& c) { return c.rfind(notice, 0) == 0; });
    }));
    // And the old hub is still trusted when it is named again.
    const int connects = o.heard.Count("component link ");
    ASSERT_TRUE(c.ConnectToServer("127.0.0.1", o.port));
    EXPECT_EQ(o.heard.Count("component link "), connects);
    c.AbortMain();
    c.Join();
}

class SlowHubTest : public testutil::ManagerTest {};

TEST_F(SlowHubTest, IntakeNeverWaitsForTheHubAndRecordsArriveInOrder) {
    Orb& o = TheOrb();
    auto* c = new DBSConnector(o.orb);
    AwaitServing(*c);
    ASSERT_TRUE(c->ConnectToServer("127.0.0.1", o.port));
    mgr->Connect(&Trigger(), c);
    o.heard.Gate(false);  // the hub takes its time
    // Three rejected files, each an event record, while the hub holds the first.
    std::string redo = backup() + "/Changes/Redo_1";
    testutil::MakeDirs(redo);
    for (int i = 0; i < 3; ++i) {
        std::string f = redo + "/bad" + std::to_string(i) + ".vrl";
        testutil::WriteFile(f, "garbage");
        EXPECT_EQ(mgr->RedoLogIsReady(testutil::U(f), u"x", true), Mirel::kErrInvalidFile);
    }
    // The calls came back while the hub still holds the first record.
    ASSERT_TRUE(o.heard.WaitFor([&] { return o.heard.blocked == 1; }));
    // Intake goes on meanwhile, under the catalogue lock.
    EXPECT_EQ(mgr->VerifyFullDBBackup(u"db", u"11111111-1111-4111-8111-111111111111", 1, false),
              Mirel::kErrNoFullBackup);
    o.heard.Gate(true);
    ASSERT_TRUE(o.heard.WaitFor([&] {
        return std::count(o.heard.calls.begin(), o.heard.calls.end(),
                          "held event " + std::to_string(0x41000328)) == 3;
    }));
    mgr->Connect(&Trigger(), &Sink());
    c->AbortMain();
    c->Join();
    delete c;
}
