// Between the OS layer and the power-loss recorder; nothing else includes this.
//
// Each recorder call answers false when the path is outside a recording run (the OS layer
// then makes the plain call itself), and true when it made the call, with the result in rc.
// Calls it makes are recorded under one lock, so the record's order is the disk's order.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Mirel {

namespace Os {
namespace Raw {
int Open(const std::string& path, int flags, mode_t mode, int& fd);
int WriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, bool append);
int Rename(const std::string& from, const std::string& to, bool replace);
}  // namespace Raw
}  // namespace Os

namespace PowerLoss {
namespace Seam {

// The machine is off for this path: the run crashed and the path is below its folder.
bool Off(const std::string& path);

bool Open(const std::string& path, int flags, mode_t mode, int& fd, int& rc);
bool Write(int fd, const void* buf, std::size_t n, std::uint64_t off, bool append,
           const std::string& path, int& rc);
bool Truncate(int fd, std::uint64_t size, const std::string& path, int& rc);
bool SyncFile(int fd, const std::string& path, int& rc);
bool SyncDir(const std::string& path, int& rc);
bool CreateDir(const std::string& path, int& rc);
bool RemoveDir(const std::string& path, int& rc);
bool Unlink(const std::string& path, int& rc);
bool Rename(const std::string& from, const std::string& to, bool replace, int& rc);
bool Link(const std::string& existing, const std::string& link, int& rc);

}  // namespace Seam
}  // namespace PowerLoss

}  // namespace Mirel
