#include "platform/framework/AppBase.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/framework/ArgumentHandler.h"
#include "platform/framework/Events.h"
#include "platform/framework/Logger.h"
#include "platform/framework/OSInterface.h"
#include "platform/framework/ServiceSetup.h"
#include "platform/support/Debug.h"
#include "platform/support/Directory.h"
#include "platform/support/Orb.h"
#include "platform/support/Os.h"
#include "platform/support/RateLimit.h"

namespace Talon {

namespace {
std::atomic<AppInstance*> gInstance{nullptr};

// omniORB's trace lines, appended to a file that SIGHUP reopens by name. At the ordinary
// levels a flood of one kind of line (a line per malformed message from a hostile client)
// is cut to a few a minute, with a count of those left out.
namespace OrbTrace {
std::mutex gM;
std::string gPath;
std::FILE* gFile = nullptr;
std::atomic<bool> gLimited{true};
constexpr unsigned kLinesPerKind = 10;
constexpr std::size_t kKinds = 32;

void OpenLocked() {
    if (gFile || gPath.empty()) return;
    // Through the OS layer, which opens only a regular file and never waits.
    int fd = -1;
    if (Mirel::Os::OpenAppend(gPath, fd) != 0) return;
    gFile = ::fdopen(fd, "a");
    if (!gFile) Mirel::Os::Close(fd);
}

void WriteRaw(const std::string& text) {
    std::lock_guard<std::mutex> g(gM);
    OpenLocked();
    std::FILE* out = gFile ? gFile : stderr;
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

// What a line says without its prefix ("omniORB: (7) 2026-01-01 12:00:00.000000: "),
// numbers and addresses: lines of one kind differ only in those.
std::string Kind(const char* text) {
    std::string line = text;
    auto stamp = line.find(": ", line.find(") "));
    if (line.rfind("omniORB: (", 0) == 0 && stamp != std::string::npos) line.erase(0, stamp + 2);
    std::string kind;
    for (char c : line) {
        if (kind.size() >= 48 || c == '\n') break;
        if (std::isdigit(static_cast<unsigned char>(c))) {
            if (kind.empty() || kind.back() != '#') kind += '#';
        } else {
            kind += c;
        }
    }
    return kind;
}

// The ORB writes lines while the process's objects are destroyed: the limiters stay.
Mirel::RateLimiter& LimiterFor(const std::string& kind) {
    static auto* m = new std::mutex;
    static auto* limiters = new std::map<std::string, std::unique_ptr<Mirel::RateLimiter>>;
    std::lock_guard<std::mutex> g(*m);
    // Past kKinds kinds, the rest share one limiter.
    std::string key = limiters->size() < kKinds || limiters->count(kind) ? kind : "(other lines)";
    auto& limiter = (*limiters)[key];
    if (!limiter)
        limiter = std::make_unique<Mirel::RateLimiter>(kLinesPerKind, [key](std::uint64_t n) {
            WriteRaw(Mirel::gDebugger.MessagePrefix() + "omniORB trace: " + std::to_string(n) +
                     " lines like \"" + key + "\" were left out in the last minute\n");
        });
    return *limiter;
}

void Write(const char* text) {
    if (gLimited.load() && !LimiterFor(Kind(text)).Admit()) return;
    WriteRaw(text);
}

void Open(const std::string& path) {
    std::lock_guard<std::mutex> g(gM);
    if (gFile) std::fclose(gFile);
    gFile = nullptr;
    gPath = path;
    OpenLocked();
    omniORB::setLogFunction(Write);
}

void Reopen() {
    std::lock_guard<std::mutex> g(gM);
    if (gFile) std::fclose(gFile);
    gFile = nullptr;
    OpenLocked();
}
}  // namespace OrbTrace

std::string RunFolder() {
    return Mirel::Os::ParentOf(InstanceLockPath());
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
    if (mInstanceLockFd >= 0) Mirel::Os::Close(mInstanceLockFd);
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
    if (argc >= 1 && argv && argv[0]) {
        std::string self = argv[0];
        auto slash = self.rfind('/');
        mProgramName = slash == std::string::npos ? self : self.substr(slash + 1);
    }
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
    // One instance per machine: an exclusive lock that the kernel drops when we exit. It
    // holds the process id, so a second start can name the running one.
    std::string folder = RunFolder();
    std::string lock = InstanceLockPath();
    Error made = Mirel::Directory(Mirel::UniversalPath::Folder(folder)).CreateIfNotExists();
    int rc = made.GetError();
    if (rc == 0) rc = Mirel::Os::OpenWrite(lock, true, false, mInstanceLockFd);
    if (rc != 0) {
        MIREL_DEBUG(57, "InitOS: cannot open the instance lock " << lock << ", error "
                                                                 << Mirel::ErrorText(rc));
        SetRunState(kStartRefused);
        std::string what =
            "cannot create the instance lock " + lock + " (" + DescribeError(rc) + ")";
        if (rc == Mirel::kErrAccessDenied && ::geteuid() != 0)
            what += ": run talonib as root, or set VELLUMARK_RUN_DIR to a folder you can write";
        else
            what += ": make " + folder + " a writable folder or set VELLUMARK_RUN_DIR";
        Refuse(what);
        Error e;
        e.Set(CLIExtError(Mirel::kErrStartRefused,
                          rc == Mirel::kErrAccessDenied ? kExitNoPermission : kExitFailure));
        return e;
    }
    if (int rc = Mirel::Os::Lock(mInstanceLockFd, lock)) {
        Mirel::Os::Close(mInstanceLockFd);
        mInstanceLockFd = -1;
        if (rc == Mirel::kErrFileLocked) {
            MIREL_DEBUG(
                57, "InitOS: another instance holds " << lock << ", process " << InstanceLockPid());
            SetRunState(kAnotherInstance);
            return Error(Mirel::kErrAnotherInstance);
        }
        // Not another instance: the lock itself cannot be taken (a file system without locks).
        SetRunState(kStartRefused);
        Refuse("cannot lock the instance lock " + lock + " (" + DescribeError(rc) + ")");
        Error e;
        e.Set(CLIExtError(Mirel::kErrStartRefused, kExitFailure));
        return e;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(mInstanceLockFd, 0) == 0) {
        [[maybe_unused]] ssize_t n = ::pwrite(mInstanceLockFd, pid.data(), pid.size(), 0);
    }
    // Every connection costs a descriptor: at the soft limit (1024 for services) the ORB
    // can accept nothing more and files cannot be opened, while the hard limit is far
    // higher. The ORB polls, so a large table costs nothing.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
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
        Mirel::Os::Close(mInstanceLockFd);
        mInstanceLockFd = -1;
    }
    return OnAfterUninit();
}

Error AppBase::StartApp() {
    Error e = Init();
    if (!e.OK()) {
        if (!mLastError.OK()) e = mLastError;
        MIREL_DEBUG(57, mAppName << ": initialisation failed, error " << e.Text());
    } else {
        SetRunState(kLoopRunning);
        e = Run();
    }
    Cleanup();
    if (!e.OK() && mLastError.OK()) mLastError = e;
    return e;
}

void AppBase::ReopenLogs() {
    Mirel::gDebugger.Reopen();
    OrbTrace::Reopen();
    MIREL_DEBUG(57, mAppName << ": logs reopened");
}

void AppBase::SetStopInitiated() {
    if (!mStopInitiated.exchange(true))
        OSInterface::NotifyWithin("STOPPING=1\nSTATUS=stopping", OSInterface::kStopNotifyMs);
}

Error AppBase::RequestStop() {
    SetStopInitiated();
    GetMainMsgQ().PostMsg(kMsgQuit);
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

bool AppBase::AwaitOrbPort(unsigned int port) {
    using Clock = std::chrono::steady_clock;
    int limitMs = 75000;
    if (const char* v = std::getenv("VELLUMARK_PORT_WAIT_MS"); v && *v)
        limitMs = std::max(0, std::atoi(v));
    const auto start = Clock::now();
    bool waited = false;
    for (;;) {
        auto use = Mirel::IPAddress::PortUseOf(OrbHost(), port);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (use == Mirel::IPAddress::PortUse::kFree) {
            if (waited)
                MIREL_DEBUG(
                    57, mAppName << ": port " << port << " released after " << ms.count() << " ms");
            return true;
        }
        if (IsStopInitiated()) {
            MIREL_DEBUG(57, mAppName << ": stopped while waiting for port " << port);
            return false;
        }
        if (use == Mirel::IPAddress::PortUse::kListening || ms.count() >= limitMs) {
            LogPortError(port, use == Mirel::IPAddress::PortUse::kListening);
            return false;
        }
        if (!waited) {
            waited = true;
            MIREL_DEBUG(57, mAppName << ": port " << port
                                     << " is held by a connection that uses it as its own end "
                                        "(an outgoing connection, or one in TIME_WAIT); waiting "
                                        "up to "
                                     << limitMs << " ms for the kernel to release it");
            // systemd's start timeout must not run out while the kernel keeps the port.
            OSInterface::NotifyNoWait(
                "EXTEND_TIMEOUT_USEC=" + std::to_string((limitMs + 10000) * 1000ull) +
                "\nSTATUS=waiting for port " + std::to_string(port));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void AppBase::LogPortError(unsigned int port, bool listening) {
    const std::string p = std::to_string(port);
    if (listening) {
        MIREL_DEBUG(57, mAppName << ": port " << port
                                 << " is already in use by another program; the service cannot "
                                    "start");
        Refuse("port " + p + " is already in use by another program on " + OrbHost() +
               ": stop it (ss -ltnp 'sport = :" + p +
               "' names it) or set VELLUMARK_ORB_HOST to another local address");
    } else {
        MIREL_DEBUG(57, mAppName << ": port " << port
                                 << " is still held by a connection; the service cannot start");
        Refuse(
            "port " + p +
            " is still held by a connection that uses it as its own end (ss -tanp 'sport = :" + p +
            "' names it): reserve the port so the kernel never hands it to an outgoing "
            "connection (sysctl net.ipv4.ip_local_reserved_ports, adding " +
            p + " to its list) and start the service again");
    }
    // The refusal above is the operator's line; the record goes to the system log only.
    Logger::WriteSysLog(Code(Event::kPortTaken), {Mirel::unistring::NumToString(port)}, false);
}

void AppBase::Refuse(const std::string& what) const {
    std::cerr << mProgramName << ": " << what << std::endl;
}

std::string AppBase::DescribeError(int number) {
    return "error " + Mirel::ErrorText(number);
}

bool AppBase::AddOrbEndpointArgs(std::vector<std::string>&, const std::string&) {
    return true;
}

void AppBase::ChangeOrbConfig(Mirel::ORBConfig&) {}

const std::vector<AppBase::OrbLimit>& AppBase::OrbLimits() {
    static const std::vector<OrbLimit> limits = {
        // An unreachable event hub must not hold a caller for long.
        {"clientConnectTimeOutPeriod", "3000"},
        {"clientCallTimeOutPeriod", "15000"},
        // The first connections get a thread each (the server's own, answered at once);
        // beyond that one thread watches them all and a bounded pool serves their calls.
        {"threadPerConnectionUpperLimit", "16"},
        {"threadPerConnectionLowerLimit", "8"},
        {"maxServerThreadPoolSize", "16"},
        {"maxServerThreadPerConnection", "4"},
        // Idle pool threads end after this many seconds.
        {"idleThreadTimeout", "10"},
        // An incoming connection idle for this many seconds is closed; clients reconnect
        // on their next call without noticing.
        {"inConScanPeriod", "60"},
        // A request that has begun must arrive whole within this many milliseconds, so a
        // client that trickles bytes cannot hold a thread.
        {"serverCallTimeOutPeriod", "10000"},
    };
    return limits;
}

bool AppBase::InitORB() {
    std::vector<std::string> args = {mAppName};
    if (!AddOrbEndpointArgs(args, "-ORBendPoint")) return false;
    Mirel::Directory(Mirel::UniversalPath::Folder(GetLogFolder())).CreateIfNotExists();
    Mirel::ORBConfig config;
    const char* level = std::getenv("VELLUMARK_ORB_TRACE");
    // The trace goes through our own file so that a log rotation can reopen it. Detailed
    // tracing (level 10 and above) is asked for to see everything: it is not cut.
    OrbTrace::Open(GetLogFolder() + "/" + mOrbTraceName.ToUTF8());
    std::string traceLevel = level && *level ? level : "1";
    OrbTrace::gLimited.store(std::atoi(traceLevel.c_str()) < 10);
    config.options = {"-ORBtraceLevel", traceLevel, "-ORBtraceTime", "1"};
    for (const OrbLimit& limit : OrbLimits()) {
        // omniORB reads ORB<name> from the environment, but a command-line option would
        // win over it: leave out the ones the administrator set.
        const char* own = std::getenv(("ORB" + std::string(limit.name)).c_str());
        if (own && *own) continue;
        config.options.push_back("-ORB" + std::string(limit.name));
        config.options.push_back(limit.value);
    }
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
        // Usually an endpoint the ORB cannot listen on: a host that is not this machine's.
        std::ostringstream endpoint;
        GetOrbPortStringPrefix(endpoint, false);
        Refuse("the ORB cannot start (CORBA " + std::string(e._name()) + ") with the endpoint " +
               endpoint.str() +
               "...: check that VELLUMARK_ORB_HOST names an address of this "
               "machine, and the ORB settings in the environment (ORB...)");
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
