// Who is at the other end of a local TCP connection, as the kernel knows it: the owner of
// the peer's socket, asked through NETLINK_SOCK_DIAG (inet_diag). Nothing is read from
// /proc, and the answer cannot be forged by what the peer sends.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace Mirel {

struct TcpEndpoint {
    int family = 0;                          // AF_INET or AF_INET6
    std::array<std::uint8_t, 16> address{};  // network order; IPv4 in the first 4 bytes
    std::uint16_t port = 0;                  // host order

    bool operator==(const TcpEndpoint& o) const {
        return family == o.family && address == o.address && port == o.port;
    }
    bool operator!=(const TcpEndpoint& o) const { return !(*this == o); }
    std::string ToString() const;  // "127.0.0.1:50004", "[::1]:50004"
};

// The ORB's form of an address, "giop:tcp:127.0.0.1:40000" or "giop:tcp:[::1]:40000".
// False for other transports and for anything malformed.
bool ParseGiopTcpAddress(const char* text, TcpEndpoint& out);

class SocketDiag {
public:
    // The owner of the open socket at `peer` that is connected to `local` (one of our own
    // connections seen from its other end). Nothing when the kernel has no such socket
    // open in this network namespace: the peer is on another machine, or it has closed its
    // socket already (a socket no process holds has no owner worth trusting), or the query
    // failed. With `established`, also nothing once either side has begun to close.
    static std::optional<uid_t> PeerOwner(const TcpEndpoint& peer, const TcpEndpoint& local,
                                          bool established = false);

    // Whether a socket in this network namespace listens on TCP `port`, on any address of
    // either family. Nothing when the kernel could not be asked.
    static std::optional<bool> Listening(std::uint16_t port);

    // False when the kernel cannot be asked at all (no AF_NETLINK for this process).
    static bool Available();
};

}  // namespace Mirel
