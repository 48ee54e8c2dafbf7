#include "platform/support/Os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/support/ErrorCodes.h"

namespace Mirel {

namespace {
std::atomic<Env*> gTarget{nullptr};
}  // namespace

namespace Faults {

std::atomic<unsigned> gArmed{0};

namespace {
struct Fault {
    FsOp op;
    std::string pattern;
    int error;
    int remaining;
};
std::mutex gMutex;
std::vector<Fault> gFaults;

bool Matches(const Fault& f, FsOp op, const std::string& path) {
    if (f.op != FsOp::kAny && f.op != op) return false;
    if (!f.pattern.empty() && f.pattern.back() == '*')
        return path.compare(0, f.pattern.size() - 1, f.pattern, 0, f.pattern.size() - 1) == 0;
    return path == f.pattern;
}
}  // namespace

void Arm(FsOp op, const std::string& pattern, int error, int count) {
    std::lock_guard<std::mutex> g(gMutex);
    gFaults.push_back({op, pattern, error, count});
    gArmed.fetch_or(1u);
}

void Clear() {
    std::lock_guard<std::mutex> g(gMutex);
    gFaults.clear();
    gArmed.fetch_and(~1u);
}

int Slow(FsOp op, const std::string& path) {
    {
        std::lock_guard<std::mutex> g(gMutex);
        for (auto it = gFaults.begin(); it != gFaults.end(); ++it) {
            if (!Matches(*it, op, path)) continue;
            int err = it->error;
            if (it->remaining > 0 && --it->remaining == 0) gFaults.erase(it);
            return err;
        }
    }
    return 0;
}

}  // namespace Faults

namespace Os {

namespace {

// The process-wide fault seam, in front of the process's target, for the code that is not
// handed an Env of its own.
class GlobalSeam : public Env {
public:
    Error Stat(const std::string& path, Info& info) override {
        info = Info();
        if (int f = Faults::Check(FsOp::kStat, path)) return Error(f, "stat", path);
        return Next().Stat(path, info);
    }
    Error FStat(int fd, Info& info, const std::string& path) override {
        info = Info();
        if (int f = Faults::Check(FsOp::kStat, path)) return Error(f, "stat", path);
        return Next().FStat(fd, info, path);
    }
    bool CanWrite(const std::string& path) override {
        return Faults::Check(FsOp::kStat, path) == 0 && Next().CanWrite(path);
    }
    bool IsFolder(const std::string& path) override {
        return Faults::Check(FsOp::kStat, path) == 0 && Next().IsFolder(path);
    }
    bool SameObject(const std::string& a, const std::string& b) override {
        if (Faults::Check(FsOp::kStat, a) || Faults::Check(FsOp::kStat, b)) return false;
        return Next().SameObject(a, b);
    }
    Error ListDir(const std::string& path, std::vector<DirEntry>& entries) override {
        if (int f = Faults::Check(FsOp::kList, path)) return Error(f, "list", path);
        return Next().ListDir(path, entries);
    }
    Error MakeDir(const std::string& path) override {
        if (int f = Faults::Check(FsOp::kCreateDir, path)) return Error(f, "create folder", path);
        return Next().MakeDir(path);
    }
    Error RemoveDir(const std::string& path) override {
        if (int f = Faults::Check(FsOp::kRemoveDir, path)) return Error(f, "remove folder", path);
        return Next().RemoveDir(path);
    }
    Error DeleteFile(const std::string& path) override {
        if (int f = Faults::Check(FsOp::kDeleteFile, path)) return Error(f, "delete", path);
        return Next().DeleteFile(path);
    }
    Error Move(const std::string& from, const std::string& to, bool replace) override {
        if (int f = Faults::Check(FsOp::kRename, from)) return Error(f, "rename", from);
        if (int f = Faults::Check(FsOp::kRename, to)) return Error(f, "rename", to);
        return Next().Move(from, to, replace);
    }
    Error HardLink(const std::string& existing, const std::string& link) override {
        if (int f = Faults::Check(FsOp::kHardLink, link)) return Error(f, "hard link", link);
        return Next().HardLink(existing, link);
    }
    Error SyncDir(const std::string& path) override {
        if (int f = Faults::Check(FsOp::kSync, path)) return Error(f, "sync", path);
        return Next().SyncDir(path);
    }
    Error SetReadOnly(const std::string& path, bool readOnly) override {
        if (int f = Faults::Check(FsOp::kSetLocked, path)) return Error(f, "set locked", path);
        return Next().SetReadOnly(path, readOnly);
    }
    Error OpenRead(const std::string& path, int& fd, Info* info, bool nb) override {
        fd = -1;
        if (int f = Faults::Check(FsOp::kOpenRead, path)) return Error(f, "open", path);
        return Next().OpenRead(path, fd, info, nb);
    }
    Error OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                     Info* info, bool nb) override {
        fd = -1;
        if (int f = Faults::Check(FsOp::kOpenRead, path)) return Error(f, "open", path);
        return Next().OpenReadAt(dirFd, name, path, fd, info, nb);
    }
    Error OpenWrite(const std::string& path, const WriteMode& how, int& fd) override {
        fd = -1;
        if (int f = Faults::Check(FsOp::kOpenWrite, path))
            return Error(f, "open for writing", path);
        return Next().OpenWrite(path, how, fd);
    }
    Error PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
                   const std::string& path) override {
        got = 0;
        if (int f = Faults::Check(FsOp::kRead, path)) return Error(f, "read", path);
        return Next().PReadAll(fd, buf, n, off, got, path);
    }
    Error PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                    const std::string& path) override {
        if (int f = Faults::Check(FsOp::kWrite, path)) return Error(f, "write", path);
        return Next().PWriteAll(fd, buf, n, off, path);
    }
    Error Append(int fd, const void* buf, std::size_t n, const std::string& path) override {
        if (int f = Faults::Check(FsOp::kWrite, path)) return Error(f, "write", path);
        return Next().Append(fd, buf, n, path);
    }
    Error PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                  const std::string& path) override {
        if (int f = Faults::Check(FsOp::kWrite, path)) return Error(f, "write", path);
        return Next().PWriteV(fd, iov, count, off, path);
    }
    Error Truncate(int fd, std::uint64_t size, const std::string& path) override {
        if (int f = Faults::Check(FsOp::kTruncate, path)) return Error(f, "set length of", path);
        return Next().Truncate(fd, size, path);
    }
    Error Lock(int fd, const std::string& path) override {
        if (int f = Faults::Check(FsOp::kLock, path)) return Error(f, "lock", path);
        return Next().Lock(fd, path);
    }
    Error LockFolder(const std::string& path, int& fd) override {
        fd = -1;
        if (int f = Faults::Check(FsOp::kLock, path)) return Error(f, "lock", path);
        return Next().LockFolder(path, fd);
    }
    Error SyncFile(int fd, const std::string& path) override {
        if (int f = Faults::Check(FsOp::kSync, path)) return Error(f, "sync", path);
        return Next().SyncFile(fd, path);
    }
    Error MakeOwn(const std::string& path) override {
        if (!CopyOwnership()) return Error();
        if (int f = Faults::Check(FsOp::kSetLocked, path)) return Error(f, "set locked", path);
        return Next().MakeOwn(path);
    }
    Error MakeOwnOpen(int fd, const std::string& path) override {
        if (!CopyOwnership()) return Error();
        if (int f = Faults::Check(FsOp::kSetLocked, path)) return Error(f, "set locked", path);
        return Next().MakeOwnOpen(fd, path);
    }
    Error CloneFile(int from, int to, const std::string& path) override {
        if (int f = Faults::Check(FsOp::kClone, path)) return Error(f, "clone", path);
        return Next().CloneFile(from, to, path);
    }
    Error CopyRange(int in, const std::string& from, int out, const std::string& to,
                    std::uint64_t size) override {
        return Next().CopyRange(in, from, out, to, size);
    }
    Error BeginCopy(const std::string& from, const std::string& to) override {
        if (int f = Faults::Check(FsOp::kCopy, to)) return Error(f, "copy", to);
        if (int f = Faults::Check(FsOp::kCopy, from)) return Error(f, "copy", from);
        return Next().BeginCopy(from, to);
    }
    Error CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                        bool lastIsFile) override {
        if (components.empty()) return Error(kErrPathNotFound, "open", root);
        if (int f = Faults::Check(FsOp::kAny, root)) return Error(f, "open", root);
        return Next().CheckRealPath(root, components, lastIsFile);
    }
    Error OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                         int& dirFd) override {
        dirFd = -1;
        if (int f = Faults::Check(FsOp::kAny, root)) return Error(f, "open", root);
        return Next().OpenRealFolder(root, components, dirFd);
    }

    Error Close(int fd) override { return Next().Close(fd); }
    Error SetModeOpen(int fd, mode_t mode, const std::string& path) override {
        return Next().SetModeOpen(fd, mode, path);
    }

private:
    static Env& Next() {
        Env* target = gTarget.load();
        return target ? *target : Env::Default();
    }
};

}  // namespace

Env& ProcessEnv() {
    static GlobalSeam seam;
    return seam;
}

Env* SetProcessTarget(Env* target) {
    return gTarget.exchange(target);
}

// ---- the free functions: the calling thread's Env ----

Info Stat(const std::string& path) {
    return Env::Current().Probe(path);
}
int Stat(const std::string& path, Info& info) {
    return Env::Current().Stat(path, info).GetError();
}
int FStat(int fd, Info& info, const std::string& path) {
    return Env::Current().FStat(fd, info, path).GetError();
}
bool CanWrite(const std::string& path) {
    return Env::Current().CanWrite(path);
}
int ListDir(const std::string& path, std::vector<DirEntry>& entries) {
    return Env::Current().ListDir(path, entries).GetError();
}
int CreateDir(const std::string& path) {
    return Env::Current().CreateDir(path).GetError();
}
int RemoveDir(const std::string& path) {
    return Env::Current().RemoveDir(path).GetError();
}
int DeleteFile(const std::string& path) {
    return Env::Current().DeleteFile(path).GetError();
}
int Rename(const std::string& from, const std::string& to) {
    return Env::Current().Rename(from, to).GetError();
}
int Replace(const std::string& from, const std::string& to) {
    return Env::Current().Replace(from, to).GetError();
}
int RenameDurable(const std::string& from, const std::string& to) {
    return Env::Current().RenameDurable(from, to).GetError();
}
int ReplaceDurable(const std::string& from, const std::string& to) {
    return Env::Current().ReplaceDurable(from, to).GetError();
}
int HardLink(const std::string& existing, const std::string& link) {
    return Env::Current().HardLink(existing, link).GetError();
}
int SyncDir(const std::string& path) {
    return Env::Current().SyncDir(path).GetError();
}
int SetReadOnly(const std::string& path, bool readOnly) {
    return Env::Current().SetReadOnly(path, readOnly).GetError();
}
int WriteFileDurable(const std::string& path, const std::string& text) {
    return Env::Current().WriteFileDurable(path, text).GetError();
}
int ReadWholeFile(const std::string& path, std::string& text) {
    return Env::Current().ReadWholeFile(path, text).GetError();
}
int MakeOwn(const std::string& path) {
    return Env::Current().MakeOwn(path).GetError();
}
int MakeOwnOpen(int fd, const std::string& path) {
    return Env::Current().MakeOwnOpen(fd, path).GetError();
}
int CopyFile(const std::string& from, const std::string& to) {
    return Env::Current().CopyFile(from, to).GetError();
}
int CloneFile(int from, int to, const std::string& path) {
    return Env::Current().CloneFile(from, to, path).GetError();
}
int OpenRead(const std::string& path, int& fd, Info* info, bool mayStayNonBlocking) {
    return Env::Current().OpenRead(path, fd, info, mayStayNonBlocking).GetError();
}
int OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd, Info* info,
               bool mayStayNonBlocking) {
    return Env::Current().OpenReadAt(dirFd, name, path, fd, info, mayStayNonBlocking).GetError();
}
int OpenWrite(const std::string& path, bool create, bool truncate, int& fd) {
    return Env::Current().OpenWrite(path, WriteMode{create, truncate}, fd).GetError();
}
int OpenAppend(const std::string& path, int& fd) {
    return Env::Current().OpenWrite(path, WriteMode{true, false, true}, fd).GetError();
}
int PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
             const std::string& path) {
    return Env::Current().PReadAll(fd, buf, n, off, got, path).GetError();
}
int PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, const std::string& path) {
    return Env::Current().PWriteAll(fd, buf, n, off, path).GetError();
}
int PWriteV(int fd, const iovec* iov, int count, std::uint64_t off, const std::string& path) {
    return Env::Current().PWriteV(fd, iov, count, off, path).GetError();
}
int Append(int fd, const void* buf, std::size_t n, const std::string& path) {
    return Env::Current().Append(fd, buf, n, path).GetError();
}
int Truncate(int fd, std::uint64_t size, const std::string& path) {
    return Env::Current().Truncate(fd, size, path).GetError();
}
int Lock(int fd, const std::string& path) {
    return Env::Current().Lock(fd, path).GetError();
}
int LockFolder(const std::string& path, int& fd) {
    return Env::Current().LockFolder(path, fd).GetError();
}
int SyncFile(int fd, const std::string& path) {
    return Env::Current().SyncFile(fd, path).GetError();
}
void Close(int fd) {
    Env::Current().Close(fd);
}
int CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                  bool lastIsFile) {
    return Env::Current().CheckRealPath(root, components, lastIsFile).GetError();
}
int OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                   int& dirFd) {
    return Env::Current().OpenRealFolder(root, components, dirFd).GetError();
}
bool IsFolder(const std::string& path) {
    return Env::Current().IsFolder(path);
}
bool SameObject(const std::string& a, const std::string& b) {
    return Env::Current().SameObject(a, b);
}

}  // namespace Os

}  // namespace Mirel
