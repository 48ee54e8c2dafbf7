// The simulated server's connection outlives a killed service, or ends the wait with a finding.
#include <gtest/gtest.h>

#include <future>

#include "tests/ServiceFixture.h"
#include "tools/sim/Session.h"

using testutil::Child;

namespace {

// One ORB per process: it serves the hub and calls the service.
struct Orb {
    unsigned short hubPort = testutil::FreePort();
    CORBA::ORB_var orb = [this] {
        std::string endpoint = "giop:tcp:127.0.0.1:" + std::to_string(hubPort);
        const char* argv[] = {"session-test", "-ORBendPoint", endpoint.c_str(),
                              "-ORBclientCallTimeOutPeriod", "20000"};
        int argc = 5;
        return CORBA::ORB_init(argc, const_cast<char**>(argv), "omniORB4");
    }();
};
Orb& TheOrb() {
    static Orb* o = new Orb;
    return *o;
}

class SessionTest : public testutil::ServiceFixture {
protected:
    void Kill(std::unique_ptr<Child>& service) {
        service->Signal(SIGKILL);
        EXPECT_EQ(service->Wait(30000), 128 + SIGKILL);
        service.reset();
    }
    std::int32_t Probe() {
        return client.VerifyFullDBBackup("probe", "00000000-0000-0000-0000-000000000000", 0, false);
    }
    sim::Session Make(double patience) {
        return sim::Session(
            client, *hub, sim::Session::Options{backup(), "127.0.0.1", TheOrb().hubPort, patience},
            report);
    }

    sim::EventHubServer* hub = [] {
        static sim::EventHubServer* h = [] {
            auto* s = new sim::EventHubServer(TheOrb().orb, nullptr);
            s->_remove_ref();
            return s;
        }();
        h->DropLinks();
        return h;
    }();
    sim::ServiceClient client{TheOrb().orb};
    std::vector<std::string> lines;
    sim::Report report{[this](const std::string& l) { lines.push_back(l); }};
};

}  // namespace

TEST_F(SessionTest, AfterAKillTheServerRegistersAndNamesItsFolderAgain) {
    auto service = StartReady();
    sim::Session session = Make(60);
    int reconnected = 0;
    session.SetOnReconnect([&] { ++reconnected; });
    ASSERT_TRUE(session.Connect()) << env.DebugLog();
    EXPECT_EQ(hub->LinkCount(), 1u);
    EXPECT_EQ(session.Call("probe", [&] { return Probe(); }), 10007);
    EXPECT_EQ(session.Reconnects(), 1);

    // Restarted without a backup folder: no call before the server registers and names it.
    Kill(service);
    service = StartReady();
    EXPECT_EQ(session.Call("probe", [&] { return Probe(); }), 10007);  // 10017 if not named
    EXPECT_EQ(session.Reconnects(), 2);
    EXPECT_EQ(reconnected, 2);
    EXPECT_EQ(hub->LinkCount(), 2u);  // a new link from the new process

    // Killed, and the call made while it is away: it waits for the service to come back.
    Kill(service);
    auto call = std::async(std::launch::async,
                           [&] { return session.Call("probe", [&] { return Probe(); }); });
    service = StartReady();
    EXPECT_EQ(call.get(), 10007);
    EXPECT_EQ(session.Reconnects(), 3);
    EXPECT_EQ(report.Total(), 0) << lines.front();
}

TEST_F(SessionTest, AServiceThatStaysAwayEndsTheWaitWithAFinding) {
    auto service = StartReady();
    sim::Session session = Make(1.5);
    ASSERT_TRUE(session.Connect());
    Kill(service);
    EXPECT_THROW(session.Call("probe", [&] { return Probe(); }), sim::Unreachable);
    EXPECT_EQ(report.Count("service"), 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("FAIL service: probe: no answer"), std::string::npos)
        << lines.back();
}
