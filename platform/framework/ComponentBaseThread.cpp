#include "platform/framework/ComponentBaseThread.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/framework/AppBase.h"
#include "platform/framework/Logger.h"
#include "platform/support/Debug.h"
#include "platform/support/Orb.h"

namespace Talon {

const char* const ComponentBaseThread::kEventHubKey = "/%ffomniINSPOA%ffEventHubPOA%00VLServer";

namespace {

class EventMsg : public Mirel::Msg {
public:
    explicit EventMsg(EventHelper e)
        : Mirel::Msg(ComponentBaseThread::kMsgEvent), event(std::move(e)) {}
    EventHelper event;
};

class NotificationMsg : public Mirel::Msg {
public:
    NotificationMsg(long c, long a, long b, const CORBA::Any& p)
        : Mirel::Msg(ComponentBaseThread::kMsgNotification), code(c), p1(a), p2(b), payload(p) {}
    long code, p1, p2;
    CORBA::Any payload;
};

class InfoMsg : public Mirel::Msg {
public:
    InfoMsg(std::int32_t c, std::vector<Mirel::unistring> t, bool l)
        : Mirel::Msg(ComponentBaseThread::kMsgInfo), code(c), texts(std::move(t)), logged(l) {}
    std::int32_t code;
    std::vector<Mirel::unistring> texts;
    bool logged;
};

unsigned long LinkCheckMs() {
    const char* env = std::getenv("VELLUMARK_LINK_CHECK_MS");
    long v = env ? std::atol(env) : 0;
    return v > 0 ? static_cast<unsigned long>(v) : 5000;
}

template <class F>
Error Guarded(const char* where, const char* what, F&& call) {
    try {
        call();
        return Error();
    } catch (const CORBA::SystemException& e) {
        Mirel::LogCorbaSystemException(where, e, what, 59);
    } catch (const CORBA::Exception& e) {
        Mirel::LogCorbaException(where, e, what, 59);
    }
    return Error(Mirel::kErrHubUnreachable);
}

}  // namespace

class ComponentServant : public POA_Talon::ServerComponent {
public:
    explicit ComponentServant(ComponentBaseThread* owner) : mOwner(owner) {}
    void DeliverEvent(CORBA::Long eventClass, CORBA::Long eventCode,
                      const Talon::CompressedStringSeq& texts) override {
        std::vector<Mirel::unistring> t;
        for (CORBA::ULong i = 0; i < texts.length(); ++i)
            t.push_back(EventHelper::FromCompressedString(texts[i]));
        mOwner->Deliver(eventClass, eventCode, std::move(t));
    }
    CORBA::Boolean RequestStop() override { return mOwner->OnStopRequest(); }
    CORBA::Boolean Ping() override { return true; }

private:
    ComponentBaseThread* mOwner;
};

ComponentBaseThread::ComponentBaseThread(CORBA::ORB_ptr orb, TalonTypes::eServiceType type, bool,
                                         bool)
    : mORB(CORBA::ORB::_duplicate(orb)), mType(type) {}

ComponentBaseThread::~ComponentBaseThread() {
    AbortMain();
    Join();
}

Error ComponentBaseThread::Init() {
    SetStatus(TalonTypes::kCS_Initializing);
    if (!CORBA::is_nil(mORB)) {
        Error e = Guarded("ComponentBaseThread::Init", "activate_object()", [&] {
            CORBA::Object_var root = mORB->resolve_initial_references("RootPOA");
            PortableServer::POA_var poa = PortableServer::POA::_narrow(root);
            auto* servant = new ComponentServant(this);
            PortableServer::ObjectId_var id = poa->activate_object(servant);
            CORBA::Object_var obj = poa->id_to_reference(id);
            std::lock_guard<std::mutex> g(mM);
            mSelf = Talon::ServerComponent::_narrow(obj);
            mServant = servant;
            servant->_remove_ref();
        });
        if (!e.OK()) return e;
    }
    return Start(true);
}

void ComponentBaseThread::Main() {
    SetStatus(TalonTypes::kCS_ServicingRequests);
    mMainRunning.store(true);
    const unsigned long checkMs = LinkCheckMs();
    for (;;) {
        auto msg = GetMyMsgQ().GetMsg(checkMs);
        if (!msg) {
            Talon::EventLink_var link = LinkCopy();
            if (!CORBA::is_nil(link) && !PingLink(link, 15000)) {
                MIREL_DEBUG(59, GetName() << ": the event hub no longer answers; link dropped");
                // Only this link: RegisterServer may have made a new one meanwhile.
                DropLink(link);
                if (CORBA::is_nil(LinkCopy())) {
                    SetStatus(TalonTypes::kCS_Suspended);
                    if (AppBase* app = AppInstance::GetInstance())
                        app->GetMainMsgQ().PostMsg(kMsgLinkLost);
                }
            }
            continue;
        }
        if (msg->GetMsgCode() == kMsgQuit) break;
        Handle(*msg);
    }
    mMainRunning.store(false);
    // What was queued before the end still goes out (or to the system log).
    while (auto msg = GetMyMsgQ().GetMsg(0))
        if (msg->GetMsgCode() != 100) Handle(*msg);
    SetStatus(TalonTypes::kCS_Stopped);
    OnThreadExit();
}

void ComponentBaseThread::Handle(Mirel::Msg& msg) {
    switch (msg.GetMsgCode()) {
        case kMsgEvent:
            Process(static_cast<EventMsg&>(msg).event);
            OnEventProcessed();
            break;
        case kMsgNotification: {
            auto& n = static_cast<NotificationMsg&>(msg);
            // Said either way: a server that never heard of a failure is found here.
            const Error e = SendNotification(n.code, n.p1, n.p2, n.payload, 0);
            MIREL_DEBUG(59, GetName() << ": notification " << n.code
                                      << (e.OK() ? " sent" : " not sent: " + e.Text()));
            break;
        }
        case kMsgInfo: {
            auto& i = static_cast<InfoMsg&>(msg);
            if (WriteInfo(i.code, i.texts, false, nullptr).OK()) break;
            if (i.logged)
                MIREL_DEBUG(59, GetName() << ": the hub did not take event 0x" << std::hex << i.code
                                          << std::dec << "; it is in the system log");
            else
                Logger::WriteSysLog(i.code, i.texts);
            break;
        }
        default:
            OnCheckOtherMsgCodes(&msg);
    }
}

bool ComponentBaseThread::QueueNotification(long code, long param1, long param2,
                                            const CORBA::Any& payload) {
    if (!mMainRunning.load()) return false;
    GetMyMsgQ().PostMsg(std::make_unique<NotificationMsg>(code, param1, param2, payload));
    return true;
}

bool ComponentBaseThread::QueueInfo(std::int32_t code, const std::vector<Mirel::unistring>& texts,
                                    bool logged) {
    if (!mMainRunning.load()) return false;
    GetMyMsgQ().PostMsg(std::make_unique<InfoMsg>(code, texts, logged));
    return true;
}

void ComponentBaseThread::AbortMain() {
    GetMyMsgQ().PostMsg(kMsgQuit);
}

void ComponentBaseThread::OnCheckOtherMsgCodes(Mirel::Msg* msg) {
    MIREL_DEBUG(59, GetName() << ": unexpected message code " << msg->GetMsgCode());
}

void ComponentBaseThread::Process(EventHelper& event) {
    bool subscribed = false;
    {
        std::lock_guard<std::mutex> g(mM);
        for (const auto& s : mSubscriptions)
            if (s.eventClass == event.GetEventClass() && s.eventCode == event.GetEventCode())
                subscribed = true;
    }
    if (subscribed) OnEvent(event);
}

void ComponentBaseThread::OnEvent(EventHelper&) {}

void ComponentBaseThread::Deliver(std::int32_t eventClass, std::int32_t eventCode,
                                  std::vector<Mirel::unistring> texts) {
    GetMyMsgQ().PostMsg(
        std::make_unique<EventMsg>(EventHelper(eventClass, eventCode, std::move(texts))));
}

void ComponentBaseThread::SetSubscriptions(const std::int32_t (*pairs)[2], int count) {
    std::lock_guard<std::mutex> g(mM);
    mSubscriptions.clear();
    for (int i = 0; i < count && pairs[i][0] != -1; ++i) {
        TalonTypes::EventId id;
        id.eventClass = pairs[i][0];
        id.eventCode = pairs[i][1];
        mSubscriptions.push_back(id);
    }
}

Talon::EventLink_var ComponentBaseThread::LinkCopy() {
    std::lock_guard<std::mutex> g(mM);
    return Talon::EventLink::_duplicate(mLink);
}

void ComponentBaseThread::DropLink() {
    std::lock_guard<std::mutex> g(mM);
    mLink = Talon::EventLink::_nil();
}

void ComponentBaseThread::DropLink(Talon::EventLink_ptr checked) {
    std::lock_guard<std::mutex> g(mM);
    if (mLink.in() == checked) mLink = Talon::EventLink::_nil();
}

bool ComponentBaseThread::PingLink(Talon::EventLink_ptr link, unsigned long timeoutMs) {
    if (CORBA::is_nil(link)) return false;
    return Guarded("ComponentBaseThread::PingLink", "GetLinkID()",
                   [&] {
                       // A reference of its own carries the short limit; the link's other calls
                       // keep theirs.
                       CORBA::String_var ior = mORB->object_to_string(link);
                       CORBA::Object_var obj = mORB->string_to_object(ior);
                       omniORB::setClientCallTimeout(obj, static_cast<CORBA::ULong>(timeoutMs));
                       Talon::EventLink_var probe = Talon::EventLink::_unchecked_narrow(obj);
                       probe->GetLinkID();
                   })
        .OK();
}

bool ComponentBaseThread::LinkAlive(const char* address, unsigned short port) {
    Talon::EventLink_var link = LinkCopy();
    if (CORBA::is_nil(link)) return false;
    {
        std::lock_guard<std::mutex> g(mM);
        if (mHubAddress != (address ? address : "") || (port != 0 && mHubPort != port))
            return false;
    }
    return PingLink(link, 3000);
}

Talon::EventLink_ptr ComponentBaseThread::GetEventLink(unsigned long) {
    std::lock_guard<std::mutex> g(mM);
    return Talon::EventLink::_duplicate(mLink);
}

Error ComponentBaseThread::ConnectToEventHub(const char* address, unsigned long*,
                                             unsigned short* port, unsigned long*) {
    AppBase* app = AppInstance::GetInstance();
    unsigned short p =
        port && *port ? *port : (app ? app->GetEventHubPort() : AppBase::kDefaultEventHubPort);
    std::string loc = Mirel::BuildCorbalocString(address, p, kEventHubKey, false);
    Talon::ServerComponent_var self;
    TalonTypes::EventIdSeq subs;
    {
        std::lock_guard<std::mutex> g(mM);
        self = Talon::ServerComponent::_duplicate(mSelf);
        subs.length(static_cast<CORBA::ULong>(mSubscriptions.size()));
        for (std::size_t i = 0; i < mSubscriptions.size(); ++i)
            subs[static_cast<CORBA::ULong>(i)] = mSubscriptions[i];
    }
    Talon::EventLink_var link;
    CORBA::ULong id = 0;
    Error e = Guarded("ComponentBaseThread::ConnectToEventHub", "ConnectComponent()", [&] {
        CORBA::Object_var obj = mORB->string_to_object(loc.c_str());
        Talon::EventHub_var hub = Talon::EventHub::_narrow(obj);
        if (CORBA::is_nil(hub)) throw CORBA::OBJECT_NOT_EXIST();
        link = hub->ConnectComponent(mType, GetName(), self, id);
        if (CORBA::is_nil(link)) throw CORBA::OBJECT_NOT_EXIST();
        link->Subscribe(subs);
    });
    if (!e.OK()) return e;
    {
        std::lock_guard<std::mutex> g(mM);
        mLink = link._retn();
        mHubAddress = address ? address : "";
        mHubPort = p;
    }
    mLinkID.store(id);
    if (port) *port = p;
    if (app) app->SetEventHub(address ? address : "", p);
    return Error();
}

Error ComponentBaseThread::SendComponentInfo(bool full) {
    Talon::EventLink_var link = LinkCopy();
    if (CORBA::is_nil(link)) return Error(Mirel::kErrHubUnreachable);
    TalonTypes::ComponentInfo info;
    info.type = mType;
    info.name = CORBA::string_dup(GetName());
    info.status = GetStatus();
    info.processId = static_cast<CORBA::ULong>(::getpid());
    info.full = full;
    return Guarded("ComponentBaseThread::SendComponentInfo", "SendComponentInfo()",
                   [&] { link->SendComponentInfo(info); });
}

Error ComponentBaseThread::SendStoppingNotice(unsigned long linkID) {
    Talon::EventLink_var link = LinkCopy();
    if (CORBA::is_nil(link)) return Error(Mirel::kErrHubUnreachable);
    return Guarded("ComponentBaseThread::SendStoppingNotice", "SendStoppingNotice()",
                   [&] { link->SendStoppingNotice(static_cast<CORBA::ULong>(linkID)); });
}

Error ComponentBaseThread::SendNotification(long code, long param1, long param2,
                                            const CORBA::Any& payload, unsigned long) {
    Talon::EventLink_var link = LinkCopy();
    if (CORBA::is_nil(link)) return Error(Mirel::kErrHubUnreachable);
    return Guarded("ComponentBaseThread::SendNotification", "SendNotification()", [&] {
        link->SendNotification(static_cast<CORBA::Long>(code), static_cast<CORBA::Long>(param1),
                               static_cast<CORBA::Long>(param2), payload);
    });
}

Error ComponentBaseThread::SendNotification(long code, long param1, long param2,
                                            unsigned long flags) {
    CORBA::Any empty;
    return SendNotification(code, param1, param2, empty, flags);
}

Error ComponentBaseThread::WriteInfo(std::int32_t code, const std::vector<Mirel::unistring>& texts,
                                     bool, void*) {
    Talon::EventLink_var link = LinkCopy();
    if (CORBA::is_nil(link)) return Error(Mirel::kErrHubUnreachable);
    Talon::CompressedStringSeq seq;
    seq.length(static_cast<CORBA::ULong>(texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i)
        EventHelper::ToCompressedString(texts[i], seq[static_cast<CORBA::ULong>(i)]);
    return Guarded("ComponentBaseThread::WriteInfo", "WriteEvent()",
                   [&] { link->WriteEvent(code, seq); });
}

}  // namespace Talon
