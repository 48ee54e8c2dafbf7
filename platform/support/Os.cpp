#include "platform/support/Os.h"

#include <vector>

#include "platform/support/ErrorCodes.h"

namespace Mirel {

namespace Os {

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
    const int rc = Env::Current().RemoveDir(path).GetError();
    if (rc == 0) DeferredDirSyncs::Removed(path);
    return rc;
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
    return Env::Current().MakeOwn(path, nullptr).GetError();
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
