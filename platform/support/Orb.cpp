#include "platform/support/Orb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/support/Debug.h"
#include "platform/support/SocketDiag.h"

namespace Mirel {

IPAddress::PortUse IPAddress::PortUseOf(const std::string& host, unsigned int port) {
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    const bool four = ::inet_pton(AF_INET, bare.c_str(), &v4.sin_addr) == 1;
    const bool six = !four && ::inet_pton(AF_INET6, bare.c_str(), &v6.sin6_addr) == 1;
    // A name rather than an address: the wildcard, which collides with anything there.
    if (!four && !six) v4.sin_addr.s_addr = htonl(INADDR_ANY);
    int fd = ::socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return PortUse::kFree;
    // The ORB sets SO_REUSEADDR too, so our own connections left in TIME_WAIT do not count.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc = six ? ::bind(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6)
                 : ::bind(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4);
    bool inUse = rc != 0 && errno == EADDRINUSE;
    ::close(fd);
    if (!inUse) return PortUse::kFree;
    // SO_REUSEADDR does not reach past a connection whose own socket lacked it, even one in
    // TIME_WAIT: the bind fails as if a program listened.
    auto listening = SocketDiag::Listening(static_cast<std::uint16_t>(port));
    return listening && !*listening ? PortUse::kConnection : PortUse::kListening;
}

std::string BuildCorbalocString(const char* host, unsigned int port, const char* objectKey,
                                bool explicitProtocol) {
    std::string out = explicitProtocol ? "corbaloc:iiop:1.2@" : "corbaloc::";
    out += host && *host ? host : "127.0.0.1";
    out += ":" + std::to_string(port);
    out += objectKey ? objectKey : "/";
    return out;
}

namespace {
const char* Completion(CORBA::CompletionStatus s) {
    switch (s) {
        case CORBA::COMPLETED_YES:
            return "yes";
        case CORBA::COMPLETED_NO:
            return "no";
        default:
            return "maybe";
    }
}
}  // namespace

void LogCorbaSystemException(const char* where, const CORBA::SystemException& e, const char* what,
                             int category) {
    MIREL_DEBUG(category, where << ": " << what << " raised CORBA::" << e._name() << " minor 0x"
                                << std::hex << e.minor() << std::dec << ", completed "
                                << Completion(e.completed()));
}

void LogCorbaException(const char* where, const CORBA::Exception& e, const char* what,
                       int category) {
    MIREL_DEBUG(category,
                where << ": " << what << " raised " << e._name() << " (" << e._rep_id() << ")");
}

void LogOmniFatalException(const char* where, const omniORB::fatalException& e, const char* what,
                           int category) {
    MIREL_DEBUG(category, where << ": " << what << " hit omniORB fatal error in " << e.file()
                                << " line " << e.line() << ": " << e.errmsg());
}

}  // namespace Mirel
