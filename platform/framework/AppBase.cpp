#include "platform/framework/AppBase.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "platform/framework/ArgumentHandler.h"
#include "platform/framework/Logger.h"
#include "platform/framework/OSInterface.h"
#include "platform/support/Debug.h"
#include "platform/support/Directory.h"
#include "platform/support/Orb.h"

namespace Talon {

namespace {
std::atomic<AppInstance*> gInstance{nullptr};

std::string RunFolder() {
    const char* env = std::getenv("VELLUMARK_RUN_DIR");
    return env && *env ? env : "/run/vellumark";
}

std::string OrbHost() {
    const char* env = std::getenv("VELLUMARK_ORB_HOST");
    return env && *env ? env : "127.0.0.1";
}
}  // namespace

AppBase::AppBase(const Mirel::unistring& debugLogName, const Mirel::unistring& orbTraceName,
                 const char* appName, const char* displayName)
    : mAppName(appName ? appName : ""),
      mDisplayName(displayName ? displayName : ""),
      mDebugLogName(debugLogName),
      mOrbTraceName(orbTraceName) {
    SetLogFileName(debugLogName);
}

AppBase::~AppBase() {
    if (mInstanceLockFd >= 0) ::close(mInstanceLockFd);
}

void AppBase::SetLogFileName(const Mirel::unistring& name) {
    Mirel::gDebugger.SetLogFile(Mirel::gDebugger.GetLogFolder(), name.ToUTF8());
}

std::string AppBase::GetLogFolder() const {
    return Mirel::gDebugger.GetLogFolder();
}

void AppBase::AddArgumentHandler(ArgumentHandler* handler) {
    handler->SetApp(this);
    mHandlers.emplace_back(handler);
}

void AppBase::ProcessArguments(int argc, char** argv) {
    if (argc <= 1 || argv == nullptr) {
        SetRunState(kRunApplication);
        return;
    }
    if (argc == 2) {
        Mirel::unistring arg = Mirel::unistring::FromUTF8(argv[1]);
        for (auto& h : mHandlers) {
            if (!arg.CaseInsensitiveEqual(h->GetKeyword())) continue;
            SetRunState(h->Process() == ArgumentHandler::kHandled ? kKeywordDone : kKeywordFailed);
            return;
        }
    }
    SetRunState(kPrintUsage);
}

void AppBase::SetOSInterface(OSInterface* os) {
    mOS.reset(os);
}

Error AppBase::InitOS() {
    if (GetRunState() != kRunApplication) return Error();
    // One instance per machine: an exclusive lock that the kernel drops when we exit.
    std::string folder = RunFolder();
    Mirel::Directory(Mirel::UniversalPath::Folder(folder)).CreateIfNotExists();
    std::string lock = folder + "/talonib.lock";
    mInstanceLockFd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (mInstanceLockFd < 0) {
        MIREL_DEBUG(57, "InitOS: cannot open the instance lock " << lock);
        SetRunState(kStartRefused);
        return Error(Mirel::kErrStartRefused);
    }
    if (::flock(mInstanceLockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(mInstanceLockFd);
        mInstanceLockFd = -1;
        SetRunState(kAnotherInstance);
        return Error(Mirel::kErrAnotherInstance);
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(mInstanceLockFd, 0) == 0) {
        [[maybe_unused]] ssize_t n = ::pwrite(mInstanceLockFd, pid.data(), pid.size(), 0);
    }
    if (Error e = OnInitOS(); !e.OK()) return e;
    auto* win = dynamic_cast<WinOSInterface*>(mOS.get());
    if (win) {
        if (Error e = win->StartSignalThread(*this); !e.OK()) return e;
        if (WinOSInterface::RunningUnderServiceManager()) {
            MIREL_DEBUG(57, "InitOS: started by systemd, running the service main function");
            win->RunServiceMain();
            SetRunState(kRanAsService);
            return mLastError;
        }
    }
    return Error();
}

Error AppBase::Uninit() {
    OnBeforeUninit();
    if (auto* win = dynamic_cast<WinOSInterface*>(mOS.get())) win->StopSignalThread();
    if (mInstanceLockFd >= 0) {
        ::close(mInstanceLockFd);
        mInstanceLockFd = -1;
    }
    return OnAfterUninit();
}

Error AppBase::StartApp() {
    Error e = Init();
    if (!e.OK()) {
        if (!mLastError.OK()) e = mLastError;
        MIREL_DEBUG(57, mAppName << ": initialisation failed, error " << e.GetError());
    } else {
        SetRunState(kLoopRunning);
        e = Run();
    }
    Cleanup();
    if (!e.OK() && mLastError.OK()) mLastError = e;
    return e;
}

void AppBase::SetStopInitiated() {
    if (!mStopInitiated.exchange(true)) OSInterface::Notify("STOPPING=1\nSTATUS=stopping");
}

Error AppBase::RequestStop() {
    SetStopInitiated();
    GetMainMsgQ().PostMsg(100);
    return Error();
}

Error AppBase::Shutdown() {
    return RequestStop();
}

void AppBase::PrintUsage(const char* programName) {
    if (programName) std::cout << programName << "\n";
}

bool AppBase::InitKeyStorageProvider(bool required) {
    // The service keeps no keys of its own; what it needs is a working random source for
    // identities and temporary names.
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return !required;
    unsigned char b;
    bool ok = ::read(fd, &b, 1) == 1;
    ::close(fd);
    return ok || !required;
}

void AppBase::GetOrbPortStringPrefix(std::ostream& out, bool) {
    out << "giop:tcp:" << OrbHost() << ":";
}

void AppBase::LogPortError(unsigned int port) {
    MIREL_DEBUG(57, mAppName << ": port " << port
                             << " is already in use by another program; the service cannot start");
    std::cerr << mDisplayName << ": port " << port << " is already in use by another program\n";
    Logger::WriteSysLog(static_cast<std::int32_t>(0xC1000600u),
                        {Mirel::unistring::NumToString(port)});
}

bool AppBase::AddOrbEndpointArgs(std::vector<std::string>&, const std::string&) {
    return true;
}

void AppBase::ChangeOrbConfig(Mirel::ORBConfig&) {}

bool AppBase::InitORB() {
    std::vector<std::string> args = {mAppName};
    if (!AddOrbEndpointArgs(args, "-ORBendPoint")) return false;
    Mirel::Directory(Mirel::UniversalPath::Folder(GetLogFolder())).CreateIfNotExists();
    Mirel::ORBConfig config;
    const char* level = std::getenv("VELLUMARK_ORB_TRACE");
    config.options = {"-ORBtraceFile", GetLogFolder() + "/" + mOrbTraceName.ToUTF8(),
                      "-ORBtraceLevel", level && *level ? level : "1", "-ORBtraceTime", "1",
                      // An unreachable event hub must not hold a caller for long.
                      "-ORBclientConnectTimeOutPeriod", "3000", "-ORBclientCallTimeOutPeriod",
                      "15000"};
    ChangeOrbConfig(config);
    args.insert(args.end(), config.options.begin(), config.options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int argc = static_cast<int>(argv.size());
    try {
        mORB = CORBA::ORB_init(argc, argv.data(), "omniORB4");
        CORBA::Object_var root = mORB->resolve_initial_references("RootPOA");
        mPOA = PortableServer::POA::_narrow(root);
        mPOAManager = mPOA->the_POAManager();
    } catch (const CORBA::SystemException& e) {
        Mirel::LogCorbaSystemException("AppBase::InitORB", e, "ORB_init()", 57);
        return false;
    } catch (const CORBA::Exception& e) {
        Mirel::LogCorbaException("AppBase::InitORB", e, "ORB_init()", 57);
        return false;
    }
    mOrbRunning = true;
    return true;
}

bool AppBase::ActivatePOA() {
    if (CORBA::is_nil(mPOAManager)) return false;
    try {
        mPOAManager->activate();
        // Components live in the root POA, which has a manager of its own.
        CORBA::Object_var root = mORB->resolve_initial_references("RootPOA");
        PortableServer::POA_var rootPOA = PortableServer::POA::_narrow(root);
        PortableServer::POAManager_var rootManager = rootPOA->the_POAManager();
        rootManager->activate();
    } catch (const CORBA::Exception& e) {
        Mirel::LogCorbaException("AppBase::ActivatePOA", e, "activate()", 57);
        return false;
    }
    return true;
}

void AppBase::StopORB() {
    if (!mOrbRunning) return;
    mOrbRunning = false;
    try {
        mORB->shutdown(true);
        mORB->destroy();
    } catch (const CORBA::Exception& e) {
        Mirel::LogCorbaException("AppBase::StopORB", e, "shutdown()", 57);
    }
}

void AppBase::SetEventHub(const std::string& host, unsigned short port) {
    std::lock_guard<std::mutex> g(mHubM);
    mEventHubHost = host;
    mEventHubPort.store(port);
}

std::string AppBase::GetEventHubHost() const {
    std::lock_guard<std::mutex> g(mHubM);
    return mEventHubHost;
}

AppInstance::~AppInstance() {
    AppInstance* self = this;
    gInstance.compare_exchange_strong(self, nullptr);
    delete mApp;
    mApp = nullptr;
}

Error AppInstance::CreateInstance() {
    if (mApp) return Error();
    mApp = CreateApp();
    if (!mApp) return Error(Mirel::kErrGeneric);
    gInstance.store(this);
    return Error();
}

AppBase* AppInstance::GetInstance() {
    AppInstance* i = gInstance.load();
    return i ? i->mApp : nullptr;
}

}  // namespace Talon
