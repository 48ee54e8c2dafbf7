#include "tests/lib/PowerLoss.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <utility>

#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"

namespace Mirel {
namespace PowerLoss {

namespace {

constexpr std::uint64_t kSector = 512;  // the unit a torn write keeps or loses

using Id = std::pair<dev_t, ino_t>;
using Bytes = std::vector<std::uint8_t>;

// A write or a length change not durable yet, with what it replaced.
struct DataOp {
    bool truncate = false;
    std::uint64_t off = 0;  // a write's offset; a truncate's new length
    Bytes bytes;            // what a write put there
    Bytes old;              // what was there before (within the old length)
    std::uint64_t oldSize = 0;
    std::string path;  // the name it was made through, for reports
};

// A file the run has seen, kept open so the crash can rewrite it whatever its names by then.
struct Inode {
    int fd = -1;
    std::uint64_t seq = 0;  // order of first sight: seeded choices do not depend on inode numbers
    std::string path;       // for reports
    mode_t mode = 0644;
    bool isLink = false;
    std::string linkTarget{};
    std::vector<DataOp> pending{};
    // Where the crash recreated it when its last name had gone, so a second name links there.
    int restoredDir = -1;
    std::string restoredName{};
};

// A folder the run has seen, kept open so its entry changes are undone wherever it moved.
struct Folder {
    int fd = -1;                // O_PATH
    long createdBy = -1;        // the entry change that created it, while not durable
    std::vector<size_t> ops{};  // entry changes made in it, not durable yet
};

enum class Kind { kCreate, kLink, kUnlink, kRename, kMkdir, kRmdir };

struct EntryOp {
    Kind kind;
    Folder* dir = nullptr;  // the entry created or removed; a rename's source
    std::string name;
    Folder* dir2 = nullptr;  // a rename's target
    std::string name2{};
    std::shared_ptr<Inode> node{};  // what an unlink removed, or what a rename replaced
    bool replacedFolder = false;    // a rename replaced an empty folder
    Folder* made = nullptr;         // the folder a mkdir made or a rmdir removed
    bool durable = false;
    std::vector<size_t> deps{};  // earlier changes this one builds on
    std::string text{};
};

}  // namespace

struct Run {
    std::string root;
    std::uint64_t crashAt = 0, points = 0, seq = 0;
    bool crashed = false;
    std::string crashPoint;
    std::map<Id, std::shared_ptr<Inode>> inodes;
    std::map<Id, std::unique_ptr<Folder>> folders;
    std::vector<EntryOp> ops;
    std::map<std::pair<Folder*, std::string>, size_t> lastOnName;
};

namespace {

bool Under(const Run& r, const std::string& path) {
    return path.size() >= r.root.size() && path.compare(0, r.root.size(), r.root) == 0 &&
           (path.size() == r.root.size() || path[r.root.size()] == '/');
}

std::string Trim(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string NameOf(const std::string& path) {
    std::string p = Trim(path);
    return p.substr(p.find_last_of('/') + 1);  // npos + 1: all of it
}

std::string ParentOf(const std::string& path) {
    return Os::ParentOf(Trim(path));
}

// The run's record of the folder at `path`, opened on first sight; null when it is not there.
Folder* FolderAt(Run& r, const std::string& path) {
    int fd = ::open(Trim(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return fd < 0 ? nullptr : (::close(fd), nullptr);
    auto& slot = r.folders[{st.st_dev, st.st_ino}];
    if (slot) return ::close(fd), slot.get();
    slot.reset(new Folder{fd});
    return slot.get();
}

std::shared_ptr<Inode> NewInode(Run& r, int fd, const struct stat& st, const std::string& path) {
    auto& slot = r.inodes[{st.st_dev, st.st_ino}];
    if (slot) return ::close(fd), slot;
    return slot = std::make_shared<Inode>(Inode{fd, ++r.seq, path, st.st_mode & 07777});
}

// The file behind an open descriptor of the caller's.
std::shared_ptr<Inode> InodeOf(Run& r, int fd, const std::string& path) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return nullptr;
    auto it = r.inodes.find({st.st_dev, st.st_ino});
    if (it != r.inodes.end()) return it->second;
    int own = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_CLOEXEC);
    if (own < 0) return nullptr;
    return NewInode(r, own, st, path);
}

// The file or symbolic link a path names (not followed), before it is removed or replaced.
std::shared_ptr<Inode> InodeAt(Run& r, const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return nullptr;
    if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        ssize_t len = ::readlink(path.c_str(), buf, sizeof buf);
        return std::make_shared<Inode>(
            Inode{-1, 0, path, 0644, true, std::string(buf, len > 0 ? std::size_t(len) : 0)});
    }
    if (!S_ISREG(st.st_mode)) return nullptr;
    auto it = r.inodes.find({st.st_dev, st.st_ino});
    if (it != r.inodes.end()) return it->second;
    int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return NewInode(r, fd, st, path);
}

Bytes ReadRange(int fd, std::uint64_t off, std::uint64_t n) {
    Bytes b(n);
    std::size_t got = 0;
    while (got < n) {
        ssize_t k = ::pread(fd, b.data() + got, n - got, static_cast<off_t>(off + got));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        got += static_cast<std::size_t>(k);
    }
    b.resize(got);
    return b;
}

std::uint64_t SizeOf(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// An entry change builds on the last pending change of each name and a pending folder creation.
size_t Record(Run& r, EntryOp op) {
    size_t i = r.ops.size();
    auto depend = [&](Folder* d, const std::string& n) {
        if (!d) return;
        auto it = r.lastOnName.find({d, n});
        if (it != r.lastOnName.end() && !r.ops[it->second].durable) op.deps.push_back(it->second);
        if (d->createdBy >= 0 && !r.ops[static_cast<size_t>(d->createdBy)].durable)
            op.deps.push_back(static_cast<size_t>(d->createdBy));
    };
    depend(op.dir, op.name);
    depend(op.dir2, op.name2);
    // A folder's removal builds on every pending change inside it.
    if (op.kind == Kind::kRmdir && op.made)
        for (size_t k : op.made->ops)
            if (!r.ops[k].durable) op.deps.push_back(k);
    const EntryOp& o = r.ops.emplace_back(std::move(op));
    r.lastOnName[{o.dir, o.name}] = i;
    o.dir->ops.push_back(i);
    if (o.dir2) r.lastOnName[{o.dir2, o.name2}] = i;
    if (o.dir2 && o.dir2 != o.dir) o.dir2->ops.push_back(i);
    return i;
}

// An entry change of `kind` on `path`'s name in its parent folder.
EntryOp Entry(Run& r, Kind kind, const std::string& path, const std::string& text) {
    EntryOp op{kind, FolderAt(r, ParentOf(path)), NameOf(path)};
    op.text = text + " " + path;
    return op;
}

void Commit(Run& r, size_t i) {
    for (std::vector<size_t> todo{i}; !todo.empty();) {
        EntryOp& op = r.ops[todo.back()];
        todo.pop_back();
        if (!std::exchange(op.durable, true))
            todo.insert(todo.end(), op.deps.begin(), op.deps.end());
    }
}

// The machine is off, or this is the durability point it goes off at.
bool Stopped(Run& r, const char* what, const std::string& path, bool quiet,
             std::atomic<bool>& off) {
    if (r.crashed) return true;
    if (quiet || ++r.points != r.crashAt) return false;
    r.crashed = true;
    r.crashPoint = std::string(what) + " " + path;
    off.store(true);
    return true;
}

}  // namespace

// ---- the disk's calls ----

// Outside the run's folder a call goes to the target; below it, nothing after the crash.
#define IBS_RECORDED(recording, pass, what, path) \
    std::unique_lock<std::mutex> g(mM);           \
    if (!(recording)) return g.unlock(), pass;    \
    Run& r = *mRun;                               \
    if (r.crashed) return Error(kErrIO, what, path)

Disk::Disk(Env& target) : GatedEnv(target) {}

Disk::~Disk() {
    Stop();
}

bool Disk::Off(S path) {
    if (!mOff.load()) return false;
    std::lock_guard<std::mutex> g(mM);
    return mRun && mRun->crashed && Under(*mRun, path);
}

bool Disk::Recording(S path) {
    return mOn.load() && mRun && Under(*mRun, path);
}

int Disk::Gate(FsOp, S path) {
    return Off(path) ? kErrIO : 0;
}

// Never while recording: each byte must be a recorded write.
Error Disk::CloneFile(int from, int to, S path) {
    if (Error e = Check(FsOp::kClone, path); !e.OK()) return e;
    if (mOn.load()) return Error(kErrLinkNotSupported, "clone", path);
    return EnvWrapper::CloneFile(from, to, path);
}

Error Disk::CopyRange(int in, S from, int out, S to, std::uint64_t size) {
    if (mOn.load()) return Env::CopyRange(in, from, out, to, size);  // through PWriteAll
    return EnvWrapper::CopyRange(in, from, out, to, size);
}

Error Disk::OpenWrite(S path, const Os::WriteMode& how, int& fd) {
    fd = -1;
    IBS_RECORDED(Recording(path), EnvWrapper::OpenWrite(path, how, fd), "open for writing", path);
    struct stat st;
    bool existed = ::lstat(path.c_str(), &st) == 0;
    // Truncation is recorded as a length change, so it can be taken back.
    Os::WriteMode kept = how;
    kept.truncate = false;
    Error e = Target().OpenWrite(path, kept, fd);
    if (!e.OK()) return e;
    auto node = InodeOf(r, fd, path);
    if (!existed && how.create) {
        EntryOp op = Entry(r, Kind::kCreate, path, "create");
        if (op.dir) Record(r, std::move(op));
    }
    if (how.truncate && node) {
        std::uint64_t size = SizeOf(node->fd);
        if (size > 0)
            node->pending.push_back({true, 0, {}, ReadRange(node->fd, 0, size), size, path});
    }
    if (how.truncate && ::ftruncate(fd, 0) != 0) {
        e = Error(Os::MapErrno(errno), "open for writing", path);
        ::close(std::exchange(fd, -1));
    }
    return e;
}

Error Disk::Write(int fd, const void* buf, std::size_t n, std::uint64_t off, bool append, S path) {
    Run& r = *mRun;
    auto write = [&]() {
        return append ? Target().Append(fd, buf, n, path)
                      : Target().PWriteAll(fd, buf, n, off, path);
    };
    auto node = InodeOf(r, fd, path);
    if (!node) return write();
    DataOp d{false, off, {}, {}, SizeOf(node->fd), path};
    if (append) d.off = off = d.oldSize;
    if (off < d.oldSize)
        d.old = ReadRange(node->fd, off, std::min<std::uint64_t>(n, d.oldSize - off));
    Error e = write();
    const auto* p = static_cast<const std::uint8_t*>(buf);
    d.bytes = e.OK() ? Bytes(p, p + n) : ReadRange(node->fd, off, n);  // what a failure left
    node->pending.push_back(std::move(d));
    return e;
}

Error Disk::PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, S path) {
    IBS_RECORDED(Recording(path), EnvWrapper::PWriteAll(fd, buf, n, off, path), "write", path);
    return Write(fd, buf, n, off, false, path);
}

Error Disk::Append(int fd, const void* buf, std::size_t n, S path) {
    IBS_RECORDED(Recording(path), EnvWrapper::Append(fd, buf, n, path), "write", path);
    return Write(fd, buf, n, 0, true, path);
}

// Recorded writes go one buffer at a time.
Error Disk::PWriteV(int fd, const iovec* iov, int count, std::uint64_t off, S path) {
    IBS_RECORDED(Recording(path), EnvWrapper::PWriteV(fd, iov, count, off, path), "write", path);
    Error e;
    for (int i = 0; i < count && e.OK(); off += iov[i++].iov_len)
        e = Write(fd, iov[i].iov_base, iov[i].iov_len, off, false, path);
    return e;
}

Error Disk::Truncate(int fd, std::uint64_t size, S path) {
    IBS_RECORDED(Recording(path), EnvWrapper::Truncate(fd, size, path), "set length of", path);
    auto node = InodeOf(r, fd, path);
    DataOp d{true, size, {}, {}, 0, path};
    if (node) {
        d.oldSize = SizeOf(node->fd);
        if (size < d.oldSize) d.old = ReadRange(node->fd, size, d.oldSize - size);
    }
    Error e = Target().Truncate(fd, size, path);
    if (e.OK() && node) node->pending.push_back(std::move(d));
    return e;
}

Error Disk::SyncFile(int fd, S path) {
    std::unique_lock<std::mutex> g(mM);
    if (!Recording(path)) return g.unlock(), EnvWrapper::SyncFile(fd, path);
    Run& r = *mRun;
    if (Stopped(r, "sync file", path, mQuiet.load() > 0, mOff)) return Error(kErrIO, "sync", path);
    // The recorder decides what is durable, so the disk is not asked to.
    struct stat st;
    auto it = ::fstat(fd, &st) == 0 ? r.inodes.find({st.st_dev, st.st_ino}) : r.inodes.end();
    if (it != r.inodes.end()) it->second->pending.clear();
    return Error();
}

Error Disk::SyncDir(S path) {
    std::unique_lock<std::mutex> g(mM);
    if (!Recording(path)) return g.unlock(), EnvWrapper::SyncDir(path);
    Run& r = *mRun;
    if (Stopped(r, "sync folder", path, mQuiet.load() > 0, mOff))
        return Error(kErrIO, "sync", path);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Error(Os::MapErrno(errno), "sync", path);
    struct stat st;
    auto it = ::fstat(fd, &st) == 0 ? r.folders.find({st.st_dev, st.st_ino}) : r.folders.end();
    ::close(fd);
    for (size_t k :
         it != r.folders.end() ? std::exchange(it->second->ops, {}) : std::vector<size_t>())
        Commit(r, k);
    return Error();
}

Error Disk::MakeDir(S path) {
    IBS_RECORDED(Recording(path), EnvWrapper::MakeDir(path), "create folder", path);
    Error e = Target().MakeDir(path);
    if (!e.OK()) return e;
    EntryOp op = Entry(r, Kind::kMkdir, path, "create folder");
    Folder* made = op.made = FolderAt(r, path);
    if (op.dir && made) made->createdBy = static_cast<long>(Record(r, std::move(op)));
    return e;
}

Error Disk::RemoveDir(S path) {
    IBS_RECORDED(Recording(path), EnvWrapper::RemoveDir(path), "remove folder", path);
    EntryOp op = Entry(r, Kind::kRmdir, path, "remove folder");
    op.made = FolderAt(r, path);
    Error e = Target().RemoveDir(path);
    if (e.OK() && op.dir && op.made) Record(r, std::move(op));
    return e;
}

Error Disk::Unlink(S path, const std::function<Error(Env&)>& unlink) {
    IBS_RECORDED(Recording(path), unlink(Target()), "delete", path);
    EntryOp op = Entry(r, Kind::kUnlink, path, "delete");
    op.node = InodeAt(r, path);
    Error e = unlink(Target());
    if (e.OK() && op.dir) Record(r, std::move(op));
    return e;
}

Error Disk::DeleteFile(S path) {
    return Unlink(path, [&](Env& env) { return env.DeleteFile(path); });
}

Error Disk::DeleteFileAt(int dirFd, S name, S path) {
    return Unlink(path, [&](Env& env) { return env.DeleteFileAt(dirFd, name, path); });
}

Error Disk::Move(S from, S to, bool replace) {
    IBS_RECORDED(Recording(from) || Recording(to), EnvWrapper::Move(from, to, replace), "rename",
                 from);
    EntryOp op = Entry(r, Kind::kRename, from, "rename");
    op.dir2 = FolderAt(r, ParentOf(to));
    op.name2 = NameOf(to);
    op.text += " to " + to;
    struct stat st;
    const bool there = ::lstat(to.c_str(), &st) == 0;
    op.replacedFolder = there && S_ISDIR(st.st_mode);
    if (there && !op.replacedFolder) op.node = InodeAt(r, to);
    Error e = Target().Move(from, to, replace);
    if (e.OK() && op.dir && op.dir2) Record(r, std::move(op));
    return e;
}

Error Disk::HardLink(S existing, S link) {
    IBS_RECORDED(Recording(existing) || Recording(link), EnvWrapper::HardLink(existing, link),
                 "hard link", link);
    Error e = Target().HardLink(existing, link);
    if (!e.OK()) return e;
    EntryOp op = Entry(r, Kind::kLink, link, "hard link");
    op.text += " to " + existing;
    if (op.dir) Record(r, std::move(op));
    return e;
}

// ---- the crash ----

namespace {

std::string Why(const std::string& what) {
    return what + ": " + std::strerror(errno);
}
void Resize(Bytes& b, std::uint64_t n) {
    b.resize(static_cast<std::size_t>(n), 0);
}

void Put(Bytes& b, std::uint64_t off, const std::uint8_t* p, std::size_t n) {
    if (b.size() < off + n) Resize(b, off + n);
    std::memcpy(b.data() + off, p, n);
}

enum class Fate { kLost, kKept, kTorn };

// One file as the disk holds it after the crash: its durable content, then what the crash keeps.
void ResolveData(Inode& n, Loss loss, std::mt19937_64& rng, Outcome& out) {
    Bytes content = ReadRange(n.fd, 0, SizeOf(n.fd));
    for (auto it = n.pending.rbegin(); it != n.pending.rend(); ++it) {
        if (it->truncate) Resize(content, it->oldSize);  // its old bytes lie past its length
        if (!it->old.empty()) Put(content, it->off, it->old.data(), it->old.size());
        if (!it->truncate) Resize(content, it->oldSize);
    }
    for (const DataOp& d : n.pending) {
        Fate fate = loss == Loss::kKeepAll ? Fate::kKept : Fate::kLost;
        if (loss == Loss::kSeeded) fate = static_cast<Fate>(rng() % 3);
        if (loss == Loss::kLastWriteOnly && &d == &n.pending.back()) fate = Fate::kKept;
        if (d.truncate && fate == Fate::kTorn) fate = Fate::kKept;
        std::string what = (d.truncate ? "length of " : "write to ") + d.path + " at " +
                           std::to_string(d.off) +
                           (d.truncate ? "" : ", " + std::to_string(d.bytes.size()) + " bytes");
        if (fate == Fate::kLost) {
            ++out.writesLost, out.lost.push_back(what);
        } else if (d.truncate) {
            Resize(content, d.off), ++out.writesKept;
        } else if (fate == Fate::kKept) {
            Put(content, d.off, d.bytes.data(), d.bytes.size()), ++out.writesKept;
        } else {  // torn: each sector the write touched is on the disk or not
            for (std::uint64_t a = d.off, end = d.off + d.bytes.size(), b; a < end; a = b) {
                b = std::min(end, (a / kSector + 1) * kSector);
                if (rng() % 2) Put(content, a, d.bytes.data() + (a - d.off), b - a);
            }
            ++out.writesTorn, out.lost.push_back(what + " (torn)");
        }
    }
    n.pending.clear();
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t w =
            ::pwrite(n.fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            out.errors.push_back(Why("rewrite " + n.path));
            return;
        }
        done += static_cast<std::size_t>(w);
    }
    if (::ftruncate(n.fd, static_cast<off_t>(content.size())) != 0)
        out.errors.push_back(Why("set length of " + n.path));
}

// Puts a removed or replaced file back under a name.
bool Restore(Inode& n, int dirFd, const std::string& name, std::string& error) {
    if (n.isLink) {
        if (::symlinkat(n.linkTarget.c_str(), dirFd, name.c_str()) == 0) return true;
        error = Why("recreate link " + name);
        return false;
    }
    struct stat st;
    if (::fstat(n.fd, &st) == 0 && st.st_nlink > 0) {
        std::string self = "/proc/self/fd/" + std::to_string(n.fd);
        if (::linkat(AT_FDCWD, self.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
    }
    if (n.restoredDir >= 0 &&
        ::linkat(n.restoredDir, n.restoredName.c_str(), dirFd, name.c_str(), 0) == 0)
        return true;
    // Its last name was gone: the same bytes under a new file.
    int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, n.mode);
    if (fd < 0) {
        error = Why("recreate " + name);
        return false;
    }
    Bytes b = ReadRange(n.fd, 0, SizeOf(n.fd));
    bool ok = b.empty() || ::pwrite(fd, b.data(), b.size(), 0) == static_cast<ssize_t>(b.size());
    ok = ok && ::fchmod(fd, n.mode) == 0;
    ::close(fd);
    if (!ok) {
        error = Why("refill " + name);
        return false;
    }
    n.restoredDir = dirFd, n.restoredName = name;
    return true;
}

// Raw calls only: the OS layer would wait for the lock the crash holds.
void RemoveTreeAt(int dirFd, const std::string& name) {
    int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        std::vector<std::string> names;
        if (DIR* d = ::fdopendir(::dup(fd))) {
            while (dirent* e = ::readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            ::closedir(d);
        }
        for (const auto& n : names)
            if (::unlinkat(fd, n.c_str(), 0) != 0 && errno == EISDIR) RemoveTreeAt(fd, n);
        ::close(fd);
    }
    ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
}

// Takes back one entry change the crash does not keep.
void Undo(EntryOp& op, Outcome& out) {
    int d = op.dir->fd;
    const char* n = op.name.c_str();
    bool ok = true;
    std::string error;
    switch (op.kind) {
        case Kind::kCreate:
        case Kind::kLink:
            ok = ::unlinkat(d, n, 0) == 0;
            break;
        case Kind::kMkdir:
            if (::unlinkat(d, n, AT_REMOVEDIR) != 0) {
                // Only what was never recorded is left in it.
                RemoveTreeAt(d, op.name);
                ok = ::faccessat(d, n, F_OK, AT_SYMLINK_NOFOLLOW) != 0;
            }
            break;
        case Kind::kRmdir:
            // Earlier changes inside it are undone in the new folder.
            if ((ok = ::mkdirat(d, n, 0755) == 0))
                if (int fd = ::openat(d, n, O_PATH | O_DIRECTORY | O_CLOEXEC); fd >= 0)
                    ::close(std::exchange(op.made->fd, fd));
            break;
        case Kind::kUnlink:
            if (!op.node) error = "nothing kept to restore " + op.name;
            ok = op.node && Restore(*op.node, d, op.name, error);
            break;
        case Kind::kRename:
            ok = ::renameat2(op.dir2->fd, op.name2.c_str(), d, n, RENAME_NOREPLACE) == 0;
            if (ok && op.node) ok = Restore(*op.node, op.dir2->fd, op.name2, error);
            if (ok && op.replacedFolder) ok = ::mkdirat(op.dir2->fd, op.name2.c_str(), 0755) == 0;
            break;
    }
    if (!ok) out.errors.push_back(error.empty() ? Why("undo " + op.text) : error);
}

}  // namespace

void Disk::EndRun() {
    if (!mRun) return;
    for (auto& [id, n] : mRun->inodes) ::close(n->fd);
    for (auto& [id, f] : mRun->folders) ::close(f->fd);
    mRun.reset();
    mOn.store(false), mOff.store(false);
}

void Disk::Start(const std::string& root, std::uint64_t crashAt) {
    std::lock_guard<std::mutex> g(mM);
    EndRun();
    mRun = std::make_unique<Run>();
    mRun->root = Trim(root);
    mRun->crashAt = crashAt;
    mOn.store(true);
}

#define IBS_LOCKED(type, Name, expr)       \
    type Disk::Name() {                    \
        std::lock_guard<std::mutex> g(mM); \
        return expr;                       \
    }
IBS_LOCKED(std::uint64_t, Points, mRun ? mRun->points : 0)
IBS_LOCKED(bool, Crashed, mRun && mRun->crashed)
IBS_LOCKED(std::string, CrashPoint, mRun ? mRun->crashPoint : std::string())
#undef IBS_LOCKED

NoCrashScope::NoCrashScope(Disk& disk) : mDisk(disk) {
    mDisk.mQuiet.fetch_add(1);
}
NoCrashScope::~NoCrashScope() {
    mDisk.mQuiet.fetch_sub(1);
}

Outcome Disk::Restart(Loss loss, std::uint64_t seed) {
    std::lock_guard<std::mutex> g(mM);
    Outcome out;
    if (!mRun) return out;
    Run& r = *mRun;
    r.crashed = true;  // from here nothing else reaches the disk below the folder
    mOff.store(true);
    std::mt19937_64 rng(seed);

    // Durable entry changes survive; others only with everything they build on.
    std::vector<char> kept(r.ops.size(), 0);
    for (size_t i = 0; i < r.ops.size(); ++i) {
        const EntryOp& op = r.ops[i];
        bool k = op.durable || loss == Loss::kKeepAll || loss == Loss::kLastWriteOnly;
        if (!k && loss == Loss::kSeeded) {
            k = rng() % 2 == 0;
            for (size_t d : op.deps) k = k && kept[d];
        }
        if ((kept[i] = k) && !op.durable) ++out.entriesKept;
        if (!k) ++out.entriesLost, out.lost.push_back(op.text);
    }

    std::vector<Inode*> files;
    for (auto& [id, n] : r.inodes)
        if (!n->pending.empty()) files.push_back(n.get());
    std::sort(files.begin(), files.end(), [](Inode* a, Inode* b) { return a->seq < b->seq; });
    for (Inode* n : files) ResolveData(*n, loss, rng, out);

    for (size_t i = r.ops.size(); i-- > 0;)
        if (!kept[i]) Undo(r.ops[i], out);

    EndRun();
    return out;
}

void Disk::Stop() {
    std::lock_guard<std::mutex> g(mM);
    EndRun();
}

}  // namespace PowerLoss
}  // namespace Mirel
