#include "platform/support/File.h"

#include <sys/stat.h>

#include "platform/support/Os.h"

namespace Mirel {

File::~File() {
    if (mFd >= 0) Os::Close(mFd);
}

bool File::Exists() const {
    return Os::Stat(mPath.Native()).exists;
}

Error File::Copy(const UniversalPath& dest, std::size_t /*bufferSize*/) {
    return SetError(Os::CopyFile(mPath.Native(), dest.Native()));
}

Error File::MakeHardLink(const UniversalPath& target) {
    return SetError(Os::HardLink(target.Native(), mPath.Native()));
}

std::uint64_t File::GetHardLinkCount() const {
    return Os::Stat(mPath.Native()).links;
}

Error File::Rename(const UniversalPath& newPath) {
    Error e = SetError(Os::Rename(mPath.Native(), newPath.Native()));
    if (e.OK()) mPath = newPath;
    return e;
}

Error File::ReplaceFile(const UniversalPath& target) {
    Error e = SetError(Os::Replace(mPath.Native(), target.Native()));
    if (e.OK()) mPath = target;
    return e;
}

Error File::Delete() {
    return SetError(Os::DeleteFile(mPath.Native()));
}

Error File::SetLocked(bool locked) {
    return SetError(Os::SetReadOnly(mPath.Native(), locked));
}

bool File::IsLocked() const {
    Os::Info info = Os::Stat(mPath.Native());
    return info.exists && (info.mode & S_IWUSR) == 0;
}

}  // namespace Mirel
