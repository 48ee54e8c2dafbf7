// A fault seam for tests: an Env wrapper that makes chosen calls fail before its target is
// asked. A test makes one, hands it to the code it tests (or makes it its thread's Env with
// Env::Scope), and arms faults on it; nothing else in the process sees them.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/support/Env.h"

namespace Mirel {

class FaultEnv : public EnvWrapper {
public:
    explicit FaultEnv(Env& target = Env::Default()) : EnvWrapper(target) {}

    // The next `count` calls of `op` (kAny: of every kind) on a path fail with `error` (every
    // one when count < 0). `pattern` is a path; with a trailing '*' it matches every path that
    // starts with the rest.
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

    Error Stat(const std::string& path, Os::Info& info) override;
    Error FStat(int fd, Os::Info& info, const std::string& path) override;
    bool CanWrite(const std::string& path) override;
    bool IsFolder(const std::string& path) override;
    bool SameObject(const std::string& a, const std::string& b) override;
    Error ListDir(const std::string& path, std::vector<Os::DirEntry>& entries) override;
    Error MakeDir(const std::string& path) override;
    Error RemoveDir(const std::string& path) override;
    Error DeleteFile(const std::string& path) override;
    Error DeleteFileAt(int dirFd, const std::string& name, const std::string& path) override;
    Error Move(const std::string& from, const std::string& to, bool replace) override;
    Error HardLink(const std::string& existing, const std::string& link) override;
    Error SyncDir(const std::string& path) override;
    Error SetReadOnly(const std::string& path, bool readOnly) override;
    Error OpenRead(const std::string& path, int& fd, Os::Info* info, bool nb) override;
    Error OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                     Os::Info* info, bool nb) override;
    Error OpenWrite(const std::string& path, const Os::WriteMode& how, int& fd) override;
    Error PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
                   const std::string& path) override;
    Error PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                    const std::string& path) override;
    Error PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                  const std::string& path) override;
    Error Append(int fd, const void* buf, std::size_t n, const std::string& path) override;
    Error Truncate(int fd, std::uint64_t size, const std::string& path) override;
    Error Lock(int fd, const std::string& path) override;
    Error LockFolder(const std::string& path, int& fd) override;
    Error SyncFile(int fd, const std::string& path) override;
    Error MakeOwn(const std::string& path) override;
    Error MakeOwnOpen(int fd, const std::string& path) override;
    Error CloneFile(int from, int to, const std::string& path) override;
    Error SetTag(int fd, const char* name, const void* value, std::size_t size,
                 const std::string& path) override;
    Error BeginCopy(const std::string& from, const std::string& to) override;
    Error CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                        bool lastIsFile) override;
    Error OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                         int& dirFd) override;

private:
    struct Fault {
        FsOp op;
        std::string pattern;
        int error;
        int remaining;
    };
    // The armed fault's error for this call (0: none), counted down.
    int Hit(FsOp op, const std::string& path);
    Error Fail(FsOp op, const std::string& path) { return Error(Hit(op, path), OpWord(op), path); }

    std::atomic<bool> mArmed{false};
    std::atomic<int> mFired{0};
    std::mutex mM;
    std::vector<Fault> mFaults;
};

}  // namespace Mirel
