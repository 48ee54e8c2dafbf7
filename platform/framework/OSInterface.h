// The service's link to the operating system: service control, OS events and status
// reports. On Linux the service manager is systemd and controls arrive as signals:
//
//   SIGTERM  service stop          -> control handler, SERVICE_CONTROL_STOP (1)
//   SIGPWR   system shutdown       -> control handler, SERVICE_CONTROL_SHUTDOWN (5)
//   SIGUSR1  status query          -> control handler, SERVICE_CONTROL_INTERROGATE (4)
//   SIGINT   console interrupt     -> OS event 7 (message 1010)
//   SIGHUP   log rotation          -> the debug log and the ORB trace are reopened
//   SIGQUIT  quit while running    -> message 1011
//
// Status reports go to systemd through sd_notify when NOTIFY_SOCKET is set.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/framework/TalonError.h"
#include "platform/support/unistring.h"

namespace Talon {

class AppBase;

// No signal raises 16 any more: SIGHUP means "reopen the logs" for a daemon.
enum OSEvents { kOSEventInterrupt = 7, kOSEventHangUp = 16 };

enum ServiceControl : unsigned long {
    kServiceControlStop = 1,
    kServiceControlInterrogate = 4,
    kServiceControlShutdown = 5,
    kServiceControlPowerEvent = 13,
    kServiceControlPreShutdown = 15,
};

// Work the message loop runs for an OS event.
class EventFunctor {
public:
    explicit EventFunctor(const char* name) : mName(name ? name : "") {}
    virtual ~EventFunctor() = default;
    virtual bool operator()() = 0;
    const std::string& GetName() const { return mName; }

private:
    std::string mName;
};

using ServiceMainHandler = void (*)(unsigned long argc, unsigned short** argv);
using ServiceControlHandlerFn = unsigned long (*)(unsigned long control, unsigned long eventType,
                                                  void* eventData, void* context);

class OSInterface {
public:
    virtual ~OSInterface() = default;

    // The status values the service manager is told.
    enum Status : unsigned long {
        kStatusStopped = 1,
        kStatusRunning = 2,
        kStatusStopping = 3,
        kStatusFailed = 5,
    };
    // The code a failed start reports beside kStatusFailed.
    static constexpr unsigned long kCodeStartFailed = 1003;
    // A checkpoint the status line carries when a control the service does not handle came.
    static constexpr unsigned long kCheckUnhandledControl = 3;
    virtual void ReportStatus(unsigned long status, unsigned long checkPoint,
                              unsigned long exitCode);
    // Tells the service manager the service is ready.
    virtual bool NotifyStarted();

    unsigned long GetStatus() const { return mStatus.load(); }
    void SetStatus(unsigned long s) { mStatus.store(s); }

    // The interface owns the functor.
    void SetOSEventFunctor(int event, EventFunctor* functor);
    EventFunctor* GetOSEventFunctor(int event);

    // Sends a raw notification to systemd (no-op without NOTIFY_SOCKET).
    static void Notify(const std::string& state);
    // The same without ever waiting: for the STATUS= lines that follow every change of what
    // the service does. A service manager that reads slowly (or a listener that reads
    // nothing) must not hold the service up; a line it misses is said again at the next
    // change or refresh.
    static void NotifyNoWait(const std::string& state);
    // Waits at most `timeoutMs` for room on the socket: for the notifications of a stop, which
    // the stop must not wait on for ever.
    static void NotifyWithin(const std::string& state, int timeoutMs);
    static constexpr int kStopNotifyMs = 2000;

private:
    std::atomic<unsigned long> mStatus{1};
    std::mutex mM;
    std::map<int, std::unique_ptr<EventFunctor>> mFunctors;
};

class WinOSInterface : public OSInterface {
public:
    explicit WinOSInterface(const Mirel::unistring& serviceName);
    ~WinOSInterface() override;

    void SetServiceMainHandler(ServiceMainHandler h) { mServiceMain = h; }
    void SetServiceControlHandler(ServiceControlHandlerFn h) { mControl = h; }
    const Mirel::unistring& GetServiceName() const { return mServiceName; }

    // Blocks the handled signals in this and all later threads and starts the thread that
    // turns them into controls, events and messages. A stop signal (SIGTERM, SIGPWR, SIGINT,
    // SIGQUIT) also starts a deadline: a process still running when it passes, its main
    // thread held up in a call that does not return, is ended by that thread with exit code
    // 1 (VELLUMARK_STOP_LIMIT_MS, default 45000: before the unit's 60 s).
    Error StartSignalThread(AppBase& app);
    static constexpr int kDefaultStopLimitMs = 45000;
    void StopSignalThread();

    // systemd sets INVOCATION_ID for every process it starts as a unit.
    static bool RunningUnderServiceManager();
    // Runs the service main function on its own thread, as a service manager would, and
    // waits for it to return.
    void RunServiceMain();

private:
    void SignalLoop(AppBase* app);
    void Dispatch(AppBase* app, int signal);

    Mirel::unistring mServiceName;
    ServiceMainHandler mServiceMain = nullptr;
    ServiceControlHandlerFn mControl = nullptr;
    std::thread mSignalThread;
    int mSignalFd = -1;
    int mStopFd = -1;
    int mStopLimitMs = kDefaultStopLimitMs;
    std::chrono::steady_clock::time_point mStopDeadline{};  // unset until a stop signal
};

}  // namespace Talon
