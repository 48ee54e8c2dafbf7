#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/support/Error.h"
#include "platform/support/UniversalPath.h"

namespace Mirel {

// A file by path, with an optional open descriptor. Operations return an Error and also
// keep it as the file's last error (GetError).
//
// "Locked" is the read-only state: the write bits are cleared. Root ignores it, so tests
// reach the locked-file failure paths through the fault seam.
class File {
public:
    static constexpr std::size_t kDefaultCopyBufferSize = 1 << 20;

    File() = default;
    explicit File(const UniversalPath& path) : mPath(path) {}
    virtual ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const UniversalPath& GetPath() const { return mPath; }
    bool Exists() const;
    bool IsOpen() const { return mFd >= 0; }
    const Error& GetError() const { return mError; }

    // Copies this file to `dest` (replacing it); the copy is durable when this returns.
    Error Copy(const UniversalPath& dest, std::size_t bufferSize = kDefaultCopyBufferSize);
    // Makes this path a new hard link to `target`.
    Error MakeHardLink(const UniversalPath& target);
    std::uint64_t GetHardLinkCount() const;
    // Renames the file; afterwards this object names the new path.
    Error Rename(const UniversalPath& newPath);
    // Renames the file over `target`, which is replaced in one step.
    Error ReplaceFile(const UniversalPath& target);
    Error Delete();
    Error SetLocked(bool locked);
    bool IsLocked() const;

protected:
    Error SetError(int number) {
        mError = Error(number);
        return mError;
    }
    UniversalPath mPath;
    int mFd = -1;
    Error mError;
};

}  // namespace Mirel
