#include "app/OffsiteCopier.h"

#include <syslog.h>

#include <random>

#include "platform/framework/Logger.h"
#include "platform/objectstore/Client.h"
#include "platform/offsite/Offsite.h"
#include "platform/support/Debug.h"

void OffsiteCopier::Start(const Settings& settings) {
    mSettings = settings;
    {
        std::lock_guard<std::mutex> g(mM);
        mStop = false;
    }
    mThread = std::thread([this] { Run(); });
    mState.OffsiteOn([this](const std::string& folder) { Folder(folder); });
}

void OffsiteCopier::Stop() {
    if (mThread.joinable()) mState.OffsiteOn(nullptr);
    {
        std::lock_guard<std::mutex> g(mM);
        mStop = true;
        if (mClient) mClient->Cancel();
    }
    mCv.notify_all();
    if (mThread.joinable()) mThread.join();
}

void OffsiteCopier::Folder(const std::string& folder) {
    std::lock_guard<std::mutex> g(mM);
    mFolder = folder;
    // A new point to push: tried now, whatever the back-off.
    mPending = !folder.empty();
    mRetryAt = {};
    mCv.notify_all();
}

void OffsiteCopier::Run() {
    std::unique_lock<std::mutex> l(mM);
    for (;;) {
        if (mRetryAt != std::chrono::steady_clock::time_point{} &&
            std::chrono::steady_clock::now() >= mRetryAt)
            mRetryAt = {};
        auto ready = [&] {
            return mStop ||
                   (mPending && !mFolder.empty() && std::chrono::steady_clock::now() >= mRetryAt);
        };
        if (mRetryAt != std::chrono::steady_clock::time_point{})
            mCv.wait_until(l, mRetryAt, ready);
        else
            mCv.wait(l, ready);
        if (mStop) return;
        if (!ready()) continue;
        mPending = false;
        const std::string folder = mFolder;
        l.unlock();
        PushOnce(folder);
        l.lock();
    }
}

void OffsiteCopier::PushOnce(const std::string& folder) {
    Offsite::PushOptions o;
    o.backup = folder;
    o.remote.credentials = mSettings.credentials;
    o.remote.prefix = mSettings.prefix;
    // A few quick attempts per operation; the copier's own back-off covers longer outages.
    o.remote.retry.maxAttempts = 3;
    o.remote.retry.firstDelay = std::chrono::milliseconds(500);
    o.remote.retry.maxDelay = std::chrono::seconds(5);
    o.remote.retry.wait = [this](std::chrono::milliseconds d) {
        std::unique_lock<std::mutex> l(mM);
        return !mCv.wait_for(l, d, [&] { return mStop; });
    };
    o.remote.maxSendBytesPerSecond = mSettings.bytesPerSecond;
    o.remote.maxRecvBytesPerSecond = mSettings.bytesPerSecond;
    o.remote.attach = [this](ObjectStore::Client* c) {
        if (c && c->config().maxSendBytesPerSecond != 0)
            MIREL_DEBUG(57, "OffsiteCopier: pushing at most " << c->config().maxSendBytesPerSecond
                                                              << " bytes per second");
        std::lock_guard<std::mutex> g(mM);
        mClient = c;
        if (c && mStop) c->Cancel();
    };
    o.progress = [this](const std::string& point, int done, int files) {
        mState.OffsitePushing(point, done, files);
    };
    const Offsite::PushResult report = Offsite::Push(o);
    for (const auto& n : report.notes) MIREL_DEBUG(57, "OffsiteCopier: " << n);

    Offsite::OffsiteRecord record;
    if (Offsite::ReadOffsiteRecord(folder, record))
        mState.OffsiteNewest(record.folder, record.intervalEnd);

    std::unique_lock<std::mutex> l(mM);
    if (mStop) return;  // cancelled: nothing to report
    if (report.storeFailed) {
        ++mFailures;
        ObjectStore::RetryPolicy backoff;
        backoff.firstDelay = mSettings.firstDelay;
        backoff.maxDelay = mSettings.maxDelay;
        const auto delay = ObjectStore::BackoffDelay(backoff, mFailures, std::random_device{}());
        mRetryAt = std::chrono::steady_clock::now() + delay;
        mPending = true;
        const std::string cause = Offsite::CauseToken(report.cause);
        const bool told = cause == mLastCause;
        mLastCause = cause;
        l.unlock();
        mState.OffsiteFailing(cause, report.storeError, static_cast<std::uint64_t>(delay.count()));
        // Once per cause: a store down for a day is one record, not one per push.
        if (!told)
            Report(Talon::Event::kOffsiteFailing,
                   {cause, report.storeError, std::to_string((delay.count() + 999) / 1000)});
        MIREL_DEBUG(
            57, "OffsiteCopier: " << report.storeError << "; again in " << delay.count() << " ms");
        return;
    }
    const int failures = mFailures;
    mFailures = 0;
    mLastCause.clear();
    mRetryAt = {};
    std::string refused;
    for (const auto& r : report.reasons) refused += (refused.empty() ? "" : "; ") + r;
    int refusedPoints = 0;
    for (const auto& p : report.points) refusedPoints += p.result == "refused";
    const bool newRefusal = refusedPoints > 0 && refused != mLastRefused;
    mLastRefused = refusedPoints > 0 ? refused : std::string();
    l.unlock();
    mState.OffsiteCaughtUp();
    if (failures > 0) Report(Talon::Event::kOffsiteResumed, {std::to_string(failures)});
    if (newRefusal) Report(Talon::Event::kOffsiteRefused, {folder, refused});
}

void OffsiteCopier::Report(Talon::Event event, const std::vector<std::string>& texts) {
    if (mSettings.report) {
        mSettings.report(event, texts);
        return;
    }
    std::vector<Mirel::unistring> wide;
    for (const auto& t : texts) wide.push_back(Mirel::unistring::FromUTF8(t));
    Talon::Logger::WriteSysLog(Talon::Code(event), wide);
}
