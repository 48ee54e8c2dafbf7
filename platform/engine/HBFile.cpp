#include "platform/engine/HBFile.h"

#include <sys/uio.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/engine/HBEngine.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/support/Directory.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"

namespace Mirel {

HBFile::~HBFile() {
    Close();
}

Error HBFile::Open(int permission) {
    if (IsOpen()) return SetError(0);
    mWritable = permission == kPermReadWrite;
    int fd = -1;
    int rc = mWritable ? Os::OpenWrite(mPath.Native(), false, false, fd)
                       : Os::OpenRead(mPath.Native(), fd);
    if (rc) return SetError(rc);
    mFd = fd;
    if (mFlags & kOpenExclusive) rc = Os::Lock(mFd, mPath.Native());
    // Two header slots: a torn header write leaves the other one intact.
    std::uint8_t slot[2][Format::kDbSlotSize];
    Format::DbHeader h[2];
    bool ok[2] = {false, false};
    for (int i = 0; rc == 0 && i < 2; ++i) {
        std::size_t got = 0;
        rc = Os::PReadAll(mFd, slot[i], Format::kDbSlotSize, Format::kDbSlotOffset[i], got,
                          mPath.Native());
        ok[i] = rc == 0 && got == Format::kDbSlotSize && Format::DecodeDbHeader(slot[i], h[i]);
    }
    if (rc == 0 && !ok[0] && !ok[1]) rc = kErrInvalidFile;
    // An update writes slot generation % 2: a header found in the other slot, or one whose
    // generation has no successor, would have the next update overwrite the current header;
    // one whose successor has none would have it write a header no open takes.
    for (int i = 0; rc == 0 && i < 2; ++i)
        if (ok[i] &&
            (h[i].generation % 2 != static_cast<unsigned>(i) || h[i].generation >= UINT64_MAX - 1))
            rc = kErrInvalidFile;
    if (rc == 0) {
        mHeader = (ok[0] && (!ok[1] || h[0].generation >= h[1].generation)) ? h[0] : h[1];
        if (ok[0] && ok[1] && (h[0].uuid != h[1].uuid || h[0].pageSize != h[1].pageSize))
            rc = kErrInvalidFile;
    }
    // Every page the header counts must be in the file: a cut copy would otherwise read
    // its missing pages as zeros and pass for a database.
    if (rc == 0) {
        Os::Info info;
        rc = Os::FStat(mFd, info, mPath.Native());
        const std::uint64_t p = mHeader.pageSize;
        if (rc == 0 && (!info.isFile || mHeader.pageCount > UINT64_MAX / p - 1 ||
                        info.size < (mHeader.pageCount + 1) * p))
            rc = kErrInvalidFile;
    }
    if (rc != 0) {
        Os::Close(mFd);
        mFd = -1;
        return SetError(rc);
    }
    mDirty = false;
    mWritten = false;
    return SetError(0);
}

Error HBFile::Close() {
    DropPass();  // a pass not applied leaves the file as it is
    if (mFd < 0) return Error();
    int rc = 0;
    if (mDirty) rc = Os::SyncFile(mFd, mPath.Native());
    Os::Close(mFd);  // also drops the flock
    mFd = -1;
    mDirty = false;
    return SetError(rc);
}

unistring HBFile::GetUUID() const {
    return UuidText::ToText(mHeader.uuid);
}

Error HBFile::ReadPage(std::uint64_t n, std::uint8_t* out) const {
    if (mFd < 0) return Error(kErrNotOpen);
    std::size_t got = 0;
    int rc =
        Os::PReadAll(mFd, out, mHeader.pageSize, (n + 1) * mHeader.pageSize, got, mPath.Native());
    if (rc) return Error(rc);
    std::memset(out + got, 0, mHeader.pageSize - got);
    return Error();
}

Format::DbHeader HBFile::NextHeader(std::uint64_t msn, std::uint64_t pageCount) const {
    Format::DbHeader h = mHeader;
    h.msn = msn;
    h.pageCount = pageCount;
    h.generation = mHeader.generation + 1;
    return h;
}

Error HBFile::WriteHeader(std::uint64_t msn, std::uint64_t pageCount) {
    const Format::DbHeader h = NextHeader(msn, pageCount);
    std::uint8_t buf[Format::kDbSlotSize];
    Format::EncodeDbHeader(h, buf);
    int rc = Os::PWriteAll(mFd, buf, sizeof buf, Format::kDbSlotOffset[h.generation % 2],
                           mPath.Native());
    if (rc) return Error(rc);
    mHeader = h;
    mDirty = true;
    return Error();
}

Error HBFile::WritePages(std::uint64_t& pageCount, const std::atomic<std::int32_t>* abort) {
    const std::uint32_t p = mHeader.pageSize;
    std::vector<iovec> iov;
    iov.reserve(64);
    std::uint64_t runStart = 0;
    const std::string native = mPath.Native();  // once, not once a call
    auto flush = [&]() -> int {
        if (abort && abort->load() != 0) return kErrAborted;
        int rc = Os::PWriteV(mFd, iov.data(), static_cast<int>(iov.size()), (runStart + 1) * p,
                             native);
        iov.clear();
        return rc;
    };
    // Later images of a page replace earlier ones, so only the last of the pass counts; writing
    // in page order lets neighbouring pages, from whichever logs, go out in one call.
    struct Image {
        std::uint64_t page;
        const std::uint8_t* data;
    };
    std::vector<Image> order;
    order.reserve(mPassBytes / (p + Format::kRecordHeaderSize));
    for (const HBLogFile* log : mPass)
        for (std::uint64_t i = 0; i < log->RecordCount(); ++i)
            order.push_back({log->RecordPage(i), log->RecordData(i)});
    // Stable: the images of one page stay in pass order, the last one last.
    std::stable_sort(order.begin(), order.end(),
                     [](const Image& a, const Image& b) { return a.page < b.page; });
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k + 1 < order.size() && order[k + 1].page == order[k].page) continue;
        const std::uint64_t page = order[k].page;
        // Runs are bounded so that an abort is seen within a few hundred pages.
        if (!iov.empty() && (page != runStart + iov.size() || iov.size() >= 256)) {
            if (int rc = flush()) return Error(rc);
        }
        if (iov.empty()) runStart = page;
        iov.push_back({const_cast<std::uint8_t*>(order[k].data), p});
        if (page + 1 > pageCount) pageCount = page + 1;
    }
    if (!iov.empty()) {
        if (int rc = flush()) return Error(rc);
    }
    return Error();
}

namespace {
// Copies each container file of a redo log into the database's container folder.
class ContainerCopy : public FileFunctor {
public:
    ContainerCopy(const std::string& from, const std::string& to) : mFrom(from), mTo(to) {}
    bool operator()(const UniversalPath& path, bool isFolder, int) override {
        std::string src = path.Native();
        std::string dst = mTo + src.substr(mFrom.size());
        if (isFolder) {
            mRc = Directory(UniversalPath::Folder(dst)).CreateIfNotExists().GetError();
        } else {
            mRc =
                Directory(UniversalPath::Folder(Os::ParentOf(dst))).CreateIfNotExists().GetError();
            if (mRc == 0) {
                mRc = Os::CopyFile(src, dst);  // old or new under the name, never partial
            }
        }
        return mRc == 0;
    }
    int Result() const { return mRc; }

private:
    std::string mFrom, mTo;
    int mRc = 0;
};
}  // namespace

Error HBFile::ApplyContainerChanges(HBLogFile& log) {
    Directory changes(log.GetRemoteContainerRedoLogDirectory());
    if (!changes.Exists()) return Error();
    Directory root(ContainerFolderOf(mPath));
    if (Error e = root.CreateIfNotExists(); !e.OK()) return e;
    ContainerCopy copy(changes.GetPath().Native(), root.GetPath().Native());
    Error e = changes.ProcessFiles(copy, 100);
    if (copy.Result() != 0) return Error(copy.Result());
    return e;
}

std::uint64_t HBFile::PassMSN() const {
    return mPass.empty() ? mHeader.msn : mPass.back()->GetMSN();
}

Error HBFile::QueueLog(HBLogFile& log) {
    if (!HBEngine::IsStarted()) return SetError(kErrEngineNotStarted);
    if (mFd < 0 || !mWritable) return SetError(kErrNotOpen);
    if (!log.IsOpen()) return SetError(kErrNotOpen);
    const Format::LogHeader& lh = log.Header();
    if (lh.uuid != mHeader.uuid || lh.pageSize != mHeader.pageSize)
        return SetError(kErrLogWrongDatabase);
    if (lh.startMSN != PassMSN()) return SetError(kErrLogChainBreak);
    if (Error e = log.VerifyRecords(); !e.OK()) return SetError(e.GetError());
    mPass.push_back(&log);
    mPassBytes += lh.recordCount * (lh.pageSize + Format::kRecordHeaderSize);
    return SetError(0);
}

void HBFile::DropPass() {
    mPass.clear();
    mPassBytes = 0;
}

bool HBFile::SumAhead(std::uint64_t msn, std::uint64_t pageCount, std::vector<std::uint8_t>& page0,
                      FileSum& sum) {
    const std::uint32_t p = mHeader.pageSize;
    const Format::DbHeader h = NextHeader(msn, pageCount);
    const std::uint64_t slot = Format::kDbSlotOffset[h.generation % 2];
    page0.assign(p, 0);
    std::size_t got = 0;
    if (slot + Format::kDbSlotSize > p ||
        Os::PReadAll(mFd, page0.data(), p, 0, got, mPath.Native()) || got != p)
        return false;
    Format::EncodeDbHeader(h, page0.data() + slot);
    sum.crc = Format::Crc32c(page0.data(), p);
    sum.size = p;
    // The pages just written are still cached: this costs no disk reads.
    std::vector<std::uint8_t> buf(256 << 10);
    const std::string native = mPath.Native();
    for (;;) {
        if (Os::PReadAll(mFd, buf.data(), buf.size(), sum.size, got, native)) return false;
        if (got == 0) return true;
        sum.crc = Format::Crc32c(buf.data(), got, sum.crc);
        sum.size += got;
    }
}

Error HBFile::ApplyPass(const std::atomic<std::int32_t>* abort, FileSum* sum) {
    if (sum) *sum = FileSum();
    if (mPass.empty()) return SetError(0);
    Error e;
    std::uint64_t pageCount = mHeader.pageCount;
    if (!HBEngine::IsStarted())
        e = Error(kErrEngineNotStarted);
    else if (mFd < 0 || !mWritable)
        e = Error(kErrNotOpen);
    else if (abort && abort->load() != 0)
        e = Error(kErrAborted);
    if (e.OK() && !mWritten && mBeforeFirstWrite) e = mBeforeFirstWrite();
    if (e.OK()) {
        mWritten = true;
        e = WritePages(pageCount, abort);
    }
    for (std::size_t i = 0; e.OK() && i < mPass.size(); ++i) e = ApplyContainerChanges(*mPass[i]);
    // The file is read for its sum by a second thread while this one waits for the disk to
    // write the pass: both at once cost the longer of the two.
    std::vector<std::uint8_t> page0;
    bool summed = false;
    Os::Info before;
    std::thread reader;
    if (e.OK() && sum && Os::FStat(mFd, before, mPath.Native()) == 0) {
        auto read = [this, &page0, &summed, sum, msn = PassMSN(), pageCount,
                     &env = Env::Current()] {
            Env::Scope files(env);
            summed = SumAhead(msn, pageCount, page0, *sum);
        };
        try {
            reader = std::thread(read);
        } catch (const std::system_error&) {
            read();  // no thread to be had: one after the other
        }
    }
    // Every page of the pass is durable before a header claims it.
    if (e.OK() && (mFlags & kOpenDurable)) e = Error(Os::SyncFile(mFd, mPath.Native()));
    if (reader.joinable()) reader.join();
    if (e.OK() && summed) {
        // Nobody else wrote to it while it was summed (only the header is written after).
        Os::Info after;
        summed = Os::FStat(mFd, after, mPath.Native()) == 0 && after.size == before.size &&
                 after.mtimeUs == before.mtimeUs && after.mtimeNs == before.mtimeNs;
    }
    if (e.OK()) e = WriteHeader(PassMSN(), pageCount);
    if (e.OK() && (mFlags & kOpenDurable)) {
        e = Error(Os::SyncFile(mFd, mPath.Native()));
        if (e.OK()) mDirty = false;
    }
    if (e.OK() && summed) {
        // Summed as it was to become: only what is there now counts.
        std::vector<std::uint8_t> now(page0.size());
        std::size_t got = 0;
        sum->known = Os::PReadAll(mFd, now.data(), now.size(), 0, got, mPath.Native()) == 0 &&
                     got == now.size() && now == page0 &&
                     Os::FStat(mFd, sum->info, mPath.Native()) == 0 && sum->info.isFile &&
                     sum->info.size == sum->size;
    }
    DropPass();
    return SetError(e.GetError());
}

Error HBFile::ApplyLog(HBLogFile& log, const std::atomic<std::int32_t>* abort) {
    DropPass();
    if (Error e = QueueLog(log); !e.OK()) return e;
    return ApplyPass(abort);
}

}  // namespace Mirel
