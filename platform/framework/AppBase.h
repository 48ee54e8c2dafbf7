// The application frame: command line, OS initialisation, the ORB, the main-thread queue.
//
// Run states:
//   1 initial             2 run the application     3 ran as a service (InitOS ran it)
//   4 start refused       5 the message loop runs    6 print the usage text
//   7 another instance    8 a command-line keyword was carried out
//   9 a keyword failed    10 no OS initialisation (and no ORB port work)
//
// StartApp calls Init, then Run on the calling thread, then Cleanup.
#pragma once

#include <omniORB4/CORBA.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/framework/TalonError.h"
#include "platform/support/Thread.h"
#include "platform/support/unistring.h"

namespace Mirel {
struct ORBConfig {
    std::vector<std::string> options;  // extra -ORB... arguments
};
}  // namespace Mirel

namespace Talon {

class ArgumentHandler;
class OSInterface;

// The messages of the application's main queue (100 also ends a component's own queue).
enum MainMsg : std::int32_t {
    kMsgQuit = 100,             // leave the loop
    kMsgOSEvent = 1010,         // an OS event (OSEventMsg)
    kMsgQuitLoop = 1011,        // SIGQUIT: leave the loop, if it runs
    kMsgLinkLost = 1012,        // the hub link failed: tell the hub
    kMsgShutdown = 1224,        // end the service (a stop control, the server's Stop)
    kMsgCheckIntervals = 1231,  // run the interval cycle
};

// A message for OS event `event`.
class OSEventMsg : public Mirel::Msg {
public:
    explicit OSEventMsg(int event) : Mirel::Msg(kMsgOSEvent), mEvent(event) {}
    int GetEvent() const { return mEvent; }

private:
    int mEvent;
};

class AppBase {
public:
    enum eRunState {
        kRunInitial = 1,
        kRunApplication = 2,
        kRanAsService = 3,
        kStartRefused = 4,
        kLoopRunning = 5,
        kPrintUsage = 6,
        kAnotherInstance = 7,
        kKeywordDone = 8,
        kKeywordFailed = 9,
        kNoOSInit = 10,
    };
    static constexpr unsigned short kDefaultEventHubPort = 50003;
    // Exit codes of refusals, in the LSB numbering that systemd names in its status.
    static constexpr int kExitFailure = 1;
    static constexpr int kExitUsage = 2;
    static constexpr int kExitNoPermission = 4;
    static constexpr int kExitNotConfigured = 6;
    // Outside the LSB range: a second start while one instance runs.
    static constexpr int kExitAnotherInstance = 10;

    AppBase(const Mirel::unistring& debugLogName, const Mirel::unistring& orbTraceName,
            const char* appName, const char* displayName);
    virtual ~AppBase();
    AppBase(const AppBase&) = delete;
    AppBase& operator=(const AppBase&) = delete;

    virtual Error StartApp();
    virtual bool IsServiceApplication() { return true; }
    virtual Error RequestStop();
    virtual Error Shutdown();
    virtual void PrintUsage(const char* programName);
    virtual Error OnInitOS() { return Error(); }
    virtual Error Init() { return Error(); }
    virtual std::string GetDeploymentInfo() { return mAppName; }
    virtual Error Cleanup() { return Error(); }
    virtual Error Run() = 0;
    virtual Error OnBeforeUninit() { return Error(); }
    virtual Error OnAfterUninit() { return Error(); }
    virtual bool AddOrbEndpointArgs(std::vector<std::string>& args, const std::string& optionName);
    virtual void ChangeOrbConfig(Mirel::ORBConfig& config);
    virtual bool ActivatePOA();
    virtual void StopORB();
    virtual void SetLogFileName(const Mirel::unistring& name);
    virtual unsigned long StartupLength() { return 30000; }

    // Command line: matches argv[1] against the keyword handlers and sets the run state.
    void ProcessArguments(int argc, char** argv);
    void AddArgumentHandler(ArgumentHandler* handler);  // owned afterwards
    int GetRunState() const { return mRunState.load(); }
    void SetRunState(int s) { mRunState.store(s); }

    // Single-instance lock, signal handling, and the service run when systemd started us.
    Error InitOS();
    Error Uninit();

    bool InitKeyStorageProvider(bool required);
    // The ORB settings the frame passes as -ORB<name> value unless the environment holds
    // ORB<name>: call timeouts, and what idle or hostile clients may take (threads,
    // connections, time).
    struct OrbLimit {
        const char* name;
        const char* value;
    };
    static const std::vector<OrbLimit>& OrbLimits();
    bool InitORB();
    void GetOrbPortStringPrefix(std::ostream& out, bool forPublish);
    // True once the ORB can listen on `port`. A port only connections hold (an outgoing
    // connection the kernel gave it to, or one in TIME_WAIT) is waited for, up to
    // VELLUMARK_PORT_WAIT_MS (75 s; TIME_WAIT lasts 60 s) and only until a stop is asked
    // for; a program that listens on it refuses the start at once. The refusal is logged.
    bool AwaitOrbPort(unsigned int port);
    void LogPortError(unsigned int port, bool listening);
    // A start refusal: one line "PROGRAM: what" on standard error, saying what to do.
    void Refuse(const std::string& what) const;
    // An error number with its words, for a refusal ("error 20301 no such file or folder").
    static std::string DescribeError(int number);
    const std::string& GetProgramName() const { return mProgramName; }
    void SetLastError(const Error& e) { mLastError = e; }
    const Error& GetLastError() const { return mLastError; }
    void SetStopInitiated();
    // After a log rotation (SIGHUP): the debug log and the ORB trace are opened again.
    void ReopenLogs();
    bool IsStopInitiated() const { return mStopInitiated.load(); }

    void SetOSInterface(OSInterface* os);  // owned afterwards
    OSInterface* GetOSInterface() const { return mOS.get(); }

    Mirel::Thread& GetMainThread() { return mMainThread; }
    Mirel::MsgQ& GetMainMsgQ() { return mMainThread.GetMyMsgQ(); }
    void PostOSEvent(int event) { GetMainMsgQ().PostMsg(std::make_unique<OSEventMsg>(event)); }

    CORBA::ORB_ptr GetORB() const { return mORB; }
    bool IsOrbRunning() const { return mOrbRunning; }

    // Where the database server's event hub listens (set when a component connects).
    void SetEventHub(const std::string& host, unsigned short port);
    std::string GetEventHubHost() const;
    unsigned short GetEventHubPort() const { return mEventHubPort.load(); }

    const std::string& GetAppName() const { return mAppName; }
    const std::string& GetDisplayName() const { return mDisplayName; }
    const std::string& GetUsageName() const { return mDisplayName; }
    std::string GetLogFolder() const;

protected:
    CORBA::ORB_var mORB;
    PortableServer::POA_var mPOA;
    PortableServer::POAManager_var mPOAManager;

private:
    class MainThread : public Mirel::Thread {
    public:
        void Main() override {}
    };

    MainThread mMainThread;
    std::atomic<int> mRunState{kRunInitial};
    std::atomic<bool> mStopInitiated{false};
    bool mOrbRunning = false;
    Error mLastError;
    std::unique_ptr<OSInterface> mOS;
    std::vector<std::unique_ptr<ArgumentHandler>> mHandlers;
    std::string mAppName, mDisplayName;
    std::string mProgramName = "talonib";
    Mirel::unistring mDebugLogName, mOrbTraceName;
    int mInstanceLockFd = -1;
    mutable std::mutex mHubM;
    std::string mEventHubHost;
    std::atomic<unsigned short> mEventHubPort{kDefaultEventHubPort};
};

// One application per process: CreateInstance asks CreateApp for it.
class AppInstance {
public:
    AppInstance() = default;
    virtual ~AppInstance();
    virtual AppBase* CreateApp() = 0;
    Error CreateInstance();
    static AppBase* GetInstance();

private:
    AppBase* mApp = nullptr;
};

}  // namespace Talon
