// Local callers who may not drive the service, against the service as a real process:
//   caller_bench [TALONIB]    (as root, in scripts/isolated)
//     starts the service, times an allowed caller's calls (root's SetBackupFolder, each on
//     a new connection) at rest and while 40, then 200, connections of "nobody" trickle
//     requests at one byte every two seconds; then floods the service with refused calls
//     and reports the debug log's bytes per refused call.
// Its parts, also used by the tests:
//   caller_bench trickle N USER     N connections trickling requests until standard input ends
//   caller_bench flood N SIZE USER  N SetBackupFolder calls with a SIZE-character path
//   caller_bench probe N FOLDER     N timed calls, each on a new connection: one line of
//                                   milliseconds each, then "answered K"
//   caller_bench from PORT USER FOLDER  one call from 127.0.0.1:PORT: "answered" or "refused"
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "tests/Process.h"
#include "tools/sim/ServiceClient.h"

using Clock = std::chrono::steady_clock;

namespace {

// Becomes USER for good, with no supplementary groups.
bool BecomeUser(const std::string& user) {
    passwd* pw = ::getpwnam(user.c_str());
    if (!pw) {
        std::cerr << "no user " << user << "\n";
        return false;
    }
    return ::setgroups(0, nullptr) == 0 && ::setgid(pw->pw_gid) == 0 && ::setuid(pw->pw_uid) == 0;
}

// A GIOP 1.2 request header announcing a 1000-byte body that never comes whole.
const unsigned char kRequest[] = {'G', 'I', 'O', 'P', 1, 2, 1, 0, 0xe8, 0x03, 0, 0};

// Each connection sends the next byte of its request every two seconds; a connection the
// service closed is opened again at its next turn.
int Trickle(int n, const std::string& user) {
    if (!BecomeUser(user)) return 1;
    struct Slow {
        int fd = -1;
        std::size_t sent = 0;
    };
    std::vector<Slow> conns(static_cast<std::size_t>(n));
    // The first byte of every request at once, then one byte a turn.
    auto turn = [&](Slow& c) {
        char b;
        bool closed = c.fd < 0 || ::recv(c.fd, &b, 1, MSG_DONTWAIT) == 0;
        const unsigned char* next = c.sent < sizeof kRequest
                                        ? kRequest + c.sent
                                        : reinterpret_cast<const unsigned char*>("x");
        if (!closed) closed = ::send(c.fd, next, 1, MSG_NOSIGNAL) != 1;
        if (!closed) {
            ++c.sent;
            return false;
        }
        if (c.fd >= 0) ::close(c.fd);
        c.fd = testutil::ConnectLoopback();
        c.sent = 0;
        return true;
    };
    for (auto& c : conns) {
        c.fd = testutil::ConnectLoopback();
        turn(c);
    }
    std::cout << "ready" << std::endl;
    auto tick = std::chrono::milliseconds(2000) / n;
    std::size_t next = 0;
    unsigned long reopened = 0;
    for (;;) {
        pollfd in{0, POLLIN, 0};
        if (::poll(&in, 1, static_cast<int>(std::max<long>(1, tick.count()))) > 0) break;
        reopened += turn(conns[next]);
        next = (next + 1) % conns.size();
    }
    std::cout << "reopened " << reopened << std::endl;
    return 0;
}

int Flood(int n, std::size_t size, const std::string& user) {
    if (!user.empty() && !BecomeUser(user)) return 1;
    sim::ServiceClient client(testutil::ClientOrb());
    std::string path = "/" + std::string(size, 'p');
    int refused = 0, answered = 0, failed = 0;
    for (int i = 0; i < n; ++i) {
        try {
            client.SetBackupFolder(path);
            ++answered;
        } catch (const CORBA::NO_PERMISSION&) {
            ++refused;
        } catch (const CORBA::Exception&) {
            ++failed;
        }
    }
    std::cout << "refused " << refused << " answered " << answered << " failed " << failed
              << std::endl;
    return 0;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Probes {
    std::vector<double> ms;
    int answered = 0;
    double At(double q) const {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
    }
};

// A connection from 127.0.0.1:`port`: the same two addresses as an earlier connection from
// that port. The kernel lets the port go again a second after the earlier one closed: asked
// again until then.
int ConnectFrom(std::uint16_t port) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            a.sin_port = htons(50004);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

// SetBackupFolder(folder) as GIOP 1.2 bytes (little-endian), sent on a new connection (from
// `port` when given): the call alone is timed, not a client's start-up. True when the
// service answered true.
bool CallOnNewConnection(const std::string& folder, std::uint16_t port = 0) {
    std::vector<unsigned char> m = {'G', 'I', 'O', 'P', 1, 2, 1, 0, 0, 0, 0, 0};
    auto align = [&](std::size_t a) {
        while (m.size() % a) m.push_back(0);
    };
    auto ulong = [&](std::uint32_t v) {
        align(4);
        for (int i = 0; i < 4; ++i) m.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    const std::string key = std::string("\xff") + "omniINSPOA" + "\xff" + "IBSEventPOA" +
                            std::string(1, '\0') + "ZAVORIdava";
    const std::string op = "SetBackupFolder";
    ulong(1);                                       // request id
    m.insert(m.end(), {3, 0, 0, 0, 0, 0});          // response expected; KeyAddr
    ulong(static_cast<std::uint32_t>(key.size()));  // object key
    m.insert(m.end(), key.begin(), key.end());
    ulong(static_cast<std::uint32_t>(op.size() + 1));  // operation
    m.insert(m.end(), op.begin(), op.end());
    m.push_back(0);
    ulong(0);  // no service contexts
    align(8);
    ulong(static_cast<std::uint32_t>(folder.size() + 1));  // CompressedString, raw (tag 0)
    m.insert(m.end(), {0, 0});
    for (char c : folder) m.insert(m.end(), {static_cast<unsigned char>(c), 0});
    std::uint32_t size = static_cast<std::uint32_t>(m.size() - 12);
    for (int i = 0; i < 4; ++i) m[8 + i] = static_cast<unsigned char>(size >> (8 * i));

    int fd = port ? ConnectFrom(port) : testutil::ConnectLoopback();
    if (fd < 0) return false;
    std::vector<unsigned char> reply;
    bool sent = ::send(fd, m.data(), m.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(m.size());
    while (sent) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) break;
        unsigned char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.insert(reply.end(), buf, buf + n);
        if (reply.size() >= 12) {
            std::uint32_t body = reply[8] | reply[9] << 8 | reply[10] << 16 |
                                 static_cast<std::uint32_t>(reply[11]) << 24;
            if (reply.size() >= 12 + body) break;
        }
    }
    ::close(fd);
    // Reply: request id, status 0 (no exception), no service contexts, the boolean at 24.
    return reply.size() >= 25 && reply[7] == 1 && reply[16] == 0 && reply[20] == 0 &&
           reply[24] == 1;
}

Probes Probe(const std::string& folder, int count) {
    Probes p;
    for (int i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        p.answered += CallOnNewConnection(folder);
        p.ms.push_back(Ms(Clock::now() - t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return p;
}

void Print(const char* what, const Probes& p, const Probes& base) {
    std::printf("%-34s %2d/%zu answered  p50 %6.1f ms  p90 %6.1f ms  max %7.1f ms  (p50 x%.2f)\n",
                what, p.answered, p.ms.size(), p.At(0.5), p.At(0.9), p.At(1.0),
                p.At(0.5) / base.At(0.5));
}

int Measure(const std::string& self, const std::string& talonib) {
    testutil::ServiceEnv env;
    std::string folder = env.dir / "backup";
    testutil::WriteFile(env.dir / "prefs.xml",
                        "<preferences>\n  <pref id=\"67\" type=\"int\">1</pref>\n"
                        "  <pref id=\"68\" type=\"text\">" +
                            folder + "</pref>\n</preferences>\n");
    testutil::NotifySocket notify(env.dir / "notify");
    testutil::Child service({talonib}, env.Env());
    if (!notify.WaitFor("READY=1", 30000)) return 1;
    const int kProbes = 30;
    Probes base = Probe(folder, kProbes);
    Print("at rest", base, base);
    for (int n : {40, 200}) {
        testutil::Child slow({self, "trickle", std::to_string(n), "nobody"}, {});
        if (!slow.WaitForLine("ready", 30000)) return 1;
        Probes p = Probe(folder, kProbes);
        std::string what = std::to_string(n) + " slow connections of nobody";
        Print(what.c_str(), p, base);
        slow.Write("x");
        slow.Wait(30000);
    }
    // Refused calls: a stranger's (refused before they are read) and root's announcements of
    // files that are not there (refused by the intake), each with 60,000-character paths.
    auto logSize = [&] { return testutil::ReadFile(env.dir / "log/talonibDebug.log").size(); };
    const int kCalls = 2000;
    auto before = logSize();
    testutil::Child flood({self, "flood", std::to_string(kCalls), "60000", "nobody"}, {});
    flood.Wait(600000);
    std::string result = flood.Stdout();
    if (!result.empty()) result.pop_back();
    auto after = logSize();
    std::printf("%d calls of nobody (%s): debug log +%zu bytes, %.2f bytes a call\n", kCalls,
                result.c_str(), after - before, static_cast<double>(after - before) / kCalls);
    sim::ServiceClient root(testutil::ClientOrb());
    std::string path = folder + "/Changes/Redo_1/" + std::string(60000, 'p') + ".vrl";
    int refused = 0;
    before = logSize();
    for (int i = 0; i < kCalls; ++i) refused += root.RedoLogIsReady(path, "u", true) == 10008;
    after = logSize();
    std::printf(
        "%d announcements of root refused with 10008 (%d): debug log +%zu bytes, %.2f "
        "bytes a call\n",
        kCalls, refused, after - before, static_cast<double>(after - before) / kCalls);
    service.Signal(SIGTERM);
    return service.Wait(30000) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv, argv + argc);
    if (a.size() == 4 && a[1] == "trickle") return Trickle(std::stoi(a[2]), a[3]);
    if (a.size() == 5 && a[1] == "flood") return Flood(std::stoi(a[2]), std::stoul(a[3]), a[4]);
    if (a.size() == 5 && a[1] == "from") {
        if (!BecomeUser(a[3])) return 1;
        const bool answered =
            CallOnNewConnection(a[4], static_cast<std::uint16_t>(std::stoi(a[2])));
        std::cout << (answered ? "answered" : "refused") << std::endl;
        return 0;
    }
    if (a.size() == 4 && a[1] == "probe") {
        Probes p = Probe(a[3], std::stoi(a[2]));
        for (double ms : p.ms) std::printf("%.1f\n", ms);
        std::printf("answered %d\n", p.answered);
        return 0;
    }
    std::string self = "/proc/self/exe";
    char buf[4096];
    ssize_t len = ::readlink(self.c_str(), buf, sizeof buf - 1);
    if (len > 0) self.assign(buf, static_cast<std::size_t>(len));
    return Measure(self, a.size() > 1 ? a[1] : "build/talonib");
}
