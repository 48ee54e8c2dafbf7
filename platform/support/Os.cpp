#include "platform/support/Os.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/support/ErrorCodes.h"
#include "platform/support/Interposer.h"

namespace Mirel {

namespace {
std::atomic<Os::Interposer*> gInterposer{nullptr};
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
    if (gArmed.load() & 1u) {
        std::lock_guard<std::mutex> g(gMutex);
        for (auto it = gFaults.begin(); it != gFaults.end(); ++it) {
            if (!Matches(*it, op, path)) continue;
            int err = it->error;
            if (it->remaining > 0 && --it->remaining == 0) gFaults.erase(it);
            return err;
        }
    }
    if (gArmed.load() & 2u)
        if (Os::Interposer* ip = gInterposer.load(); ip && ip->Off(path)) return kErrIO;
    return 0;
}

}  // namespace Faults

namespace Os {

void SetInterposer(Interposer* interposer) {
    gInterposer.store(interposer);
    if (interposer)
        Faults::gArmed.fetch_or(2u);
    else
        Faults::gArmed.fetch_and(~2u);
}

int MapErrno(int e) {
    switch (e) {
        case 0:
            return kErrNone;
        case ENOENT:
            return kErrPathNotFound;
        case EEXIST:
            return kErrAlreadyExists;
        case ENOTEMPTY:
            return kErrNotEmpty;
        case EXDEV:
            return kErrCrossDevice;
        case ENOTDIR:
            return kErrNotADirectory;
        case EISDIR:
            return kErrIsADirectory;
        case ELOOP:  // O_NOFOLLOW met a symbolic link
            return kErrIsALink;
        case ENXIO:  // a socket, or a FIFO opened for writing that nobody reads
            return kErrNotAFile;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrAccessDenied;
        case EBUSY:
        case ETXTBSY:
            return kErrFileLocked;
        case ENOSPC:
        case EDQUOT:
            return kErrDiskFull;
        case EIO:
            return kErrIO;
        case EMLINK:
            return kErrTooManyLinks;
        case ENAMETOOLONG:
            return kErrNameTooLong;
        case EOPNOTSUPP:
            return kErrLinkNotSupported;
        case EMFILE:
        case ENFILE:
            return kErrTooManyFiles;
        case ENOMEM:
            return kErrNoMemory;
        default:
            return e > 0 && e < kErrSystemLast - kErrSystemBase ? kErrSystemBase + e : kErrOS;
    }
}

namespace {
bool NotAName(const std::string& c) {
    return c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos;
}

// Opens `root` and then its first `count` components, each a real folder, never through a
// symbolic link; `dir` holds the last one (O_PATH: nothing of it is read) when 0 is answered.
int OpenRealFolders(const std::string& root, const std::vector<std::string>& components,
                    std::size_t count, int& dir) {
    dir = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return errno == ELOOP ? kErrIsALink : MapErrno(errno);
    int rc = 0;
    for (std::size_t i = 0; rc == 0 && i < count; ++i) {
        const std::string& c = components[i];
        if (NotAName(c)) {
            rc = kErrPathNotFound;
            break;
        }
        int next = ::openat(dir, c.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            // A link in the way answers ELOOP or, with O_DIRECTORY, ENOTDIR: tell them apart.
            // The open's errno is kept: the look that tells them apart may set its own.
            const int e = errno;
            struct stat st;
            if (::fstatat(dir, c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                rc = kErrIsALink;
            else
                rc = e == ELOOP ? kErrIsALink : MapErrno(e);
        } else {
            ::close(dir);
            dir = next;
        }
    }
    if (rc != 0) {
        ::close(dir);
        dir = -1;
    }
    return rc;
}
}  // namespace

int CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                  bool lastIsFile) {
    if (components.empty()) return kErrPathNotFound;
    if (int f = Faults::Check(FsOp::kAny, root)) return f;
    int dir = -1;
    int rc = OpenRealFolders(root, components, components.size() - 1, dir);
    if (rc == 0) {
        const std::string& last = components.back();
        struct stat st;
        if (NotAName(last))
            rc = kErrPathNotFound;
        else if (::fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            rc = MapErrno(errno);
        else if (S_ISLNK(st.st_mode))
            rc = kErrIsALink;
        else if (lastIsFile && S_ISDIR(st.st_mode))
            rc = kErrIsADirectory;
        else if (lastIsFile && !S_ISREG(st.st_mode))
            rc = kErrNotAFile;
        else if (!lastIsFile && !S_ISDIR(st.st_mode))
            rc = kErrNotADirectory;
        ::close(dir);
    }
    return rc;
}

int OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                   int& dirFd) {
    dirFd = -1;
    if (int f = Faults::Check(FsOp::kAny, root)) return f;
    return OpenRealFolders(root, components, components.size(), dirFd);
}

bool IsFolder(const std::string& path) {
    if (Faults::Check(FsOp::kStat, path)) return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameObject(const std::string& a, const std::string& b) {
    if (Faults::Check(FsOp::kStat, a) || Faults::Check(FsOp::kStat, b)) return false;
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string ParentOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

namespace Raw {

int Open(const std::string& path, int flags, mode_t mode, int& fd) {
    fd = ::open(path.c_str(), flags, mode);
    return fd < 0 ? MapErrno(errno) : 0;
}

int WriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, bool append) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = append ? ::write(fd, p, n) : ::pwrite(fd, p, n, static_cast<off_t>(off));
        if (w < 0) {
            if (errno == EINTR) continue;
            return MapErrno(errno);
        }
        p += w;
        n -= static_cast<std::size_t>(w);
        off += static_cast<std::uint64_t>(w);
    }
    return 0;
}

int Rename(const std::string& from, const std::string& to, bool replace) {
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : MapErrno(errno);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    // Some file systems lack RENAME_NOREPLACE; fall back with an explicit check.
    if (errno != EINVAL && errno != ENOSYS) return MapErrno(errno);
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return kErrAlreadyExists;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : MapErrno(errno);
}

}  // namespace Raw

namespace {

void Fill(const struct stat& st, Info& info) {
    info.exists = true;
    info.isDir = S_ISDIR(st.st_mode);
    info.isFile = S_ISREG(st.st_mode);
    info.isLink = S_ISLNK(st.st_mode);
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.links = st.st_nlink;
    info.mode = st.st_mode;
    info.dev = st.st_dev;
    info.ino = static_cast<std::uint64_t>(st.st_ino);
    info.mtimeNs = static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
    info.mtimeUs = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000u +
                   static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 1000u;
}

// The fault check, then the interposer when one is installed. True when either one
// answered the call (its result in rc); the caller makes the plain call otherwise.
template <class Interposed>
inline bool Seam(FsOp op, const std::string& path, int& rc, Interposed interposed) {
    if (Faults::gArmed.load(std::memory_order_relaxed) == 0) return false;
    if ((rc = Faults::Slow(op, path)) != 0) return true;
    if ((Faults::gArmed.load() & 2u) == 0) return false;
    Interposer* ip = gInterposer.load();
    return ip && interposed(*ip, rc);
}

}  // namespace

int Stat(const std::string& path, Info& info) {
    info = Info();
    if (int f = Faults::Check(FsOp::kStat, path)) return f;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return MapErrno(errno);
    Fill(st, info);
    return 0;
}

Info Stat(const std::string& path) {
    Info info;
    Stat(path, info);
    return info;
}

int FStat(int fd, Info& info, const std::string& path) {
    info = Info();
    if (int f = Faults::Check(FsOp::kStat, path)) return f;
    struct stat st;
    if (::fstat(fd, &st) != 0) return MapErrno(errno);
    Fill(st, info);
    return 0;
}

bool CanWrite(const std::string& path) {
    if (Faults::Check(FsOp::kStat, path) != 0) return false;
    return ::access(path.c_str(), W_OK) == 0;
}

int ListDir(const std::string& path, std::vector<DirEntry>& entries) {
    if (int f = Faults::Check(FsOp::kList, path)) return f;
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return MapErrno(errno);
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        DirEntry entry;
        entry.name = std::move(n);
        switch (e->d_type) {
            case DT_REG:
                entry.type = DirEntry::kFile;
                break;
            case DT_DIR:
                entry.type = DirEntry::kDir;
                break;
            case DT_LNK:
                entry.type = DirEntry::kLink;
                break;
            case DT_UNKNOWN:
                entry.type = DirEntry::kUnknown;
                break;
            default:
                entry.type = DirEntry::kOther;
        }
        entries.push_back(std::move(entry));
        errno = 0;
    }
    int rc = errno != 0 ? MapErrno(errno) : 0;
    ::closedir(d);
    return rc;
}

int SyncDir(const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kSync, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.SyncDir(path, r); }))
        return seamRc;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return MapErrno(errno);
    int rc = ::fsync(fd) == 0 ? 0 : MapErrno(errno);
    ::close(fd);
    return rc;
}

namespace {
int MakeDir(const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kCreateDir, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.CreateDir(path, r); }))
        return seamRc;
    return ::mkdir(path.c_str(), 0755) != 0 ? MapErrno(errno) : 0;
}
}  // namespace

int CreateDir(const std::string& path) {
    if (int rc = MakeDir(path)) return rc;
    return SyncDir(ParentOf(path));
}

int RemoveDir(const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kRemoveDir, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.RemoveDir(path, r); }))
        return seamRc;
    return ::rmdir(path.c_str()) != 0 ? MapErrno(errno) : 0;
}

int DeleteFile(const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kDeleteFile, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.Unlink(path, r); }))
        return seamRc;
    return ::unlink(path.c_str()) != 0 ? MapErrno(errno) : 0;
}

namespace {
int MoveEntry(const std::string& from, const std::string& to, bool replace) {
    if (int f = Faults::Check(FsOp::kRename, from)) return f;
    int seamRc = 0;
    if (Seam(FsOp::kRename, to, seamRc,
             [&](Interposer& ip, int& r) { return ip.Rename(from, to, replace, r); }))
        return seamRc;
    return Raw::Rename(from, to, replace);
}
}  // namespace

namespace {
thread_local DeferredDirSyncs* tDeferred = nullptr;
}  // namespace

DeferredDirSyncs::DeferredDirSyncs() : mOuter(tDeferred) {
    tDeferred = this;
}

DeferredDirSyncs::~DeferredDirSyncs() {
    Flush();
    tDeferred = mOuter;
}

int DeferredDirSyncs::Flush() {
    std::sort(mDirs.begin(), mDirs.end());
    mDirs.erase(std::unique(mDirs.begin(), mDirs.end()), mDirs.end());
    int first = 0;
    for (const std::string& d : mDirs) {
        const int rc = SyncDir(d);
        if (first == 0) first = rc;
    }
    mDirs.clear();
    return first;
}

void SyncParents(const std::string& a, const std::string& b) {
    if (DeferredDirSyncs* d = tDeferred) {
        d->mDirs.push_back(b);
        if (a != b) d->mDirs.push_back(a);
        return;
    }
    SyncDir(b);
    if (a != b) SyncDir(a);
}

int Rename(const std::string& from, const std::string& to) {
    if (int rc = MoveEntry(from, to, false)) return rc;
    // The rename happened: a caller must never take it for one that did not, or it would
    // act on the file where it no longer is. The folder syncs make it durable; should they
    // fail, a crash may undo the rename, which every caller recovers from.
    SyncParents(ParentOf(from), ParentOf(to));
    return 0;
}

int Replace(const std::string& from, const std::string& to) {
    if (int rc = MoveEntry(from, to, true)) return rc;
    SyncParents(ParentOf(to), ParentOf(to));  // as in Rename: done is done
    return 0;
}

int RenameDurable(const std::string& from, const std::string& to) {
    if (int rc = MoveEntry(from, to, false)) return rc;
    std::string a = ParentOf(from), b = ParentOf(to);
    int rc = SyncDir(b);
    if (a != b) {
        int r = SyncDir(a);
        if (rc == 0) rc = r;
    }
    return rc;
}

int ReplaceDurable(const std::string& from, const std::string& to) {
    if (int rc = MoveEntry(from, to, true)) return rc;
    return SyncDir(ParentOf(to));
}

int HardLink(const std::string& existing, const std::string& link) {
    int seamRc = 0;
    if (Seam(FsOp::kHardLink, link, seamRc,
             [&](Interposer& ip, int& r) { return ip.Link(existing, link, r); }))
        return seamRc;
    return ::link(existing.c_str(), link.c_str()) != 0 ? MapErrno(errno) : 0;
}

int SetReadOnly(const std::string& path, bool readOnly) {
    if (int f = Faults::Check(FsOp::kSetLocked, path)) return f;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return MapErrno(errno);
    mode_t mode = st.st_mode & 07777;
    mode = readOnly ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    if (::chmod(path.c_str(), mode) != 0) return MapErrno(errno);
    return 0;
}

namespace {
// Files are opened without blocking: opening a FIFO for reading would wait for a writer for
// ever, and a device may wait for its hardware. Only a regular file stays open, in blocking
// mode again unless the caller may do without; anything else is closed unread. `seen` gets
// the open file's status.
int KeepOnlyRegular(int rc, int& fd, struct stat* seen = nullptr, bool mayStayNonBlocking = false) {
    if (rc != 0) return rc;
    struct stat local;
    struct stat& st = seen ? *seen : local;
    if (::fstat(fd, &st) != 0)
        rc = MapErrno(errno);
    else if (S_ISDIR(st.st_mode))
        rc = kErrIsADirectory;
    else if (!S_ISREG(st.st_mode))
        rc = kErrNotAFile;
    else if (mayStayNonBlocking)
        rc = 0;
    else if (int fl = ::fcntl(fd, F_GETFL); fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
        rc = MapErrno(errno);
    if (rc != 0) {
        ::close(fd);
        fd = -1;
    }
    return rc;
}
}  // namespace

int OpenRead(const std::string& path, int& fd, Info* info, bool mayStayNonBlocking) {
    fd = -1;
    if (int f = Faults::Check(FsOp::kOpenRead, path)) return f;
    struct stat st;
    const int rc =
        KeepOnlyRegular(Raw::Open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0, fd), fd,
                        &st, mayStayNonBlocking);
    if (rc == 0 && info) Fill(st, *info);
    return rc;
}

int OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd, Info* info,
               bool mayStayNonBlocking) {
    fd = -1;
    if (int f = Faults::Check(FsOp::kOpenRead, path)) return f;
    if (NotAName(name)) return kErrPathNotFound;
    int rc = 0;
    fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) rc = MapErrno(errno);
    struct stat st;
    rc = KeepOnlyRegular(rc, fd, &st, mayStayNonBlocking);
    if (rc == 0 && info) Fill(st, *info);
    return rc;
}

namespace {
int OpenForWriting(const std::string& path, int flags, mode_t mode, int& fd) {
    fd = -1;
    flags |= O_NONBLOCK;
    int seamRc = 0;
    if (Seam(FsOp::kOpenWrite, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.Open(path, flags, mode, fd, r); }))
        return KeepOnlyRegular(seamRc, fd);
    return KeepOnlyRegular(Raw::Open(path, flags, mode, fd), fd);
}
}  // namespace

int OpenWrite(const std::string& path, bool create, bool truncate, int& fd) {
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0) | (truncate ? O_TRUNC : 0);
    return OpenForWriting(path, flags, 0644, fd);
}

int OpenAppend(const std::string& path, int& fd) {
    return OpenForWriting(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644, fd);
}

int PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kWrite, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.Write(fd, buf, n, off, false, path, r); }))
        return seamRc;
    return Raw::WriteAll(fd, buf, n, off, false);
}

int Append(int fd, const void* buf, std::size_t n, const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kWrite, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.Write(fd, buf, n, 0, true, path, r); }))
        return seamRc;
    return Raw::WriteAll(fd, buf, n, 0, true);
}

int PWriteV(int fd, const iovec* iov, int count, std::uint64_t off, const std::string& path) {
    if (Faults::gArmed.load(std::memory_order_relaxed) != 0) {
        if (int f = Faults::Slow(FsOp::kWrite, path)) return f;
        // Recorded writes go one buffer at a time.
        if (Faults::gArmed.load() & 2u) {
            for (int i = 0; i < count; ++i) {
                int rc = 0;
                Interposer* ip = gInterposer.load();
                if (!ip || !ip->Write(fd, iov[i].iov_base, iov[i].iov_len, off, false, path, rc))
                    rc = Raw::WriteAll(fd, iov[i].iov_base, iov[i].iov_len, off, false);
                if (rc) return rc;
                off += iov[i].iov_len;
            }
            return 0;
        }
    }
    const iovec* cur = iov;
    int left = count;
    while (left > 0) {
        ssize_t w = ::pwritev(fd, cur, std::min(left, IOV_MAX), static_cast<off_t>(off));
        if (w < 0) {
            if (errno == EINTR) continue;
            return MapErrno(errno);
        }
        off += static_cast<std::uint64_t>(w);
        auto done = static_cast<std::size_t>(w);
        while (left > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            ++cur;
            --left;
        }
        if (w == 0 && left > 0) return kErrIO;  // nothing written, nothing said why
        // Short writes are rare: finish the buffer that was cut with plain writes.
        if (done > 0) {
            std::size_t rest = cur->iov_len - done;
            int rc =
                Raw::WriteAll(fd, static_cast<const char*>(cur->iov_base) + done, rest, off, false);
            if (rc) return rc;
            off += rest;
            ++cur;
            --left;
        }
    }
    return 0;
}

int PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
             const std::string& path) {
    got = 0;
    if (int f = Faults::Check(FsOp::kRead, path)) return f;
    char* p = static_cast<char*>(buf);
    while (got < n) {
        ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(off + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return MapErrno(errno);
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return 0;
}

int Truncate(int fd, std::uint64_t size, const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kTruncate, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.Truncate(fd, size, path, r); }))
        return seamRc;
    return ::ftruncate(fd, static_cast<off_t>(size)) != 0 ? MapErrno(errno) : 0;
}

int Lock(int fd, const std::string& path) {
    if (int f = Faults::Check(FsOp::kLock, path)) return f;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    return errno == EWOULDBLOCK ? kErrFileLocked : MapErrno(errno);
}

int SyncFile(int fd, const std::string& path) {
    int seamRc = 0;
    if (Seam(FsOp::kSync, path, seamRc,
             [&](Interposer& ip, int& r) { return ip.SyncFile(fd, path, r); }))
        return seamRc;
    return ::fdatasync(fd) == 0 ? 0 : MapErrno(errno);
}

void Close(int fd) {
    if (fd >= 0) ::close(fd);
}

namespace {

// Kernel fast paths first; plain read/write where the file systems refuse them, and when
// a power-loss run must see every byte written.
int CopyBytes(int in, int out, std::uint64_t size, const std::string& outPath) {
    std::uint64_t done = 0;
    bool useCfr = (Faults::gArmed.load() & 2u) == 0, useSendfile = useCfr;
    while (done < size) {
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 1u << 30));
        ssize_t n = -1;
        if (useCfr) {
            loff_t inOff = static_cast<loff_t>(done), outOff = static_cast<loff_t>(done);
            n = ::copy_file_range(in, &inOff, out, &outOff, chunk, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                          errno == EOPNOTSUPP || errno == EBADF)) {
                useCfr = false;
                continue;
            }
        } else if (useSendfile) {
            off_t inOff = static_cast<off_t>(done);
            if (::lseek(out, static_cast<off_t>(done), SEEK_SET) < 0) return MapErrno(errno);
            n = ::sendfile(out, in, &inOff, chunk);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                useSendfile = false;
                continue;
            }
        } else {
            static thread_local std::vector<char> buf(1 << 20);
            std::size_t want = std::min(chunk, buf.size());
            n = ::pread(in, buf.data(), want, static_cast<off_t>(done));
            if (n > 0) {
                int rc = PWriteAll(out, buf.data(), static_cast<std::size_t>(n), done, outPath);
                if (rc != 0) return rc;
            }
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return MapErrno(errno);
        }
        if (n == 0) break;  // source shrank underneath us
        done += static_cast<std::uint64_t>(n);
    }
    return 0;
}

}  // namespace

std::string TempNameBeside(const std::string& path) {
    static std::atomic<std::uint64_t> counter{0};
    return ParentOf(path) + "/.ibs-" + std::to_string(::getpid()) + "-" +
           std::to_string(++counter) + ".tmp";
}

int WriteFileDurable(const std::string& path, const std::string& text) {
    const std::string temp = TempNameBeside(path);
    int fd = -1;
    int rc = OpenWrite(temp, true, true, fd);
    if (rc == 0) rc = PWriteAll(fd, text.data(), text.size(), 0, temp);
    if (rc == 0) rc = SyncFile(fd, temp);
    if (fd >= 0) Close(fd);
    if (rc == 0) rc = ReplaceDurable(temp, path);
    if (rc != 0) DeleteFile(temp);
    return rc;
}

int ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    int fd = -1;
    if (int rc = OpenRead(path, fd)) return rc;
    char buf[65536];
    std::size_t got = 0;
    int rc = 0;
    for (std::uint64_t off = 0; (rc = PReadAll(fd, buf, sizeof buf, off, got, path)) == 0 && got;
         off += got)
        text.append(buf, got);
    Close(fd);
    return rc;
}

namespace {
std::atomic<bool> gOwnershipSet{false};
Ownership gOwnership;

// Owner and group first: a change of owner clears set-id bits, and the mode comes last.
// `known`: the file's status, when the caller has it already.
int ApplyOwnership(int fd, const Ownership& own, const struct stat* known = nullptr) {
    struct stat st;
    if (known)
        st = *known;
    else if (::fstat(fd, &st) != 0)
        return MapErrno(errno);
    int rc = 0;
    if ((st.st_uid != own.uid || st.st_gid != own.gid) && ::fchown(fd, own.uid, own.gid) != 0)
        rc = MapErrno(errno);
    if ((st.st_mode & 07777) != own.mode && ::fchmod(fd, own.mode) != 0 && rc == 0)
        rc = MapErrno(errno);
    return rc;
}
}  // namespace

void SetCopyOwnership(const Ownership* own) {
    gOwnershipSet.store(false, std::memory_order_release);
    if (!own) return;
    gOwnership = *own;
    gOwnershipSet.store(true, std::memory_order_release);
}

const Ownership* CopyOwnership() {
    return gOwnershipSet.load(std::memory_order_acquire) ? &gOwnership : nullptr;
}

int MakeOwn(const std::string& path) {
    const Ownership* own = CopyOwnership();
    if (!own) return 0;
    if (int f = Faults::Check(FsOp::kSetLocked, path)) return f;
    // Most files are the process's own already (a last-good copy linked again): one look.
    struct stat seen;
    if (::fstatat(AT_FDCWD, path.c_str(), &seen, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(seen.st_mode) && seen.st_uid == own->uid && seen.st_gid == own->gid &&
        (seen.st_mode & 07777) == own->mode)
        return 0;
    // Opened only to change owner and mode: it may stay non-blocking.
    int fd = -1;
    struct stat st;
    if (int rc = KeepOnlyRegular(
            Raw::Open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0, fd), fd, &st, true))
        return rc;
    const int rc = ApplyOwnership(fd, *own, &st);
    ::close(fd);
    return rc;
}

int MakeOwnOpen(int fd, const std::string& path) {
    const Ownership* own = CopyOwnership();
    if (!own) return 0;
    if (int f = Faults::Check(FsOp::kSetLocked, path)) return f;
    return ApplyOwnership(fd, *own);
}

int CopyFile(const std::string& from, const std::string& to) {
    if (int f = Faults::Check(FsOp::kCopy, to)) return f;
    if (int f = Faults::Check(FsOp::kCopy, from)) return f;
    int in = -1;
    if (int rc = OpenRead(from, in)) return rc;
    Info info;
    if (int rc = FStat(in, info, from)) {
        ::close(in);
        return rc;
    }
    const Ownership* own = CopyOwnership();
    const mode_t mode = own ? own->mode : info.mode & 07777;
    // The bytes go to a private name first, so a crash never leaves a partial file under the
    // real one.
    std::string part = TempNameBeside(to);
    int out = -1;
    int rc = OpenForWriting(part, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode, out);
    if (rc != 0) {
        ::close(in);
        return rc;
    }
    rc = CopyBytes(in, out, info.size, part);
    // The copy is the process's own before it appears under its name. An owner that cannot
    // be set (a sandbox without the right) does not cost the copy; the mode is always set.
    if (rc == 0) MakeOwnOpen(out, part);
    if (rc == 0 && ::fchmod(out, mode) != 0) rc = MapErrno(errno);
    if (rc == 0) rc = SyncFile(out, to);
    ::close(in);
    if (::close(out) != 0 && rc == 0) rc = MapErrno(errno);
    if (rc == 0) rc = ReplaceDurable(part, to);
    if (rc != 0) DeleteFile(part);
    return rc;
}

int CloneFile(int from, int to, const std::string& path) {
    if (int f = Faults::Check(FsOp::kClone, path)) return f;
    if (Faults::gArmed.load() & 2u) return kErrLinkNotSupported;
    if (::ioctl(to, FICLONE, from) == 0) return 0;
    const int e = errno;
    // Refused before anything was shared, `to` is untouched; anything else may have shared
    // part of it, which a copy made instead must not find.
    if (e != EOPNOTSUPP && e != EXDEV && e != EINVAL && e != ENOTTY && e != EBADF && e != ENOSYS &&
        e != EPERM)
        (void)::ftruncate(to, 0);
    return MapErrno(e);
}

int LockFolder(const std::string& path, int& fd) {
    fd = -1;
    if (int f = Faults::Check(FsOp::kLock, path)) return f;
    if (int rc = Raw::Open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0, fd)) return rc;
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int rc = MapErrno(errno);
        ::close(fd);
        fd = -1;
        return rc;
    }
    return 0;
}

}  // namespace Os

}  // namespace Mirel
