// A server component: its own thread and queue, and a link to the database server's event
// hub. The hub reaches the component through a ServerComponent object served by the root
// POA; the component reaches the hub through the EventLink the hub hands out.
//
// Component messages: 100 ends Main (AbortMain); 2001 an event delivered by the hub.
// While linked, Main pings the link every few seconds; when the hub no longer answers the
// component drops the link, is suspended and posts kMsgLinkLost to the application's main thread.
#pragma once

#include <omniORB4/CORBA.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "idl/Talon.hh"
#include "platform/framework/EventHelper.h"
#include "platform/framework/TalonError.h"
#include "platform/support/Thread.h"

namespace Talon {

class ComponentServant;

class ComponentBaseThread : public Mirel::Thread {
public:
    static constexpr std::int32_t kMsgEvent = 2001;
    static constexpr std::int32_t kMsgNotification = 2002;
    static constexpr std::int32_t kMsgInfo = 2003;
    static const char* const kEventHubKey;  // "/%ffomniINSPOA%ffEventHubPOA%00VLServer"

    ComponentBaseThread(CORBA::ORB_ptr orb, TalonTypes::eServiceType type, bool autoConnect,
                        bool ownPOA);
    ~ComponentBaseThread() override;

    // Creates the component's object and starts its thread.
    Error Init();
    const char* GetName() const override { return "ComponentBaseThread"; }
    void Main() override;
    void AbortMain();

    // Links to the hub at address:port; the port is stored back (the one actually used).
    Error ConnectToEventHub(const char* address, unsigned long* reserved1, unsigned short* port,
                            unsigned long* reserved2);
    // The current link (a new reference; nil when not linked). The argument is reserved.
    Talon::EventLink_ptr GetEventLink(unsigned long which);
    Error SendComponentInfo(bool full);
    Error SendStoppingNotice(unsigned long linkID);
    Error SendNotification(long code, long param1, long param2, const CORBA::Any& payload,
                           unsigned long flags);
    Error SendNotification(long code, long param1, long param2, unsigned long flags);
    // Records a numbered event with its texts at the hub.
    Error WriteInfo(std::int32_t code, const std::vector<Mirel::unistring>& texts, bool urgent,
                    void* reserved);
    // The same, done later on the component's own thread, in the order queued: a slow hub
    // (a call may take 15 s) then never holds up the caller. An event record the hub does
    // not take goes to the system log, unless `logged` says it is there already. False when
    // the thread no longer runs.
    bool QueueNotification(long code, long param1, long param2, const CORBA::Any& payload);
    bool QueueInfo(std::int32_t code, const std::vector<Mirel::unistring>& texts,
                   bool logged = false);
    // Whether the link answers (a short call) and leads to this address and port.
    bool LinkAlive(const char* address, unsigned short port);

    TalonTypes::eComponentStatus GetStatus() const { return mStatus.load(); }
    void SetStatus(TalonTypes::eComponentStatus s) { mStatus.store(s); }
    unsigned long GetLinkID() const { return mLinkID.load(); }

    // (class, code) pairs ended by (-1, 0); `count` pairs are used.
    void SetSubscriptions(const std::int32_t (*pairs)[2], int count);

    // Hooks.
    virtual void Process(EventHelper& event);
    virtual void OnEvent(EventHelper& event);
    virtual void OnEventProcessed() {}
    virtual bool OnStopRequest() { return true; }
    virtual void OnDeactivate() {}
    virtual void OnPrefsChanged() {}
    virtual void OnCheckOtherMsgCodes(Mirel::Msg* msg);
    virtual void OnThreadExit() {}

    // Called by the component's servant on an ORB thread.
    void Deliver(std::int32_t eventClass, std::int32_t eventCode,
                 std::vector<Mirel::unistring> texts);

    // Drops the link only if it is still `checked`: a newer link stays. (What the link
    // check does with a link that stopped answering.)
    void DropLink(Talon::EventLink_ptr checked);

protected:
    Talon::EventLink_var LinkCopy();
    void DropLink();

    std::atomic<unsigned long> mLinkID{0};

private:
    bool PingLink(Talon::EventLink_ptr link, unsigned long timeoutMs);
    void Handle(Mirel::Msg& msg);

    CORBA::ORB_var mORB;
    TalonTypes::eServiceType mType;
    std::atomic<TalonTypes::eComponentStatus> mStatus{TalonTypes::kCS_Loaded};
    std::mutex mM;  // guards mLink, mSubscriptions, mSelf
    Talon::EventLink_var mLink;
    Talon::ServerComponent_var mSelf;
    ComponentServant* mServant = nullptr;
    std::vector<TalonTypes::EventId> mSubscriptions;
    std::string mHubAddress;  // where the current link leads (guarded by mM)
    unsigned short mHubPort = 0;
    std::atomic<bool> mMainRunning{false};
};

}  // namespace Talon
