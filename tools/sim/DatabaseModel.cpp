#include "tools/sim/DatabaseModel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/engine/HBFile.h"
#include "platform/engine/Uuid.h"
#include "platform/support/Os.h"

namespace sim {

DatabaseModel::DatabaseModel(std::uint64_t seed, std::uint32_t pageSize, std::uint64_t initialPages)
    : mRng(seed), mPageSize(pageSize), mMSN(1000 + seed % 1000) {
    for (auto& b : mUuid) b = static_cast<std::uint8_t>(mRng());
    mUuid[6] = static_cast<std::uint8_t>((mUuid[6] & 0x0F) | 0x40);  // version 4
    mUuid[8] = static_cast<std::uint8_t>((mUuid[8] & 0x3F) | 0x80);  // RFC 4122 variant
    for (std::uint64_t i = 0; i < initialPages; ++i) mPages[i] = RandomPage();
}

DatabaseModel::DatabaseModel(std::uint64_t seed, std::uint32_t pageSize, std::uint64_t initialPages,
                             std::uint64_t initialMSN)
    : DatabaseModel(seed, pageSize, initialPages) {
    mMSN = initialMSN;
}

std::string DatabaseModel::UuidText() const {
    return Mirel::UuidText::ToText(mUuid).ToUTF8();
}

sim::PageImage DatabaseModel::RandomPage() {
    sim::PageImage p(mPageSize);
    for (std::size_t i = 0; i < p.size(); i += 8) {
        std::uint64_t v = mRng();
        for (std::size_t k = 0; k < 8 && i + k < p.size(); ++k)
            p[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return p;
}

Mirel::Error DatabaseModel::WriteFullCopy(const Mirel::UniversalPath& path) const {
    return sim::WriteDatabaseFile(path, mUuid, mPageSize, mMSN, mPages);
}

Mirel::Error DatabaseModel::WriteRedoLog(const Mirel::UniversalPath& path, std::uint64_t pages,
                                         std::uint64_t endUTC, bool closed, LogInfo* info) {
    sim::RedoLogWriter w;
    if (Mirel::Error e = w.Open(path, mUuid, mPageSize, mMSN); !e.OK()) return e;
    std::uint64_t count = mPages.empty() ? 0 : mPages.rbegin()->first + 1;
    std::uint64_t start = mMSN;
    for (std::uint64_t i = 0; i < pages; ++i) {
        // Mostly existing pages, sometimes one past the end so the file grows.
        std::uint64_t page = (count == 0 || mRng() % 16 == 0) ? count++ : mRng() % count;
        sim::PageImage img = RandomPage();
        if (Mirel::Error e = w.AddPage(page, img.data()); !e.OK()) return e;
        mPages[page] = std::move(img);
    }
    mMSN += 1 + mRng() % 3;
    if (Mirel::Error e = w.Finish(mMSN, endUTC, closed); !e.OK()) return e;
    if (info) {
        info->startMSN = start;
        info->msn = mMSN;
        info->endUTC = endUTC;
        info->records = pages;
        info->bytes = Mirel::Format::kLogHeaderSize + pages * (16 + mPageSize);
    }
    return Mirel::Error();
}

Mirel::Error DatabaseModel::WriteRedoLog(const Mirel::UniversalPath& path,
                                         const std::vector<std::uint64_t>& pageNumbers,
                                         std::uint64_t msnStep, std::uint64_t endUTC, bool closed,
                                         LogInfo* info, const std::function<void()>& beforeHeader) {
    sim::RedoLogWriter w;
    if (Mirel::Error e = w.Open(path, mUuid, mPageSize, mMSN); !e.OK()) return e;
    std::uint64_t start = mMSN;
    for (std::uint64_t page : pageNumbers) {
        sim::PageImage img = RandomPage();
        if (Mirel::Error e = w.AddPage(page, img.data()); !e.OK()) return e;
        mPages[page] = std::move(img);
    }
    mMSN += msnStep;
    if (beforeHeader) beforeHeader();
    if (Mirel::Error e = w.Finish(mMSN, endUTC, closed); !e.OK()) return e;
    if (info) {
        info->startMSN = start;
        info->msn = mMSN;
        info->endUTC = endUTC;
        info->records = pageNumbers.size();
        info->bytes = Mirel::Format::kLogHeaderSize + pageNumbers.size() * (16 + mPageSize);
    }
    return Mirel::Error();
}

Mirel::Error DatabaseModel::WriteStrayLog(const Mirel::UniversalPath& path, std::uint64_t endUTC,
                                          std::uint64_t msnBack, int cut,
                                          int flipHeaderByte) const {
    DatabaseModel copy = *this;
    copy.mMSN = mMSN > msnBack ? mMSN - msnBack : 1;
    std::uint64_t count = std::max<std::uint64_t>(1, PageCount());
    std::vector<std::uint64_t> pages = {copy.mRng() % count, copy.mRng() % count};
    if (Mirel::Error e = copy.WriteRedoLog(path, pages, 1, endUTC, false); !e.OK()) return e;
    std::string native = path.Native();
    if (cut > 0) {
        struct stat st;
        if (::stat(native.c_str(), &st) != 0 || ::truncate(native.c_str(), st.st_size - cut) != 0)
            return Mirel::Error(Mirel::Os::MapErrno(errno));
    }
    if (flipHeaderByte >= 0) FlipBit(native, static_cast<std::uint64_t>(flipHeaderByte), 3);
    return Mirel::Error();
}

void DatabaseModel::FlipBit(const std::string& path, std::uint64_t offset, int bit) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    char c = 0;
    f.get(c);
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(static_cast<char>(c ^ (1 << bit)));
}

std::string DatabaseModel::Compare(const Mirel::UniversalPath& path) const {
    return Compare(path, mUuid, mMSN, mPages);
}

std::string DatabaseModel::Compare(const Mirel::UniversalPath& path,
                                   const Mirel::Format::Uuid& uuid, std::uint64_t msn,
                                   const sim::PageMap& pages) {
    std::ostringstream why;
    Mirel::HBFile db(path);
    if (Mirel::Error e = db.Open(Mirel::HBFile::kPermRead); !e.OK()) {
        why << "cannot open " << path.Native() << ": error " << e.GetError();
        return why.str();
    }
    if (db.Header().uuid != uuid) why << "UUID differs; ";
    if (db.GetMSN() != msn) why << "MSN " << db.GetMSN() << ", expected " << msn << "; ";
    std::uint64_t count = pages.empty() ? 0 : pages.rbegin()->first + 1;
    if (db.GetPageCount() != count)
        why << "page count " << db.GetPageCount() << ", expected " << count << "; ";
    sim::PageImage buf(db.GetPageSize()), zero(db.GetPageSize(), 0);
    int bad = 0;
    for (std::uint64_t n = 0; n < count && bad < 5; ++n) {
        auto it = pages.find(n);
        if (db.ReadPage(n, buf.data()).OK() && buf == (it == pages.end() ? zero : it->second))
            continue;
        why << "page " << n << " differs; ";
        ++bad;
    }
    return why.str();
}

}  // namespace sim
