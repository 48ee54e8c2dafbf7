// Helpers for the ORB side: the port test, corbaloc addresses and logging of CORBA errors.
#pragma once

#include <omniORB4/CORBA.h>

#include <string>

namespace Mirel {

struct IPAddress {
    enum class PortUse {
        kFree,
        // A program listens on it: the ORB cannot, for as long as that program runs.
        kListening,
        // Only connections hold it as their own end: an outgoing connection the kernel
        // gave the port to, or one that has closed and waits out TIME_WAIT (a minute).
        kConnection,
    };
    // Whether the ORB could listen on `host` (an address, or a name, taken as every
    // address), TCP `port`, now (with SO_REUSEADDR, as it does), and if not, what holds it.
    // When the kernel cannot say, a port that is taken counts as listened on.
    static PortUse PortUseOf(const std::string& host, unsigned int port);
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
