// The service as an operator meets it: refusals at start, a missing preference file,
// records where people look, log rotation, and what idle or slow clients can take.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <fstream>

#include "tests/ServiceFixture.h"
#include "tools/sim/ServiceClient.h"

using testutil::Child;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    if (at < text.size()) lines.push_back(text.substr(at));
    return lines;
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

class OperabilityTest : public testutil::ServiceFixture {
protected:
    CORBA::ORB_ptr Orb() { return testutil::ClientOrb(); }
};

}  // namespace

TEST_F(OperabilityTest, EachStartRefusalIsOneLineThatSaysWhatToDo) {
    testutil::WriteFile(
        env.dir / "bad.xml",
        "<preferences>\n  <pref id=\"67\" type=\"int\">yes</pref>\n</preferences>\n");
    auto badPrefs = Start({}, {{"VELLUMARK_PREFS", env.dir / "bad.xml"}});
    EXPECT_EQ(badPrefs->Wait(20000), 6);
    auto lines = Lines(badPrefs->Stderr());
    ASSERT_EQ(lines.size(), 1u) << badPrefs->Stderr();
    EXPECT_EQ(lines[0], "talonib: bad preference file " + env.dir / "bad.xml" +
                            ":2: preference 67 is of type int but holds \"yes\"");
    EXPECT_FALSE(testutil::Exists(env.dir / "run/talonib.lock"));  // refused before anything

    testutil::WriteFile(env.dir / "blocked", "");
    auto lock = Start({}, {{"VELLUMARK_RUN_DIR", env.dir / "blocked/run"}});
    EXPECT_EQ(lock->Wait(20000), 1);
    lines = Lines(lock->Stderr());
    ASSERT_EQ(lines.size(), 1u) << lock->Stderr();
    EXPECT_NE(lines[0].find("cannot create the instance lock " + env.dir / "blocked/run/"),
              std::string::npos);
    EXPECT_NE(lines[0].find("set VELLUMARK_RUN_DIR"), std::string::npos);

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
    lines = Lines(nobody.Stderr());
    ASSERT_EQ(lines.size(), 1u) << nobody.Stderr();
    EXPECT_NE(lines[0].find("permission denied"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("run talonib as root"), std::string::npos) << lines[0];

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(50004);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    auto port = Start();
    EXPECT_EQ(port->Wait(20000), 1);
    ::close(fd);
    EXPECT_FALSE(notify.WaitFor("READY=1", 0));
    EXPECT_NE(env.DebugLog().find("port 50004 is already in use"), std::string::npos);
    lines = Lines(port->Stderr());
    ASSERT_EQ(lines.size(), 1u) << port->Stderr();
    EXPECT_NE(lines[0].find("talonib: port 50004 is already in use by another program on "
                            "127.0.0.1"),
              std::string::npos);
    EXPECT_NE(lines[0].find("VELLUMARK_ORB_HOST"), std::string::npos);
}

// An outgoing connection the kernel gave port 50004 to (a client's own end) keeps the ORB
// from listening as a listener would, but it goes away: the start waits for it, with
// systemd told, and gives up only after its limit, saying how to keep it from happening.
TEST_F(OperabilityTest, AConnectionHoldingThePortIsWaitedForAndAListenerIsNot) {
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&a), &len), 0);
    // Close-on-exec: the service must not inherit the connection it waits for.
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(50004);
    // On an address of its own: earlier services' connections may linger in TIME_WAIT on
    // 127.0.0.1:50004, where a socket without SO_REUSEADDR could not be bound.
    own.sin_addr.s_addr = htonl(0x7f000002);
    ASSERT_EQ(::bind(client, reinterpret_cast<sockaddr*>(&own), sizeof own), 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);

    auto gaveUp =
        Start({}, {{"VELLUMARK_PORT_WAIT_MS", "300"}, {"VELLUMARK_ORB_HOST", "127.0.0.2"}});
    EXPECT_EQ(gaveUp->Wait(20000), 1);
    auto lines = Lines(gaveUp->Stderr());
    ASSERT_EQ(lines.size(), 1u) << gaveUp->Stderr();
    EXPECT_NE(lines[0].find("talonib: port 50004 is still held by a connection"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("net.ipv4.ip_local_reserved_ports"), std::string::npos) << lines[0];
    // systemd's start timeout covers the wait and ten seconds more.
    EXPECT_TRUE(notify.WaitFor("EXTEND_TIMEOUT_USEC=10300000\nSTATUS=waiting for port 50004", 0));

    // A stop while it waits ends the wait.
    const std::map<std::string, std::string> host{{"VELLUMARK_ORB_HOST", "127.0.0.2"}};
    auto stopped = Start({}, host);
    EXPECT_TRUE(notify.WaitFor("STATUS=waiting for port 50004", 30000)) << env.DebugLog();
    stopped->Signal(SIGTERM);
    EXPECT_EQ(stopped->Wait(20000), 1);
    EXPECT_EQ(stopped->Stderr(), "");
    EXPECT_NE(env.DebugLog().find("stopped while waiting for port 50004"), std::string::npos);

    auto service = Start({}, host);
    EXPECT_TRUE(notify.WaitFor("STATUS=waiting for port 50004", 30000)) << env.DebugLog();
    EXPECT_FALSE(notify.WaitFor("READY=1", 0));
    // Our side closes last, once it has seen the other's close: no TIME_WAIT on 50004.
    ::close(accepted);
    char byte;
    EXPECT_EQ(::recv(client, &byte, 1, 0), 0);
    ::close(client);
    EXPECT_TRUE(notify.WaitFor("READY=1", 30000)) << env.DebugLog();
    EXPECT_NE(env.DebugLog().find("port 50004 released after"), std::string::npos);
    Stop(service);
    ::close(server);
}

TEST_F(OperabilityTest, WithoutPreferenceFileTheServiceWaitsForTheServersFolder) {
    auto service = StartReady({{"VELLUMARK_PREFS", env.dir / "nowhere/talonib.xml"}});
    EXPECT_NE(env.DebugLog().find("no preference file " + env.dir / "nowhere/talonib.xml" +
                                  ", an empty store"),
              std::string::npos);
    sim::ServiceClient client(Orb());
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 1, false), 10017);  // no folder yet
    EXPECT_TRUE(client.SetBackupFolder(env.dir / "backup"));
    EXPECT_TRUE(testutil::IsDir(env.dir / "backup/InProgress"));
    client.Stop();
    EXPECT_EQ(service->Wait(10000), 0);
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
    ASSERT_TRUE(testutil::Eventually(
        [&] { return testutil::ReadFile(log).find("logs reopened") != std::string::npos; }, 10000));
    EXPECT_TRUE(testutil::IsFile(trace));
    sim::ServiceClient client(Orb());
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 1, false), 10017);
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), 0);
    EXPECT_NE(testutil::ReadFile(log + ".1").find("serving requests"), std::string::npos);
    EXPECT_EQ(testutil::ReadFile(log + ".1").find("message loop ended"), std::string::npos);
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
    sim::ServiceClient client(Orb());

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
