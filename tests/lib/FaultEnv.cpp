#include "tests/lib/FaultEnv.h"

#include "platform/support/ErrorCodes.h"

namespace Mirel {

void FaultEnv::Arm(FsOp op, const std::string& pattern, int error, int count) {
    std::lock_guard<std::mutex> g(mM);
    mFaults.push_back({op, pattern, error, count});
    mArmed.store(true);
}

void FaultEnv::Clear() {
    std::lock_guard<std::mutex> g(mM);
    mFaults.clear();
    mArmed.store(false);
}

int FaultEnv::Hit(FsOp op, const std::string& path) {
    if (!mArmed.load()) return 0;
    std::lock_guard<std::mutex> g(mM);
    for (auto it = mFaults.begin(); it != mFaults.end(); ++it) {
        if (it->op != FsOp::kAny && it->op != op) continue;
        const std::string& p = it->pattern;
        const bool match = !p.empty() && p.back() == '*'
                               ? path.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0
                               : path == p;
        if (!match) continue;
        const int error = it->error;
        if (it->remaining > 0 && --it->remaining == 0) mFaults.erase(it);
        ++mFired;
        return error;
    }
    return 0;
}

Error FaultEnv::Stat(const std::string& path, Os::Info& info) {
    info = Os::Info();
    if (Error e = Fail(FsOp::kStat, path); !e.OK()) return e;
    return EnvWrapper::Stat(path, info);
}

Error FaultEnv::FStat(int fd, Os::Info& info, const std::string& path) {
    info = Os::Info();
    if (Error e = Fail(FsOp::kStat, path); !e.OK()) return e;
    return EnvWrapper::FStat(fd, info, path);
}

// A failed stat reads as "not there" to the callers that only ask.
bool FaultEnv::CanWrite(const std::string& path) {
    return Hit(FsOp::kStat, path) == 0 && EnvWrapper::CanWrite(path);
}

bool FaultEnv::IsFolder(const std::string& path) {
    return Hit(FsOp::kStat, path) == 0 && EnvWrapper::IsFolder(path);
}

bool FaultEnv::SameObject(const std::string& a, const std::string& b) {
    if (Hit(FsOp::kStat, a) != 0 || Hit(FsOp::kStat, b) != 0) return false;
    return EnvWrapper::SameObject(a, b);
}

Error FaultEnv::ListDir(const std::string& path, std::vector<Os::DirEntry>& entries) {
    if (Error e = Fail(FsOp::kList, path); !e.OK()) return e;
    return EnvWrapper::ListDir(path, entries);
}

Error FaultEnv::MakeDir(const std::string& path) {
    if (Error e = Fail(FsOp::kCreateDir, path); !e.OK()) return e;
    return EnvWrapper::MakeDir(path);
}

Error FaultEnv::RemoveDir(const std::string& path) {
    if (Error e = Fail(FsOp::kRemoveDir, path); !e.OK()) return e;
    return EnvWrapper::RemoveDir(path);
}

Error FaultEnv::DeleteFile(const std::string& path) {
    if (Error e = Fail(FsOp::kDeleteFile, path); !e.OK()) return e;
    return EnvWrapper::DeleteFile(path);
}
Error FaultEnv::DeleteFileAt(int dirFd, const std::string& name, const std::string& path) {
    if (Error e = Fail(FsOp::kDeleteFile, path); !e.OK()) return e;
    return EnvWrapper::DeleteFileAt(dirFd, name, path);
}

// A rename is checked on both names, its source first.
Error FaultEnv::Move(const std::string& from, const std::string& to, bool replace) {
    if (Error e = Fail(FsOp::kRename, from); !e.OK()) return e;
    if (Error e = Fail(FsOp::kRename, to); !e.OK()) return e;
    return EnvWrapper::Move(from, to, replace);
}

Error FaultEnv::HardLink(const std::string& existing, const std::string& link) {
    if (Error e = Fail(FsOp::kHardLink, link); !e.OK()) return e;
    return EnvWrapper::HardLink(existing, link);
}

Error FaultEnv::SyncDir(const std::string& path) {
    if (Error e = Fail(FsOp::kSync, path); !e.OK()) return e;
    return EnvWrapper::SyncDir(path);
}

Error FaultEnv::SetReadOnly(const std::string& path, bool readOnly) {
    if (Error e = Fail(FsOp::kSetLocked, path); !e.OK()) return e;
    return EnvWrapper::SetReadOnly(path, readOnly);
}

Error FaultEnv::OpenRead(const std::string& path, int& fd, Os::Info* info, bool nb) {
    fd = -1;
    if (Error e = Fail(FsOp::kOpenRead, path); !e.OK()) return e;
    return EnvWrapper::OpenRead(path, fd, info, nb);
}

Error FaultEnv::OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                           Os::Info* info, bool nb) {
    fd = -1;
    if (Error e = Fail(FsOp::kOpenRead, path); !e.OK()) return e;
    return EnvWrapper::OpenReadAt(dirFd, name, path, fd, info, nb);
}

Error FaultEnv::OpenWrite(const std::string& path, const Os::WriteMode& how, int& fd) {
    fd = -1;
    if (Error e = Fail(FsOp::kOpenWrite, path); !e.OK()) return e;
    return EnvWrapper::OpenWrite(path, how, fd);
}

Error FaultEnv::PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
                         const std::string& path) {
    got = 0;
    if (Error e = Fail(FsOp::kRead, path); !e.OK()) return e;
    return EnvWrapper::PReadAll(fd, buf, n, off, got, path);
}

Error FaultEnv::PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                          const std::string& path) {
    if (Error e = Fail(FsOp::kWrite, path); !e.OK()) return e;
    return EnvWrapper::PWriteAll(fd, buf, n, off, path);
}

Error FaultEnv::PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                        const std::string& path) {
    if (Error e = Fail(FsOp::kWrite, path); !e.OK()) return e;
    return EnvWrapper::PWriteV(fd, iov, count, off, path);
}

Error FaultEnv::Append(int fd, const void* buf, std::size_t n, const std::string& path) {
    if (Error e = Fail(FsOp::kWrite, path); !e.OK()) return e;
    return EnvWrapper::Append(fd, buf, n, path);
}

Error FaultEnv::Truncate(int fd, std::uint64_t size, const std::string& path) {
    if (Error e = Fail(FsOp::kTruncate, path); !e.OK()) return e;
    return EnvWrapper::Truncate(fd, size, path);
}

Error FaultEnv::Lock(int fd, const std::string& path) {
    if (Error e = Fail(FsOp::kLock, path); !e.OK()) return e;
    return EnvWrapper::Lock(fd, path);
}

Error FaultEnv::LockFolder(const std::string& path, int& fd) {
    fd = -1;
    if (Error e = Fail(FsOp::kLock, path); !e.OK()) return e;
    return EnvWrapper::LockFolder(path, fd);
}

Error FaultEnv::SyncFile(int fd, const std::string& path) {
    if (Error e = Fail(FsOp::kSync, path); !e.OK()) return e;
    return EnvWrapper::SyncFile(fd, path);
}

// Ownership is only set where the process keeps copies as its own; without it, nothing
// happens and nothing can fail.
Error FaultEnv::MakeOwn(const std::string& path) {
    if (!Os::CopyOwnership()) return Error();
    if (Error e = Fail(FsOp::kSetLocked, path); !e.OK()) return e;
    return EnvWrapper::MakeOwn(path);
}

Error FaultEnv::MakeOwnOpen(int fd, const std::string& path) {
    if (!Os::CopyOwnership()) return Error();
    if (Error e = Fail(FsOp::kSetLocked, path); !e.OK()) return e;
    return EnvWrapper::MakeOwnOpen(fd, path);
}

Error FaultEnv::SetTag(int fd, const char* name, const void* value, std::size_t size,
                       const std::string& path) {
    if (Error e = Fail(FsOp::kTag, path); !e.OK()) return e;
    return EnvWrapper::SetTag(fd, name, value, size, path);
}

Error FaultEnv::CloneFile(int from, int to, const std::string& path) {
    if (Error e = Fail(FsOp::kClone, path); !e.OK()) return e;
    return EnvWrapper::CloneFile(from, to, path);
}

Error FaultEnv::BeginCopy(const std::string& from, const std::string& to) {
    if (Error e = Fail(FsOp::kCopy, to); !e.OK()) return e;
    if (Error e = Fail(FsOp::kCopy, from); !e.OK()) return e;
    return EnvWrapper::BeginCopy(from, to);
}

Error FaultEnv::CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                              bool lastIsFile) {
    if (Error e = Fail(FsOp::kAny, root); !e.OK()) return e;
    return EnvWrapper::CheckRealPath(root, components, lastIsFile);
}

Error FaultEnv::OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                               int& dirFd) {
    dirFd = -1;
    if (Error e = Fail(FsOp::kAny, root); !e.OK()) return e;
    return EnvWrapper::OpenRealFolder(root, components, dirFd);
}

}  // namespace Mirel
