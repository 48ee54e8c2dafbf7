// A loopback connection's other end's owner, and what holds a port, as the kernel says.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/support/Orb.h"
#include "platform/support/SocketDiag.h"
#include "tests/Process.h"

namespace {

Mirel::TcpEndpoint Local(int fd, bool peer) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
         : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    Mirel::TcpEndpoint e;
    e.family = AF_INET;
    std::memcpy(e.address.data(), &a.sin_addr, 4);
    e.port = ntohs(a.sin_port);
    return e;
}

// A listener on a free loopback port, a client of it and the end it accepted (-1: failed).
struct Loopback {
    int server = -1, client = -1, accepted = -1;
};
Loopback Connect() {
    Loopback l;
    sockaddr_in a{};
    if ((l.server = testutil::ListenLoopback(0, &a)) < 0) return l;
    l.client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(l.client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        l.accepted = ::accept(l.server, nullptr, nullptr);
    return l;
}

}  // namespace

TEST(SocketDiagTest, GiopAddressesParse) {
    struct Case {
        const char* text;
        bool ok;
        const char* shown;
    };
    for (Case c : {Case{"giop:tcp:127.0.0.1:50004", true, "127.0.0.1:50004"},
                   Case{"giop:tcp:[::1]:40000", true, "[::1]:40000"},
                   Case{"giop:tcp:localhost:40000", false, ""},
                   Case{"giop:tcp:127.0.0.1:70000", false, ""}}) {
        Mirel::TcpEndpoint e;
        EXPECT_EQ(Mirel::ParseGiopTcpAddress(c.text, e), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(e.ToString(), c.shown);
        }
    }
    Mirel::TcpEndpoint e;
    EXPECT_FALSE(Mirel::ParseGiopTcpAddress(nullptr, e));
}

// A client socket is its owner's (root's, or nobody's from a child); a closed one nobody's.
TEST(SocketDiagTest, TheKernelNamesTheOwnerOfAnOpenPeerSocketOnly) {
    const Loopback l = Connect();
    ASSERT_GE(l.accepted, 0);
    const int server = l.server, client = l.client, accepted = l.accepted;
    Mirel::TcpEndpoint listening = Local(server, false);
    Mirel::TcpEndpoint peer = Local(accepted, true), own = Local(accepted, false);

    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(peer, own), ::geteuid());
    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(peer, own, true), ::geteuid());
    EXPECT_TRUE(Mirel::SocketDiag::Available());
    // Another port, or the sides swapped, is another socket.
    Mirel::TcpEndpoint elsewhere = peer;
    elsewhere.port = static_cast<std::uint16_t>(peer.port == 65535 ? 1024 : peer.port + 1);
    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(elsewhere, own), std::nullopt);
    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(own, peer), ::geteuid());  // our accepted socket
    // Threads' answers never cross, and a refused query leaves nothing for the next.
    std::thread other([&] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(Mirel::SocketDiag::PeerOwner(elsewhere, own), std::nullopt);
            EXPECT_EQ(Mirel::SocketDiag::PeerOwner(peer, own), ::geteuid());
        }
    });
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(Mirel::SocketDiag::PeerOwner(own, peer), ::geteuid());
        EXPECT_EQ(Mirel::SocketDiag::PeerOwner(elsewhere, peer), std::nullopt);
    }
    other.join();

    // A connection made by nobody.
    testutil::Child nobody(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-c",
         "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(listening.port) +
             "; echo connected; read line"},
        {});
    ASSERT_TRUE(nobody.WaitForLine("connected", 10000));
    int fromNobody = ::accept(server, nullptr, nullptr);
    ASSERT_GE(fromNobody, 0);
    Mirel::TcpEndpoint nobodysPeer = Local(fromNobody, true);
    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(nobodysPeer, own), 65534u);
    // We close our side: nobody's socket is still open, but no longer established.
    ::close(fromNobody);
    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(nobodysPeer, own), 65534u);
    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(nobodysPeer, own, true), std::nullopt);
    nobody.Write("\n");
    EXPECT_EQ(nobody.Wait(10000), 0);

    // The client closes: what lingers of its socket names no owner.
    ::close(client);
    EXPECT_EQ(Mirel::SocketDiag::PeerOwner(peer, own), std::nullopt);
    ::close(accepted);
    ::close(server);
}

TEST(SocketDiagTest, APortTakenByAListenerIsToldFromOneAConnectionHolds) {
    using Use = Mirel::IPAddress::PortUse;
    // An outgoing connection's own port: no program listens there, yet the ORB could not.
    const Loopback l = Connect();
    ASSERT_GE(l.accepted, 0);
    const std::uint16_t listening = Local(l.server, false).port, own = Local(l.client, false).port;
    EXPECT_EQ(Mirel::SocketDiag::Listening(listening), true);
    EXPECT_EQ(Mirel::IPAddress::PortUseOf("127.0.0.1", listening), Use::kListening);
    EXPECT_EQ(Mirel::SocketDiag::Listening(own), false);
    EXPECT_EQ(Mirel::IPAddress::PortUseOf("127.0.0.1", own), Use::kConnection);
    // Closed first, it waits out TIME_WAIT on that port, and still holds it.
    ::close(l.client);
    ::close(l.accepted);
    EXPECT_EQ(Mirel::IPAddress::PortUseOf("127.0.0.1", own), Use::kConnection);
    ::close(l.server);
    EXPECT_EQ(Mirel::SocketDiag::Listening(listening), false);
}
