#include "tools/sim/Session.h"

namespace sim {

Session::Session(ServiceClient& client, EventHubServer& hub, Options options, Report& report)
    : mClient(client), mHub(hub), mOpt(std::move(options)), mReport(report) {
    mClient.SetQuickRetries(0);
}

bool Session::IsTransport(const CORBA::SystemException& e) {
    // A service that is starting has no servant yet: the object does not exist for a moment.
    return CORBA::COMM_FAILURE::_downcast(&e) || CORBA::TRANSIENT::_downcast(&e) ||
           CORBA::TIMEOUT::_downcast(&e) || CORBA::OBJECT_NOT_EXIST::_downcast(&e) ||
           CORBA::OBJ_ADAPTER::_downcast(&e);
}

bool Session::Register(bool again) {
    std::size_t before = mHub.LinkCount();
    mRegistered = mClient.RegisterServer(mOpt.hubHost, mOpt.hubPort);
    if (!mRegistered) {
        mReport.Fail("hub", "RegisterServer answered false: the service could not reach the hub");
        return false;
    }
    // The service links to the hub inside RegisterServer: a true answer without a new link
    // means it kept a link to a hub that is gone, and notifications will be lost.
    if (mHub.LinkCount() == before) {
        bool alive = false;
        Talon::ServerComponent_var peer = mHub.NewestPeer();
        try {
            alive = !CORBA::is_nil(peer) && !peer->_non_existent();
        } catch (const CORBA::SystemException&) {
        }
        // A service killed (and started again) right after its answer leaves a dead peer
        // too: the registration is made once more, and only a service that again makes no
        // link and leaves no live peer kept one to a hub that is gone.
        if (!alive && !again) return Register(true);
        if (!alive)
            mReport.Fail("hub",
                         "RegisterServer answered true but the service made no link to the "
                         "hub (it kept one to a hub that is gone): notifications are lost");
    }
    return true;
}

bool Session::Connect() {
    mSuspect = true;
    Call("connect", [] { return 0; });
    return mFolderOk;
}

void Session::Reconnect() {
    mInConnect = true;
    try {
        Register();
        std::string path = mAlias.empty() ? mOpt.backup : mAlias;
        mFolderOk = mClient.SetBackupFolder(path);
        if (!mFolderOk && mOnFolderRefused && mOnFolderRefused())
            mFolderOk = mClient.SetBackupFolder(path);
        if (!mFolderOk) mReport.Fail("folder", "SetBackupFolder " + path + " answered false");
    } catch (...) {
        mInConnect = false;
        throw;
    }
    mInConnect = false;
    mSuspect = false;
    mAlias.clear();
    ++mReconnects;
    mLastReconnect = Clock::now();
    if (mOnReconnect) {
        // Announcing again may itself meet a restart; that reconnection announces again.
        auto f = std::move(mOnReconnect);
        f();
        mOnReconnect = std::move(f);
    }
}

bool Session::ServerRestart(const std::string& alias) {
    mHub.DropLinks();
    mAlias = alias;
    mSuspect = true;
    Call("server restart", [] { return 0; });
    return mRegistered;
}

void Session::CheckAlive() {
    if (mInConnect || mSuspect) return;
    Talon::ServerComponent_var peer = mHub.NewestPeer();
    if (CORBA::is_nil(peer)) return;
    try {
        if (peer->_non_existent()) mSuspect = true;
    } catch (const CORBA::SystemException&) {
        mSuspect = true;
    }
}

}  // namespace sim
