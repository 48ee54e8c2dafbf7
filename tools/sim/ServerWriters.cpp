#include "tools/sim/ServerWriters.h"

#include "platform/framework/Codecs.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"

namespace sim {

using namespace Mirel;

Error WriteDatabaseFile(const UniversalPath& path, const Format::Uuid& uuid, std::uint32_t pageSize,
                        std::uint64_t msn, const PageMap& pages) {
    if (!Format::ValidPageSize(pageSize)) return Error(kErrInvalidFile);
    const std::string final = path.Native();
    if (Os::Stat(final).exists) return Error(kErrAlreadyExists);
    // Written and synced under a private name, then renamed: after a crash the database is
    // whole under its name or not there, never a header over missing pages.
    const std::string part = Os::TempNameBeside(final);
    int fd = -1;
    if (int rc = Os::OpenWrite(part, true, true, fd)) return Error(rc);
    Format::DbHeader h;
    h.pageSize = pageSize;
    h.uuid = uuid;
    h.msn = msn;
    h.pageCount = pages.empty() ? 0 : pages.rbegin()->first + 1;
    std::vector<std::uint8_t> block(pageSize, 0);
    Format::EncodeDbHeader(h, block.data());
    int rc = Os::PWriteAll(fd, block.data(), block.size(), 0, part);
    for (auto it = pages.begin(); rc == 0 && it != pages.end(); ++it) {
        if (it->second.size() != pageSize)
            rc = kErrInvalidFile;
        else
            rc = Os::PWriteAll(fd, it->second.data(), pageSize, (it->first + 1) * pageSize, part);
    }
    // Pages that were never written still occupy the file, so it has its full length.
    if (rc == 0) rc = Os::Truncate(fd, (h.pageCount + 1) * pageSize, part);
    if (rc == 0) rc = Os::SyncFile(fd, part);
    Os::Close(fd);
    if (rc == 0) rc = Os::RenameDurable(part, final);
    if (rc != 0) Os::DeleteFile(part);
    return Error(rc);
}

RedoLogWriter::~RedoLogWriter() {
    Os::Close(mFd);
}

Error RedoLogWriter::Open(const UniversalPath& path, const Format::Uuid& uuid,
                          std::uint32_t pageSize, std::uint64_t startMSN) {
    if (mFd >= 0 || !Format::ValidPageSize(pageSize)) return Error(kErrGeneric);
    mPath = path.Native();
    if (int rc = Os::OpenWrite(mPath, true, true, mFd)) return Error(rc);
    mHeader = Format::LogHeader();
    mHeader.pageSize = pageSize;
    mHeader.uuid = uuid;
    mHeader.startMSN = startMSN;
    mOffset = Format::kLogHeaderSize;
    mBuf.clear();
    return Error();
}

Error RedoLogWriter::FlushBuffer() {
    if (mBuf.empty()) return Error();
    int rc = Os::PWriteAll(mFd, mBuf.data(), mBuf.size(), mOffset, mPath);
    mOffset += mBuf.size();
    mBuf.clear();
    return Error(rc);
}

Error RedoLogWriter::AddPage(std::uint64_t pageNo, const std::uint8_t* data) {
    if (mFd < 0) return Error(kErrNotOpen);
    std::uint8_t rh[Format::kRecordHeaderSize];
    Format::EncodeRecordHeader(pageNo, Format::RecordCrc(pageNo, data, mHeader.pageSize), rh);
    mBuf.insert(mBuf.end(), rh, rh + sizeof rh);
    mBuf.insert(mBuf.end(), data, data + mHeader.pageSize);
    ++mHeader.recordCount;
    if (mBuf.size() >= (4u << 20)) return FlushBuffer();
    return Error();
}

Error RedoLogWriter::Finish(std::uint64_t msn, std::uint64_t endUTC, bool closed) {
    if (mFd < 0) return Error(kErrNotOpen);
    mHeader.msn = msn;
    mHeader.endUTC = endUTC;
    mHeader.closed = closed;
    Error e = FlushBuffer();
    std::uint8_t hb[Format::kLogHeaderSize];
    Format::EncodeLogHeader(mHeader, hb);
    int rc = e.GetError();
    // The records are on disk before the header that vouches for them.
    if (rc == 0) rc = Os::SyncFile(mFd, mPath);
    if (rc == 0) rc = Os::PWriteAll(mFd, hb, sizeof hb, 0, mPath);
    if (rc == 0) rc = Os::SyncFile(mFd, mPath);
    Os::Close(mFd);
    mFd = -1;
    if (rc == 0) rc = Os::SyncDir(Os::ParentOf(mPath));
    return Error(rc);
}

Error WriteIntervalDone(const UniversalPath& path, std::uint64_t endUTC,
                        const std::vector<unistring>& uuids) {
    std::vector<std::uint8_t> buf;
    if (!Talon::EncodeIntervalDone(endUTC, uuids, buf)) return Error(kErrInvalidFile);
    int fd = -1;
    std::string p = path.Native();
    if (int rc = Os::OpenWrite(p, true, true, fd)) return Error(rc);
    int rc = Os::PWriteAll(fd, buf.data(), buf.size(), 0, p);
    if (rc == 0) rc = Os::SyncFile(fd, p);
    Os::Close(fd);
    if (rc == 0) rc = Os::SyncDir(Os::ParentOf(p));
    return Error(rc);
}

}  // namespace sim
