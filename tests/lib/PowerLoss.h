// Power-loss runs (the model: docs/platform.md): a test counts the durability points (SyncFile,
// SyncDir below a folder) in one run, then reruns with Start(root, k) for every k: the k-th point
// does not happen, every later call below the folder fails with kErrIO, and Restart() leaves
// what a reboot would find.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/lib/FaultEnv.h"

namespace Mirel {
namespace PowerLoss {

enum class Loss {
    kWorst,    // every change that was not durable is lost
    kSeeded,   // each change that was not durable is kept, lost or (writes) partly kept
    kKeepAll,  // nothing is lost: what a killed process leaves behind
    // Folder changes kept, of each file's unsynced writes only the last (written out of order).
    kLastWriteOnly,
};

struct Outcome {
    std::uint64_t entriesKept = 0, entriesLost = 0;  // folder entry changes not yet durable
    std::uint64_t writesKept = 0, writesLost = 0, writesTorn = 0;
    std::vector<std::string> lost;    // what was dropped, one line each
    std::vector<std::string> errors;  // changes the loss could not be applied to (a bug)
};

struct Run;

// An Env wrapper that records, while a run is on, every change below the run's folder.
class Disk : public GatedEnv {
public:
    explicit Disk(Env& target = Env::Default());
    ~Disk() override;

    // Starts recording changes below `root` (a folder path without a trailing '/').
    // `crashAt` 0 never crashes on its own; k crashes instead of the k-th durability point.
    void Start(const std::string& root, std::uint64_t crashAt = 0);
    // Durability points counted since Start.
    std::uint64_t Points();
    bool Crashed();
    // What the crash point was ("sync file <path>", "sync folder <path>"), empty before it.
    std::string CrashPoint();
    // Crashes now if not yet, drops what `loss` (and `seed`) say and ends the run.
    Outcome Restart(Loss loss, std::uint64_t seed = 0);
    // Ends a run without a crash; everything stays as it is.
    void Stop();

    Error MakeDir(S path) override;
    Error RemoveDir(S path) override;
    Error DeleteFile(S path) override;
    Error DeleteFileAt(int dirFd, S name, S path) override;
    Error Move(S from, S to, bool replace) override;
    Error HardLink(S existing, S link) override;
    Error SyncDir(S path) override;
    Error OpenWrite(S path, const Os::WriteMode& how, int& fd) override;
    Error PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, S path) override;
    Error PWriteV(int fd, const iovec* iov, int count, std::uint64_t off, S path) override;
    Error Append(int fd, const void* buf, std::size_t n, S path) override;
    Error Truncate(int fd, std::uint64_t size, S path) override;
    Error SyncFile(int fd, S path) override;
    Error CloneFile(int from, int to, S path) override;
    Error CopyRange(int in, S from, int out, S to, std::uint64_t size) override;

private:
    friend class NoCrashScope;
    // DeleteFile and DeleteFileAt: `unlink` removes `path` through the target.
    Error Unlink(const std::string& path, const std::function<Error(Env&)>& unlink);
    // The machine is off for this path: every call on it fails.
    bool Off(const std::string& path);
    int Gate(FsOp op, const std::string& path) override;
    bool Recording(const std::string& path);
    Error Write(int fd, const void* buf, std::size_t n, std::uint64_t off, bool append,
                const std::string& path);
    void EndRun();

    std::mutex mM;
    std::unique_ptr<Run> mRun;
    std::atomic<bool> mOn{false}, mOff{false};
    std::atomic<int> mQuiet{0};
};

// For a test's own set-up steps: durability points inside neither count nor crash.
class NoCrashScope {
public:
    explicit NoCrashScope(Disk& disk);
    ~NoCrashScope();
    NoCrashScope(const NoCrashScope&) = delete;
    NoCrashScope& operator=(const NoCrashScope&) = delete;

private:
    Disk& mDisk;
};

// Stops a run at the end of a scope (a failed assertion must not leave one recording).
class Scope {
public:
    explicit Scope(Disk& disk) : mDisk(disk) {}
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope() { mDisk.Stop(); }

private:
    Disk& mDisk;
};

}  // namespace PowerLoss
}  // namespace Mirel
