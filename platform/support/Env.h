// The operating system's files as one object. Everything the platform libraries and the
// service do with files goes through an Env: PosixEnv makes the real calls (and is the one
// place errno becomes an Error), and an EnvWrapper stands between a caller and another Env,
// changing only the calls it overrides. Tests hand their code a wrapper of their own (a fault
// seam, a disk that can lose power); the service uses Env::Default().
//
// The calls a wrapper can change are the virtual ones. The others (CreateDir, Rename,
// CopyFile, ...) are made of them on the same object, so a wrapper meets every step of them.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/support/Error.h"

namespace Mirel {

enum class FsOp {
    kCreateDir,
    kRemoveDir,
    kDeleteFile,
    kRename,
    kHardLink,
    kCopy,
    kOpenWrite,
    kWrite,
    kSync,
    kSetLocked,
    kOpenRead,  // opening a file for reading
    kRead,      // reading a file's bytes, mapping them included
    kStat,      // asking what a path or an open file is (stat, access)
    kList,      // listing a folder
    kTruncate,  // setting a file's length
    kLock,      // taking a file lock
    kClone,     // sharing a file's blocks with another (a reflink)
    kTag,       // setting or reading a file's extended attribute
    kAny,       // matches every operation
};

// The operation's word in an error's text ("rename", "sync", ...).
const char* OpWord(FsOp op);

class Env;

namespace Os {

int MapErrno(int e);

struct Info {
    bool exists = false;
    bool isDir = false;
    bool isFile = false;
    bool isLink = false;
    std::uint64_t size = 0;
    std::uint64_t links = 0;
    mode_t mode = 0;
    dev_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t mtimeUs = 0;  // last change of the contents, UTC microseconds
    std::uint64_t mtimeNs = 0;  // the same, nanoseconds within its second
};

struct DirEntry {
    enum Type { kUnknown, kFile, kDir, kLink, kOther };
    std::string name;
    Type type = kUnknown;  // kUnknown when the file system does not say
};

// How a file is opened for writing. Never through a symbolic link; only a regular file.
struct WriteMode {
    bool create = false;
    bool truncate = false;
    bool append = false;  // every write goes to the end (write only)
    mode_t mode = 0644;   // of a file the open creates
};
// The open(2) flags of a mode.
int FlagsOf(const WriteMode& how);

// The owner, group and permission bits a process gives the copies it keeps as its own.
struct Ownership {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0640;
};
// Set once, at the start, by a process whose copies are its own (the service); until then
// (and after it is set to null) copies keep their source's mode and MakeOwn does nothing.
void SetCopyOwnership(const Ownership* own);
const Ownership* CopyOwnership();

std::string ParentOf(const std::string& path);
// A temporary name beside `path`, in the same folder: ".ibs-<pid>-<n>.tmp", short whatever
// the length of the name it stands in for, and never the same twice in this process.
std::string TempNameBeside(const std::string& path);

// While one lives on a thread, the folder syncs of that thread's Rename and Replace (whose
// callers never see a failed sync) are gathered, and Flush, or the end of the scope, syncs
// each folder once (through the Env that renamed): a batch of moves pays one sync per folder,
// not two per move. For moves that must be durable only before a later step builds on them;
// that step comes after Flush.
class DeferredDirSyncs {
public:
    DeferredDirSyncs();
    ~DeferredDirSyncs();
    DeferredDirSyncs(const DeferredDirSyncs&) = delete;
    DeferredDirSyncs& operator=(const DeferredDirSyncs&) = delete;
    // The first error of the syncs; gathering goes on for later moves.
    int Flush();
    std::size_t Pending() const { return mDirs.size(); }
    // A folder whose sync waits was removed (Os::RemoveDir says so): its parent is synced
    // instead. That sync makes the removal durable and, with it, every change inside the
    // folder, which was empty when it went: the changes no longer need a sync of their own.
    static void Removed(const std::string& folder);

private:
    friend class Mirel::Env;
    std::vector<std::pair<Env*, std::string>> mDirs;
    DeferredDirSyncs* mOuter;
};

}  // namespace Os

// The components of `path` below the folder `root`, by their text alone (no link is looked
// at): false when `path` is not below `root` or names nothing there.
bool ComponentsBelow(const std::string& root, const std::string& path,
                     std::vector<std::string>& components);

class Env {
public:
    Env() = default;
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;
    virtual ~Env() = default;

    // The real calls (a PosixEnv), for the life of the process.
    static Env& Default();
    // The Env of the calling thread: the one a Scope put there, else Default().
    // A Mirel::Thread starts with the Env of the thread that started it.
    static Env& Current();
    // Makes `env` the calling thread's Env until it ends; scopes nest.
    class Scope {
    public:
        explicit Scope(Env& env);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Env* mOuter;
    };

    // ---- calls a wrapper can change ----
    // Does not follow a final symbolic link.
    virtual Error Stat(const std::string& path, Os::Info& info) = 0;
    virtual Error FStat(int fd, Os::Info& info, const std::string& path) = 0;  // the open file
    // Whether the process may write in a folder, by asking the OS (no probe file).
    virtual bool CanWrite(const std::string& path) = 0;
    // Whether the path leads to a folder (links followed).
    virtual bool IsFolder(const std::string& path) = 0;
    // Whether two paths name the same object (links followed): same device and inode.
    virtual bool SameObject(const std::string& a, const std::string& b) = 0;
    // A folder's entries, "." and ".." left out, in no particular order.
    virtual Error ListDir(const std::string& path, std::vector<Os::DirEntry>& entries) = 0;
    virtual Error MakeDir(const std::string& path) = 0;     // not synced; kErrAlreadyExists
    virtual Error RemoveDir(const std::string& path) = 0;   // only an empty folder
    virtual Error DeleteFile(const std::string& path) = 0;  // a file or a link, never a folder
    // DeleteFile of the entry `name` of an open folder (OpenRealFolder): what goes is in that
    // very folder, whatever its path names now. `path` is for errors and wrappers.
    virtual Error DeleteFileAt(int dirFd, const std::string& name, const std::string& path) = 0;
    // One rename, not synced; `replace` false refuses an existing target (kErrAlreadyExists).
    virtual Error Move(const std::string& from, const std::string& to, bool replace) = 0;
    // Not synced: a folder of links is made durable as a whole (Directory::Rename syncs its tree).
    virtual Error HardLink(const std::string& existing, const std::string& link) = 0;
    virtual Error SyncDir(const std::string& path) = 0;
    virtual Error SetReadOnly(const std::string& path, bool readOnly) = 0;
    // Open a file; fd is -1 on failure. A symbolic link is refused (20307), never followed.
    // Only a regular file is opened: the open never blocks, and a FIFO, a socket or a device is
    // refused (20308, a folder 20306) without a byte read or written. `info`, when given, is
    // the open file's status. A reader of a few bytes (a header) may leave the file
    // non-blocking, which a regular file ignores: two system calls fewer.
    virtual Error OpenRead(const std::string& path, int& fd, Os::Info* info,
                           bool mayStayNonBlocking) = 0;
    // OpenRead of the entry `name` of an open folder (OpenRealFolder): the file opened is the
    // one in that very folder, whatever became of the path to it meanwhile. `path` names the
    // file for wrappers and for errors. Without `info` and with `mayStayNonBlocking`, for a
    // reader of a header alone, the kind of file is not asked: what is not a regular file
    // fails the read instead (a folder, a FIFO), and a socket cannot be opened.
    virtual Error OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                             Os::Info* info, bool mayStayNonBlocking) = 0;
    virtual Error OpenWrite(const std::string& path, const Os::WriteMode& how, int& fd) = 0;
    // `got` short of `n` only at the end of the file.
    virtual Error PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
                           const std::string& path) = 0;
    virtual Error PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off,
                            const std::string& path) = 0;
    // Writes every buffer, one after the other from `off`.
    virtual Error PWriteV(int fd, const iovec* iov, int count, std::uint64_t off,
                          const std::string& path) = 0;
    virtual Error Append(int fd, const void* buf, std::size_t n, const std::string& path) = 0;
    virtual Error Truncate(int fd, std::uint64_t size, const std::string& path) = 0;
    // An exclusive lock on the open file, held until it is closed; kErrFileLocked when another
    // open file description holds it.
    virtual Error Lock(int fd, const std::string& path) = 0;
    // Waits for an exclusive lock on a folder, held until `fd` is closed. A symbolic link is
    // refused, never followed.
    virtual Error LockFolder(const std::string& path, int& fd) = 0;
    virtual Error SyncFile(int fd, const std::string& path) = 0;
    // Nothing for fd < 0.
    virtual Error Close(int fd) = 0;
    // Gives an existing regular file the copy ownership (owner and group, then mode, each only
    // when it differs); nothing when none is set. A FIFO, a device: 20308. Without `seen`, one
    // look by path first, which is all a file already the process's own costs; with it (an
    // upload, seldom the process's own yet), no look, and `seen` tells what the open found
    // (left as it was when nothing was opened).
    virtual Error MakeOwn(const std::string& path, Os::Info* seen) = 0;
    // The same for a file the process just created and holds open.
    virtual Error MakeOwnOpen(int fd, const std::string& path) = 0;
    virtual Error SetModeOpen(int fd, mode_t mode, const std::string& path) = 0;
    // Makes the open, empty file `to` share the blocks of the open file `from` (a reflink).
    // Only some file systems offer it; elsewhere it answers an error, `to` is empty again, and
    // the caller copies the bytes instead. `path` is `to`'s.
    virtual Error CloneFile(int from, int to, const std::string& path) = 0;
    // A small named value kept with an open file (an extended attribute), not synced; it
    // travels with the file through renames. A missing tag is kErrPathNotFound; a file system
    // without them answers an error like any other, which callers take for "no tag".
    virtual Error SetTag(int fd, const char* name, const void* value, std::size_t size,
                         const std::string& path) = 0;
    virtual Error GetTag(int fd, const char* name, std::string& value, const std::string& path) = 0;
    // The bytes of a copy: `size` bytes of `in` (the file `from`) to `out` (`to`) from offset 0.
    // The real calls use the kernel's copy; this class's own copies them through PReadAll and
    // PWriteAll, for a wrapper that must see every byte written.
    virtual Error CopyRange(int in, const std::string& from, int out, const std::string& to,
                            std::uint64_t size);
    // Asked first by CopyFile and by the copies of other libraries (a checked copy, a restore):
    // whether a copy from `from` to `to` may start. The real calls always agree.
    virtual Error BeginCopy(const std::string& from, const std::string& to) = 0;
    // Checks the real objects below `root`, never following a symbolic link: every component
    // but the last must be a real folder, and the last a regular file (lastIsFile) or a real
    // folder. kErrIsALink, kErrIsADirectory, kErrNotADirectory, kErrPathNotFound, ...
    // `root` itself must be a real folder; the folders above it may be reached through links.
    virtual Error CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                                bool lastIsFile) = 0;
    // Opens the folder below `root` that the components name, checked as CheckRealPath checks
    // a path to a folder, for OpenReadAt. `dirFd` (-1 on failure) opens nothing for reading;
    // Close ends it. Wrappers see it as an operation on `root`.
    virtual Error OpenRealFolder(const std::string& root,
                                 const std::vector<std::string>& components, int& dirFd) = 0;

    // ---- made of the calls above ----
    // Stat that reads a failure as "not there".
    Os::Info Probe(const std::string& path);
    // OpenReadAt for a reader of a header alone: the kind of file is not asked (OpenReadAt
    // without `info`, left non-blocking).
    Error OpenHeaderAt(int dirFd, const std::string& name, const std::string& path, int& fd) {
        return OpenReadAt(dirFd, name, path, fd, nullptr, true);
    }
    // MakeDir, then the parent folder synced.
    Error CreateDir(const std::string& path);
    // Atomic; parents synced. OK whenever the rename happened, even if a sync failed.
    Error Rename(const std::string& from, const std::string& to);
    // Renames over an existing file in one step; the folder is synced. OK whenever it happened.
    Error Replace(const std::string& from, const std::string& to);
    // For writers that promise a durable file when they return: a failed folder sync is an
    // error (the rename itself may have happened).
    Error RenameDurable(const std::string& from, const std::string& to);
    Error ReplaceDurable(const std::string& from, const std::string& to);
    // Writes `text` as the whole of `path`: under a temporary name beside it, synced, renamed
    // over it, the folder synced. A crash leaves the old file or the new one.
    Error WriteFileDurable(const std::string& path, const std::string& text);
    // The same without a sync: readers see the old file or the new one, never a mix, but a
    // crash may leave the old one, or none. For a file that only tells live readers.
    Error WriteFileReplace(const std::string& path, const std::string& text);
    // Reads the whole of a regular file into `text` through OpenRead. `text` holds what was
    // read before an error.
    Error ReadWholeFile(const std::string& path, std::string& text);
    // Copies a file's bytes through a temporary name beside `to`, then renames it into place:
    // the copy appears whole or not at all, and is synced, with its folder. It gets the copy
    // ownership when one is set, else the source's mode.
    Error CopyFile(const std::string& from, const std::string& to);

private:
    void SyncParents(const std::string& a, const std::string& b);
    // Under a temporary name beside `path`, renamed over it; with `durable`, the file and then
    // the folder synced.
    Error WriteWhole(const std::string& path, const std::string& text, bool durable);
};

// The real calls.
class PosixEnv : public Env {
public:
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
    Error OpenRead(const std::string& path, int& fd, Os::Info* info,
                   bool mayStayNonBlocking) override;
    Error OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                     Os::Info* info, bool mayStayNonBlocking) override;
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
    Error Close(int fd) override;
    Error MakeOwn(const std::string& path, Os::Info* seen) override;
    Error MakeOwnOpen(int fd, const std::string& path) override;
    Error SetModeOpen(int fd, mode_t mode, const std::string& path) override;
    Error CloneFile(int from, int to, const std::string& path) override;
    Error SetTag(int fd, const char* name, const void* value, std::size_t size,
                 const std::string& path) override;
    Error GetTag(int fd, const char* name, std::string& value, const std::string& path) override;
    Error CopyRange(int in, const std::string& from, int out, const std::string& to,
                    std::uint64_t size) override;
    Error BeginCopy(const std::string& from, const std::string& to) override;
    Error CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                        bool lastIsFile) override;
    Error OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                         int& dirFd) override;
};

// Forwards every call to its target. A wrapper derives from it and overrides only the calls
// it changes, calling EnvWrapper's to pass one on.
class EnvWrapper : public Env {
public:
    explicit EnvWrapper(Env& target) : mTarget(&target) {}
    Env& Target() const { return *mTarget; }

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
    Error OpenRead(const std::string& path, int& fd, Os::Info* info,
                   bool mayStayNonBlocking) override;
    Error OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
                     Os::Info* info, bool mayStayNonBlocking) override;
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
    Error Close(int fd) override;
    Error MakeOwn(const std::string& path, Os::Info* seen) override;
    Error MakeOwnOpen(int fd, const std::string& path) override;
    Error SetModeOpen(int fd, mode_t mode, const std::string& path) override;
    Error CloneFile(int from, int to, const std::string& path) override;
    Error SetTag(int fd, const char* name, const void* value, std::size_t size,
                 const std::string& path) override;
    Error GetTag(int fd, const char* name, std::string& value, const std::string& path) override;
    Error CopyRange(int in, const std::string& from, int out, const std::string& to,
                    std::uint64_t size) override;
    Error BeginCopy(const std::string& from, const std::string& to) override;
    Error CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                        bool lastIsFile) override;
    Error OpenRealFolder(const std::string& root, const std::vector<std::string>& components,
                         int& dirFd) override;

private:
    Env* mTarget;
};

}  // namespace Mirel
