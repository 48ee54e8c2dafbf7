// What may stand between the OS layer and the kernel for the paths it chooses: the tests'
// power-loss disk, which records every change to the disk and can undo the unsynced ones.
// The service installs none; the layer then makes every call itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Mirel {
namespace Os {

// The plain calls, for an interposer that makes the call itself.
namespace Raw {
int Open(const std::string& path, int flags, mode_t mode, int& fd);
int WriteAll(int fd, const void* buf, std::size_t n, std::uint64_t off, bool append);
int Rename(const std::string& from, const std::string& to, bool replace);
}  // namespace Raw

// Each call answers false for a path it leaves alone (the layer then makes the plain call),
// and true when it made the call, with the result in rc. By default it leaves every call
// alone, so one that stands in for a few calls overrides only those.
class Interposer {
public:
    virtual ~Interposer() = default;
    // The machine is off for this path: every call on it fails.
    virtual bool Off(const std::string&) { return false; }
    virtual bool Open(const std::string&, int, mode_t, int&, int&) { return false; }
    virtual bool Write(int, const void*, std::size_t, std::uint64_t, bool, const std::string&,
                       int&) {
        return false;
    }
    virtual bool Truncate(int, std::uint64_t, const std::string&, int&) { return false; }
    virtual bool SyncFile(int, const std::string&, int&) { return false; }
    virtual bool SyncDir(const std::string&, int&) { return false; }
    virtual bool CreateDir(const std::string&, int&) { return false; }
    virtual bool RemoveDir(const std::string&, int&) { return false; }
    virtual bool Unlink(const std::string&, int&) { return false; }
    virtual bool Rename(const std::string&, const std::string&, bool, int&) { return false; }
    virtual bool Link(const std::string&, const std::string&, int&) { return false; }
};

// Installs one (null: none). It must outlive every call that may reach it: the one it
// replaces is still used by calls already under way, so it is kept until the process ends.
void SetInterposer(Interposer* interposer);

}  // namespace Os
}  // namespace Mirel
