// Helpers for the ORB side: the port test, corbaloc addresses and logging of CORBA errors.
#pragma once

#include <omniORB4/CORBA.h>

#include <string>

namespace Mirel {

struct IPAddress {
    // True when a program already listens on the TCP port, so the ORB could not.
    // family is the address family (2: IPv4, 10: IPv6).
    static bool IsPortAlreadyInUse(unsigned int port, unsigned short family);
};

// "corbaloc::HOST:PORT" followed by the key (which starts with '/'). A null host is the
// loopback address. With explicitProtocol the address names IIOP 1.2.
std::string BuildCorbalocString(const char* host, unsigned int port, const char* objectKey,
                                bool explicitProtocol);

// Debug lines for CORBA failures: where, what was called, the exception and its details.
void LogCorbaSystemException(const char* where, const CORBA::SystemException& e, const char* what,
                             int category);
void LogCorbaException(const char* where, const CORBA::Exception& e, const char* what,
                       int category);
void LogOmniFatalException(const char* where, const omniORB::fatalException& e, const char* what,
                           int category);

}  // namespace Mirel
