// What the manager asks of the application it runs in. The application gives both at start;
// tests give recording ones. Nothing below the application reaches up to it any other way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/support/unistring.h"

// Runs the interval cycle, and ends the service, on the application's main thread.
class CycleTrigger {
public:
    virtual ~CycleTrigger() = default;
    // Asks for the interval cycle on the main thread; never blocks.
    virtual void CheckIntervals() = 0;
    // The server asked the service to stop and the manager has stopped: end the process.
    virtual void Stopped() = 0;
};

// The link to the database server's event hub.
class EventSink {
public:
    virtual ~EventSink() = default;
    // An event record for the hub (the host's log already has it); never blocks, since the
    // caller may hold the catalogue lock.
    virtual void Event(std::int32_t code, const std::vector<Mirel::unistring>& texts) = 0;
    // Notification 21: the server is to send a new full backup of this database.
    virtual void DatabaseFailed(const Mirel::unistring& uuid) = 0;
    // Links to the hub of a server that registered; true when linked.
    virtual bool LinkServer(const std::string& address, unsigned short port) = 0;
    // Ends the link's thread; Join waits for it.
    virtual void EndLink() = 0;
    virtual void Join() = 0;
};
