#include "platform/support/Os.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/support/ErrorCodes.h"

namespace Mirel {

namespace Faults {

std::atomic<bool> gArmed{false};

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
    gArmed.store(true);
}

void Clear() {
    std::lock_guard<std::mutex> g(gMutex);
    gFaults.clear();
    gArmed.store(false);
}

int Slow(FsOp op, const std::string& path) {
    std::lock_guard<std::mutex> g(gMutex);
    for (auto it = gFaults.begin(); it != gFaults.end(); ++it) {
        if (!Matches(*it, op, path)) continue;
        int err = it->error;
        if (it->remaining > 0 && --it->remaining == 0) gFaults.erase(it);
        return err;
    }
    return 0;
}

}  // namespace Faults

namespace Os {

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
        case ELOOP:  // O_NOFOLLOW met a symbolic link
            return kErrIsALink;
        case EMFILE:
        case ENFILE:
            return kErrTooManyFiles;
        case ENOMEM:
            return kErrNoMemory;
        default:
            return kErrOS;
    }
}

int CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                  bool lastIsFile) {
    if (components.empty()) return kErrPathNotFound;
    if (int f = Faults::Check(FsOp::kAny, root)) return f;
    int dir = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return errno == ELOOP ? kErrIsALink : MapErrno(errno);
    int rc = 0;
    for (std::size_t i = 0; rc == 0 && i + 1 < components.size(); ++i) {
        const std::string& c = components[i];
        if (c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos) {
            rc = kErrPathNotFound;
            break;
        }
        int next = ::openat(dir, c.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            // A link in the way answers ELOOP or, with O_DIRECTORY, ENOTDIR: tell them apart.
            struct stat st;
            if (::fstatat(dir, c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                rc = kErrIsALink;
            else
                rc = errno == ELOOP ? kErrIsALink : MapErrno(errno);
        } else {
            ::close(dir);
            dir = next;
        }
    }
    if (rc == 0) {
        const std::string& last = components.back();
        struct stat st;
        if (last.empty() || last == "." || last == ".." || last.find('/') != std::string::npos)
            rc = kErrPathNotFound;
        else if (::fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            rc = MapErrno(errno);
        else if (S_ISLNK(st.st_mode))
            rc = kErrIsALink;
        else if (lastIsFile && S_ISDIR(st.st_mode))
            rc = kErrIsADirectory;
        else if (lastIsFile && !S_ISREG(st.st_mode))
            rc = kErrNotADirectory;
        else if (!lastIsFile && !S_ISDIR(st.st_mode))
            rc = kErrNotADirectory;
    }
    ::close(dir);
    return rc;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameObject(const std::string& a, const std::string& b) {
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

Info Stat(const std::string& path) {
    Os::Info info;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return info;
    info.exists = true;
    info.isDir = S_ISDIR(st.st_mode);
    info.isFile = S_ISREG(st.st_mode);
    info.isLink = S_ISLNK(st.st_mode);
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.links = st.st_nlink;
    info.mode = st.st_mode;
    info.dev = st.st_dev;
    return info;
}

int FStat(int fd, Info& info) {
    info = Info();
    struct stat st;
    if (::fstat(fd, &st) != 0) return MapErrno(errno);
    info.exists = true;
    info.isDir = S_ISDIR(st.st_mode);
    info.isFile = S_ISREG(st.st_mode);
    info.isLink = S_ISLNK(st.st_mode);
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.links = st.st_nlink;
    info.mode = st.st_mode;
    info.dev = st.st_dev;
    return 0;
}

int SyncDir(const std::string& path) {
    if (int f = Faults::Check(FsOp::kSync, path)) return f;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return MapErrno(errno);
    int rc = ::fsync(fd) == 0 ? 0 : MapErrno(errno);
    ::close(fd);
    return rc;
}

int CreateDir(const std::string& path) {
    if (int f = Faults::Check(FsOp::kCreateDir, path)) return f;
    if (::mkdir(path.c_str(), 0755) != 0) return MapErrno(errno);
    return SyncDir(ParentOf(path));
}

int RemoveDir(const std::string& path) {
    if (int f = Faults::Check(FsOp::kRemoveDir, path)) return f;
    if (::rmdir(path.c_str()) != 0) return MapErrno(errno);
    return 0;
}

int DeleteFile(const std::string& path) {
    if (int f = Faults::Check(FsOp::kDeleteFile, path)) return f;
    if (::unlink(path.c_str()) != 0) return MapErrno(errno);
    return 0;
}

int Rename(const std::string& from, const std::string& to) {
    if (int f = Faults::Check(FsOp::kRename, from)) return f;
    if (int f = Faults::Check(FsOp::kRename, to)) return f;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        // Some file systems lack RENAME_NOREPLACE; fall back with an explicit check.
        if (errno != EINVAL && errno != ENOSYS) return MapErrno(errno);
        if (Stat(to).exists) return kErrAlreadyExists;
        if (::rename(from.c_str(), to.c_str()) != 0) return MapErrno(errno);
    }
    // The rename happened: a caller must never take it for one that did not, or it would
    // act on the file where it no longer is. The folder syncs make it durable; should they
    // fail, a crash may undo the rename, which every caller recovers from.
    std::string a = ParentOf(from), b = ParentOf(to);
    SyncDir(b);
    if (a != b) SyncDir(a);
    return 0;
}

int Replace(const std::string& from, const std::string& to) {
    if (int f = Faults::Check(FsOp::kRename, from)) return f;
    if (int f = Faults::Check(FsOp::kRename, to)) return f;
    if (::rename(from.c_str(), to.c_str()) != 0) return MapErrno(errno);
    SyncDir(ParentOf(to));  // as in Rename: done is done
    return 0;
}

int HardLink(const std::string& existing, const std::string& link) {
    if (int f = Faults::Check(FsOp::kHardLink, link)) return f;
    if (::link(existing.c_str(), link.c_str()) != 0) return MapErrno(errno);
    return 0;
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

int OpenRead(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    return fd < 0 ? MapErrno(errno) : 0;
}

int OpenWrite(const std::string& path, bool create, bool truncate, int& fd) {
    fd = -1;
    if (int f = Faults::Check(FsOp::kOpenWrite, path)) return f;
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0) | (truncate ? O_TRUNC : 0);
    fd = ::open(path.c_str(), flags, 0644);
    return fd < 0 ? MapErrno(errno) : 0;
}

int PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, const std::string& path) {
    if (int f = Faults::Check(FsOp::kWrite, path)) return f;
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(off));
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

int PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got) {
    char* p = static_cast<char*>(buf);
    got = 0;
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

int SyncFile(int fd, const std::string& path) {
    if (int f = Faults::Check(FsOp::kSync, path)) return f;
    return ::fdatasync(fd) == 0 ? 0 : MapErrno(errno);
}

void Close(int fd) {
    if (fd >= 0) ::close(fd);
}

namespace {

// Kernel fast paths first; plain read/write where the file systems refuse them.
int CopyBytes(int in, int out, std::uint64_t size) {
    std::uint64_t done = 0;
    bool useCfr = true, useSendfile = true;
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
                int rc = PWriteAll(out, buf.data(), static_cast<std::size_t>(n), done, "");
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

int CopyFile(const std::string& from, const std::string& to) {
    if (int f = Faults::Check(FsOp::kCopy, to)) return f;
    if (int f = Faults::Check(FsOp::kCopy, from)) return f;
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return MapErrno(errno);
    struct stat st;
    if (::fstat(in, &st) != 0) {
        int rc = MapErrno(errno);
        ::close(in);
        return rc;
    }
    // The bytes go to a private name first, so a crash never leaves a partial file under the
    // real one.
    std::string part = to + ".part";
    int out = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        int rc = MapErrno(errno);
        ::close(in);
        return rc;
    }
    int rc = CopyBytes(in, out, static_cast<std::uint64_t>(st.st_size));
    if (rc == 0 && ::fchmod(out, st.st_mode & 07777) != 0) rc = MapErrno(errno);
    if (rc == 0) rc = SyncFile(out, to);
    ::close(in);
    if (::close(out) != 0 && rc == 0) rc = MapErrno(errno);
    if (rc == 0 && ::rename(part.c_str(), to.c_str()) != 0) rc = MapErrno(errno);
    if (rc == 0) rc = SyncDir(ParentOf(to));
    if (rc != 0) ::unlink(part.c_str());
    return rc;
}

}  // namespace Os

}  // namespace Mirel
