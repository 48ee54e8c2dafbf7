// What the service is doing, told where an operator looks without asking the service: the
// state file in the backup folder (read by `ibsdb status`) and systemd's STATUS= line.
// Every change rewrites both; the line is refreshed now and then for its lag.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/support/Error.h"

class ServiceState {
public:
    static constexpr const char* kFileName = "State.tsv";

    // The backup folder the state file is written to (empty: none, nothing is written) and
    // its newest last-good folder (empty name: none).
    void SetFolder(const std::string& folder, const std::string& newest, std::uint64_t newestEnd);
    // The interval ending `end` is started (its copies placed, its logs being applied).
    void Applying(std::uint64_t end);
    // It became the last-good folder `name`: the waits are over. Answers when it started
    // (0: not seen).
    std::uint64_t Published(std::uint64_t end, const std::string& name);
    // A failure keeps the interval from going on; tried again in `retryMs` (0: not by itself,
    // only when the server closes its next interval).
    void Waiting(std::uint64_t end, const Mirel::Error& error, std::uint64_t retryMs);
    void Recovered();
    // An interval-done file that ends at or before what is published or started was set
    // aside: nothing it closes can complete.
    void StaleDone(const std::string& file, std::uint64_t fileEnd, std::uint64_t passedEnd);
    // The service stops (written to the state file; the line is systemd's).
    void Stopped();
    // The folder is no longer in service; with `remove` its state file goes with the
    // working folders.
    void Leave(bool remove);
    // The copies off the host (docs/offsite.md, "The service's copier"). `listener` hears
    // of the backup folder in service at each new folder, publication and leave (empty: none);
    // it runs with the state's lock held, so it only takes note.
    void OffsiteOn(std::function<void(const std::string& folder)> listener);
    // The newest point off the host (empty: none yet).
    void OffsiteNewest(const std::string& folder, std::uint64_t end);
    // A point is being pushed: `done` of its `files` files looked at.
    void OffsitePushing(const std::string& folder, int done, int files);
    // The store failed; the copier tries again in `retryMs`. `cause` is a word of
    // Offsite::CauseToken, `text` the store's error.
    void OffsiteFailing(const std::string& cause, const std::string& text, std::uint64_t retryMs);
    // Every last-good folder is off the host.
    void OffsiteCaughtUp();

    // Sends the STATUS= line again when the last one is older than `ms`.
    void Refresh(std::uint64_t ms);

    // The texts, as they are at `now` (UTC microseconds).
    std::string StatusLine(std::uint64_t now) const;
    std::string FileText(std::uint64_t now) const;

    // Writes `text` as the state file: padded to whole blocks, under a temporary name
    // renamed over the old file, not synced; when no new file can be written (a full volume),
    // over the old file in place if it has the same size, so that status still learns why.
    static int WriteFile(const std::string& path, std::string text);

    // Durations "3d 4h", "5m 12s", "16 s" (times: Mirel::UtcText).
    static std::string Duration(std::uint64_t us);
    // "1.2 GiB", "512 B".
    static std::string SizeText(std::uint64_t bytes);

private:
    void Changed();  // mM held

    mutable std::mutex mM;
    // Nothing applying, waiting or stale (a new folder, a publication, leaving).
    void ClearProgress();
    std::string mFolder;
    std::string mNewest;
    std::uint64_t mNewestEnd = 0;
    std::uint64_t mStarted = 0;  // when this process took the folder
    std::uint64_t mApplying = 0, mApplyingSince = 0;
    // A failure of the environment being retried.
    std::uint64_t mWaitEnd = 0, mWaitSince = 0, mWaitRetry = 0;
    int mWaitError = 0;
    std::string mWaitWhat;  // the operation and its path, when the error knows them
    // The newest stale interval-done file set aside since the last publication.
    std::string mStaleFile;
    std::uint64_t mStaleEnd = 0, mStalePassed = 0, mStaleSince = 0;
    bool mStopped = false;
    // Off the host, when the copier runs.
    std::function<void(const std::string&)> mOffsiteListener;
    bool mOffsite = false;
    std::string mOffNewest, mOffPushing, mOffCause, mOffText;
    std::uint64_t mOffNewestEnd = 0, mOffSince = 0, mOffRetry = 0;
    int mOffDone = 0, mOffFiles = 0;
    std::string OffsiteText(std::uint64_t now) const;
    std::uint64_t mLastSent = 0;  // steady milliseconds of the last STATUS= line
};
