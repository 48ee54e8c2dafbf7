#include "app/DBSConnector.h"

#include "platform/framework/EventHelper.h"
#include "platform/framework/Events.h"
#include "platform/support/Debug.h"

#define DBS_DEBUG(pieces) MIREL_DEBUG(59, pieces)

namespace {
// The database server's stop notice.
const std::int32_t kSubscriptions[][2] = {{8, 2}, {-1, 0}};
}  // namespace

DBSConnector::DBSConnector(CORBA::ORB_ptr orb)
    : Talon::ComponentBaseThread(orb, TalonTypes::kST_DBSConnector, false, false) {
    SetSubscriptions(kSubscriptions, 1);
    Talon::ComponentBaseThread::Init();
}

DBSConnector::~DBSConnector() {
    AbortMain();
    Join();
}

bool DBSConnector::ConnectToServer(const char* addr, unsigned short port) {
    if (GetStatus() == TalonTypes::kCS_ServicingRequests) {
        Talon::EventLink_var link = GetEventLink(0);
        if (!CORBA::is_nil(link)) {
            // A server that restarted quickly finds its old link here: trust it only while
            // it answers and leads to the hub being named.
            if (LinkAlive(addr, port)) {
                DBS_DEBUG("ConnectToServer() already connected, linkID " << GetLinkID());
                return true;
            }
            // Kept until a new link is made: a registration naming a hub that cannot be
            // reached must not cost the server its stopping notice.
            DBS_DEBUG("ConnectToServer() link "
                      << GetLinkID() << " is stale or leads elsewhere, connecting again");
        }
    }
    Talon::Error e = ConnectToEventHub(addr, nullptr, &port, nullptr);
    if (e.OK()) {
        SendComponentInfo(false);
        if (GetStatus() == TalonTypes::kCS_Suspended) SetStatus(TalonTypes::kCS_ServicingRequests);
        DBS_DEBUG("ConnectToServer() success, linkID " << GetLinkID());
        return true;
    }
    Talon::EventLink_var kept = GetEventLink(0);
    DBS_DEBUG("ConnectToServer() failed, error "
              << e.Text() << (CORBA::is_nil(kept) ? "" : "; the link there was is kept"));
    return false;
}

void DBSConnector::Event(std::int32_t code, const std::vector<Mirel::unistring>& texts) {
    QueueInfo(code, texts, true);
}

void DBSConnector::DatabaseFailed(const Mirel::unistring& uuid) {
    TalonTypes::DebugOperation op;
    op.mTargets.length(1);
    Talon::EventHelper::ToCompressedString(uuid, op.mTargets[0]);
    CORBA::Any any;
    any <<= op;
    const bool queued = QueueNotification(Talon::kNotifyDatabaseFailed, 0, 0, any);
    DBS_DEBUG("DatabaseFailed: notification 21 for "
              << uuid.ToUTF8() << (queued ? " queued" : " not queued (no link thread)"));
}

void DBSConnector::Main() {
    DBS_DEBUG("DBSConnector::Main "
              << "starting, line " << 42);
    Talon::ComponentBaseThread::Main();
    DBS_DEBUG("DBSConnector::Main "
              << "exited");
}

void DBSConnector::OnEvent(Talon::EventHelper& event) {
    if (event.GetEventClass() == 8 && event.GetEventCode() == 2) OnServerStopped();
}

void DBSConnector::OnServerStopped() {
    DBS_DEBUG("OnServerStopped Called, send stopping notice to CMT");
    SendStoppingNotice(GetLinkID());
}

bool DBSConnector::OnStopRequest() {
    DBS_DEBUG("OnStopRequest Called, do nothing, return false");
    return false;
}
