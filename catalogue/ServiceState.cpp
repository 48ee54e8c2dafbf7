#include "catalogue/ServiceState.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/engine/Formats.h"
#include "platform/framework/OSInterface.h"
#include "platform/framework/TsvField.h"
#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "platform/support/Env.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"

namespace {

std::uint64_t SteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::string Num(std::uint64_t v) {
    return std::to_string(v);
}

// "22:45", or "22:45:10" for an end within its minute: the folder names carry the date.
std::string ClockText(std::uint64_t utc) {
    std::time_t t = static_cast<std::time_t>(utc / 1000000);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, tm.tm_sec ? "%H:%M:%S" : "%H:%M", &tm);
    return buf;
}

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

std::string ServiceState::Duration(std::uint64_t us) {
    const std::uint64_t s = us / 1000000;
    if (s < 60) return Num(s) + " s";
    if (s < 3600) return Num(s / 60) + "m " + Num(s % 60) + "s";
    if (s < 86400) return Num(s / 3600) + "h " + Num(s % 3600 / 60) + "m";
    return Num(s / 86400) + "d " + Num(s % 86400 / 3600) + "h";
}

std::string ServiceState::SizeText(std::uint64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, kUnits[u]);
    return buf;
}

void ServiceState::ClearProgress() {
    mApplying = mApplyingSince = 0;
    mWaitEnd = mWaitSince = mWaitRetry = 0;
    mWaitError = 0;
    mWaitWhat.clear();
    mStaleFile.clear();
    mStaleEnd = mStalePassed = mStaleSince = 0;
}

void ServiceState::SetFolder(const std::string& folder, const std::string& newest,
                             std::uint64_t newestEnd) {
    std::lock_guard<std::mutex> g(mM);
    // Another folder starts with nothing waiting: the old one's state stays in the old one.
    if (folder != mFolder) {
        ClearProgress();
    }
    if (folder != mFolder) {
        mOffNewest.clear();
        mOffNewestEnd = 0;
        mOffPushing.clear();
    }
    mFolder = folder;
    mNewest = newest;
    mNewestEnd = newestEnd;
    mStarted = Mirel::DateTime::NowUTC();
    mStopped = false;
    Changed();
    if (mOffsiteListener) mOffsiteListener(mFolder);
}

void ServiceState::Applying(std::uint64_t end) {
    std::lock_guard<std::mutex> g(mM);
    if (mApplying == end && !mStopped) return;
    mApplying = end;
    mApplyingSince = Mirel::DateTime::NowUTC();
    Changed();
}

std::uint64_t ServiceState::Published(std::uint64_t end, const std::string& name) {
    std::lock_guard<std::mutex> g(mM);
    const std::uint64_t since = mApplying == end ? mApplyingSince : 0;
    mNewest = name;
    mNewestEnd = end;
    ClearProgress();
    Changed();
    if (mOffsiteListener) mOffsiteListener(mFolder);
    return since;
}

void ServiceState::Waiting(std::uint64_t end, const Mirel::Error& error, std::uint64_t retryMs) {
    std::lock_guard<std::mutex> g(mM);
    const std::uint64_t now = Mirel::DateTime::NowUTC();
    // Since the first failure of this interval, whatever the errors after it.
    if (mWaitError == 0 || mWaitEnd != end) mWaitSince = now;
    mWaitEnd = end;
    mWaitError = error.GetError();
    mWaitWhat.clear();
    if (!error.Operation().empty()) {
        mWaitWhat = error.Operation() + (error.Path().empty() ? "" : " " + error.Path());
        // One field of one line: a name's control characters are not the file's.
        for (char& c : mWaitWhat)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    mWaitRetry = retryMs ? now + retryMs * 1000 : 0;
    Changed();
}

void ServiceState::Recovered() {
    std::lock_guard<std::mutex> g(mM);
    if (mWaitError == 0) return;
    mWaitEnd = mWaitSince = mWaitRetry = 0;
    mWaitError = 0;
    mWaitWhat.clear();
    Changed();
}

void ServiceState::StaleDone(const std::string& file, std::uint64_t fileEnd,
                             std::uint64_t passedEnd) {
    std::lock_guard<std::mutex> g(mM);
    if (mStaleFile.empty()) mStaleSince = Mirel::DateTime::NowUTC();
    mStaleFile = file;
    mStaleEnd = fileEnd;
    mStalePassed = passedEnd;
    Changed();
}

void ServiceState::Stopped() {
    std::lock_guard<std::mutex> g(mM);
    mStopped = true;
    mOffPushing.clear();  // a push under way was cancelled; the next start takes it up
    Changed();
}

void ServiceState::Leave(bool remove) {
    std::lock_guard<std::mutex> g(mM);
    if (remove && !mFolder.empty()) {
        const std::string path = mFolder + "/" + kFileName;
        if (Mirel::Os::Stat(path).exists && Mirel::Os::DeleteFile(path) == 0)
            Mirel::Os::SyncDir(mFolder);
    }
    mFolder.clear();
    mNewest.clear();
    mNewestEnd = 0;
    mOffNewest.clear();
    mOffNewestEnd = 0;
    mOffPushing.clear();
    ClearProgress();
    Changed();
    if (mOffsiteListener) mOffsiteListener(mFolder);
}

void ServiceState::OffsiteOn(std::function<void(const std::string& folder)> listener) {
    std::lock_guard<std::mutex> g(mM);
    mOffsite = true;
    mOffsiteListener = std::move(listener);
    if (mOffsiteListener) mOffsiteListener(mFolder);
}

void ServiceState::OffsiteNewest(const std::string& folder, std::uint64_t end) {
    std::lock_guard<std::mutex> g(mM);
    if (folder == mOffNewest && end == mOffNewestEnd) return;
    mOffNewest = folder;
    mOffNewestEnd = end;
    Changed();
}

void ServiceState::OffsitePushing(const std::string& folder, int done, int files) {
    std::lock_guard<std::mutex> g(mM);
    mOffPushing = folder;
    mOffDone = done;
    mOffFiles = files;
    Changed();
}

void ServiceState::OffsiteFailing(const std::string& cause, const std::string& text,
                                  std::uint64_t retryMs) {
    std::lock_guard<std::mutex> g(mM);
    const std::uint64_t now = Mirel::DateTime::NowUTC();
    if (mOffCause.empty()) mOffSince = now;
    mOffCause = cause;
    mOffText = text;
    for (char& c : mOffText)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    mOffRetry = now + retryMs * 1000;
    mOffPushing.clear();
    Changed();
}

void ServiceState::OffsiteCaughtUp() {
    std::lock_guard<std::mutex> g(mM);
    if (mOffCause.empty() && mOffPushing.empty()) return;
    mOffCause.clear();
    mOffText.clear();
    mOffSince = mOffRetry = 0;
    mOffPushing.clear();
    Changed();
}

std::string ServiceState::OffsiteText(std::uint64_t now) const {
    std::string s = "; off the host: ";
    if (mOffNewest.empty())
        s += "nothing yet";
    else if (mNewestEnd > mOffNewestEnd)
        s += mOffNewest + ", " + Duration(mNewestEnd - mOffNewestEnd) + " behind";
    else
        s += mOffNewest;
    if (!mOffCause.empty())
        s += ", store failing since " + ClockText(mOffSince) + ": " + mOffCause + " (" + mOffText +
             "), retry in " + Duration(mOffRetry > now ? mOffRetry - now + 999999 : 0);
    else if (!mOffPushing.empty())
        s += ", pushing " + mOffPushing + " (" + std::to_string(mOffDone) + " of " +
             std::to_string(mOffFiles) + " files)";
    return s;
}

void ServiceState::Refresh(std::uint64_t ms) {
    std::lock_guard<std::mutex> g(mM);
    if (mStopped || SteadyMs() - mLastSent < ms) return;
    Talon::OSInterface::NotifyNoWait("STATUS=" + StatusLine(Mirel::DateTime::NowUTC()));
    mLastSent = SteadyMs();
}

std::string ServiceState::StatusLine(std::uint64_t now) const {
    if (mFolder.empty()) return "no backup folder yet: the database server names it";
    // The lag is now minus the interval's end, as ibsdb status has it: a server whose clock
    // runs ahead of this host's shows as such, not as no lag.
    std::string s = "no last-good folder yet";
    if (!mNewest.empty()) {
        s = "last good " + mNewest + ", lag ";
        s += now >= mNewestEnd ? Duration(now - mNewestEnd)
                               : "-" + Duration(mNewestEnd - now) +
                                     " (the server's clock is ahead of this host's)";
    }
    if (mWaitError != 0) {
        s += "; interval " + ClockText(mWaitEnd) +
             " waits: " + Mirel::DescribeWait(mWaitError, mWaitWhat) +
             (mWaitRetry == 0
                  ? ", tried again when the server closes its next interval"
                  : ", retry in " + Duration(mWaitRetry > now ? mWaitRetry - now + 999999 : 0));
    } else if (!mStaleFile.empty()) {
        s += "; nothing completes: interval-done file " + BaseName(mStaleFile) + " ends " +
             ClockText(mStaleEnd) + ", not after " + ClockText(mStalePassed) +
             " (the server's clock went back?)";
    } else if (mApplying != 0) {
        s += "; applying interval " + ClockText(mApplying) + " for " +
             Duration(now > mApplyingSince ? now - mApplyingSince : 0);
    } else {
        s += "; idle";
    }
    if (mOffsite && !mFolder.empty()) s += OffsiteText(now);
    return s;
}

std::string ServiceState::FileText(std::uint64_t now) const {
    std::string t =
        "# What the service is doing, for ibsdb status (docs/formats.md). Times: UTC "
        "microseconds.\n";
    t += "version\t1\n";
    t += "written\t" + Num(now) + "\n";
    t += std::string("service\t") + (mStopped ? "stopped" : "running") + "\t" +
         std::to_string(::getpid()) + "\t" + Num(mStarted) + "\n";
    if (!mNewest.empty()) t += "newest\t" + mNewest + "\t" + Num(mNewestEnd) + "\n";
    if (mApplying != 0)
        t += "interval\tapplying\t" + Num(mApplying) + "\t" + Num(mApplyingSince) + "\n";
    else
        t += "interval\tidle\n";
    if (mWaitError != 0)
        t += "wait\tenvironment\t" + Num(mWaitEnd) + "\t" + Num(mWaitSince) + "\t" +
             Num(mWaitRetry) + "\t" + std::to_string(mWaitError) + "\t" +
             Mirel::ErrorWords(mWaitError) + (mWaitWhat.empty() ? "" : "\t" + mWaitWhat) + "\n";
    if (!mStaleFile.empty())
        t += "wait\tstale-done\t" + Num(mStaleEnd) + "\t" + Num(mStaleSince) + "\t" +
             Num(mStalePassed) + "\t" + mStaleFile + "\n";
    if (mOffsite) {
        const char* state = !mOffCause.empty()     ? "failing"
                            : !mOffPushing.empty() ? "pushing"
                                                   : "idle";
        auto field = [](const std::string& v) {
            return v.empty() ? std::string("-") : Talon::EscapeTsvField(v);
        };
        t += std::string("offsite\t") + state + "\t" + field(mOffNewest) + "\t" +
             Num(mOffNewestEnd) + "\t" + field(mOffPushing) + "\t" + std::to_string(mOffDone) +
             "\t" + std::to_string(mOffFiles) + "\t" + Num(mOffSince) + "\t" + Num(mOffRetry) +
             "\t" + field(mOffCause) + "\t" + field(mOffText) + "\n";
    }
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", Mirel::Format::Crc32c(t.data(), t.size()));
    return t + "end\t" + crc + "\n";
}

int ServiceState::WriteFile(const std::string& path, std::string text) {
    // Whole blocks: the file keeps its size from one state to the next, so it can be
    // overwritten in place when the volume has no block for a new one.
    constexpr std::size_t kBlock = 512;
    const std::size_t size = (text.size() + 2 + kBlock - 1) / kBlock * kBlock;
    text += "#" + std::string(size - text.size() - 2, ' ') + "\n";
    // Not synced: the file speaks to readers while the service runs, and the page cache
    // serves them; after a crash the service writes it again as it starts. Two syncs a
    // change were most of the cost of a small interval's start and publication.
    Mirel::Env& env = Mirel::Env::Current();
    int rc = env.WriteFileReplace(path, text).GetError();
    if (rc == 0 || !Mirel::IsEnvironmentError(rc)) return rc;
    Mirel::Os::Info info;
    if (env.Stat(path, info).GetError() != 0 || !info.isFile || info.size != text.size()) return rc;
    int fd = -1;
    Mirel::Error in = env.OpenWrite(path, Mirel::Os::WriteMode{false, false}, fd);
    if (in.OK()) in = env.PWriteAll(fd, text.data(), text.size(), 0, path);
    env.Close(fd);
    return in.OK() ? 0 : rc;
}

void ServiceState::Changed() {
    const std::uint64_t now = Mirel::DateTime::NowUTC();
    if (!mStopped) Talon::OSInterface::NotifyNoWait("STATUS=" + StatusLine(now));
    mLastSent = SteadyMs();
    if (mFolder.empty()) return;
    const std::string path = mFolder + "/" + kFileName;
    if (int rc = WriteFile(path, FileText(now)))
        MIREL_DEBUG(57, "ServiceState: error " << Mirel::ErrorText(rc) << " writing " << path);
}
