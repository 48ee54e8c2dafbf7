// The database server's event hub, as the service sees it: hands out links to components,
// records what they send, and can deliver the server's stop notice.
#pragma once

#include <omniORB4/CORBA.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "idl/Talon.hh"

namespace sim {

class HubLink;

class EventHubServer : public POA_Talon::EventHub {
public:
    static constexpr const char* kPOAName = "EventHubPOA";
    static constexpr const char* kObjectId = "VLServer";

    // Activates the hub under "EventHubPOA" below the ORB's INS POA. `log` receives one line
    // per thing the hub is told.
    EventHubServer(CORBA::ORB_ptr orb, std::function<void(const std::string&)> log);

    Talon::EventLink_ptr ConnectComponent(TalonTypes::eServiceType type, const char* name,
                                          Talon::ServerComponent_ptr peer,
                                          CORBA::ULong& linkID) override;
    void LostConnection() override;

    // Delivers event (8, 2) to every linked component that subscribed to it.
    int SendStopNotice();
    // Forgets every link, as a restarted server would.
    void DropLinks();

    // Called on an ORB thread for every notification, with the UUIDs its payload names.
    void OnNotification(std::function<void(long code, const std::vector<std::string>&)> f);
    // Called on an ORB thread for every event record, with its texts.
    void OnEvent(std::function<void(std::uint32_t code, const std::vector<std::string>&)> f);
    std::size_t LinkCount();
    // The component object of the newest link (nil when there is none): through it the
    // server can tell whether the process it registered with is still the one running.
    Talon::ServerComponent_ptr NewestPeer();

    void Record(const std::string& line);
    void Notified(long code, const std::vector<std::string>& targets);
    void Evented(std::uint32_t code, const std::vector<std::string>& texts);

private:
    CORBA::ORB_var mORB;
    PortableServer::POA_var mLinkPOA;
    std::function<void(const std::string&)> mLog;
    std::function<void(long, const std::vector<std::string>&)> mOnNotification;
    std::function<void(std::uint32_t, const std::vector<std::string>&)> mOnEvent;
    std::mutex mM;
    std::vector<HubLink*> mLinks;
    CORBA::ULong mNextLink = 1;
    friend class HubLink;
};

}  // namespace sim
