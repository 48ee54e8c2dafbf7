// The service's copier: a thread of its own pushes each newly published last-good folder to
// the off-host repository (docs/offsite.md, "The service's copier"). The main thread and
// the workers never wait for it, so local intervals never wait for the network.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/ServiceState.h"
#include "platform/framework/Events.h"

namespace ObjectStore {
class Client;
}

class OffsiteCopier {
public:
    struct Settings {
        std::string credentials;           // preference 84
        std::string prefix;                // preference 85
        std::uint64_t bytesPerSecond = 0;  // preference 86, 0 for no limit
        // Between pushes that failed on the store, doubling; a new publication tries at once.
        std::chrono::milliseconds firstDelay{5000};
        std::chrono::milliseconds maxDelay{std::chrono::minutes(10)};
        // Where the copier's event records go (the catalogue's, so the hub hears them too);
        // unset, the log alone.
        std::function<void(Talon::Event, const std::vector<std::string>&)> report;
    };

    explicit OffsiteCopier(ServiceState& state) : mState(state) {}
    ~OffsiteCopier() { Stop(); }
    OffsiteCopier(const OffsiteCopier&) = delete;
    OffsiteCopier& operator=(const OffsiteCopier&) = delete;

    // Starts the thread and listens to the state for the backup folder and publications.
    void Start(const Settings& settings);
    // Cancels a transfer under way (its point gets no index) and waits for the thread.
    void Stop();

private:
    void Folder(const std::string& folder);  // from the state's listener
    void Run();
    void PushOnce(const std::string& folder);
    void Report(Talon::Event event, const std::vector<std::string>& texts);

    ServiceState& mState;
    Settings mSettings;
    std::thread mThread;
    std::mutex mM;
    std::condition_variable mCv;
    bool mStop = false;
    bool mPending = false;
    std::string mFolder;
    std::chrono::steady_clock::time_point mRetryAt{};
    ObjectStore::Client* mClient = nullptr;  // of the push under way
    int mFailures = 0;
    std::string mLastCause;  // the cause last told as an event
    std::string mLastRefused;
};
