#include "tools/sim/EventHub.h"

#include <sstream>

#include "platform/framework/EventHelper.h"

namespace sim {

namespace {
std::string Utf8(const Talon::CompressedString& s) {
    return Talon::EventHelper::FromCompressedString(s).ToUTF8();
}
}  // namespace

class HubLink : public POA_Talon::EventLink {
public:
    HubLink(EventHubServer* hub, CORBA::ULong id, std::string name, Talon::ServerComponent_ptr peer)
        : mHub(hub),
          mId(id),
          mName(std::move(name)),
          mPeer(Talon::ServerComponent::_duplicate(peer)) {}

    CORBA::ULong GetLinkID() override { return mId; }
    void Subscribe(const TalonTypes::EventIdSeq& events) override {
        std::ostringstream line;
        line << "subscribe link " << mId << ":";
        {
            std::lock_guard<std::mutex> g(mM);
            for (CORBA::ULong i = 0; i < events.length(); ++i) {
                mEvents.push_back(events[i]);
                line << " " << events[i].eventClass << "/" << events[i].eventCode;
            }
        }
        mHub->Record(line.str());
    }
    void SendComponentInfo(const TalonTypes::ComponentInfo& info) override {
        std::ostringstream line;
        line << "component info link " << mId << ": " << info.name.in() << " type "
             << static_cast<int>(info.type) << " status " << static_cast<int>(info.status)
             << " pid " << info.processId;
        mHub->Record(line.str());
    }
    void SendNotification(CORBA::Long code, CORBA::Long p1, CORBA::Long p2,
                          const CORBA::Any& payload) override {
        std::ostringstream line;
        line << "notification " << code << " link " << mId << " (" << p1 << ", " << p2 << ")";
        const TalonTypes::DebugOperation* op = nullptr;
        std::vector<std::string> targets;
        if (payload >>= op) {
            line << " targets:";
            for (CORBA::ULong i = 0; i < op->mTargets.length(); ++i) {
                targets.push_back(Utf8(op->mTargets[i]));
                line << " " << targets.back();
            }
        }
        mHub->Record(line.str());
        mHub->Notified(code, targets);
    }
    void WriteEvent(CORBA::Long code, const Talon::CompressedStringSeq& texts) override {
        std::ostringstream line;
        line << "event 0x" << std::hex << static_cast<std::uint32_t>(code) << std::dec << " link "
             << mId << ":";
        std::vector<std::string> all;
        for (CORBA::ULong i = 0; i < texts.length(); ++i) {
            all.push_back(Utf8(texts[i]));
            line << " '" << all.back() << "'";
        }
        mHub->Record(line.str());
        mHub->Evented(static_cast<std::uint32_t>(code), all);
    }
    void SendStoppingNotice(CORBA::ULong linkID) override {
        mHub->Record("stopping notice link " + std::to_string(mId) + " (linkID " +
                     std::to_string(linkID) + ")");
    }
    void Disconnect() override { mHub->Record("disconnect link " + std::to_string(mId)); }

    bool Wants(CORBA::Long c, CORBA::Long code) {
        std::lock_guard<std::mutex> g(mM);
        for (const auto& e : mEvents)
            if (e.eventClass == c && e.eventCode == code) return true;
        return false;
    }
    Talon::ServerComponent_ptr Peer() { return mPeer.in(); }
    CORBA::ULong Id() const { return mId; }

private:
    EventHubServer* mHub;
    CORBA::ULong mId;
    std::string mName;
    Talon::ServerComponent_var mPeer;
    std::mutex mM;
    std::vector<TalonTypes::EventId> mEvents;
};

EventHubServer::EventHubServer(CORBA::ORB_ptr orb, std::function<void(const std::string&)> log)
    : mORB(CORBA::ORB::_duplicate(orb)), mLog(std::move(log)) {
    CORBA::Object_var ins = mORB->resolve_initial_references("omniINSPOA");
    PortableServer::POA_var insPOA = PortableServer::POA::_narrow(ins);
    PortableServer::POAManager_var manager = insPOA->the_POAManager();
    CORBA::PolicyList policies;
    policies.length(2);
    policies[0] = insPOA->create_lifespan_policy(PortableServer::PERSISTENT);
    policies[1] = insPOA->create_id_assignment_policy(PortableServer::USER_ID);
    PortableServer::POA_var hubPOA = insPOA->create_POA(kPOAName, manager, policies);
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(kObjectId);
    hubPOA->activate_object_with_id(id, this);
    manager->activate();

    CORBA::Object_var root = mORB->resolve_initial_references("RootPOA");
    mLinkPOA = PortableServer::POA::_narrow(root);
    PortableServer::POAManager_var rootManager = mLinkPOA->the_POAManager();
    rootManager->activate();
}

Talon::EventLink_ptr EventHubServer::ConnectComponent(TalonTypes::eServiceType type,
                                                      const char* name,
                                                      Talon::ServerComponent_ptr peer,
                                                      CORBA::ULong& linkID) {
    HubLink* link;
    {
        std::lock_guard<std::mutex> g(mM);
        linkID = mNextLink++;
        link = new HubLink(this, linkID, name, peer);
        mLinks.push_back(link);
    }
    PortableServer::ObjectId_var oid = mLinkPOA->activate_object(link);
    link->_remove_ref();
    Record("component link " + std::to_string(linkID) + ": " + name + " type " +
           std::to_string(static_cast<int>(type)));
    CORBA::Object_var obj = mLinkPOA->id_to_reference(oid);
    return Talon::EventLink::_narrow(obj);
}

void EventHubServer::LostConnection() {
    Record("LostConnection");
}

int EventHubServer::SendStopNotice() {
    std::vector<HubLink*> links;
    {
        std::lock_guard<std::mutex> g(mM);
        links = mLinks;
    }
    // Each link's own lock is taken outside the hub's: Record takes them the other way.
    std::vector<std::pair<CORBA::ULong, Talon::ServerComponent_var>> targets;
    for (HubLink* l : links)
        if (l->Wants(8, 2))
            targets.emplace_back(l->Id(), Talon::ServerComponent::_duplicate(l->Peer()));
    int sent = 0;
    for (auto& [id, peer] : targets) {
        try {
            Talon::CompressedStringSeq none;
            peer->DeliverEvent(8, 2, none);
            ++sent;
            Record("stop notice sent to link " + std::to_string(id));
        } catch (const CORBA::Exception& e) {
            Record("stop notice to link " + std::to_string(id) + " failed: " + e._name());
        }
    }
    return sent;
}

void EventHubServer::DropLinks() {
    std::vector<HubLink*> links;
    {
        std::lock_guard<std::mutex> g(mM);
        links.swap(mLinks);
    }
    for (HubLink* l : links) {
        try {
            PortableServer::ObjectId_var oid = mLinkPOA->servant_to_id(l);
            mLinkPOA->deactivate_object(oid);
        } catch (const CORBA::Exception&) {
        }
    }
    Record("links dropped");
}

void EventHubServer::Record(const std::string& line) {
    if (mLog) mLog(line);
}

void EventHubServer::OnNotification(std::function<void(long, const std::vector<std::string>&)> f) {
    std::lock_guard<std::mutex> g(mM);
    mOnNotification = std::move(f);
}

void EventHubServer::Notified(long code, const std::vector<std::string>& targets) {
    std::function<void(long, const std::vector<std::string>&)> f;
    {
        std::lock_guard<std::mutex> g(mM);
        f = mOnNotification;
    }
    if (f) f(code, targets);
}

void EventHubServer::OnEvent(
    std::function<void(std::uint32_t, const std::vector<std::string>&)> f) {
    std::lock_guard<std::mutex> g(mM);
    mOnEvent = std::move(f);
}

void EventHubServer::Evented(std::uint32_t code, const std::vector<std::string>& texts) {
    std::function<void(std::uint32_t, const std::vector<std::string>&)> f;
    {
        std::lock_guard<std::mutex> g(mM);
        f = mOnEvent;
    }
    if (f) f(code, texts);
}

std::size_t EventHubServer::LinkCount() {
    std::lock_guard<std::mutex> g(mM);
    return mLinks.size();
}

Talon::ServerComponent_ptr EventHubServer::NewestPeer() {
    std::lock_guard<std::mutex> g(mM);
    if (mLinks.empty()) return Talon::ServerComponent::_nil();
    return Talon::ServerComponent::_duplicate(mLinks.back()->Peer());
}

}  // namespace sim
