// The database server at work against a running service, as demanding as a real one can be:
// idle and growing databases of every page size, MSNs past 2^32, several logs per interval
// with repeated pages, intervals ending in the same minute, new full uploads at any moment,
// restarts of its own, and rounds of bad input and hostile calls. It reacts to notification
// 21 with a new upload, outlives restarts of the service, and after every interval checks
// what a user would restore.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tools/sim/EventHub.h"
#include "tools/sim/Ledger.h"
#include "tools/sim/RealWorld.h"
#include "tools/sim/Report.h"
#include "tools/sim/ServiceClient.h"
#include "tools/sim/Session.h"
#include "tools/sim/Verify.h"

namespace sim {

struct ServerOptions {
    std::string backup = "/tmp/vellumark-backup";
    std::string work;  // the server's own folder; "<backup>.sim" when empty
    std::string hubHost = "127.0.0.1";
    unsigned short hubPort = 50003;
    int intervals = 6;  // 0: until told to finish
    std::uint64_t seed = 1;
    // When the server's clock starts (UTC microseconds); 0: on 2026-01-01, so that runs with
    // one seed are identical.
    std::uint64_t startUtc = 0;
    int databases = 4;
    std::uint32_t minPageSize = 4096, maxPageSize = 4096;
    std::uint64_t initialPages = 32;
    std::uint64_t maxPages = 4096;  // databases stop growing here
    int maxPagesPerLog = 24;
    int maxLogsPerInterval = 4;
    bool highMsn = false;       // MSNs start just below 2^32 and cross it
    double idle = 0;            // chance that a database rests for 2 to 4 intervals
    double grow = 0.06;         // chance that a page of a log lies past the end
    double repeat = 0;          // chance that a page of a log repeats one already in it
    double uploads = 0;         // chance per interval of a new full upload at a random moment
    double sameMinute = 0;      // chance that an interval ends in the minute of the one before
    double serverRestarts = 0;  // chance per interval that the server restarts
    double quiet = 0;           // chance that an interval has uploads and no redo logs at all
    double earlyLogs = 0;       // chance that a log of the next interval comes before the
                                // interval-done file
    double slowLogs = 0;        // chance that the server takes up to 150 ms over a log
    double reuploadAfter = 0;   // seconds from notification 21 to the new full upload
    int badEvery = 0;           // a round of bad input and hostile calls every N intervals
    // What the round holds: header, cut, other, done, dup, hostile, folder, flip, flip2.
    std::set<std::string> bad = {"header", "cut",     "other",  "done",
                                 "dup",    "hostile", "folder", "flip"};
    bool mixedCase = false;     // ".VRL", "INTERVALDONE.VID" and the like
    int timeoutSecs = 120;      // for an interval, counted from the service's last start
    double patienceSecs = 120;  // for a call
    bool markers = false;       // "@what" lines before each step, for the soak to aim at
    // The service's system log (its standard error): event records no hub took, such as
    // those of a restarted service before the server registered again. Empty: none.
    std::string systemLog;
    bool keepGoing = false;  // go on after an interval that did not complete
    bool stopAtEnd = false;  // stop the service at the end and look for leftovers
    // The real world (tools/sim/RealWorld.h): the classes on, and the chance per interval of
    // each.
    std::set<RealWorld> realWorld;
    double realWorldRate = 0.15;

    // Everything on: the workload the soak runs.
    void Demanding();
};

class Server {
public:
    Server(const ServerOptions& options, ServiceClient& client, EventHubServer& hub,
           Report& report);
    ~Server();

    // The whole run: 0 when every check passed, 3 when something failed, 1 when the server
    // could not even start (no backup folder).
    int Run();

    // From other threads: end after the current interval; upload or restart at the next step.
    void RequestFinish() { mFinish = true; }
    void RequestUpload() { mWantUpload = true; }
    void RequestServerRestart() { mWantRestart = true; }
    // A log ending inside the newest published interval, at the next step; "@late-close"
    // follows the next interval-done file.
    void RequestLate() { mWantLate = true; }

    const Ledger& GetLedger() const { return mL; }

private:
    struct Target {
        std::string path;
        std::string before;
        bool deep;           // the whole tree, not only the folder itself
        bool ownedByServer;  // the server's own file, removed after the round
    };

    void Setup();
    bool RunInterval();  // false: the run cannot go on
    void Final();
    void Step();  // between two actions: notifications, requests
    void TakeNotices(bool upload);
    bool AwaitNotice(int db, std::chrono::steady_clock::time_point& deadline);
    bool WaitForInterval(int k);
    // Every database the server still has failed: an interval has no folder to show.
    bool NothingToPublish(int k) const;

    // Into a new upload folder, or into `folder` (the real world's shared folders).
    void Upload(int d, const std::string& why, const std::string& folder = "");
    void Log(int d, std::uint64_t endUTC, bool flipPage = false, bool twice = false);
    void Close(std::uint64_t end, bool early);
    void BadRound(std::uint64_t t);
    void HostileCalls();
    void CheckTargets();
    void CheckKeep();
    void RestartServer();
    void Said(const std::string& marker);

    // The real world (RealWorld.cpp of the server).
    bool RealRoll(RealWorld c, double scale = 1);
    void Happened(RealWorld c, const std::string& what);
    void SharedUploads();
    void Recreate();
    void RetiredLog();
    int AddDatabase(const std::function<std::string(int)>& name);
    void NewLongNamed();
    // True when it was written again under a short name, as file `again`.
    bool LongNameRefused(std::size_t idx, std::int32_t answer, std::size_t& again);
    void LateLog();
    void StaleClose(std::uint64_t prev);
    void RaceFolderChange();
    void FirstLogDamaged(std::uint64_t t);
    void NewDatabaseLaterLogDamaged(std::uint64_t t);
    void MountCopies();
    void UnmountCopies();
    // An upload of database d went with the file system it lay on: the server uploads it
    // again, and a name it was to take stays the dropped database's until then.
    void UploadLost(int d);
    void XdevProbe();
    void FlipByte();
    // (12) The open redo folder moved out of the backup folder, a link to a copy of it left
    // in its place; the interval-done file then goes into a redo folder of its own.
    void SwapRedoFolder();
    void SwapRedoLog();
    void CheckLinks(int k);
    void CheckRealWorld(int k);
    bool OnlyDamagedCopy(const Ledger::Damaged& x);
    // The open interval of database d, which has accepted logs there, starts from its newest
    // copy: a damaged one is recorded as that interval's start.
    void MarkDamagedStart(int d);
    // Whether the service reported the event since `from`, to the hub or (no hub taking it)
    // to its system log; waits a few seconds for it.
    bool EventSince(const EventMark& from, std::uint32_t expected,
                    const std::vector<std::string>& names);
    EventMark MarkEvents();

    // By index: the ledger's records move when files are added during a call.
    std::int32_t AnnounceLog(std::size_t idx, const std::string& uuid);
    bool AnnounceUpload(std::size_t idx);
    std::size_t AddFile(FileRec f);
    std::string RedoFolder();
    std::string LogName(const std::string& stem);
    std::vector<std::uint64_t> PlanPages(int d);
    std::uint64_t Rand(std::uint64_t n) { return n ? mRng() % n : 0; }
    bool Roll(double p) { return p > 0 && (mRng() % 1000000) < p * 1000000; }
    int PickDb(bool healthyOnly);
    bool Failing(int d) const;
    std::string Snapshot(const std::string& path, bool deep) const;
    bool InRejected(const std::string& path) const;
    void Journal(const std::string& line);
    void SaveModels();
    std::string Bogus(int d, const std::string& path, std::uint64_t endUTC, int cut,
                      int flipHeaderByte, std::uint64_t msnBack = 0);

    ServerOptions mO;
    ServiceClient& mClient;
    EventHubServer& mHub;
    Report& mR;
    Session mSession;
    Ledger mL;
    Checker mChecker;
    std::mt19937_64 mRng;
    std::uint64_t mClock;  // the last interval end (the start of the open interval)
    std::string mRedo;     // the open interval's redo folder
    int mSeq = 0, mUploads = 0;
    std::vector<std::size_t> mUnanswered;
    std::vector<Target> mTargets;
    std::vector<Target> mKeep;  // files of the backup folder's owner: never the service's
    bool mEarly = false;        // the open interval already has a log (written early)
    bool mLastQuiet = false;
    std::vector<std::uint64_t> mSaved;  // per database: the MSN last saved to the work folder
    std::ofstream mJournal;
    std::uint64_t mBytes = 0;
    int mVerified = 0;

    std::mutex mNoticeM;
    std::condition_variable mNoticeCv;
    std::vector<std::string> mNotices;
    std::vector<std::pair<std::string, int>> mSetAsideEvents;
    std::atomic<bool> mFinish{false}, mWantUpload{false}, mWantRestart{false}, mWantLate{false};
    // Real world.
    std::vector<std::pair<std::uint32_t, std::vector<std::string>>> mEvents;  // every event
    bool mLatePending = false;  // a late log waits for the next interval-done file
    std::string mCopiesMount;   // Copies/ while another file system is mounted on it
    int mCopiesMountedAt = 0;
    bool mProbedXdev = false;
    int mMounts = -1;  // -1: not known yet; 0: no private mount namespace
    std::map<RealWorld, int> mHappened;
};

}  // namespace sim
