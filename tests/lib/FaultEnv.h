// A fault seam: an Env wrapper whose armed calls fail before its target is asked; nothing else
// in the process sees them.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/support/Env.h"

namespace Mirel {

// Asks Gate before each call on a path: non-zero is the call's error, its target unasked. A
// rename is checked on both names; ownership only fails where the process sets it.
class GatedEnv : public EnvWrapper {
public:
    explicit GatedEnv(Env& target) : EnvWrapper(target) {}
    using S = const std::string&;

#define IBS_GATED(op, path, Name, Params, Args, ...)            \
    Error Name Params override {                                \
        __VA_ARGS__;                                            \
        if (Error e = Check(FsOp::op, path); !e.OK()) return e; \
        return EnvWrapper::Name Args;                           \
    }
    IBS_GATED(kStat, p, Stat, (S p, Os::Info& i), (p, i), i = Os::Info())
    IBS_GATED(kStat, p, FStat, (int fd, Os::Info& i, S p), (fd, i, p), i = Os::Info())
    IBS_GATED(kList, p, ListDir, (S p, std::vector<Os::DirEntry>& e), (p, e))
    IBS_GATED(kCreateDir, p, MakeDir, (S p), (p))
    IBS_GATED(kRemoveDir, p, RemoveDir, (S p), (p))
    IBS_GATED(kDeleteFile, p, DeleteFile, (S p), (p))
    IBS_GATED(kDeleteFile, p, DeleteFileAt, (int d, S n, S p), (d, n, p))
    IBS_GATED(kHardLink, l, HardLink, (S e, S l), (e, l))
    IBS_GATED(kSync, p, SyncDir, (S p), (p))
    IBS_GATED(kSetLocked, p, SetReadOnly, (S p, bool ro), (p, ro))
    IBS_GATED(kOpenRead, p, OpenRead, (S p, int& fd, Os::Info* i, bool nb), (p, fd, i, nb), fd = -1)
    IBS_GATED(kOpenRead, p, OpenReadAt, (int d, S n, S p, int& fd, Os::Info* i, bool nb),
              (d, n, p, fd, i, nb), fd = -1)
    IBS_GATED(kOpenWrite, p, OpenWrite, (S p, const Os::WriteMode& how, int& fd), (p, how, fd),
              fd = -1)
    IBS_GATED(kRead, p, PReadAll,
              (int fd, void* b, std::size_t n, std::uint64_t off, std::size_t& got, S p),
              (fd, b, n, off, got, p), got = 0)
    IBS_GATED(kWrite, p, PWriteAll, (int fd, const void* b, std::size_t n, std::uint64_t off, S p),
              (fd, b, n, off, p))
    IBS_GATED(kWrite, p, PWriteV, (int fd, const iovec* v, int count, std::uint64_t off, S p),
              (fd, v, count, off, p))
    IBS_GATED(kWrite, p, Append, (int fd, const void* b, std::size_t n, S p), (fd, b, n, p))
    IBS_GATED(kTruncate, p, Truncate, (int fd, std::uint64_t size, S p), (fd, size, p))
    IBS_GATED(kLock, p, Lock, (int fd, S p), (fd, p))
    IBS_GATED(kLock, p, LockFolder, (S p, int& fd), (p, fd), fd = -1)
    IBS_GATED(kSync, p, SyncFile, (int fd, S p), (fd, p))
    IBS_GATED(kSetLocked, p, MakeOwn, (S p, Os::Info* seen), (p, seen),
              if (!Os::CopyOwnership()) return Error())
    IBS_GATED(kSetLocked, p, MakeOwnOpen, (int fd, S p), (fd, p),
              if (!Os::CopyOwnership()) return Error())
    IBS_GATED(kClone, p, CloneFile, (int from, int to, S p), (from, to, p))
    IBS_GATED(kTag, p, SetTag, (int fd, const char* n, const void* v, std::size_t size, S p),
              (fd, n, v, size, p))
    IBS_GATED(kAny, r, CheckRealPath, (S r, const std::vector<std::string>& c, bool lastIsFile),
              (r, c, lastIsFile))
    IBS_GATED(kAny, r, OpenRealFolder, (S r, const std::vector<std::string>& c, int& fd),
              (r, c, fd), fd = -1)
    IBS_GATED(kRename, to, Move, (S from, S to, bool replace), (from, to, replace),
              if (Error e = Check(FsOp::kRename, from); !e.OK()) return e)
    IBS_GATED(kCopy, from, BeginCopy, (S from, S to), (from, to),
              if (Error e = Check(FsOp::kCopy, to); !e.OK()) return e)
#undef IBS_GATED
    bool CanWrite(const std::string& p) override {
        return Gate(FsOp::kStat, p) == 0 && EnvWrapper::CanWrite(p);
    }
    bool IsFolder(const std::string& p) override {
        return Gate(FsOp::kStat, p) == 0 && EnvWrapper::IsFolder(p);
    }
    bool SameObject(const std::string& a, const std::string& b) override {
        return Gate(FsOp::kStat, a) == 0 && Gate(FsOp::kStat, b) == 0 &&
               EnvWrapper::SameObject(a, b);
    }

protected:
    // The error number the call on `path` fails with; 0: it goes to the target.
    virtual int Gate(FsOp op, const std::string& path) = 0;
    Error Check(FsOp op, const std::string& path) {
        return Error(Gate(op, path), OpWord(op), path);
    }
};

class FaultEnv : public GatedEnv {
public:
    explicit FaultEnv(Env& target = Env::Default()) : GatedEnv(target) {}

    // The next `count` calls (all when < 0) of `op` (kAny: any) on `pattern` (a trailing '*'
    // matches every path starting with the rest) fail with `error`.
    void Arm(FsOp op, const std::string& pattern, int error, int count = -1);
    void Clear();
    // Disarms everything at the end of a scope.
    class Scope {
    public:
        explicit Scope(FaultEnv& env) : mEnv(env) {}
        ~Scope() { mEnv.Clear(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        FaultEnv& mEnv;
    };
    // How many calls an armed fault has failed since the start.
    int Fired() const { return mFired.load(); }

private:
    struct Fault {
        FsOp op;
        std::string pattern;
        int error;
        int remaining;
    };
    // The armed fault's error for this call (0: none), counted down.
    int Gate(FsOp op, const std::string& path) override;

    std::atomic<bool> mArmed{false};
    std::atomic<int> mFired{0};
    std::mutex mM;
    std::vector<Fault> mFaults;
};

}  // namespace Mirel
