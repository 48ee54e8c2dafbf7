#include "platform/engine/HBLogFile.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/engine/Uuid.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Os.h"

namespace Mirel {

namespace {
// The records are what gets written into a copy: they are read only from the log in its own
// redo folder, never through a folder that was swapped for a link after the log was taken.
int OpenInRealFolder(const std::string& native, int& fd, Os::Info& info) {
    const std::string folder = Os::ParentOf(native);
    const std::size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return Os::OpenRead(native, fd, &info);
    int dir = -1;
    int rc = Os::OpenRealFolder(folder.substr(0, slash), {folder.substr(slash + 1)}, dir);
    if (rc != 0) return rc;
    rc = Os::OpenReadAt(dir, native.substr(folder.size() + 1), native, fd, &info);
    Os::Close(dir);
    return rc;
}

// Page-aligned blocks: the copy from the page cache runs whole pages.
constexpr std::size_t kAlign = 4096;
std::size_t RoundUp(std::size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}
}  // namespace

void RecordArena::Free::operator()(std::uint8_t* p) const {
    std::free(p);
}

RecordArena::~RecordArena() {
    if (mBase) ::munmap(mBase, mRange);
}

std::uint8_t* RecordArena::Take(std::size_t size) {
    if (size > SIZE_MAX - kAlign) return nullptr;
    const std::size_t need = RoundUp(size ? size : 1);
    if (!mBase && !mNoRange) {
        // Address space only: without MAP_NORESERVE an untouched range would count against
        // the commit limit.
        void* p = ::mmap(nullptr, mRange, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED)
            mNoRange = true;
        else
            mBase = static_cast<std::uint8_t*>(p);
    }
    if (mBase && mRange - mUsed >= need) {
        std::uint8_t* p = mBase + mUsed;
        mUsed += need;
        if (mUsed > mKept) mKept = mUsed;
        return p;
    }
    std::unique_ptr<std::uint8_t, Free> own(
        static_cast<std::uint8_t*>(std::aligned_alloc(kAlign, need)));
    if (!own) return nullptr;
    mOwn.push_back(std::move(own));
    mOwnBytes += need;
    return mOwn.back().get();
}

void RecordArena::Rewind(std::size_t keep) {
    keep -= keep % kAlign;
    if (mBase && mKept > keep) {
        // The pages read back as zeros, and are memory again only once written.
        ::madvise(mBase + keep, mKept - keep, MADV_DONTNEED);
        mKept = keep;
    }
    mOwn.clear();
    mOwnBytes = 0;
    mUsed = 0;
}

std::size_t RecordArena::Held() const {
    return mKept + mOwnBytes;
}

HBLogFile::~HBLogFile() {
    Close(false);
}

Error HBLogFile::Open(int permission) {
    Close(false);
    int fd = -1;
    Os::Info info;
    if (int rc = permission == kPermHeaderOnly ? Os::OpenRead(mPath.Native(), fd, &info, true)
                                               : OpenInRealFolder(mPath.Native(), fd, info))
        return SetError(rc);
    mFd = fd;
    std::uint8_t buf[Format::kLogHeaderSize];
    std::size_t got = 0;
    int rc = Os::PReadAll(mFd, buf, sizeof buf, 0, got, mPath.Native());
    if (rc == 0 && (got != sizeof buf || !Format::DecodeLogHeader(buf, mHeader)))
        rc = kErrInvalidFile;
    if (rc == 0) {
        // A torn or padded file is caught here, before anything trusts the count.
        std::uint64_t want = Format::kLogHeaderSize + mHeader.recordCount * RecordSize();
        if (mHeader.recordCount > (UINT64_MAX - Format::kLogHeaderSize) / RecordSize() ||
            info.size != want)
            rc = kErrInvalidFile;
    }
    if (rc != 0) {
        Close(false);
        return SetError(rc);
    }
    return SetError(0);
}

Error HBLogFile::ReadRecords() {
    const std::size_t size = mHeader.recordCount * RecordSize();
    // Not zero-filled: every byte is read over before use (an arena's block still holds an
    // earlier log's bytes, which a short read must never pass on).
    std::unique_ptr<std::uint8_t[]> owned;
    std::uint8_t* buf = nullptr;
    if (mArena) {
        buf = mArena->Take(size);
    } else {
        owned.reset(new (std::nothrow) std::uint8_t[size ? size : 1]);
        buf = owned.get();
    }
    if (!buf) return Error(kErrNoMemory);
    std::size_t got = 0;
    if (int rc = Os::PReadAll(mFd, buf, size, Format::kLogHeaderSize, got, mPath.Native()))
        return Error(rc);
    // Cut short since it was opened: the size checked then no longer holds.
    if (got != size) return Error(kErrInvalidFile);
    mOwned = std::move(owned);
    mRecords = buf;
    return Error();
}

Error HBLogFile::Close(bool deleteFile) {
    mOwned.reset();
    mRecords = nullptr;
    mVerified = false;
    if (mFd >= 0) Os::Close(mFd);
    mFd = -1;
    if (deleteFile) return SetError(Os::DeleteFile(mPath.Native()));
    return Error();
}

unistring HBLogFile::GetUUID() const {
    return UuidText::ToText(mHeader.uuid);
}

Error HBLogFile::VerifyRecords() {
    if (mVerified) return Error();
    if (mFd < 0) return Error(kErrNotOpen);
    if (Error e = ReadRecords(); !e.OK()) return e;
    for (std::uint64_t i = 0; i < mHeader.recordCount; ++i) {
        const std::uint8_t* rec = mRecords + i * RecordSize();
        std::uint64_t page = Format::Get64(rec);
        std::uint32_t crc = Format::Get32(rec + 8);
        // The page must end inside a file offset (off_t): past that, writing it fails.
        if (Format::Get32(rec + 12) != 0 ||
            crc != Format::RecordCrc(page, rec + Format::kRecordHeaderSize, mHeader.pageSize) ||
            page > static_cast<std::uint64_t>(INT64_MAX) / mHeader.pageSize - 2) {
            mOwned.reset();
            mRecords = nullptr;
            return Error(kErrInvalidFile);
        }
    }
    mVerified = true;
    return Error();
}

std::uint64_t HBLogFile::RecordPage(std::uint64_t i) const {
    return Format::Get64(mRecords + i * RecordSize());
}

const std::uint8_t* HBLogFile::RecordData(std::uint64_t i) const {
    return mRecords + i * RecordSize() + Format::kRecordHeaderSize;
}

UniversalPath HBLogFile::GetRemoteContainerRedoLogDirectory() const {
    return ContainerFolderOf(mPath);
}

}  // namespace Mirel
