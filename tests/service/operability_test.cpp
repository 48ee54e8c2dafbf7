// The service as an operator meets it: refusals at start, records where people look, log
// rotation, and what idle or slow clients can take.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <fstream>

#include "tests/ServiceFixture.h"
#include "tools/sim/ServiceClient.h"

using testutil::Child;

namespace {

// A start refusal is one line on standard error, holding each of `parts`.
void ExpectOneLine(const std::string& err, const std::vector<std::string>& parts) {
    EXPECT_EQ(testutil::CountOf(err, "\n"), 1u) << err;
    for (const auto& p : parts) EXPECT_NE(err.find(p), std::string::npos) << p << " in " << err;
}

// A line of /proc/PID/status as a number ("Threads", "VmRSS" in kB).
long Status(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    return -1;
}

// True once the peer has closed the connection (after what it sent before, such as a
// GIOP CloseConnection message).
bool ClosedByPeer(int fd) {
    char buf[64];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) return false;
    }
}

using OperabilityTest = testutil::ServiceFixture;

}  // namespace

TEST_F(OperabilityTest, EachStartRefusalIsOneLineThatSaysWhatToDo) {
    testutil::WriteFile(env.dir / "blocked", "");
    auto lock = Start({}, {{"VELLUMARK_RUN_DIR", env.dir / "blocked/run"}});
    EXPECT_EQ(lock->Wait(20000), 1);
    ExpectOneLine(lock->Stderr(), {env.dir / "blocked/run/", "VELLUMARK_RUN_DIR"});

    // Not root: the run folder lies in a folder only root may enter.
    Child nobody(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TALONIB_PATH},
        [&] {
            auto e = env.Env();
            e["VELLUMARK_RUN_DIR"] = env.dir / "run-for-root";
            e["VELLUMARK_DEBUG"] = "none";
            return e;
        }());
    EXPECT_EQ(nobody.Wait(20000), 4);
    ExpectOneLine(nobody.Stderr(), {"run talonib as root"});

    int fd = testutil::ListenLoopback(50004);
    ASSERT_GE(fd, 0);
    auto port = Start();
    EXPECT_EQ(port->Wait(20000), 1);
    ::close(fd);
    EXPECT_FALSE(notify.WaitFor("READY=1", 0));
    ExpectOneLine(port->Stderr(), {"port 50004 is already in use", "VELLUMARK_ORB_HOST"});
}

// A client's own end on port 50004 goes away, unlike a listener: the start waits for it (with
// systemd told) and gives up only after its limit, saying how to keep it from happening.
TEST_F(OperabilityTest, AConnectionHoldingThePortIsWaitedForAndAListenerIsNot) {
    sockaddr_in a{};
    int server = testutil::ListenLoopback(0, &a);
    ASSERT_GE(server, 0);
    // Close-on-exec: the service must not inherit the connection it waits for.
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // On an address of its own: earlier services' connections may linger in TIME_WAIT on
    // 127.0.0.1:50004, where a socket without SO_REUSEADDR could not be bound.
    sockaddr_in own = testutil::LoopbackAddress(50004);
    own.sin_addr.s_addr = htonl(0x7f000002);
    ASSERT_EQ(::bind(client, reinterpret_cast<sockaddr*>(&own), sizeof own), 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);

    auto gaveUp =
        Start({}, {{"VELLUMARK_PORT_WAIT_MS", "300"}, {"VELLUMARK_ORB_HOST", "127.0.0.2"}});
    EXPECT_EQ(gaveUp->Wait(20000), 1);
    ExpectOneLine(gaveUp->Stderr(), {"still held by a connection", "ip_local_reserved_ports"});
    // systemd's start timeout covers the wait and ten seconds more.
    EXPECT_TRUE(notify.WaitFor("EXTEND_TIMEOUT_USEC=10300000\nSTATUS=waiting for port 50004", 0));

    // A stop while it waits ends the wait.
    const std::map<std::string, std::string> host{{"VELLUMARK_ORB_HOST", "127.0.0.2"}};
    auto stopped = Start({}, host);
    EXPECT_TRUE(notify.WaitFor("STATUS=waiting for port 50004", 30000)) << env.DebugLog();
    stopped->Signal(SIGTERM);
    EXPECT_EQ(stopped->Wait(20000), 1);
    EXPECT_EQ(stopped->Stderr(), "");

    auto service = Start({}, host);
    EXPECT_TRUE(notify.WaitFor("STATUS=waiting for port 50004", 30000)) << env.DebugLog();
    EXPECT_FALSE(notify.WaitFor("READY=1", 0));
    // Our side closes last, once it has seen the other's close: no TIME_WAIT on 50004.
    ::close(accepted);
    char byte;
    EXPECT_EQ(::recv(client, &byte, 1, 0), 0);
    ::close(client);
    EXPECT_TRUE(notify.WaitFor("READY=1", 30000)) << env.DebugLog();
    Stop(service);
    ::close(server);
}

TEST_F(OperabilityTest, HangUpReopensTheLogsAndTheServiceCarriesOn) {
    auto service = StartReady();
    std::string log = env.dir / "log/talonibDebug.log", trace = env.dir / "log/talonib_omniORB.txt";
    // READY comes just before the loop's first line: rotate after it.
    ASSERT_TRUE(testutil::Eventually(
        [&] { return testutil::ReadFile(log).find("serving requests") != std::string::npos; },
        10000));
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(std::rename(trace.c_str(), (trace + ".1").c_str()), 0);
    service->Signal(SIGHUP);
    // Reopened once its line is in the new file: nothing goes to the old one after it.
    ASSERT_TRUE(testutil::Eventually(
        [&] { return testutil::ReadFile(log).find("logs reopened") != std::string::npos; }, 10000));
    EXPECT_TRUE(testutil::IsFile(trace));
    const std::string rotated = testutil::ReadFile(log + ".1");
    sim::ServiceClient client(testutil::ClientOrb());
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 1, false), 10017);
    Stop(service);
    // Everything after the reopen went to the new file.
    EXPECT_EQ(testutil::ReadFile(log + ".1"), rotated);
    EXPECT_NE(testutil::ReadFile(log).find("message loop ended"), std::string::npos);
}

TEST_F(OperabilityTest, IdleAndSlowClientsTakeBoundedThreadsAndGiveThemBack) {
    constexpr int kConnections = 3000;
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max < kConnections + 200) GTEST_SKIP() << "too few descriptors allowed";
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);

    // The environment's ORB settings win over the service's own: idle connections are
    // closed after 2 s here instead of 60.
    auto service = StartReady({{"ORBinConScanPeriod", "2"}, {"ORBidleThreadTimeout", "1"}});
    pid_t pid = service->Pid();
    long restThreads = Status(pid, "Threads");
    [[maybe_unused]] long restRss = Status(pid, "VmRSS");
    sim::ServiceClient client(testutil::ClientOrb());

    std::vector<int> idle;
    for (int i = 0; i < kConnections; ++i) {
        int fd = testutil::ConnectLoopback();
        ASSERT_GE(fd, 0) << "connection " << i;
        idle.push_back(fd);
    }
    // Slow clients: a request begun and never finished.
    std::vector<int> slow;
    for (int i = 0; i < 8; ++i) {
        int fd = testutil::ConnectLoopback();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, "GIOP\1\2\1\0", 8, 0), 8);
        slow.push_back(fd);
    }
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 1, false), 10017);
    long busyThreads = Status(pid, "Threads");
    // One thread each for the first 16 connections, a pool of at most 16 for the rest.
    EXPECT_LE(busyThreads, restThreads + 40);

    // The service closes the idle connections itself.
    ASSERT_TRUE(testutil::Eventually(
        [&] {
            return std::all_of(idle.begin(), idle.end(), [](int fd) { return ClosedByPeer(fd); });
        },
        60000));
    for (int fd : idle) ::close(fd);
    for (int fd : slow) ::close(fd);
    // The ORB's scavenger thread, started by the first connection, stays.
    ASSERT_TRUE(
        testutil::Eventually([&] { return Status(pid, "Threads") <= restThreads + 1; }, 60000))
        << Status(pid, "Threads") << " threads, " << restThreads << " at rest";
#ifndef IBS_SANITIZED  // the sanitizers keep freed memory in quarantine
    EXPECT_LE(Status(pid, "VmRSS"), restRss + 16 * 1024) << restRss << " kB at rest";
#endif
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 1, false), 10017);
    client.Stop();
    EXPECT_EQ(service->Wait(10000), 0);
}
