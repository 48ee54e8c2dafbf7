#include "platform/support/Orb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/support/Debug.h"

namespace Mirel {

bool IPAddress::IsPortAlreadyInUse(unsigned int port, unsigned short family) {
    int af = family == 10 ? AF_INET6 : AF_INET;
    int fd = ::socket(af, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // The ORB sets SO_REUSEADDR too, so connections left in TIME_WAIT do not count.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc;
    if (af == AF_INET6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        a.sin6_addr = in6addr_any;
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    bool inUse = rc != 0 && errno == EADDRINUSE;
    ::close(fd);
    return inUse;
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
