#include "app/DidoraRezaraApp.h"

#include <atomic>
#include <iostream>
#include <sstream>

#include <syslog.h>

#include "app/CallerGate.h"
#include "app/DBSConnector.h"
#include "app/IBSEventImpl.h"
#include "app/IBSMgr.h"
#include "app/ManagerInstance.h"
#include "ibs_version.h"
#include "platform/framework/ComponentBaseThread.h"
#include "platform/framework/Logger.h"
#include "platform/framework/Prefs.h"
#include "platform/support/Debug.h"
#include "platform/support/Orb.h"
#include "platform/support/RateLimit.h"
#include "platform/support/SocketDiag.h"
#include "platform/support/Thread.h"

const char* const DidoraRezaraApp::kObjectId = "ZAVORIdava";
const char* const DidoraRezaraApp::kPOAName = "IBSEventPOA";

namespace {
std::atomic<DidoraRezaraApp*> gApp{nullptr};
}

DidoraRezaraApp* GetDidoraRezaraApp() {
    DidoraRezaraApp* app = gApp.load();
    if (!app) {
        app = dynamic_cast<DidoraRezaraApp*>(Talon::AppInstance::GetInstance());
        gApp.store(app);
    }
    return app;
}

void ResetDidoraRezaraApp() {
    gApp.store(nullptr);
}

namespace {
// Preference 80, or the default when it is not there (the file was checked at start).
std::shared_ptr<const CallerPolicy> ReadCallerPolicy() {
    Talon::XMLPrefs prefs;
    Talon::PrefsHandle handle;
    Mirel::unistring text;
    std::string designation = Talon::PrefKeys::Instance().GetDesignation();
    auto policy = std::make_shared<CallerPolicy>();
    if (prefs.Open(handle, designation).OK() &&
        prefs.GetPref(handle, CallerGate::kAllowedCallersPref, text).OK())
        policy = std::make_shared<CallerPolicy>(text.ToUTF8());
    MIREL_DEBUG(57,
                "DidoraRezaraApp: callers allowed to change the service: root " << policy->Text());
    for (const std::string& missing : policy->Unresolved())
        MIREL_DEBUG(
            57, "DidoraRezaraApp: allowed caller " << missing << " names no user or group (yet)");
    return policy;
}
}  // namespace

DidoraRezaraAppInstance::~DidoraRezaraAppInstance() {
    ResetDidoraRezaraApp();
}

DidoraRezaraApp::DidoraRezaraApp()
    : Talon::AppBase(u"talonibDebug.log", u"talonib_omniORB.txt", "IBSApp",
                     "Vellumark Corrivane Backup") {}

DidoraRezaraApp::~DidoraRezaraApp() {
    // The manager outlives this object: it must not ask it for anything any more.
    if (mSink) ManagerInstance::GetInstance()->Connect(nullptr, mSink);
    delete mObjectId;
}

Talon::Error DidoraRezaraApp::Init() {
    if (!InitKeyStorageProvider(false)) {
        MIREL_DEBUG(57, "DidoraRezaraApp Failed to Initialize KeyStorageProvier!");
        return Talon::Error(-1);
    }
    if (!InitORB()) return Talon::Error(-1);
    CallerGate::Install(ReadCallerPolicy());
    if (!Mirel::SocketDiag::Available())
        Refuse(
            "cannot ask the kernel who calls (NETLINK_SOCK_DIAG): every call that changes "
            "the service will be refused; allow AF_NETLINK in the unit");
    // The connector lives as long as the process: the manager's threads use it to the end.
    static DBSConnector* const connector = new DBSConnector(mORB);
    mSink = connector;
    if (!ManagerInstance::GetInstance()->Init(*this, *connector)) return Talon::Error(-1);
    Talon::IBSEvent_var obj = CreateIBSObj();
    if (CORBA::is_nil(obj)) return Talon::Error(-1);
    if (!ActivatePOA()) return Talon::Error(-1);
    return Talon::Error();
}

void DidoraRezaraApp::CreateIBSPOA() {
    CORBA::Object_var ins = mORB->resolve_initial_references("omniINSPOA");
    mPOA = PortableServer::POA::_narrow(ins);
    mPOAManager = mPOA->the_POAManager();

    CORBA::PolicyList policies;
    policies.length(4);
    policies[0] = mPOA->create_thread_policy(PortableServer::SINGLE_THREAD_MODEL);
    policies[1] = mPOA->create_lifespan_policy(PortableServer::PERSISTENT);
    policies[2] = mPOA->create_id_assignment_policy(PortableServer::USER_ID);
    // Calls back to the server's hub go over the connection it called in on.
    CORBA::Any both;
    both <<= BiDirPolicy::BOTH;
    policies[3] = mORB->create_policy(BiDirPolicy::BIDIRECTIONAL_POLICY_TYPE, both);
    try {
        mIBSPOA = mPOA->create_POA(kPOAName, mPOAManager, policies);
        mIBSPOAManager = mIBSPOA->the_POAManager();
    }
    DIDORA_CATCH_CORBA("DidoraRezaraApp::CreateIBSPOA", "create_POA()")
    for (CORBA::ULong i = 0; i < policies.length(); ++i) policies[i]->destroy();
}

Talon::IBSEvent_ptr DidoraRezaraApp::CreateIBSObj() {
    Talon::IBSEvent_var result;
    CreateIBSPOA();
    mServant = new Talon::IBSEventImpl();
    try {
        mObjectId = PortableServer::string_to_ObjectId(kObjectId);
        mIBSPOA->activate_object_with_id(*mObjectId, mServant);
        mServant->_remove_ref();
        CORBA::Object_var obj = mIBSPOA->id_to_reference(*mObjectId);
        result = Talon::IBSEvent::_narrow(obj);
    }
    DIDORA_CATCH_CORBA("DidoraRezaraApp::CreateIBSObj", "narrow()")
    return result._retn();
}

bool DidoraRezaraApp::ActivatePOA() {
    if (!Talon::AppBase::ActivatePOA()) return false;
    try {
        mIBSPOAManager->activate();
    }
    DIDORA_CATCH_CORBA("DidoraRezaraApp::ActivatePOA", "activate()")
    return true;
}

bool DidoraRezaraApp::AddOrbEndpointArgs(std::vector<std::string>& args,
                                         const std::string& optionName) {
    if (GetRunState() != kNoOSInit && !AwaitOrbPort(kOrbPort)) {
        SetLastError(Talon::Error(Mirel::kErrPortInUse));
        return false;
    }
    std::ostringstream text;
    GetOrbPortStringPrefix(text, false);
    text << static_cast<unsigned>(kOrbPort);
    if (GetRunState() != kNoOSInit) {
        args.push_back(optionName);
        args.push_back(text.str());
    }
    return true;
}

Talon::Error DidoraRezaraApp::Run() {
    Talon::OSInterface* os = GetOSInterface();
    if (!os) return Talon::Error(-1);
    os->SetStatus(Talon::OSInterface::kStatusRunning);
    os->NotifyStarted();
    Banner();
    IBSMgr* mgr = ManagerInstance::GetInstance();
    mgr->State().Refresh(0);  // what it does, in place of "running"
    MIREL_DEBUG(57, "DidoraRezaraApp::Run: serving requests");
    bool quit = false;
    for (;;) {
        // The status line's lag grows while nothing happens: it is said again now and then.
        std::unique_ptr<Mirel::Msg> msg = GetMainMsgQ().GetMsg(kStatusRefreshMs);
        mgr->State().Refresh(kStatusRefreshMs);
        if (!msg) continue;
        bool leave = false;
        switch (msg->GetMsgCode()) {
            case Talon::kMsgQuit:
                leave = true;
                break;
            case Talon::kMsgOSEvent: {
                auto* ev = dynamic_cast<Talon::OSEventMsg*>(msg.get());
                Talon::EventFunctor* f = ev ? os->GetOSEventFunctor(ev->GetEvent()) : nullptr;
                if (f) (*f)();
                break;
            }
            case Talon::kMsgQuitLoop:
                if (GetRunState() == kLoopRunning) {
                    quit = true;
                    GetMainMsgQ().PostMsg(Talon::kMsgQuit);
                }
                break;
            case Talon::kMsgLinkLost:
                SendLostConnectionMessageToServer();
                break;
            case Talon::kMsgShutdown:
                Shutdown();
                break;
            case Talon::kMsgCheckIntervals:
                ManagerInstance::GetInstance()->CheckIntervals();
                break;
            default:
                break;
        }
        if (leave) break;
    }
    MIREL_DEBUG(57, "DidoraRezaraApp::Run: message loop ended");
    // Only a stop (a signal, the service manager, an allowed caller's Stop) or a quit ends
    // the service cleanly; any other end is a failure, which the service manager restarts.
    if (!IsStopInitiated() && !quit) {
        MIREL_DEBUG(57, "DidoraRezaraApp::Run: the loop ended without a stop request");
        return Talon::Error(-1);
    }
    return Talon::Error();
}

void DidoraRezaraApp::Banner() {
    IBSMgr* mgr = ManagerInstance::GetInstance();
    const std::string prefs = Talon::PrefKeys::Instance().GetDesignation();
    const std::string folder = mgr->FoldersReady()
                                   ? mgr->GetBackupFolder().GetPath().Native()
                                   : std::string("none yet (the database server names it)");
    std::ostringstream endpoint;
    GetOrbPortStringPrefix(endpoint, false);
    endpoint << kOrbPort;
    std::string orb = endpoint.str();
    orb = orb.substr(orb.find(':', orb.find(':') + 1) + 1);  // after "giop:tcp:"
    Talon::Logger::WriteLine(LOG_NOTICE,
                             "talonib " IBS_VERSION " started: preferences " + prefs +
                                 ", backup folder " + folder + ", ORB " + orb,
                             {"VELLUMARK_VERSION=" IBS_VERSION, "VELLUMARK_PREFERENCES=" + prefs,
                              "VELLUMARK_BACKUP_FOLDER=" + folder, "VELLUMARK_ORB=" + orb});
}

void DidoraRezaraApp::StopORB() {
    if (!IsOrbRunning()) return;
    Mirel::Thread::Sleep(2);
    try {
        if (!CORBA::is_nil(mIBSPOAManager)) mIBSPOAManager->deactivate(true, true);
        if (!CORBA::is_nil(mIBSPOA)) mIBSPOA->destroy(true, true);
    }
    DIDORA_CATCH_CORBA("DidoraRezaraApp::StopORB", "destroy()")
    Talon::AppBase::StopORB();
}

Talon::Error DidoraRezaraApp::Cleanup() {
    StopORB();
    // No remote call can arrive any more: let the workers finish the log they are applying.
    ManagerInstance::GetInstance()->EndThreads();
    // What the limits left out of the logs is said now, while the logs are open.
    Mirel::RateLimiter::EndReports();
    return Talon::Error();
}

bool DidoraRezaraApp::GetEventHub(Talon::EventHub_var& hub) {
    std::string host = GetEventHubHost();
    std::string loc =
        Mirel::BuildCorbalocString(host.empty() ? nullptr : host.c_str(), GetEventHubPort(),
                                   Talon::ComponentBaseThread::kEventHubKey, false);
    try {
        CORBA::Object_var obj = mORB->string_to_object(loc.c_str());
        if (CORBA::is_nil(obj)) return false;
        hub = Talon::EventHub::_narrow(obj);
        return !CORBA::is_nil(hub);
    }
    DIDORA_CATCH_CORBA("DidoraRezaraApp::GetEventHub", "narrow()")
    return false;
}

bool DidoraRezaraApp::SendLostConnectionMessageToServer() {
    Talon::EventHub_var hub;
    if (!GetEventHub(hub)) return false;
    try {
        hub->LostConnection();
        return true;
    }
    DIDORA_CATCH_CORBA("SendLostConnectionMessageToServer", "LostConnection()")
    return false;
}

void DidoraRezaraApp::PrintUsage(const char* programName) {
    if (programName) std::cout << programName << " has no user-level commands\n\n";
    std::cout << GetUsageName() << " - backs up databases hosted by Vellumark Server\n";
    std::cout << "Copyright (c) Vellumark. All rights reserved.\n\n";
}
