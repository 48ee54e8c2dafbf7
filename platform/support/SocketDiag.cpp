#include "platform/support/SocketDiag.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace Mirel {

namespace {

// Kernel TCP states (include/net/tcp_states.h).
constexpr int kEstablished = 1;
constexpr int kTimeWait = 6;
constexpr int kListen = 10;

std::size_t AddressBytes(int family) {
    return family == AF_INET6 ? 16 : 4;
}

struct DiagRequest {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
};

// A query for TCP sockets of `family` in `states`, with NLM_F_REQUEST and `flags`.
DiagRequest MakeRequest(int family, std::uint32_t states, std::uint16_t flags = 0) {
    DiagRequest msg{};
    msg.nlh.nlmsg_len = sizeof msg;
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    msg.req.sdiag_family = static_cast<std::uint8_t>(family);
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = states;
    return msg;
}

// A netlink socket of the thread's own, kept for its queries, with a receive timeout so
// that a query never hangs: a socket made for every call cost three system calls more per
// call. Each query has a sequence number of its own, and only an answer that carries it
// counts: an answer to an earlier query that timed out is passed over.
class DiagSocket {
public:
    static DiagSocket& OfThisThread() {
        thread_local DiagSocket socket;
        return socket;
    }
    ~DiagSocket() { Drop(); }
    // The socket at `src` connected to `dst`.
    bool Send(const TcpEndpoint& src, const TcpEndpoint& dst) {
        DiagRequest msg = MakeRequest(dst.family, ~0u);
        msg.req.id.idiag_sport = htons(src.port);
        msg.req.id.idiag_dport = htons(dst.port);
        std::memcpy(msg.req.id.idiag_src, src.address.data(), AddressBytes(src.family));
        std::memcpy(msg.req.id.idiag_dst, dst.address.data(), AddressBytes(dst.family));
        msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
        msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
        return Send(msg);
    }
    // Any query, under the next sequence number.
    bool Send(DiagRequest msg) {
        if (mFd < 0) Open();
        if (mFd < 0) return false;
        msg.nlh.nlmsg_seq = ++mSeq;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(mFd, &msg, sizeof msg, 0, reinterpret_cast<const sockaddr*>(&kernel),
                     sizeof kernel) == static_cast<ssize_t>(sizeof msg))
            return true;
        Drop();
        return false;
    }
    // Calls `each` for the socket in the answer to the last query sent, or, for a dump, for
    // every socket until the dump is done; false on an error or a timeout (a socket that does
    // not exist is an error). A failed receive gives up the socket: the next query starts on
    // a fresh one.
    template <class F>
    bool Receive(F each, bool dump = false) {
        for (;;) {
            ssize_t n = ::recv(mFd, mBuf.data(), mBuf.size(), 0);
            if (n <= 0) {
                Drop();
                return false;
            }
            // The walk NLMSG_OK and NLMSG_NEXT make, in unsigned sizes: the macros mix the
            // signs of their operands.
            char* at = mBuf.data();
            std::size_t left = static_cast<std::size_t>(n);
            bool answered = false;
            while (left >= sizeof(nlmsghdr)) {
                auto* h = reinterpret_cast<nlmsghdr*>(at);
                if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > left) break;
                if (h->nlmsg_seq == mSeq) {
                    if (h->nlmsg_type == NLMSG_ERROR) return false;
                    if (h->nlmsg_type == NLMSG_DONE) return true;
                    if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
                        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return false;
                        each(*static_cast<const inet_diag_msg*>(NLMSG_DATA(h)));
                    }
                    answered = true;
                }
                const std::size_t step = NLMSG_ALIGN(h->nlmsg_len);
                if (step >= left) break;
                at += step;
                left -= step;
            }
            if (answered && !dump) return true;
        }
    }

private:
    DiagSocket() : mBuf(8192) {}
    void Open() {
        mFd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (mFd < 0) return;
        timeval tv{1, 0};
        ::setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    void Drop() {
        if (mFd >= 0) ::close(mFd);
        mFd = -1;
    }
    int mFd = -1;
    std::uint32_t mSeq = 0;
    std::vector<char> mBuf;
};

bool SameAddress(const __be32* a, const TcpEndpoint& e) {
    return std::memcmp(a, e.address.data(), AddressBytes(e.family)) == 0;
}

}  // namespace

std::string TcpEndpoint::ToString() const {
    char text[INET6_ADDRSTRLEN] = "?";
    ::inet_ntop(family, address.data(), text, sizeof text);
    std::string host = family == AF_INET6 ? "[" + std::string(text) + "]" : text;
    return host + ":" + std::to_string(port);
}

bool ParseGiopTcpAddress(const char* text, TcpEndpoint& out) {
    static const char kPrefix[] = "giop:tcp:";
    if (!text || std::strncmp(text, kPrefix, sizeof kPrefix - 1) != 0) return false;
    std::string rest = text + sizeof kPrefix - 1;
    auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon + 1 >= rest.size()) return false;
    std::string host = rest.substr(0, colon), port = rest.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long p = std::stoul(port);
    if (p == 0 || p > 65535) return false;
    TcpEndpoint e;
    e.port = static_cast<std::uint16_t>(p);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        e.family = AF_INET6;
        if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), e.address.data()) != 1)
            return false;
    } else {
        e.family = AF_INET;
        if (::inet_pton(AF_INET, host.c_str(), e.address.data()) != 1) return false;
    }
    out = e;
    return true;
}

std::optional<uid_t> SocketDiag::PeerOwner(const TcpEndpoint& peer, const TcpEndpoint& local,
                                           bool established) {
    if (peer.family != local.family) return std::nullopt;
    DiagSocket& s = DiagSocket::OfThisThread();
    if (!s.Send(peer, local)) return std::nullopt;
    std::optional<uid_t> owner;
    s.Receive([&](const inet_diag_msg& m) {
        // Only the very socket asked for, open in a process: a closed socket that lingers
        // (TIME_WAIT, or orphaned and still sending) reports no owner or root's.
        if (m.idiag_family != peer.family || m.idiag_state == kTimeWait ||
            m.idiag_state == kListen || m.idiag_inode == 0 ||
            (established && m.idiag_state != kEstablished))
            return;
        if (ntohs(m.id.idiag_sport) != peer.port || ntohs(m.id.idiag_dport) != local.port ||
            !SameAddress(m.id.idiag_src, peer) || !SameAddress(m.id.idiag_dst, local))
            return;
        owner = m.idiag_uid;
    });
    return owner;
}

std::optional<bool> SocketDiag::Listening(std::uint16_t port) {
    // A dump of the listening sockets of each family: they are few, and a dump needs no
    // address to match.
    DiagSocket& s = DiagSocket::OfThisThread();
    bool found = false;
    for (int family : {AF_INET, AF_INET6}) {
        auto listens = [&](const inet_diag_msg& m) {
            found |= m.idiag_state == kListen && ntohs(m.id.idiag_sport) == port;
        };
        if (!s.Send(MakeRequest(family, 1u << kListen, NLM_F_DUMP)) || !s.Receive(listens, true))
            return std::nullopt;
    }
    return found;
}

bool SocketDiag::Available() {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace Mirel
