// ibs-soak: the service against the simulated server, killed with SIGKILL at chosen moments.
//
// Each round aims at one moment (an upload, a redo log being written, an interval start, the
// rename to last-good, a folder change, redo logs being applied, or any time), waits for the
// sign of it in the backup folder (inotify) or in the simulated server's "@step" lines, kills
// the service, names what was happening at that instant, and starts the service again. The
// simulated server carries on through the restarts and checks every interval. At the end the
// server finishes its interval, stops the service and looks for leftovers, and the soak
// prints a table. Exit 0 only when nothing was lost or wrong. Run it through scripts/soak,
// which gives it a network namespace of its own (port 50004 is fixed).
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>

#include <CLI/CLI.hpp>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "platform/support/Directory.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"
#include "tools/sim/Process.h"
#include "tools/sim/RawDb.h"
#include "tools/sim/RealWorld.h"
#include "tools/sim/Verify.h"

using sim::Child;
using sim::Clock;
using sim::NotifySocket;

namespace {

void MakeDirs(const std::string& p) {
    Mirel::Directory(Mirel::UniversalPath::Folder(p)).CreateIfNotExists();
}

void WriteFile(const std::string& path, const std::string& content) {
    if (Mirel::Os::WriteFileDurable(path, content) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::string SelfDir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string p(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    return p.substr(0, p.rfind('/'));
}

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Every file, folder and link below the last-good folders of `root` (links not followed):
// relative path -> its bytes' size and CRC-32C, "<dir>", or "-> target".
std::map<std::string, std::string> LastGoodTree(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string rel = it->path().string().substr(root.size() + 1);
        if (rel.rfind("LastGood_", 0) != 0) {
            if (it.depth() == 0) it.disable_recursion_pending();
            continue;
        }
        const auto st = it->symlink_status(ec);
        if (fs::is_symlink(st)) {
            out[rel] = "-> " + fs::read_symlink(it->path(), ec).string();
        } else if (fs::is_directory(st)) {
            out[rel] = "<dir>";
        } else {
            std::uint64_t size = 0;
            const std::uint32_t crc = sim::FileCrc32c(it->path().string(), size);
            out[rel] = std::to_string(size) + " bytes, CRC-32C " + std::to_string(crc);
        }
    }
    return out;
}

// What differs between two trees, a line each; empty when they are the same.
std::string TreeDiff(const std::map<std::string, std::string>& want,
                     const std::map<std::string, std::string>& got) {
    std::string out;
    for (const auto& [p, v] : want) {
        auto it = got.find(p);
        if (it == got.end())
            out += "\n  missing " + p + " (" + v + ")";
        else if (it->second != v)
            out += "\n  " + p + ": " + it->second + ", expected " + v;
    }
    for (const auto& [p, v] : got)
        if (!want.count(p)) out += "\n  extra " + p + " (" + v + ")";
    return out;
}

// What was going on: in the order a kill is named by when several were.
const std::array<const char*, 9> kMoments = {"late-close",    "rename",  "interval-start",
                                             "folder-change", "upload",  "applying",
                                             "logs",          "cleanup", "idle"};
// What a round aims at; "late" (a late log, then the next interval-done file) in the real
// world only.
const std::array<const char*, 8> kAims = {
    "upload", "logs", "interval-start", "rename", "folder-change", "applying", "any", "late"};

// Watches the backup folder tree and says what each change means.
class Watcher {
public:
    explicit Watcher(const std::string& backup) : mBackup(backup) {
        mFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        Add(backup, true);
    }
    ~Watcher() { ::close(mFd); }
    int Fd() const { return mFd; }

    // Reads what is there; calls `seen(moment, name)` for each change.
    template <class F>
    void Read(F&& seen) {
        alignas(inotify_event) char buf[65536];
        for (;;) {
            ssize_t n = ::read(mFd, buf, sizeof buf);
            if (n <= 0) return;
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + e->len;
                auto it = mPaths.find(e->wd);
                if (it == mPaths.end()) continue;
                if (e->mask & IN_IGNORED) {
                    mPaths.erase(it);
                    continue;
                }
                std::string dir = it->second, name = e->len ? e->name : "";
                std::string path = dir + "/" + name;
                bool root = dir == mBackup;
                if ((e->mask & (IN_CREATE | IN_MOVED_TO)) && (e->mask & IN_ISDIR) &&
                    name.rfind("LastGood_", 0) != 0 && name != "Rejected")
                    Add(path, false);
                if (root && name == "InProgress" && (e->mask & IN_MOVED_FROM)) {
                    // Its watches follow the folder into its last-good name: drop them.
                    for (auto w = mPaths.begin(); w != mPaths.end();) {
                        if (w->second.rfind(path, 0) == 0) {
                            ::inotify_rm_watch(mFd, w->first);
                            w = mPaths.erase(w);
                        } else {
                            ++w;
                        }
                    }
                }
                seen(Classify(dir, name, e->mask), path);
            }
        }
    }

private:
    void Add(const std::string& dir, bool root) {
        std::uint32_t mask = IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE;
        if (!root) mask |= IN_MODIFY | IN_CLOSE_WRITE;
        int wd = ::inotify_add_watch(mFd, dir.c_str(), mask | IN_ONLYDIR | IN_DONT_FOLLOW);
        if (wd < 0) return;
        mPaths[wd] = dir;
        // What was made before the watch was in place.
        std::error_code ec;
        for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end;
             it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (it->symlink_status(ec).type() == std::filesystem::file_type::directory &&
                name.rfind("LastGood_", 0) != 0 && name != "Rejected")
                Add(it->path().string(), false);
        }
    }
    std::string Classify(const std::string& dir, const std::string& name, std::uint32_t mask) {
        std::string rel = dir.size() > mBackup.size() ? dir.substr(mBackup.size() + 1) : "";
        auto under = [&](const char* top) { return rel.rfind(top, 0) == 0; };
        if (rel.empty()) {
            if (name == "InProgress" && (mask & IN_CREATE)) return "interval-start";
            if (name == "InProgress" || name.rfind("LastGood_", 0) == 0) return "rename";
            return "cleanup";
        }
        if (under("InProgress")) {
            if (name.rfind("manifest", 0) == 0) return "rename";
            bool part = name.find(".part") != std::string::npos || name.rfind(".ibs-", 0) == 0;
            if ((mask & (IN_MODIFY | IN_CLOSE_WRITE)) && !part) return "applying";
            return "interval-start";
        }
        if (under("Copies"))
            return (mask & (IN_MOVED_FROM | IN_DELETE)) ? "interval-start" : "upload";
        if (under("Changes")) return (mask & (IN_DELETE | IN_MOVED_FROM)) ? "cleanup" : "logs";
        return "cleanup";
    }

    std::string mBackup;
    int mFd = -1;
    std::map<int, std::string> mPaths;
};

// Counts the removals of a file or folder made through it; with `killAt`, the process kills
// itself with SIGKILL before that removal, as an operator's kill would land there.
class Removals : public Mirel::EnvWrapper {
public:
    explicit Removals(int killAt = 0) : EnvWrapper(Mirel::Env::Default()), mKillAt(killAt) {}
    Mirel::Error DeleteFile(const std::string& path) override {
        Count();
        return EnvWrapper::DeleteFile(path);
    }
    Mirel::Error DeleteFileAt(int dirFd, const std::string& name,
                              const std::string& path) override {
        Count();
        return EnvWrapper::DeleteFileAt(dirFd, name, path);
    }
    Mirel::Error RemoveDir(const std::string& path) override {
        Count();
        return EnvWrapper::RemoveDir(path);
    }
    int count = 0;

private:
    void Count() {
        if (++count == mKillAt) ::kill(::getpid(), SIGKILL);
    }
    int mKillAt;
};

struct Options {
    int rounds = 20;
    int timeout = 60;  // seconds an interval may take after the service's last start
    std::uint64_t seed = 1;
    std::string talonib, sim, ibsdb, work;
    bool keep = false, quiet = false;
    std::vector<std::string> simArgs;
    std::set<sim::RealWorld> realWorld;  // the server's classes, and the soak's own
};

class Soak {
public:
    explicit Soak(const Options& o) : mO(o), mRng(o.seed * 7919 + 1), mStart(Clock::now()) {}

    int Run() {
        Prepare();
        // A server run that ends early (an interval that never completes) is followed by a
        // new one in a new backup folder, until every round was run.
        int round = 1;
        for (int episode = 1; round <= mO.rounds; ++episode) {
            if (!StartEpisode(episode)) return Finish(2);
            while (round <= mO.rounds && !mSimEnded) {
                Outcome o = RunRound(round);
                if (o == Outcome::kKilled) ++round;
                if (o == Outcome::kNoService) return Finish(2);
                if (o == Outcome::kSimEnded) break;
            }
            EndEpisode();
            if (mSummary.empty()) {
                Say("soak: the simulated server ended without its summary (exit " +
                    std::to_string(mSimExit) + "); see above");
                return Finish(2);
            }
        }
        return Finish(0);
    }

private:
    void Say(const std::string& line) { std::cout << line << std::endl; }

    bool StartEpisode(int episode) {
        std::string n = episode == 1 ? "" : "-" + std::to_string(episode);
        mBackup = mWork + "/backup" + n;
        MakeDirs(mBackup);
        WriteFile(mWork + "/prefs.xml",
                  "<?xml version=\"1.0\"?>\n<preferences>\n"
                  "  <pref id=\"67\" type=\"int\">1</pref>\n"
                  "  <pref id=\"68\" type=\"text\">" +
                      mBackup + "</pref>\n</preferences>\n");
        if (!StartService()) return false;
        std::uint64_t seed = mO.seed + static_cast<std::uint64_t>(episode) - 1;
        if (episode > 1)
            Say("soak: a new server run in " + mBackup + ", seed " + std::to_string(seed));
        std::vector<std::string> argv = {mO.sim,
                                         "run",
                                         "--backup",
                                         mBackup,
                                         "--work",
                                         mWork + "/sim" + n,
                                         "--profile",
                                         "demanding",
                                         "--intervals",
                                         "0",
                                         "--seed",
                                         std::to_string(seed),
                                         "--markers",
                                         "--commands",
                                         "--stop-at-end",
                                         "--timeout",
                                         std::to_string(mO.timeout),
                                         "--system-log",
                                         SystemLog()};
        if (!mO.realWorld.empty()) {
            std::string list;
            // An operator's expiry is the soak's own: the server cannot run it between kills.
            for (sim::RealWorld c : mO.realWorld)
                if (c != sim::RealWorld::kExpire)
                    list += (list.empty() ? "" : ",") + std::string(sim::RealWorldName(c));
            if (!list.empty()) argv.push_back("--real-world-classes=" + list);
        }
        argv.insert(argv.end(), mO.simArgs.begin(), mO.simArgs.end());
        mSimEnded = mEnding = false;
        mOutBuf.clear();
        mErrBuf.clear();
        mSummary.clear();
        mSim = std::make_unique<Child>(argv, std::map<std::string, std::string>{});
        mWatch = std::make_unique<Watcher>(mBackup);
        ++mEpisodes;
        return true;
    }

    void EndEpisode() {
        // The server finishes its interval, stops the service and looks for leftovers.
        mEnding = true;
        if (!mSimEnded) mSim->Write("finish\n");
        auto deadline = Clock::now() + std::chrono::minutes(10);
        while (!mSimEnded && Clock::now() < deadline) Poll(deadline);
        if (!mSimEnded) {
            Say("soak: the simulated server did not finish in 10 minutes");
            mSim->Signal(SIGKILL);
            SimEnded();
        }
        if (mService && !mService->Wait(30000)) {
            mService->Signal(SIGTERM);
            if (!mService->Wait(30000)) mService->Signal(SIGKILL);
        }
        mService.reset();
        auto v = mSummary.find(" verified=");
        if (v != std::string::npos) mVerified += std::atoi(mSummary.c_str() + v + 10);
        if (mSimExit != 0 || mSummary.empty()) ++mBadRuns;
        mSim.reset();
    }

    void Prepare() {
        if (mO.work.empty()) {
            const char* base = std::getenv("TMPDIR");
            std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ibs-soak-XXXXXX";
            std::vector<char> buf(tmpl.begin(), tmpl.end());
            buf.push_back('\0');
            if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
            mWork = buf.data();
            mOwnWork = true;
        } else {
            mWork = mO.work;
        }
        for (const char* d : {"/log", "/run"}) MakeDirs(mWork + d);
        if (!mO.realWorld.empty()) {
            // The real world mounts (a read-only backup folder, another file system on
            // Copies/): in a mount namespace of the soak's own, which the service and the
            // server share and nobody else sees.
            mMounts = ::unshare(CLONE_NEWNS) == 0 &&
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
            if (!mMounts)
                Say("soak: no mount namespace of its own (needs root): the real world's setup "
                    "and xdev classes are not generated");
        }
        mNotify = std::make_unique<NotifySocket>(mWork + "/notify");
        Say("soak: seed " + std::to_string(mO.seed) + ", " + std::to_string(mO.rounds) +
            " rounds, work folder " + mWork);
    }

    // (1) The service starts while its backup folder is read-only, so its set-up fails; the
    // folder is writeable again before the server, held still meanwhile, names it again.
    bool StartServiceReadOnly() {
        if (::mount(mBackup.c_str(), mBackup.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return StartService();
        if (::mount(nullptr, mBackup.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
            0) {
            ::umount2(mBackup.c_str(), MNT_DETACH);
            return StartService();
        }
        if (mSim) mSim->Signal(SIGSTOP);
        bool ok = StartService();
        ::umount2(mBackup.c_str(), MNT_DETACH);
        if (mSim) mSim->Signal(SIGCONT);
        ++mReadOnlyStarts;
        Say("soak: real-world setup: the service started on a read-only backup folder");
        return ok;
    }

    std::string SystemLog() const { return mWork + "/log/talonib.stderr"; }

    bool StartService() {
        std::map<std::string, std::string> env = {{"VELLUMARK_LOG_DIR", mWork + "/log"},
                                                  {"VELLUMARK_RUN_DIR", mWork + "/run"},
                                                  {"VELLUMARK_PREFS", mWork + "/prefs.xml"},
                                                  {"VELLUMARK_UNIT_DIR", mWork + "/units"},
                                                  {"VELLUMARK_LINK_CHECK_MS", "200"},
                                                  {"NOTIFY_SOCKET", mWork + "/notify"},
                                                  {"INVOCATION_ID", ""}};
        // Its event records that no hub took (before the server registers again) are in
        // its standard error: the server looks for them there too.
        mService =
            std::make_unique<Child>(std::vector<std::string>{mO.talonib}, env, false, SystemLog());
        ++mStarts;
        if (mNotify->WaitFor("READY=1", 60000)) return true;
        Say("the service did not report ready within 60 s (start " + std::to_string(mStarts) + ")");
        return false;
    }

    // Handles whatever arrives until `until`; returns when an aimed trigger fired too.
    void Poll(Clock::time_point until, const std::function<bool()>& done = {}) {
        for (;;) {
            pollfd fds[4] = {{mSim->OutFd(), POLLIN, 0},
                             {mSim->ErrFd(), POLLIN, 0},
                             {mWatch->Fd(), POLLIN, 0},
                             {mService ? mService->PidFd() : -1, POLLIN, 0}};
            int wait = sim::MsLeft(until);
            if (mFireAt && *mFireAt < until) wait = sim::MsLeft(*mFireAt);
            int n = ::poll(fds, 4, wait);
            auto now = Clock::now();
            if (n > 0) {
                if (fds[0].revents) ReadLines(mSim->OutFd(), mOutBuf, false);
                if (fds[1].revents) ReadLines(mSim->ErrFd(), mErrBuf, true);
                if (fds[2].revents)
                    mWatch->Read([&](const std::string& moment, const std::string&) {
                        // The server's own steps are aimed at through its markers.
                        Seen(moment, now,
                             moment != "upload" && moment != "logs" && moment != "folder-change");
                    });
                if (fds[3].revents && mService) {
                    if (mEnding)
                        mService->Wait(0);  // stopped by the server at the end
                    else
                        ServiceDied();
                    if (mEnding) mService.reset();
                }
                if ((fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) SimEnded();
            }
            if (mFireAt && Clock::now() >= *mFireAt) return;
            if (Clock::now() >= until || mSimEnded || (done && done())) return;
        }
    }

    void ReadLines(int fd, std::string& buf, bool err) {
        char tmp[8192];
        ssize_t n = ::read(fd, tmp, sizeof tmp);
        if (n <= 0) {
            if (!err) SimEnded();
            return;
        }
        buf.append(tmp, static_cast<std::size_t>(n));
        for (auto pos = buf.find('\n'); pos != std::string::npos; pos = buf.find('\n')) {
            std::string line = buf.substr(0, pos);
            buf.erase(0, pos + 1);
            Line(line, err);
        }
    }

    void Line(const std::string& line, bool err) {
        auto now = Clock::now();
        if (!line.empty() && line[0] == '@') {
            std::string m = line.substr(1);
            // Not "@bad": a kill amid the planted bad files would leave them to a restart's
            // scan, which cannot tell them from the server's own.
            std::string moment = m == "upload"                  ? "upload"
                                 : m == "folder"                ? "folder-change"
                                 : (m == "log" || m == "close") ? "logs"
                                 : m == "late-close"            ? "late-close"
                                                                : "";
            if (!moment.empty()) Seen(moment, now, true);
            return;
        }
        if (line.rfind("interval ", 0) == 0 && line.find(" verified:") != std::string::npos)
            ++mVerifiedLines;
        if (line.rfind("summary: ", 0) == 0) {
            mSummary = line;
            auto rw = line.find(" real-world:");
            if (rw != std::string::npos)
                mRealWorld += (mRealWorld.empty() ? "" : ";") + line.substr(rw + 12);
        }
        if (line.rfind("FAIL ", 0) == 0) {
            std::string cat = line.substr(5, line.find(':') - 5);
            ++mFails[cat];
        }
        if (err || !mO.quiet || line.rfind("FAIL ", 0) == 0 || line.rfind("summary", 0) == 0)
            Say(std::string(err ? "sim! " : "sim: ") + line);
    }

    void Seen(const std::string& moment, Clock::time_point t, bool aimable) {
        mLast[moment] = t;
        if (!mArmed || mFireAt || !aimable) return;
        if (moment != mAim) return;
        static const std::map<std::string, int> kDelayMs = {
            {"upload", 20},  {"logs", 10},          {"interval-start", 5}, {"rename", 3},
            {"applying", 5}, {"folder-change", 10}, {"late-close", 20}};
        auto d = kDelayMs.find(moment);
        int ms = d == kDelayMs.end() ? 0 : static_cast<int>(mRng() % (d->second + 1));
        mFireAt = t + std::chrono::milliseconds(ms);
    }

    void ServiceDied() {
        auto code = mService->Wait(0);
        if (!code) return;
        ++mCrashes;
        Say("soak: the service died on its own (exit " + std::to_string(*code) +
            "); starting it again");
        mService.reset();
        StartService();
    }

    void SimEnded() {
        if (mSimEnded) return;
        mSimEnded = true;
        // What is left in the pipe.
        std::string rest = mSim->Stdout();
        mOutBuf += rest;
        for (auto pos = mOutBuf.find('\n'); pos != std::string::npos; pos = mOutBuf.find('\n')) {
            Line(mOutBuf.substr(0, pos), false);
            mOutBuf.erase(0, pos + 1);
        }
        auto rc = mSim->Wait(10000);
        mSimExit = rc ? *rc : -1;
    }

    std::string Moment(Clock::time_point at) {
        // The most telling thing seen in the last 40 ms.
        for (const char* m : kMoments) {
            auto it = mLast.find(m);
            if (it != mLast.end() && Ms(it->second, at) <= 40) return m;
        }
        return "idle";
    }

    enum class Outcome { kKilled, kSimEnded, kNoService };

    Outcome RunRound(int round) {
        // Let the workload breathe; every third round, until an interval was checked.
        auto quiet = Clock::now() + std::chrono::milliseconds(mRng() % 400);
        Poll(quiet);
        if (round % 3 == 0) {
            int seen = mVerifiedLines;
            auto deadline = Clock::now() + std::chrono::seconds(10);
            Poll(deadline, [&] { return mVerifiedLines != seen; });
        }
        if (mSimEnded) return Outcome::kSimEnded;
        const bool expire = mO.realWorld.count(sim::RealWorld::kExpire) > 0;
        if (expire && mRng() % 4 == 0) ExpireWhileRunning();
        bool late = mO.realWorld.count(sim::RealWorld::kLate) > 0;
        mAim = kAims[mRng() % (kAims.size() - (late ? 0 : 1))];
        mArmed = true;
        mFireAt.reset();
        if (mAim == "upload") mSim->Write("upload\n");
        if (mAim == "folder-change") mSim->Write("restart-server\n");
        if (mAim == "late") {
            mSim->Write("late\n");
            mAim = "late-close";
        }
        if (mAim == "any") mFireAt = Clock::now() + std::chrono::milliseconds(mRng() % 1500);
        // A late log waits for the next interval-done file.
        auto give = Clock::now() + std::chrono::seconds(mAim == "late-close" ? 20 : 4);
        Poll(give, [&] { return mFireAt.has_value(); });
        if (mFireAt) Poll(*mFireAt);
        mArmed = false;
        if (mSimEnded) return Outcome::kSimEnded;
        if (!mService) return StartService() ? Outcome::kSimEnded : Outcome::kNoService;
        auto at = Clock::now();
        std::string moment = Moment(at);
        mService->Signal(SIGKILL);
        auto code = mService->Wait(10000);
        mService.reset();
        if (code && *code != 128 + SIGKILL) {
            ++mCrashes;
            Say("soak: the service had died on its own before the kill (exit " +
                std::to_string(*code) + ")");
        } else {
            ++mKills;
            ++mByMoment[moment];
        }
        Say("soak: kill " + std::to_string(round) + " at " +
            std::to_string(static_cast<int>(Ms(mStart, at) / 1000)) + " s aimed at " + mAim +
            (mFireAt ? "" : " (not seen)") + ", during " + moment);
        mFireAt.reset();
        if (expire && mRng() % 2 == 0) KilledExpiry();
        bool readOnly = mMounts && mO.realWorld.count(sim::RealWorld::kSetup) && mRng() % 4 == 0;
        return (readOnly ? StartServiceReadOnly() : StartService()) ? Outcome::kKilled
                                                                    : Outcome::kNoService;
    }

    void Fail(const std::string& what, const std::string& text) {
        ++mFails[what];
        Say("FAIL " + what + ": " + text);
    }

    // ibsdb as an operator runs it; its exit code, or nothing when it did not end in time.
    std::optional<int> RunIbsdb(std::vector<std::string> args, std::string& out,
                                int timeoutMs = 60000) {
        args.insert(args.begin(), mO.ibsdb);
        Child c(args, {});
        out = c.ReadAll(c.OutFd(), timeoutMs);
        return c.Wait(timeoutMs);
    }

    // (11) While the service runs, an operator's expiry is refused and removes nothing.
    void ExpireWhileRunning() {
        // Promised once the state file names it (a start whose set-up failed has not yet).
        if (!mService) return;
        std::ifstream state(mBackup + "/State.tsv");
        const std::string mine = "service\trunning\t" + std::to_string(mService->Pid()) + "\t";
        bool named = false;
        for (std::string l; std::getline(state, l);) named = named || l.rfind(mine, 0) == 0;
        if (!named) return;
        std::string out;
        auto rc = RunIbsdb({"expire", mBackup, "--keep", "1", "--keep-hours", "0"}, out);
        if (mService->Wait(0)) return;  // it died meanwhile: the answer may differ
        ++mExpiryRefusals;
        if (!rc || *rc != ibsdb::kUnknown || out.find("nothing removed") == std::string::npos)
            Fail("expiry", "ibsdb expire " + mBackup + " while the service runs exited " +
                               (rc ? std::to_string(*rc) : "late") + ", expected " +
                               std::to_string(ibsdb::kUnknown) + " (refused): " + out);
    }

    // (11) The service killed, an operator runs ibsdb expire with a random policy and is
    // killed at a random moment of it; the server holds still meanwhile, as the host's
    // operator does nothing else. Then: every restore point list calls whole (of those that
    // verified before) verifies and has every file its manifest lists, each database's
    // newest copy is there with its bytes, and the next expiry leaves the last-good folders
    // as one never killed left a copy of them.
    void KilledExpiry() {
        namespace fs = std::filesystem;
        mSim->Signal(SIGSTOP);
        struct Resume {
            Child* sim;
            ~Resume() { sim->Signal(SIGCONT); }
        } resume{mSim.get()};
        const std::string keep = mRng() % 4 == 0 ? "2" : "1", hours = mRng() % 8 == 0 ? "1" : "0";
        const std::string policy = "keep " + keep + ", keep-hours " + hours;
        // Where an expiry never killed ends, on a copy of what it reads (hard links kept).
        const std::string ref = mWork + "/expired";
        std::error_code ec;
        fs::remove_all(ref, ec);
        MakeDirs(ref);
        std::vector<std::string> cp = {"/bin/cp", "-a"};
        for (fs::directory_iterator it(mBackup, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string n = it->path().filename().string();
            if (n != "Changes" && n != "Copies" && n != "Rejected") cp.push_back(it->path());
        }
        cp.push_back(ref);
        Child copy(cp, {}, false);
        if (cp.size() == 3 || copy.Wait(120000) != 0) return;
        ibsdb::ExpireOptions o;
        o.backup = ref;
        o.keep = std::stoll(keep);
        o.keepHours = std::stoll(hours);
        int removals = 0;
        double took = 0;
        {
            Removals count;
            Mirel::Env::Scope use(count);
            std::ostringstream out;
            const auto t0 = Clock::now();
            const int rc = ibsdb::Expire(o, out);
            took = Ms(t0, Clock::now());
            removals = count.count;
            if (rc != ibsdb::kOk) {
                Fail("expiry", "ibsdb expire (" + policy + ") of a copy of " + mBackup +
                                   " exited " + std::to_string(rc) + ": " + out.str());
                return;
            }
        }
        o.backup = mBackup;
        const auto expired = LastGoodTree(ref);
        fs::remove_all(ref, ec);
        const auto start = LastGoodTree(mBackup);
        if (expired == start) return;  // nothing to expire under this policy
        // Each database's newest copy: the file in the newest folder that holds one.
        std::map<std::string, std::string> newest;  // UUID -> path
        std::set<std::string> verifiedBefore;
        for (const auto& f : sim::ListLastGood(mBackup)) {
            for (fs::recursive_directory_iterator it(f.path, ec), end; !ec && it != end;
                 it.increment(ec)) {
                if (it->symlink_status(ec).type() != fs::file_type::regular) continue;
                sim::DbFile db = sim::ReadDbFile(it->path().string());
                if (db.ok) newest[sim::UuidString(db.state.uuid)] = it->path().string();
            }
            ibsdb::VerifyOptions vo;
            vo.path = f.path;
            std::ostringstream ignored;
            if (ibsdb::Verify(vo, ignored) == ibsdb::kOk) verifiedBefore.insert(f.path);
        }
        std::map<std::string, std::string> newestBytes;
        for (const auto& [uuid, path] : newest) {
            std::uint64_t size = 0;
            newestBytes[path] =
                std::to_string(sim::FileCrc32c(path, size)) + "/" + std::to_string(size);
        }
        // Killed before a random one of the removals an unkilled one makes (the expiry in a
        // child of the soak's own that sends itself SIGKILL there), or now and then the
        // ibsdb program killed at a random moment of the time an unkilled one takes.
        const int killAt = removals > 0 && mRng() % 4 ? 1 + static_cast<int>(mRng() % removals) : 0;
        const int delayMs = static_cast<int>(mRng() % (static_cast<std::uint64_t>(took) + 3));
        std::optional<int> ended, code;
        if (killAt) {
            std::fflush(stdout);
            const pid_t child = ::fork();
            if (child == 0) {
                Removals dies(killAt);
                Mirel::Env::Scope use(dies);
                std::ostringstream ignored;
                ::_exit(ibsdb::Expire(o, ignored) == ibsdb::kOk ? 0 : 1);
            }
            int status = 0;
            if (child > 0 && ::waitpid(child, &status, 0) == child)
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (code != 128 + SIGKILL) ended = code;
        } else {
            Child run({mO.ibsdb, "expire", mBackup, "--keep", keep, "--keep-hours", hours}, {});
            ended = run.Wait(delayMs);
            run.Signal(SIGKILL);
            code = run.Wait(10000);
        }
        const bool killed = !ended && code == 128 + SIGKILL;
        ++mExpiries;
        mExpiriesKilled += killed ? 1 : 0;
        const std::string when =
            killAt ? "before removal " + std::to_string(killAt) + " of " + std::to_string(removals)
                   : "at " + std::to_string(delayMs) + " ms (ibsdb; an unkilled expiry takes " +
                         std::to_string(static_cast<int>(took)) + " ms in-process)";
        const std::string at =
            "real-world expire: " + policy + ", " +
            (killed ? "killed " + when
                    : "ended (exit " + (code ? std::to_string(*code) : std::string("?")) +
                          ") before its kill " + when);
        Say("soak: " + at);
        std::ostringstream listed;
        ibsdb::List(ibsdb::ListOptions(mBackup, true), listed);
        const ibsdb::Json j = ibsdb::Json::parse(listed.str(), nullptr, false);
        if (j.is_discarded() || !j.contains("restore_points")) {
            Fail("expiry", at + ": ibsdb list gives no restore points: " + listed.str());
        } else {
            for (const auto& point : j["restore_points"]) {
                if (!point.value("whole", false)) continue;
                const std::string folder = mBackup + "/" + point.value("folder", std::string());
                if (!verifiedBefore.count(folder)) continue;  // not the expiry's doing
                for (const auto& [rel, fields] : sim::ReadManifestLines(folder).databases)
                    if (!fs::is_regular_file(fs::symlink_status(folder + "/" + rel, ec)))
                        Fail("expiry", at + ": list calls " + folder + " whole and " + rel +
                                           ", which its manifest lists, is gone");
                ibsdb::VerifyOptions vo;
                vo.path = folder;
                std::ostringstream verified;
                if (int v = ibsdb::Verify(vo, verified); v != ibsdb::kOk)
                    Fail("expiry", at + ": list calls " + folder + " whole and verify exits " +
                                       std::to_string(v) + ": " + verified.str());
            }
        }
        for (const auto& [path, was] : newestBytes) {
            std::uint64_t size = 0;
            const std::string now =
                fs::is_regular_file(fs::symlink_status(path, ec))
                    ? std::to_string(sim::FileCrc32c(path, size)) + "/" + std::to_string(size)
                    : "gone";
            if (now != was)
                Fail("expiry", at + ": the newest copy " + path + " is " +
                                   (now == "gone" ? "gone" : "changed"));
        }
        std::ostringstream again;
        if (int e = ibsdb::Expire(o, again); e != ibsdb::kOk)
            Fail("expiry",
                 at + ": the next expiry exits " + std::to_string(e) + ": " + again.str());
        if (std::string d = TreeDiff(expired, LastGoodTree(mBackup)); !d.empty())
            Fail("expiry", at + ": the next expiry does not end where one never killed ends:" + d);
    }

    int Finish(int setupError) {
        auto count = [&](std::initializer_list<const char*> cats) {
            int n = 0;
            for (const char* c : cats) n += mFails.count(c) ? mFails[c] : 0;
            return n;
        };
        int total = 0;
        for (const auto& [c, n] : mFails) total += n;
        int mismatches = count({"mismatch", "missing", "stray"}), lost = count({"lost"}),
            leftovers = count({"leftover"});
        int verified = mVerified;
        std::printf("\n%-7s %-6s %-8s %-19s %-11s %-11s %-20s %s\n", "rounds", "kills", "crashes",
                    "intervals verified", "mismatches", "lost files", "leftover temp files",
                    "other failures");
        std::printf("%-7d %-6d %-8d %-19d %-11d %-11d %-20d %d\n", mO.rounds, mKills, mCrashes,
                    verified, mismatches, lost, leftovers, total - mismatches - lost - leftovers);
        std::string by;
        for (const char* m : kMoments)
            if (mByMoment.count(m))
                by +=
                    (by.empty() ? "" : ", ") + std::string(m) + " " + std::to_string(mByMoment[m]);
        std::printf("kills by moment: %s\n", by.empty() ? "none" : by.c_str());
        if (!mO.realWorld.empty()) {
            std::string expiries;
            if (mO.realWorld.count(sim::RealWorld::kExpire))
                expiries = ", expire=" + std::to_string(mExpiries) + " (" +
                           std::to_string(mExpiriesKilled) + " killed, " +
                           std::to_string(mExpiryRefusals) + " refused while the service ran)";
            std::printf("real world: %d read-only start(s)%s; the server's:%s\n", mReadOnlyStarts,
                        expiries.c_str(), mRealWorld.empty() ? " none" : mRealWorld.c_str());
        }
        if (!mFails.empty()) {
            std::string cats;
            for (const auto& [c, n] : mFails) cats += " " + c + "=" + std::to_string(n);
            std::printf("failures by kind:%s\n", cats.c_str());
        }
        std::fflush(stdout);
        if (mEpisodes > 1)
            std::printf("server runs: %d (each run that ended early was followed by a new one)\n",
                        mEpisodes);
        bool ok =
            setupError == 0 && total == 0 && mCrashes == 0 && mBadRuns == 0 && mKills == mO.rounds;
        if (ok && mOwnWork && !mO.keep)
            Mirel::Directory(Mirel::UniversalPath::Folder(mWork)).DeleteAll();
        else
            Say("soak: work folder kept: " + mWork);
        if (setupError) return setupError;
        return ok ? 0 : 1;
    }

    Options mO;
    std::mt19937_64 mRng;
    Clock::time_point mStart;
    std::string mWork, mBackup;
    bool mOwnWork = false;
    std::unique_ptr<NotifySocket> mNotify;
    std::unique_ptr<Child> mService, mSim;
    std::unique_ptr<Watcher> mWatch;
    std::string mOutBuf, mErrBuf, mSummary;
    std::map<std::string, Clock::time_point> mLast;
    std::string mAim;
    bool mArmed = false, mEnding = false, mSimEnded = false;
    std::optional<Clock::time_point> mFireAt;
    int mKills = 0, mCrashes = 0, mStarts = 0, mVerifiedLines = 0, mSimExit = -1;
    int mEpisodes = 0, mVerified = 0, mBadRuns = 0, mReadOnlyStarts = 0;
    int mExpiries = 0, mExpiriesKilled = 0, mExpiryRefusals = 0;
    bool mMounts = false;
    std::string mRealWorld;  // what the server runs said they did
    std::map<std::string, int> mByMoment, mFails;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Kills the backup service at chosen moments under a demanding server"};
    Options o;
    std::string dir = SelfDir();
    o.talonib = dir + "/talonib";
    o.sim = dir + "/vlserver-sim";
    o.ibsdb = dir + "/ibsdb";
    app.add_option("--rounds", o.rounds, "kills")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--seed", o.seed)->capture_default_str();
    app.add_option("--timeout", o.timeout, "seconds an interval may take after a restart")
        ->capture_default_str();
    app.add_option("--talonib", o.talonib)->capture_default_str();
    app.add_option("--sim", o.sim)->capture_default_str();
    app.add_option("--ibsdb", o.ibsdb, "for the real world's expire")->capture_default_str();
    app.add_option("--work", o.work, "work folder (default: a new one under $TMPDIR)");
    app.add_flag("--keep", o.keep, "keep the work folder");
    app.add_flag("--quiet", o.quiet, "show only failures and the table");
    app.add_option("--sim-arg", o.simArgs, "an argument for vlserver-sim run (repeatable)")
        ->allow_extra_args(false);
    bool realWorld = false;
    std::string classes;
    app.add_flag("--real-world", realWorld,
                 "the real world: read-only starts, kills after late logs, and the server's "
                 "classes (vlserver-sim --real-world)");
    app.add_option("--real-world-classes", classes, "only these classes (implies --real-world)");
    CLI11_PARSE(app, argc, argv);
    if (realWorld || !classes.empty()) {
        std::string bad;
        if (!sim::ParseRealWorld(classes.empty() ? "all" : classes, o.realWorld, &bad)) {
            std::cerr << "--real-world-classes: unknown class " << bad << "\n";
            return 2;
        }
    }
    try {
        return Soak(o).Run();
    } catch (const std::exception& e) {
        std::cerr << "ibs-soak: " << e.what() << "\n";
        return 2;
    }
}
