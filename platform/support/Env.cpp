#include "platform/support/Env.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "platform/support/ErrorCodes.h"

namespace Mirel {

const char* OpWord(FsOp op) {
    switch (op) {
        case FsOp::kCreateDir:
            return "create folder";
        case FsOp::kRemoveDir:
            return "remove folder";
        case FsOp::kDeleteFile:
            return "delete";
        case FsOp::kRename:
            return "rename";
        case FsOp::kHardLink:
            return "hard link";
        case FsOp::kCopy:
            return "copy";
        case FsOp::kOpenWrite:
            return "open for writing";
        case FsOp::kWrite:
            return "write";
        case FsOp::kSync:
            return "sync";
        case FsOp::kSetLocked:
            return "set locked";
        case FsOp::kOpenRead:
            return "open";
        case FsOp::kRead:
            return "read";
        case FsOp::kStat:
            return "stat";
        case FsOp::kList:
            return "list";
        case FsOp::kTruncate:
            return "set length of";
        case FsOp::kLock:
            return "lock";
        case FsOp::kClone:
            return "clone";
        case FsOp::kTag:
            return "tag";
        case FsOp::kAny:
            break;
    }
    return "use";
}

bool ComponentsBelow(const std::string& root, const std::string& path,
                     std::vector<std::string>& components) {
    std::string base = root;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    components.clear();
    if (path.size() <= base.size() + 1 || path.compare(0, base.size() + 1, base + "/") != 0 ||
        path.back() == '/')
        return false;
    for (std::size_t at = base.size() + 1; at <= path.size();) {
        std::size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        components.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return true;
}

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

int FlagsOf(const WriteMode& how) {
    return (how.append ? O_WRONLY | O_APPEND : O_RDWR) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
           (how.create ? O_CREAT : 0) | (how.truncate ? O_TRUNC : 0);
}

std::string ParentOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

std::string TempNameBeside(const std::string& path) {
    static std::atomic<std::uint64_t> counter{0};
    return ParentOf(path) + "/.ibs-" + std::to_string(::getpid()) + "-" +
           std::to_string(++counter) + ".tmp";
}

namespace {
std::atomic<bool> gOwnershipSet{false};
Ownership gOwnership;
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

void DeferredDirSyncs::Removed(const std::string& folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/') f.pop_back();
    for (DeferredDirSyncs* d = tDeferred; d; d = d->mOuter)
        for (auto& [env, dir] : d->mDirs)
            if (dir == f) dir = ParentOf(f);
}

int DeferredDirSyncs::Flush() {
    std::sort(mDirs.begin(), mDirs.end());
    mDirs.erase(std::unique(mDirs.begin(), mDirs.end()), mDirs.end());
    int first = 0;
    for (const auto& [env, dir] : mDirs) {
        const int rc = env->SyncDir(dir).GetError();
        if (first == 0) first = rc;
    }
    mDirs.clear();
    return first;
}

}  // namespace Os

// ---- Env: the calls made of others ----

namespace {
thread_local Env* tCurrent = nullptr;
}  // namespace

Env& Env::Default() {
    // Never destroyed: objects of static duration (the debug log among them) make calls on
    // their way out, after a local static would be gone.
    static PosixEnv* const posix = new PosixEnv;
    return *posix;
}

Env& Env::Current() {
    return tCurrent ? *tCurrent : Default();
}

Env::Scope::Scope(Env& env) : mOuter(tCurrent) {
    tCurrent = &env;
}

Env::Scope::~Scope() {
    tCurrent = mOuter;
}

Os::Info Env::Probe(const std::string& path) {
    Os::Info info;
    Stat(path, info);
    return info;
}

Error Env::CreateDir(const std::string& path) {
    Error e = MakeDir(path);
    if (!e.OK()) return e;
    return SyncDir(Os::ParentOf(path));
}

void Env::SyncParents(const std::string& a, const std::string& b) {
    if (Os::DeferredDirSyncs* d = Os::tDeferred) {
        d->mDirs.emplace_back(this, b);
        if (a != b) d->mDirs.emplace_back(this, a);
        return;
    }
    SyncDir(b);
    if (a != b) SyncDir(a);
}

Error Env::Rename(const std::string& from, const std::string& to) {
    Error e = Move(from, to, false);
    if (!e.OK()) return e;
    // The rename happened: a caller must never take it for one that did not, or it would
    // act on the file where it no longer is. Should the syncs fail, a crash may undo the
    // rename, which every caller recovers from.
    SyncParents(Os::ParentOf(from), Os::ParentOf(to));
    return Error();
}

Error Env::Replace(const std::string& from, const std::string& to) {
    Error e = Move(from, to, true);
    if (!e.OK()) return e;
    const std::string dir = Os::ParentOf(to);
    SyncParents(dir, dir);  // as in Rename: done is done
    return Error();
}

Error Env::RenameDurable(const std::string& from, const std::string& to) {
    Error e = Move(from, to, false);
    if (!e.OK()) return e;
    const std::string a = Os::ParentOf(from), b = Os::ParentOf(to);
    e = SyncDir(b);
    if (a != b) {
        Error other = SyncDir(a);
        if (e.OK()) e = std::move(other);
    }
    return e;
}

Error Env::ReplaceDurable(const std::string& from, const std::string& to) {
    Error e = Move(from, to, true);
    if (!e.OK()) return e;
    return SyncDir(Os::ParentOf(to));
}

Error Env::WriteWhole(const std::string& path, const std::string& text, bool durable) {
    const std::string temp = Os::TempNameBeside(path);
    int fd = -1;
    Error e = OpenWrite(temp, Os::WriteMode{true, true}, fd);
    if (e.OK()) e = PWriteAll(fd, text.data(), text.size(), 0, temp);
    if (e.OK() && durable) e = SyncFile(fd, temp);
    if (fd >= 0) Close(fd);
    if (e.OK()) e = durable ? ReplaceDurable(temp, path) : Move(temp, path, true);
    if (!e.OK()) DeleteFile(temp);
    return e;
}

Error Env::WriteFileReplace(const std::string& path, const std::string& text) {
    return WriteWhole(path, text, false);
}

Error Env::WriteFileDurable(const std::string& path, const std::string& text) {
    return WriteWhole(path, text, true);
}

Error Env::ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    int fd = -1;
    Error e = OpenRead(path, fd, nullptr, false);
    if (!e.OK()) return e;
    char buf[65536];
    std::size_t got = 0;
    for (std::uint64_t off = 0; (e = PReadAll(fd, buf, sizeof buf, off, got, path)).OK() && got;
         off += got)
        text.append(buf, got);
    Close(fd);
    return e;
}

Error Env::CopyRange(int in, const std::string& from, int out, const std::string& to,
                     std::uint64_t size) {
    std::vector<char> buf(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1u << 20)));
    for (std::uint64_t done = 0; done < size;) {
        std::size_t got = 0;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buf.size()));
        Error e = PReadAll(in, buf.data(), want, done, got, from);
        if (!e.OK()) return e;
        if (got == 0) break;  // the source shrank underneath us
        e = PWriteAll(out, buf.data(), got, done, to);
        if (!e.OK()) return e;
        done += got;
    }
    return Error();
}

Error Env::CopyFile(const std::string& from, const std::string& to) {
    Error e = BeginCopy(from, to);
    if (!e.OK()) return e;
    int in = -1;
    e = OpenRead(from, in, nullptr, false);
    if (!e.OK()) return e;
    Os::Info info;
    e = FStat(in, info, from);
    if (!e.OK()) {
        Close(in);
        return e;
    }
    const Os::Ownership* own = Os::CopyOwnership();
    const mode_t mode = own ? own->mode : info.mode & 07777;
    // The bytes go to a private name first, so a crash never leaves a partial file under the
    // real one.
    const std::string part = Os::TempNameBeside(to);
    int out = -1;
    e = OpenWrite(part, Os::WriteMode{true, true, false, mode}, out);
    if (!e.OK()) {
        Close(in);
        return e;
    }
    e = CopyRange(in, from, out, part, info.size);
    // The copy is the process's own before it appears under its name. An owner that cannot
    // be set (a sandbox without the right) does not cost the copy; the mode is always set.
    if (e.OK()) MakeOwnOpen(out, part);
    if (e.OK()) e = SetModeOpen(out, mode, part);
    if (e.OK()) e = SyncFile(out, to);
    Close(in);
    Error closed = Close(out);
    if (e.OK()) e = std::move(closed);
    if (e.OK()) e = ReplaceDurable(part, to);
    if (!e.OK()) DeleteFile(part);
    return e;
}

// ---- PosixEnv: the real calls ----

namespace {

// The one place errno becomes an Error.
Error Sys(const char* op, const std::string& path, int e = errno) {
    return Error(Os::MapErrno(e), op, path).SetSystemErrno(e);
}

Error Made(int number, const char* op, const std::string& path) {
    return Error(number, op, path);
}

void Fill(const struct stat& st, Os::Info& info) {
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

bool NotAName(const std::string& c) {
    return c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos;
}

// Opens `root` and then its first `count` components, each a real folder, never through a
// symbolic link; `dir` holds the last one (O_PATH: nothing of it is read) when OK.
Error OpenRealFolders(const std::string& root, const std::vector<std::string>& components,
                      std::size_t count, int& dir) {
    dir = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return errno == ELOOP ? Made(kErrIsALink, "open", root) : Sys("open", root);
    Error e;
    std::string at = root;
    for (std::size_t i = 0; e.OK() && i < count; ++i) {
        const std::string& c = components[i];
        at += "/" + c;
        if (NotAName(c)) {
            e = Made(kErrPathNotFound, "open", at);
            break;
        }
        int next = ::openat(dir, c.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int err = errno;
            // A link in the way answers ELOOP or, with O_DIRECTORY, ENOTDIR: tell them apart.
            struct stat st;
            if (::fstatat(dir, c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                e = Made(kErrIsALink, "open", at);
            else
                e = err == ELOOP ? Made(kErrIsALink, "open", at) : Sys("open", at, err);
        } else {
            ::close(dir);
            dir = next;
        }
    }
    if (!e.OK()) {
        ::close(dir);
        dir = -1;
    }
    return e;
}

// Files are opened without blocking: opening a FIFO for reading would wait for a writer for
// ever, and a device may wait for its hardware. Only a regular file stays open, in blocking
// mode again unless the caller may do without; anything else is closed unread.
Error KeepOnlyRegular(Error e, int& fd, const std::string& path, struct stat* seen = nullptr,
                      bool mayStayNonBlocking = false) {
    if (!e.OK()) return e;
    struct stat local;
    struct stat& st = seen ? *seen : local;
    if (::fstat(fd, &st) != 0)
        e = Sys("stat", path);
    else if (S_ISDIR(st.st_mode))
        e = Made(kErrIsADirectory, "open", path);
    else if (!S_ISREG(st.st_mode))
        e = Made(kErrNotAFile, "open", path);
    else if (mayStayNonBlocking)
        ;
    else if (int fl = ::fcntl(fd, F_GETFL); fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
        e = Sys("open", path);
    if (!e.OK()) {
        ::close(fd);
        fd = -1;
    }
    return e;
}

Error WriteLoop(int fd, const void* buf, std::size_t n, std::uint64_t off, bool append,
                const std::string& path) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = append ? ::write(fd, p, n) : ::pwrite(fd, p, n, static_cast<off_t>(off));
        if (w < 0) {
            if (errno == EINTR) continue;
            return Sys("write", path);
        }
        p += w;
        n -= static_cast<std::size_t>(w);
        off += static_cast<std::uint64_t>(w);
    }
    return Error();
}

// Owner and group first: a change of owner clears set-id bits, and the mode comes last.
// `known`: the file's status, when the caller has it already.
Error ApplyOwnership(int fd, const Os::Ownership& own, const std::string& path,
                     const struct stat* known = nullptr) {
    struct stat st;
    if (known)
        st = *known;
    else if (::fstat(fd, &st) != 0)
        return Sys("stat", path);
    Error e;
    if ((st.st_uid != own.uid || st.st_gid != own.gid) && ::fchown(fd, own.uid, own.gid) != 0)
        e = Sys("set owner of", path);
    if ((st.st_mode & 07777) != own.mode && ::fchmod(fd, own.mode) != 0 && e.OK())
        e = Sys("set mode of", path);
    return e;
}

}  // namespace

Error PosixEnv::Stat(const std::string& path, Os::Info& info) {
    info = Os::Info();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Sys("stat", path);
    Fill(st, info);
    return Error();
}

Error PosixEnv::FStat(int fd, Os::Info& info, const std::string& path) {
    info = Os::Info();
    struct stat st;
    if (::fstat(fd, &st) != 0) return Sys("stat", path);
    Fill(st, info);
    return Error();
}

bool PosixEnv::CanWrite(const std::string& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

bool PosixEnv::IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixEnv::SameObject(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

Error PosixEnv::ListDir(const std::string& path, std::vector<Os::DirEntry>& entries) {
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return Sys("list", path);
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        Os::DirEntry entry;
        entry.name = std::move(n);
        switch (e->d_type) {
            case DT_REG:
                entry.type = Os::DirEntry::kFile;
                break;
            case DT_DIR:
                entry.type = Os::DirEntry::kDir;
                break;
            case DT_LNK:
                entry.type = Os::DirEntry::kLink;
                break;
            case DT_UNKNOWN:
                entry.type = Os::DirEntry::kUnknown;
                break;
            default:
                entry.type = Os::DirEntry::kOther;
        }
        entries.push_back(std::move(entry));
        errno = 0;
    }
    Error e = errno != 0 ? Sys("list", path) : Error();
    ::closedir(d);
    return e;
}

Error PosixEnv::MakeDir(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) != 0 ? Sys("create folder", path) : Error();
}

Error PosixEnv::RemoveDir(const std::string& path) {
    return ::rmdir(path.c_str()) != 0 ? Sys("remove folder", path) : Error();
}

Error PosixEnv::DeleteFile(const std::string& path) {
    return ::unlink(path.c_str()) != 0 ? Sys("delete", path) : Error();
}

Error PosixEnv::DeleteFileAt(int dirFd, const std::string& name, const std::string& path) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return Error(kErrBadPathFormat, "delete", path);
    return ::unlinkat(dirFd, name.c_str(), 0) != 0 ? Sys("delete", path) : Error();
}

Error PosixEnv::Move(const std::string& from, const std::string& to, bool replace) {
    const std::string both = from + " \xe2\x86\x92 " + to;
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? Error() : Sys("rename", both);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return Error();
    // Some file systems lack RENAME_NOREPLACE; fall back with an explicit check.
    if (errno != EINVAL && errno != ENOSYS) return Sys("rename", both);
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return Made(kErrAlreadyExists, "rename", both);
    return ::rename(from.c_str(), to.c_str()) == 0 ? Error() : Sys("rename", both);
}

Error PosixEnv::HardLink(const std::string& existing, const std::string& link) {
    return ::link(existing.c_str(), link.c_str()) != 0 ? Sys("hard link", link) : Error();
}

Error PosixEnv::SyncDir(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Sys("sync", path);
    Error e = ::fsync(fd) == 0 ? Error() : Sys("sync", path);
    ::close(fd);
    return e;
}

Error PosixEnv::SetReadOnly(const std::string& path, bool readOnly) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Sys("set locked", path);
    mode_t mode = st.st_mode & 07777;
    mode = readOnly ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    if (::chmod(path.c_str(), mode) != 0) return Sys("set locked", path);
    return Error();
}

Error PosixEnv::OpenRead(const std::string& path, int& fd, Os::Info* info,
                         bool mayStayNonBlocking) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    Error e =
        KeepOnlyRegular(fd < 0 ? Sys("open", path) : Error(), fd, path, &st, mayStayNonBlocking);
    if (e.OK() && info) Fill(st, *info);
    return e;
}

Error PosixEnv::OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                           Os::Info* info, bool mayStayNonBlocking) {
    fd = -1;
    if (NotAName(name)) return Made(kErrPathNotFound, "open", path);
    fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    // A start-up scan opens every log for its header: one system call fewer each.
    if (!info && mayStayNonBlocking) return fd < 0 ? Sys("open", path) : Error();
    struct stat st;
    Error e =
        KeepOnlyRegular(fd < 0 ? Sys("open", path) : Error(), fd, path, &st, mayStayNonBlocking);
    if (e.OK() && info) Fill(st, *info);
    return e;
}

Error PosixEnv::OpenWrite(const std::string& path, const Os::WriteMode& how, int& fd) {
    fd = ::open(path.c_str(), Os::FlagsOf(how), how.mode);
    return KeepOnlyRegular(fd < 0 ? Sys("open for writing", path) : Error(), fd, path);
}

Error PosixEnv::PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
                         const std::string& path) {
    got = 0;
    char* p = static_cast<char*>(buf);
    while (got < n) {
        ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(off + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return Sys("read", path);
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return Error();
}

Error PosixEnv::PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                          const std::string& path) {
    return WriteLoop(fd, buf, n, off, false, path);
}

Error PosixEnv::Append(int fd, const void* buf, std::size_t n, const std::string& path) {
    return WriteLoop(fd, buf, n, 0, true, path);
}

Error PosixEnv::PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                        const std::string& path) {
    const iovec* cur = iov;
    int left = count;
    while (left > 0) {
        ssize_t w = ::pwritev(fd, cur, std::min(left, IOV_MAX), static_cast<off_t>(off));
        if (w < 0) {
            if (errno == EINTR) continue;
            return Sys("write", path);
        }
        off += static_cast<std::uint64_t>(w);
        auto done = static_cast<std::size_t>(w);
        while (left > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            ++cur;
            --left;
        }
        if (w == 0 && left > 0) return Made(kErrIO, "write", path);  // nothing said why
        // Short writes are rare: finish the buffer that was cut with plain writes.
        if (done > 0) {
            std::size_t rest = cur->iov_len - done;
            Error e = WriteLoop(fd, static_cast<const char*>(cur->iov_base) + done, rest, off,
                                false, path);
            if (!e.OK()) return e;
            off += rest;
            ++cur;
            --left;
        }
    }
    return Error();
}

Error PosixEnv::Truncate(int fd, std::uint64_t size, const std::string& path) {
    return ::ftruncate(fd, static_cast<off_t>(size)) != 0 ? Sys("set length of", path) : Error();
}

Error PosixEnv::Lock(int fd, const std::string& path) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Error();
    return errno == EWOULDBLOCK ? Made(kErrFileLocked, "lock", path) : Sys("lock", path);
}

Error PosixEnv::LockFolder(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Sys("lock", path);
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        Error e = Sys("lock", path);
        ::close(fd);
        fd = -1;
        return e;
    }
    return Error();
}

Error PosixEnv::SyncFile(int fd, const std::string& path) {
    return ::fdatasync(fd) == 0 ? Error() : Sys("sync", path);
}

Error PosixEnv::Close(int fd) {
    if (fd < 0) return Error();
    return ::close(fd) == 0 ? Error() : Sys("close", std::string());
}

Error PosixEnv::MakeOwn(const std::string& path, Os::Info* seen) {
    const Os::Ownership* own = Os::CopyOwnership();
    if (!own) {
        struct stat st;
        if (!seen) return Error();
        if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Sys("look at", path);
        Fill(st, *seen);
        return Error();
    }
    // Most files are the process's own already (a last-good copy linked again): one look.
    struct stat looked;
    if (!seen && ::fstatat(AT_FDCWD, path.c_str(), &looked, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(looked.st_mode) && looked.st_uid == own->uid && looked.st_gid == own->gid &&
        (looked.st_mode & 07777) == own->mode)
        return Error();
    // Opened only to change owner and mode: it may stay non-blocking.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    Error e = KeepOnlyRegular(fd < 0 ? Sys("open", path) : Error(), fd, path, &st, true);
    if (!e.OK()) return e;
    if (seen) Fill(st, *seen);
    e = ApplyOwnership(fd, *own, path, &st);
    ::close(fd);
    return e;
}

Error PosixEnv::MakeOwnOpen(int fd, const std::string& path) {
    const Os::Ownership* own = Os::CopyOwnership();
    if (!own) return Error();
    return ApplyOwnership(fd, *own, path);
}

Error PosixEnv::SetModeOpen(int fd, mode_t mode, const std::string& path) {
    return ::fchmod(fd, mode) == 0 ? Error() : Sys("set mode of", path);
}

Error PosixEnv::SetTag(int fd, const char* name, const void* value, std::size_t size,
                       const std::string& path) {
    return ::fsetxattr(fd, name, value, size, 0) == 0 ? Error() : Sys("tag", path);
}

Error PosixEnv::GetTag(int fd, const char* name, std::string& value, const std::string& path) {
    char buf[1024];
    const ssize_t n = ::fgetxattr(fd, name, buf, sizeof buf);
    if (n < 0)
        return errno == ENODATA ? Made(kErrPathNotFound, "read tag of", path)
                                : Sys("read tag of", path);
    value.assign(buf, static_cast<std::size_t>(n));
    return Error();
}

Error PosixEnv::CloneFile(int from, int to, const std::string& path) {
    if (::ioctl(to, FICLONE, from) == 0) return Error();
    const int e = errno;
    // Refused before anything was shared, `to` is untouched; anything else may have shared
    // part of it, which a copy made instead must not find.
    if (e != EOPNOTSUPP && e != EXDEV && e != EINVAL && e != ENOTTY && e != EBADF && e != ENOSYS &&
        e != EPERM)
        (void)::ftruncate(to, 0);
    return Sys("clone", path, e);
}

Error PosixEnv::CopyRange(int in, const std::string& from, int out, const std::string& to,
                          std::uint64_t size) {
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
            if (::lseek(out, static_cast<off_t>(done), SEEK_SET) < 0) return Sys("write", to);
            n = ::sendfile(out, in, &inOff, chunk);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                useSendfile = false;
                continue;
            }
        } else {
            // What neither kernel copy takes goes through plain reads and writes.
            return Env::CopyRange(in, from, out, to, size);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return Sys("copy", from);
        }
        if (n == 0) break;  // the source shrank underneath us
        done += static_cast<std::uint64_t>(n);
    }
    return Error();
}

Error PosixEnv::BeginCopy(const std::string&, const std::string&) {
    return Error();
}

Error PosixEnv::CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                              bool lastIsFile) {
    if (components.empty()) return Made(kErrPathNotFound, "open", root);
    int dir = -1;
    Error e = OpenRealFolders(root, components, components.size() - 1, dir);
    if (!e.OK()) return e;
    const std::string& last = components.back();
    std::string path = root;
    for (const std::string& c : components) path += "/" + c;
    struct stat st;
    if (NotAName(last))
        e = Made(kErrPathNotFound, "open", path);
    else if (::fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        e = Sys("stat", path);
    else if (S_ISLNK(st.st_mode))
        e = Made(kErrIsALink, "open", path);
    else if (lastIsFile && S_ISDIR(st.st_mode))
        e = Made(kErrIsADirectory, "open", path);
    else if (lastIsFile && !S_ISREG(st.st_mode))
        e = Made(kErrNotAFile, "open", path);
    else if (!lastIsFile && !S_ISDIR(st.st_mode))
        e = Made(kErrNotADirectory, "open", path);
    ::close(dir);
    return e;
}

Error PosixEnv::OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                               int& dirFd) {
    dirFd = -1;
    return OpenRealFolders(root, components, components.size(), dirFd);
}

// ---- EnvWrapper: every call to the target ----

Error EnvWrapper::Stat(const std::string& path, Os::Info& info) {
    return mTarget->Stat(path, info);
}
Error EnvWrapper::FStat(int fd, Os::Info& info, const std::string& path) {
    return mTarget->FStat(fd, info, path);
}
bool EnvWrapper::CanWrite(const std::string& path) {
    return mTarget->CanWrite(path);
}
bool EnvWrapper::IsFolder(const std::string& path) {
    return mTarget->IsFolder(path);
}
bool EnvWrapper::SameObject(const std::string& a, const std::string& b) {
    return mTarget->SameObject(a, b);
}
Error EnvWrapper::ListDir(const std::string& path, std::vector<Os::DirEntry>& entries) {
    return mTarget->ListDir(path, entries);
}
Error EnvWrapper::MakeDir(const std::string& path) {
    return mTarget->MakeDir(path);
}
Error EnvWrapper::RemoveDir(const std::string& path) {
    return mTarget->RemoveDir(path);
}
Error EnvWrapper::DeleteFile(const std::string& path) {
    return mTarget->DeleteFile(path);
}
Error EnvWrapper::DeleteFileAt(int dirFd, const std::string& name, const std::string& path) {
    return mTarget->DeleteFileAt(dirFd, name, path);
}
Error EnvWrapper::Move(const std::string& from, const std::string& to, bool replace) {
    return mTarget->Move(from, to, replace);
}
Error EnvWrapper::HardLink(const std::string& existing, const std::string& link) {
    return mTarget->HardLink(existing, link);
}
Error EnvWrapper::SyncDir(const std::string& path) {
    return mTarget->SyncDir(path);
}
Error EnvWrapper::SetReadOnly(const std::string& path, bool readOnly) {
    return mTarget->SetReadOnly(path, readOnly);
}
Error EnvWrapper::OpenRead(const std::string& path, int& fd, Os::Info* info,
                           bool mayStayNonBlocking) {
    return mTarget->OpenRead(path, fd, info, mayStayNonBlocking);
}
Error EnvWrapper::OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                             Os::Info* info, bool mayStayNonBlocking) {
    return mTarget->OpenReadAt(dirFd, name, path, fd, info, mayStayNonBlocking);
}
Error EnvWrapper::OpenWrite(const std::string& path, const Os::WriteMode& how, int& fd) {
    return mTarget->OpenWrite(path, how, fd);
}
Error EnvWrapper::PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
                           const std::string& path) {
    return mTarget->PReadAll(fd, buf, n, off, got, path);
}
Error EnvWrapper::PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                            const std::string& path) {
    return mTarget->PWriteAll(fd, buf, n, off, path);
}
Error EnvWrapper::PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                          const std::string& path) {
    return mTarget->PWriteV(fd, iov, count, off, path);
}
Error EnvWrapper::Append(int fd, const void* buf, std::size_t n, const std::string& path) {
    return mTarget->Append(fd, buf, n, path);
}
Error EnvWrapper::Truncate(int fd, std::uint64_t size, const std::string& path) {
    return mTarget->Truncate(fd, size, path);
}
Error EnvWrapper::Lock(int fd, const std::string& path) {
    return mTarget->Lock(fd, path);
}
Error EnvWrapper::LockFolder(const std::string& path, int& fd) {
    return mTarget->LockFolder(path, fd);
}
Error EnvWrapper::SyncFile(int fd, const std::string& path) {
    return mTarget->SyncFile(fd, path);
}
Error EnvWrapper::Close(int fd) {
    return mTarget->Close(fd);
}
Error EnvWrapper::MakeOwn(const std::string& path, Os::Info* seen) {
    return mTarget->MakeOwn(path, seen);
}
Error EnvWrapper::MakeOwnOpen(int fd, const std::string& path) {
    return mTarget->MakeOwnOpen(fd, path);
}
Error EnvWrapper::SetModeOpen(int fd, mode_t mode, const std::string& path) {
    return mTarget->SetModeOpen(fd, mode, path);
}
Error EnvWrapper::SetTag(int fd, const char* name, const void* value, std::size_t size,
                         const std::string& path) {
    return mTarget->SetTag(fd, name, value, size, path);
}
Error EnvWrapper::GetTag(int fd, const char* name, std::string& value, const std::string& path) {
    return mTarget->GetTag(fd, name, value, path);
}
Error EnvWrapper::CloneFile(int from, int to, const std::string& path) {
    return mTarget->CloneFile(from, to, path);
}
Error EnvWrapper::CopyRange(int in, const std::string& from, int out, const std::string& to,
                            std::uint64_t size) {
    return mTarget->CopyRange(in, from, out, to, size);
}
Error EnvWrapper::BeginCopy(const std::string& from, const std::string& to) {
    return mTarget->BeginCopy(from, to);
}
Error EnvWrapper::CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                                bool lastIsFile) {
    return mTarget->CheckRealPath(root, components, lastIsFile);
}
Error EnvWrapper::OpenRealFolder(const std::string& root,
                                 const std::vector<std::string>& components, int& dirFd) {
    return mTarget->OpenRealFolder(root, components, dirFd);
}

}  // namespace Mirel
