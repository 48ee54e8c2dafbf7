#include "platform/framework/IBS_Config.h"

#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/Codecs.h"
#include "platform/support/DateTime.h"
#include "platform/support/Env.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"

namespace Talon {

using Mirel::unistring;
using Mirel::UniversalPath;

const unistring IBS_Config::sInProgressFolderName = u"InProgress";
const unistring IBS_Config::sChangesFolderName = u"Changes";
const unistring IBS_Config::sCopiesFolderName = u"Copies";
const unistring IBS_Config::sLastGoodFolderPrefix = u"LastGood";
const unistring IBS_Config::sIntervalDoneFileName = u"IntervalDone.vid";
const unistring IBS_Config::sRedoLogExtension = Mirel::kRedoLogExtension;
const unistring IBS_Config::sRejectedFolderName = u"Rejected";
const unistring IBS_Config::sKeptFolderName = u"Kept";
const unistring IBS_Config::sRedoFolderPrefix = u"Redo_";
const unistring IBS_Config::sRejectedReasonsName = u"reasons.tsv";
const unistring IBS_Config::sFailedListName = u"Failed.tsv";
const unistring IBS_Config::sUnwrittenListName = u"Unwritten.tsv";
const unistring IBS_Config::sUploadsAfterName = u"UploadsAfter.tsv";
const unistring IBS_Config::sTakenListName = u"Taken.tsv";
const char* const IBS_Config::sServiceGroupName = "vellumark";

Mirel::Os::Ownership IBS_Config::ServiceCopyOwnership() {
    Mirel::Os::Ownership own;
    own.uid = ::geteuid();
    own.gid = ::getegid();
    own.mode = 0640;
    group g{};
    group* found = nullptr;
    std::vector<char> buf(16384);
    if (::getgrnam_r(sServiceGroupName, &g, buf.data(), buf.size(), &found) == 0 && found)
        own.gid = found->gr_gid;
    return own;
}

namespace {

Error ReadDoneFile(const std::string& path, std::uint64_t& doneUTC, std::vector<unistring>* list) {
    Mirel::Os::Info info = Mirel::Os::Stat(path);
    if (!info.exists) return Error(Mirel::kErrPathNotFound);
    // A FIFO, a socket or a device says nothing about the server's file: not invalid, not read.
    if (!info.isFile && !info.isDir) return Error(Mirel::kErrNotAFile);
    if (!info.isFile) return Error(Mirel::kErrInvalidFile);
    // No buffer for a size no interval-done file has.
    if (info.size < kIntervalDoneMinSize || info.size > kIntervalDoneMaxSize)
        return Error(Mirel::kErrInvalidFile);
    std::vector<std::uint8_t> buf(info.size);
    int fd = -1;
    if (int rc = Mirel::Os::OpenRead(path, fd)) return Error(rc);
    std::size_t got = 0;
    int rc = Mirel::Os::PReadAll(fd, buf.data(), buf.size(), 0, got, path);
    Mirel::Os::Close(fd);
    if (rc) return Error(rc);
    if (got != buf.size() || !DecodeIntervalDone(buf.data(), buf.size(), doneUTC, list))
        return Error(Mirel::kErrInvalidFile);
    return Error();
}

}  // namespace

Error IBS_Config::GetDBInfo(const UniversalPath& path, unistring& uuid, std::uint64_t& msn) {
    Mirel::HBFile db(path);
    Error e = db.Open(Mirel::HBFile::kPermRead);
    if (!e.OK()) return e;
    uuid = db.GetUUID();
    msn = db.GetMSN();
    return Error();
}

namespace {
// A redo log's identity, as its header gives it.
void Identify(const Mirel::Format::LogHeader& h, unistring& uuid, std::uint64_t& msn,
              std::uint64_t& startMSN, std::uint64_t& endUTC, bool& closed) {
    uuid = Mirel::UuidText::ToText(h.uuid);
    msn = h.msn;
    startMSN = h.startMSN;
    endUTC = h.endUTC;
    closed = h.closed;
}
}  // namespace

Error IBS_Config::GetRedoLogInfo(const UniversalPath& path, unistring& uuid, std::uint64_t& msn,
                                 std::uint64_t& startMSN, std::uint64_t& endUTC, bool& closed,
                                 bool* headerWhole) {
    int fd = -1;
    Mirel::Os::Info info;
    if (int rc = Mirel::Os::OpenRead(path.Native(), fd, &info, true)) return Error(rc);
    Error e = GetRedoLogInfo(fd, info.size, path.Native(), uuid, msn, startMSN, endUTC, closed,
                             headerWhole);
    Mirel::Os::Close(fd);
    return e;
}

Error IBS_Config::GetRedoLogInfo(int fd, std::optional<std::uint64_t> size, const std::string& path,
                                 unistring& uuid, std::uint64_t& msn, std::uint64_t& startMSN,
                                 std::uint64_t& endUTC, bool& closed, bool* headerWhole,
                                 std::string* header) {
    if (headerWhole) *headerWhole = false;
    std::uint8_t buf[Mirel::Format::kLogHeaderSize];
    std::size_t got = 0;
    if (int rc = Mirel::Os::PReadAll(fd, buf, sizeof buf, 0, got, path)) return Error(rc);
    Mirel::Format::LogHeader h;
    if (got != sizeof buf || !Mirel::Format::DecodeLogHeader(buf, h))
        return Error(Mirel::kErrInvalidFile);
    if (header) header->assign(reinterpret_cast<const char*>(buf), sizeof buf);
    Identify(h, uuid, msn, startMSN, endUTC, closed);
    if (headerWhole) *headerWhole = true;
    if (size && !Mirel::Format::LogSizeMatches(h, *size)) return Error(Mirel::kErrInvalidFile);
    return Error();
}

Error IBS_Config::MarkRedoLogTaken(int fd, const std::string& path, const std::string& header) {
    Mirel::Format::LogHeader h;
    if (header.size() != Mirel::Format::kLogHeaderSize ||
        !Mirel::Format::DecodeLogHeader(reinterpret_cast<const std::uint8_t*>(header.data()), h))
        return Error(Mirel::kErrInvalidFile);
    std::uint8_t tag[Mirel::Format::kTakenTagSize];
    Mirel::Format::EncodeTakenTag(h, tag);
    return Mirel::Env::Current().SetTag(fd, kTakenTag, tag, sizeof tag, path);
}

Error IBS_Config::GetTakenRedoLogInfo(const UniversalPath& path, unistring& uuid,
                                      std::uint64_t& msn, std::uint64_t& startMSN,
                                      std::uint64_t& endUTC, bool& closed) {
    Mirel::Env& env = Mirel::Env::Current();
    int fd = -1;
    Error e = env.OpenRead(path.Native(), fd, nullptr, true);
    if (!e.OK()) return e;
    std::string tag;
    e = env.GetTag(fd, kTakenTag, tag, path.Native());
    env.Close(fd);
    if (!e.OK()) return e;
    Mirel::Format::LogHeader h;
    if (!Mirel::Format::DecodeTakenTag(reinterpret_cast<const std::uint8_t*>(tag.data()),
                                       tag.size(), h))
        return Error(Mirel::kErrPathNotFound);
    Identify(h, uuid, msn, startMSN, endUTC, closed);
    return Error();
}

std::vector<UniversalPath> IBS_Config::ListIntervalDoneFiles(const UniversalPath& folder) {
    std::vector<UniversalPath> found;
    Mirel::BuildUniversalPathListBasedOnFileNamePatternFunctor f(found, sIntervalDoneFileName, 1,
                                                                 Mirel::kListFiles, true);
    Mirel::Directory(folder).ProcessFiles(f, 1);
    return found;
}

Error IBS_Config::GetIncrementalIntervalDone(const UniversalPath& path, std::uint64_t& doneUTC,
                                             std::vector<unistring>* list) {
    if (!path.GetName().empty()) return ReadDoneFile(path.Native(), doneUTC, list);
    std::vector<UniversalPath> found = ListIntervalDoneFiles(path);
    if (found.empty()) return Error(Mirel::kErrNoIntervalDone);
    return ReadDoneFile(found.front().Native(), doneUTC, list);
}

namespace {

// One set-aside at a time: the reasons file and the count of the folder go with the move.
std::mutex gSetAsideM;
std::atomic<std::uint64_t> gRejectedLimit{IBS_Config::kDefaultRejectedLimit};

std::uint64_t Charge(std::uint64_t size) {
    const std::uint64_t block = IBS_Config::kRejectedBlock;
    return size <= block ? block : size / block * block + (size % block ? block : 0);
}

// What the entries below a folder count against the limit; links are counted, not followed.
std::uint64_t CountTree(const std::string& dir) {
    std::vector<Mirel::Os::DirEntry> entries;
    if (Mirel::Os::ListDir(dir, entries) != 0) return 0;
    std::uint64_t total = 0;
    for (const auto& e : entries) {
        const std::string p = dir + "/" + e.name;
        Mirel::Os::Info info = Mirel::Os::Stat(p);
        if (!info.exists) continue;
        total += Charge(info.isFile ? info.size : 0);
        if (info.isDir) total += CountTree(p);
    }
    return total;
}

// The count of the set-aside folder in use, kept up to date by the moves. It is made again
// when the folder changes, and, while junk does not fit, at most once a minute: files an
// operator removed are noticed within a minute.
struct Usage {
    std::string folder;
    std::uint64_t bytes = 0;
    std::chrono::steady_clock::time_point counted{};
    bool full = false;  // the last move of junk was refused
};
Usage gUsage;
constexpr auto kRecountAfter = std::chrono::minutes(1);

void Recount(const std::string& folder) {
    gUsage.folder = folder;
    gUsage.bytes = CountTree(folder);
    gUsage.counted = std::chrono::steady_clock::now();
}

// One line per set-aside file, so an operator (and `ibsdb status`) can tell why it is there.
// Answers the bytes written. Under the folder's lock: `ibsdb prune-rejected` rewrites the
// file as a whole.
std::uint64_t RecordReason(const Mirel::Directory& rejected, const std::string& line) {
    const std::string folder = rejected.GetPath().Native();
    int lock = -1;
    const int locked = Mirel::Os::LockFolder(folder, lock);
    std::string file = rejected.MakeUniversalPath(IBS_Config::sRejectedReasonsName).Native();
    bool fresh = !Mirel::Os::Stat(file).exists;
    int fd = -1;
    std::uint64_t written = 0;
    if (Mirel::Os::OpenAppend(file, fd) == 0) {
        if (Mirel::Os::Append(fd, line.data(), line.size(), file) == 0) {
            Mirel::Os::SyncFile(fd, file);
            written = line.size();
        }
        Mirel::Os::Close(fd);
        if (fresh) Mirel::Os::SyncDir(folder);
    }
    if (locked == 0) Mirel::Os::Close(lock);
    return written;
}

std::string ReasonText(const UniversalPath& moved, const UniversalPath& original, int reason,
                       const std::string& why) {
    return EncodeReasonLine({moved.GetName().ToUTF8(), reason, Mirel::DateTime::NowUTC(),
                             original.Native(), why.empty() ? Mirel::ErrorWords(reason) : why});
}

}  // namespace

void IBS_Config::SetRejectedLimit(std::uint64_t bytes) {
    gRejectedLimit.store(bytes);
}

std::uint64_t IBS_Config::GetRejectedLimit() {
    return gRejectedLimit.load();
}

std::uint64_t IBS_Config::CountRejected(const Mirel::Directory& backupFolder) {
    Mirel::Directory rejected = backupFolder;
    rejected.SetToChild(sRejectedFolderName);
    return CountTree(rejected.GetPath().Native());
}

Error IBS_Config::MoveInvalidRedo(const UniversalPath& path, const Mirel::Directory& backupFolder,
                                  UniversalPath& movedPath, int reason, const std::string& why,
                                  bool limited, bool* limitReached) {
    movedPath = path;
    if (limitReached) *limitReached = false;
    if (backupFolder.IsClear()) return Error(Mirel::kErrFoldersNotReady);
    // Only a regular file of the changes folder is ever moved, whoever asks: a folder, a
    // link or a file elsewhere stays exactly where it is.
    {
        Mirel::Directory changes = backupFolder;
        changes.SetToChild(sChangesFolderName);
        std::string root = changes.GetPath().Native();
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        std::vector<std::string> parts;
        if (path.GetName().empty() || !Mirel::ComponentsBelow(root, path.Native(), parts))
            return Error(Mirel::kErrFileNotTaken);
        if (int rc = Mirel::Os::CheckRealPath(root, parts, true)) return Error(rc);
    }
    Mirel::Directory rejected = backupFolder;
    rejected.SetToChild(sRejectedFolderName);
    if (Error e = rejected.CreateIfNotExists(); !e.OK()) return e;
    UniversalPath rc = Mirel::ContainerFolderOf(path);

    std::lock_guard<std::mutex> g(gSetAsideM);
    std::string folder = rejected.GetPath().Native();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (gUsage.folder != folder) {
        gUsage = Usage();
        Recount(folder);
    }
    const bool withContainers = Mirel::Os::Stat(rc.Native()).isDir;
    const std::uint64_t cost = Charge(Mirel::Os::Stat(path.Native()).size) +
                               (withContainers ? Charge(0) + CountTree(rc.Native()) : 0);
    if (limited) {
        // The reason's line with room for a ".N" the name may get.
        const std::uint64_t need = cost + ReasonText(path, path, reason, why).size() + 8;
        const std::uint64_t limit = gRejectedLimit.load();
        if (gUsage.bytes + need > limit &&
            std::chrono::steady_clock::now() - gUsage.counted >= kRecountAfter)
            Recount(folder);
        if (gUsage.bytes + need > limit) {
            if (limitReached) *limitReached = !gUsage.full;
            gUsage.full = true;
            return Error(Mirel::kErrRejectedFull);
        }
    }
    for (int i = 0; i < 100000; ++i) {
        unistring name = path.GetName();
        if (i) name += u"." + unistring::NumToString(i);
        UniversalPath dest = rejected.MakeUniversalPath(name);
        if (Mirel::Os::Stat(dest.Native()).exists) continue;
        // The reason goes first: a crash right after the move must not leave the file
        // unexplained. A line whose move did not happen names no file and is ignored.
        gUsage.bytes += RecordReason(rejected, ReasonText(dest, path, reason, why));
        int r = Mirel::Os::Rename(path.Native(), dest.Native());
        if (r == Mirel::kErrAlreadyExists) continue;
        if (r != 0) return Error(r);
        movedPath = dest;
        gUsage.bytes += cost;
        if (limited) gUsage.full = false;
        // Container changes go with their log; failing that, they stay where they were.
        if (withContainers) Mirel::Os::Rename(rc.Native(), Mirel::ContainerFolderOf(dest).Native());
        return Error();
    }
    return Error(Mirel::kErrNoTempName);
}

Error IBS_Config::ProcessRedoLogFile(Mirel::HBFile& database, Mirel::HBLogFile& log,
                                     const std::atomic<std::int32_t>& abort) {
    if (!log.IsOpen()) {
        if (Error e = log.Open(Mirel::HBLogFile::kPermRead); !e.OK()) return e;
    }
    return database.ApplyLog(log, &abort);
}

Error IBS_Config::QueueRedoLogFile(Mirel::HBFile& database, Mirel::HBLogFile& log) {
    if (!log.IsOpen()) {
        if (Error e = log.Open(Mirel::HBLogFile::kPermRead); !e.OK()) return e;
    }
    return database.QueueLog(log);
}

Error IBS_Config::FinishRedoLogFiles(Mirel::HBFile& database,
                                     const std::atomic<std::int32_t>& abort,
                                     Mirel::FileSum* sum) {
    return database.ApplyPass(&abort, sum);
}

unistring IBS_Config::GetRedoFolderAppendixName() {
    return sRedoFolderPrefix + u"*";
}

std::uint64_t IBS_Config::RetrieveUTCFromRedoFolderName(const unistring& name) {
    if (name.size() <= sRedoFolderPrefix.size() ||
        name.compare(0, sRedoFolderPrefix.size(), sRedoFolderPrefix) != 0)
        return 0;
    std::uint64_t v = 0;
    for (std::size_t i = sRedoFolderPrefix.size(); i < name.size(); ++i) {
        char16_t c = name[i];
        if (c < u'0' || c > u'9') return 0;
        if (v > (UINT64_MAX - 9) / 10) return 0;
        v = v * 10 + static_cast<std::uint64_t>(c - u'0');
    }
    return v;
}

unistring IBS_Config::MakeRedoFolderName(std::uint64_t utc) {
    return sRedoFolderPrefix + unistring::NumToString(utc);
}

}  // namespace Talon
