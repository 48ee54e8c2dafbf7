// The OS layer as free functions, for callers that are not given an Env: each one forwards
// to the calling thread's Env (Env::Current(), Env.h), whose results it gives as Mirel error
// numbers (0 = success), never errno.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/support/Env.h"

namespace Mirel {

namespace Os {

// Does not follow a final symbolic link. The first form reads a failure as "not there".
Info Stat(const std::string& path);
int Stat(const std::string& path, Info& info);
int FStat(int fd, Info& info, const std::string& path);  // the open file itself
// Whether the process may write in a folder, by asking the OS (no probe file).
bool CanWrite(const std::string& path);

// A folder's entries, "." and ".." left out, in no particular order.
int ListDir(const std::string& path, std::vector<DirEntry>& entries);

int CreateDir(const std::string& path);   // kErrAlreadyExists when it is there
int RemoveDir(const std::string& path);   // only an empty folder
int DeleteFile(const std::string& path);  // a file or a symbolic link, never a folder
// Atomic; parents synced. 0 whenever the rename happened, even if a sync failed.
int Rename(const std::string& from, const std::string& to);
// Renames over an existing file in one step (the old one is gone); the folder is synced.
// As with Rename, 0 whenever the rename happened.
int Replace(const std::string& from, const std::string& to);
// For writers that promise a durable file when they return: as Rename and Replace, but a
// failed folder sync is an error (the rename itself may have happened).
int RenameDurable(const std::string& from, const std::string& to);
int ReplaceDurable(const std::string& from, const std::string& to);
// Not synced: a folder of links is made durable as a whole (Directory::Rename syncs its tree).
int HardLink(const std::string& existing, const std::string& link);
int SyncDir(const std::string& path);
int SetReadOnly(const std::string& path, bool readOnly);

// Writes `text` as the whole of `path`: under a temporary name beside it, synced, renamed
// over it, the folder synced. A crash leaves the old file or the new one.
int WriteFileDurable(const std::string& path, const std::string& text);
// Reads the whole of a regular file into `text` through OpenRead: a FIFO, a socket or a
// device answers 20308 at once, unread. `text` holds what was read before an error.
int ReadWholeFile(const std::string& path, std::string& text);

// Gives an existing regular file the copy ownership: owner and group, then mode, each only
// when it differs. Both are tried; the first error is answered (a FIFO, a device: 20308).
int MakeOwn(const std::string& path);
// The same for a file the process just created and holds open (a copy under its temporary
// name): 0 at once when no ownership is set.
int MakeOwnOpen(int fd, const std::string& path);

// Copies a file's bytes through a temporary name beside `to` (TempNameBeside), then renames
// it into place: the copy appears whole or not at all, and is synced, with its folder. It
// gets the copy ownership when one is set (whatever the source's mode), else the source's
// mode.
int CopyFile(const std::string& from, const std::string& to);

// Makes the open, empty file `to` share the blocks of the open file `from` (a reflink:
// ioctl FICLONE), so no byte is copied until one side is written. Only some file systems
// offer it (Btrfs, XFS with reflinks, bcachefs, ...); elsewhere it answers an error, `to` is
// empty again, and the caller copies the bytes instead. Never during a power-loss run, which must
// record every byte written. `path` is `to`'s, for the fault seam.
int CloneFile(int from, int to, const std::string& path);

// Open a file; fd is -1 on failure. A symbolic link is refused (20307), never followed.
// Only a regular file is opened: the open never blocks, and a FIFO, a socket or a device is
// refused (20308, a folder 20306) without a byte read or written.
// `info`, when given, is the open file's status, as FStat would answer it. A reader of a few
// bytes (a header) may leave the file non-blocking, which a regular file ignores: two
// system calls fewer.
int OpenRead(const std::string& path, int& fd, Info* info = nullptr,
             bool mayStayNonBlocking = false);
// OpenRead of the entry `name` of an open folder (OpenRealFolder): the file opened is the one
// in that very folder, whatever became of the path to it meanwhile. `path` names the file for
// the fault seam and for errors. Without `info` and with `mayStayNonBlocking` the kind of
// file is not asked (Env::OpenHeaderAt): for a reader of a header alone.
int OpenReadAt(int dirFd, const std::string& name, const std::string& path, int& fd,
               Info* info = nullptr, bool mayStayNonBlocking = false);
int OpenWrite(const std::string& path, bool create, bool truncate, int& fd);
// For logs: created when missing, every write goes to the end.
int OpenAppend(const std::string& path, int& fd);
int PReadAll(int fd, void* buf, std::size_t n, std::uint64_t off, std::size_t& got,
             const std::string& path);
int PWriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, const std::string& path);
// Writes every buffer, one after the other from `off`.
int PWriteV(int fd, const iovec* iov, int count, std::uint64_t off, const std::string& path);
int Append(int fd, const void* buf, std::size_t n, const std::string& path);
int Truncate(int fd, std::uint64_t size, const std::string& path);
// An exclusive lock on the open file, held until it is closed; kErrFileLocked when another
// open file description holds it.
int Lock(int fd, const std::string& path);
// Waits for an exclusive lock on a folder, held until `fd` is closed: the processes that
// rewrite a file of the folder as a whole and those that append to it take turns. A
// symbolic link is refused, never followed.
int LockFolder(const std::string& path, int& fd);
int SyncFile(int fd, const std::string& path);
void Close(int fd);

// Checks the real objects below `root`, never following a symbolic link: every component
// but the last must be a real folder, and the last a regular file (lastIsFile) or a real
// folder. 0, or kErrIsALink, kErrIsADirectory, kErrNotADirectory, kErrPathNotFound, ...
// `root` itself must be a real folder; the folders above it may be reached through links.
int CheckRealPath(const std::string& root, const std::vector<std::string>& components,
                  bool lastIsFile);
// Opens the folder below `root` that the components name, checked as CheckRealPath checks a
// path to a folder (the same error numbers), for OpenReadAt. `dirFd` (-1 on failure) opens
// nothing for reading; Close ends it. The fault seam sees it as an operation on `root`.
int OpenRealFolder(const std::string& root, const std::vector<std::string>& components, int& dirFd);
// Whether the path leads to a folder (links followed).
bool IsFolder(const std::string& path);
// Whether two paths name the same object (links followed): same device and inode.
bool SameObject(const std::string& a, const std::string& b);

}  // namespace Os

}  // namespace Mirel
