// Redo logs and interval-done files announced by the server, rejected files, and the
// server's registration.
#include <algorithm>
#include <set>
#include <utility>

#include "catalogue/Chain.h"
#include "intake/Intake.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Debug.h"

using Talon::IBS_Config;

namespace {
// Closes the file it holds.
struct OpenFd {
    int fd = -1;
    OpenFd() = default;
    OpenFd(const OpenFd&) = delete;
    OpenFd& operator=(const OpenFd&) = delete;
    ~OpenFd() { Mirel::Env::Current().Close(fd); }
};

// What the open of a file says about the file itself (what the check of the path before it
// would say), rather than about the moment (too many open files, an I/O error).
bool SaysWhatIsThere(int rc) {
    return rc == Mirel::kErrPathNotFound || rc == Mirel::kErrIsALink ||
           rc == Mirel::kErrIsADirectory || rc == Mirel::kErrNotAFile ||
           rc == Mirel::kErrNotADirectory || rc == Mirel::kErrNameTooLong;
}
}  // namespace

int Intake::OpenRedoFolder(const std::string& base, const std::string& name, int& fd) {
    KeptFolder& k = mRedoFolder;
    // Two looks that follow no link stand for opening both folders again: each path still
    // names a real folder, the very one opened. A change between the look and the log's open
    // is a change after the open, as before.
    auto same = [this](const std::string& path, std::uint64_t dev, std::uint64_t ino) {
        Mirel::Os::Info i;
        return mEnv.Stat(path, i).OK() && i.isDir && !i.isLink && i.dev == dev && i.ino == ino;
    };
    if (k.fd >= 0 && k.base == base && k.name == name && same(base, k.baseDev, k.baseIno) &&
        same(base + "/" + name, k.dev, k.ino)) {
        fd = k.fd;
        return 0;
    }
    ForgetRedoFolder();
    int dir = -1;
    if (int rc = mEnv.OpenRealFolder(base, {name}, dir).GetError()) return rc;
    k.base = base;
    k.name = name;
    k.fd = fd = dir;
    // Looked at after the open: should either have changed meanwhile, the next look differs
    // and the folders are opened again.
    Mirel::Os::Info b, r;
    if (mEnv.Stat(base, b).OK() && mEnv.FStat(dir, r, base + "/" + name).OK()) {
        k.baseDev = b.dev;
        k.baseIno = b.ino;
        k.dev = r.dev;
        k.ino = r.ino;
    }
    return 0;
}

void Intake::ForgetRedoFolder() {
    if (mRedoFolder.fd >= 0) mEnv.Close(mRedoFolder.fd);
    mRedoFolder = KeptFolder();
}

std::int32_t Intake::RedoLogIsReady(const Mirel::unistring& pathText,
                                    const Mirel::unistring& uuidText, bool hasContainers) {
    Mirel::UniversalPath announced;
    // Always a file: nothing on disk is looked at before the path check below.
    if (!announced.SetCommandLineFormat(pathText, false)) return Mirel::kErrBadPathFormat;
    const Mirel::unistring uuid = mCat.CanonicalUuid(uuidText);

    // Nothing is read or moved before the file is known to be one of the server's: a
    // regular file in a redo folder directly below the changes folder. It is opened here,
    // in its redo folder as that was opened on the way (never through a link): what is read
    // later is the very file checked, whatever is done to its path meanwhile. An open that
    // failed for a reason of the moment is answered where the read would be.
    Mirel::UniversalPath path;
    std::string native, folderName, logName;
    OpenFd log;
    Mirel::Os::Info logInfo;
    int openError = 0;
    {
        Mirel::LockReentrant g(mCat.mLock);
        if (!mCat.mFoldersReady.load()) return Mirel::kErrFoldersNotReady;
        int why = Mirel::kErrFileNotTaken;
        bool inRedoFolder = false;
        std::string base, rest;
        std::vector<std::string> parts;
        if (PartsInside(mCat.mChangesFolder, announced, base, rest, parts)) {
            if (parts.size() != 2 || !mCat.IsRedoFolderName(Mirel::unistring::FromUTF8(parts[0]))) {
                why = mEnv.CheckRealPath(base, parts, true).GetError();  // for the answer below
            } else {
                native = base + "/" + rest;
                folderName = parts[0];
                logName = parts[1];
                int dir = -1;
                bool kept = mRedoFolder.fd >= 0;
                why = OpenRedoFolder(base, parts[0], dir);
                if (why == 0) {
                    openError =
                        mEnv.OpenReadAt(dir, parts[1], native, log.fd, &logInfo, true).GetError();
                    // A folder removed and made again may have the old one's inode number:
                    // a log missing from the kept folder is looked for in a fresh one.
                    if (openError == Mirel::kErrPathNotFound && kept) {
                        ForgetRedoFolder();
                        why = OpenRedoFolder(base, parts[0], dir);
                        if (why == 0)
                            openError =
                                mEnv.OpenReadAt(dir, parts[1], native, log.fd, &logInfo, true)
                                    .GetError();
                    }
                    if (SaysWhatIsThere(openError)) why = std::exchange(openError, 0);
                    inRedoFolder = why == 0;
                }
            }
        }
        if (!inRedoFolder) {
            IBS_DEBUG_WIDE(u"RedoLogIsReady: not taken (" << why << u"): " << pathText);
            // A restart sets a failed database's logs aside with it, announced or not: the
            // announcement of one that is gone gets the answer it would have had.
            const int n = announced.CountPathElements();
            if (why == Mirel::kErrPathNotFound && n > 2 &&
                mCat.IsRedoFolderName(announced.GetPathElement(n - 2)) &&
                announced.GetExtension().CaseInsensitiveEqual(IBS_Config::sRedoLogExtension))
                if (std::int32_t refused = mCat.GetDatabaseError(uuid)) return refused;
            return Mirel::kErrFileNotTaken;
        }
        path = Mirel::UniversalPath::FromNative(native);
    }

    if (path.GetName().CaseInsensitiveEqual(IBS_Config::sIntervalDoneFileName)) {
        std::uint64_t doneUTC = 0;
        std::vector<Mirel::unistring> list;
        Talon::Error e = IBS_Config::GetIncrementalIntervalDone(path, doneUTC, &list);
        if (e.OK()) {
            Mirel::LockReentrant g(mCat.mLock);
            if (!mCat.mFoldersReady.load()) return Mirel::kErrFoldersNotReady;
            // The cycle never goes back: an end at or before an interval already announced
            // would make an interval nothing ever finishes, or one before the logs its own
            // logs continue (the server's clock went back). The same end again is the same
            // interval, announced twice.
            const std::uint64_t passed = mCat.PassedIntervalEnd();
            if (doneUTC <= passed && mCat.mIntervals.find(doneUTC) == mCat.mIntervals.end()) {
                IBS_DEBUG_WIDE(u"RedoLogIsReady: interval-done file ends at "
                               << EndText(doneUTC) << u", not after " << EndText(passed)
                               << u" (announced before): " << path.GetUserEntryFormat());
                mCat.ReportEvent(Talon::Event::kStaleIntervalDone, path.GetUserEntryFormat(),
                                 Mirel::unistring::NumToString(doneUTC),
                                 Mirel::unistring::NumToString(passed));
                mCat.MoveInvalidRedo(path, true, Mirel::kErrStaleIntervalDone);
                mCat.mState.StaleDone(path.Native(), doneUTC, passed);
                return Mirel::kErrStaleIntervalDone;
            }
            for (auto& listed : list) listed = mCat.CanonicalUuid(listed);
            AddInterval(path, doneUTC, &list);
            mCat.RequestIntervalCheck();
            return 0;
        }
        if (e.GetError() == Mirel::kErrInvalidFile) {
            if (mCat.MoveInvalidRedo(path, true, Mirel::kErrInvalidFile,
                                     Catalogue::SetAside::kOwnFault,
                                     true) == Mirel::kErrRejectedFull)
                return Mirel::kErrRejectedFull;
            return Mirel::kErrInvalidFile;
        }
        return Mirel::kErrFileNotTaken;
    }

    // Only what the scan would find again after a restart is taken.
    if (!path.GetExtension().CaseInsensitiveEqual(IBS_Config::sRedoLogExtension))
        return Mirel::kErrFileNotTaken;
    if (native.size() - native.rfind('/') - 1 > IBS_Config::kMaxRedoLogName) {
        // It could not even be set aside under a numbered name: it stays where it is.
        IBS_DEBUG_WIDE(u"RedoLogIsReady: the name is longer than "
                       << IBS_Config::kMaxRedoLogName << u" bytes, not taken: " << pathText);
        return Mirel::kErrNameTooLong;
    }
    // What is set aside here was never taken: past the set-aside limit it stays where it
    // is, and the answer says so instead. A restart's scan may have taken it all the same:
    // the catalogue forgets it, or an interval would count on a log that is not there.
    auto setAside = [&](std::int32_t reason, Catalogue::SetAside cause =
                                                 Catalogue::SetAside::kOwnFault) -> std::int32_t {
        if (mCat.MoveInvalidRedo(path, true, reason, cause, true) == Mirel::kErrRejectedFull)
            return Mirel::kErrRejectedFull;
        mCat.ForgetRedoLog(path);
        return reason;
    };
    if (std::int32_t refused = mCat.GetDatabaseError(uuid))
        return setAside(refused, Catalogue::SetAside::kDatabaseHadFailed);
    Mirel::unistring fileUUID;
    std::uint64_t msn = 0, startMSN = 0, endUTC = 0;
    bool closed = false;
    std::string header;
    Talon::Error e = openError != 0
                         ? Talon::Error(openError)
                         : IBS_Config::GetRedoLogInfo(log.fd, logInfo.size, native, fileUUID, msn,
                                                      startMSN, endUTC, closed, nullptr, &header);
    if (!e.OK()) {
        // Only a file that is not a redo log is set aside; a read that failed for another
        // reason (the file vanished, too many open files) says nothing about the log.
        if (e.GetError() == Mirel::kErrInvalidFile) return setAside(e.GetError());
        return e.GetError();
    }
    if (fileUUID != uuid) {
        // Taken under the wrong database it would never be applied to its own.
        IBS_DEBUG_WIDE(u"RedoLogIsReady: log of " << fileUUID << u" announced for " << uuidText
                                                  << u": " << path.GetUserEntryFormat());
        return setAside(Mirel::kErrLogWrongDatabase);
    }
    // Before the answer: once told the log was taken the server never announces it again, and
    // a restart must know it for taken should its header go bad.
    if (Talon::Error m = IBS_Config::MarkRedoLogTaken(log.fd, native, header); !m.OK())
        IBS_DEBUG_WIDE(u"RedoLogIsReady: not tagged as taken (" << m.Text() << u"): " << pathText);
    Mirel::LockReentrant g(mCat.mLock);
    if (!mCat.mFoldersReady.load()) return Mirel::kErrFoldersNotReady;
    bool placed = false;
    if (std::int32_t rc =
            InsertRedoLog(path, uuid, msn, startMSN, endUTC, closed, hasContainers, &placed))
        return rc;
    // Listed before the answer: should the file go before a worker reads it and the service
    // stop, a restart would otherwise not know it was ever there. Announced again (or
    // already in a last-good copy), it is listed already or needs no line.
    if (int rc = placed ? mCat.NoteTaken(folderName, logName, uuid, msn) : 0) {
        IBS_DEBUG_WIDE(u"RedoLogIsReady: not listed as taken (error " << rc << u"), not taken: "
                                                                      << pathText);
        mCat.ForgetRedoLog(path);
        return rc;
    }
    return 0;
}

std::int32_t Intake::InsertRedoLog(const Mirel::UniversalPath& path, const Mirel::unistring& uuid,
                                   std::uint64_t msn, std::uint64_t startMSN, std::uint64_t endUTC,
                                   bool closed, bool hasContainers, bool* placed) {
    FileInfo info(path, msn, startMSN, endUTC, closed);
    Mirel::LockReentrant g(mCat.mLock);
    auto it = mCat.mIntervals.lower_bound(endUTC);
    if (it == mCat.mIntervals.end()) {
        IBS_DEBUG_WIDE(u"InsertRedoLog **ERROR** couldn't find interval for endUTC "
                       << EndText(endUTC) << u", map size " << mCat.mIntervals.size() << u", log: "
                       << path.GetUserEntryFormat());
        return Mirel::kErrFileNotTaken;
    }
    const std::uint64_t current = mCat.mIntervalEnd.load();
    // An interval behind the current one will never be started again.
    auto passed = [&](IntervalMap::iterator i) {
        return !i->second.backup.IsClear() ||
               (current != 0 && current != kOpenInterval && i->first < current);
    };
    if (passed(it)) {
        // Its interval is published already. A log that copy contains is done with; any
        // other goes to the first interval still to come, which starts from that copy.
        auto db = it->second.databases.find(uuid);
        if (db != it->second.databases.end() && !db->second.file.path.IsClear() &&
            db->second.file.msn >= msn) {
            IBS_DEBUG_WIDE(u"InsertRedoLog: already in the last-good copy at MSN "
                           << db->second.file.msn << u": " << path.GetUserEntryFormat());
            return 0;
        }
        while (it != mCat.mIntervals.end() && passed(it)) ++it;
        if (it == mCat.mIntervals.end()) return Mirel::kErrFileNotTaken;
        IBS_DEBUG_WIDE(u"InsertRedoLog: late log for a finished interval goes to "
                       << EndText(it->first) << u": " << path.GetUserEntryFormat());
    }
    // A log that continues the chain after logs ending later than it was written after them,
    // whatever its time says (the server's clock went back): it goes after their interval.
    const auto byEnd = it;
    while (it->first != kOpenInterval && mCat.FollowsLaterLogs(it->second, uuid, info)) {
        if (++it == mCat.mIntervals.end()) return Mirel::kErrFileNotTaken;
        IBS_DEBUG_WIDE(u"InsertRedoLog: log continues after later logs, goes to "
                       << EndText(it->first) << u": " << path.GetUserEntryFormat());
    }
    // So was a log that continues a later interval's log or upload: it goes with that.
    if (auto later = Chain::ContinuedLater(mCat.mIntervals, it, uuid, startMSN);
        later != mCat.mIntervals.end()) {
        it = mCat.mIntervals.find(later->first);
        IBS_DEBUG_WIDE(u"InsertRedoLog: log continues a later one, goes with it to "
                       << EndText(it->first) << u": " << path.GetUserEntryFormat());
    }
    // A restart files logs by their end: it must find where this one went.
    if (it != byEnd)
        if (int rc = mCat.NoteLogAfter(path, std::prev(it)->first, uuid)) {
            IBS_DEBUG_WIDE(u"InsertRedoLog: could not record that it goes after "
                           << EndText(std::prev(it)->first) << u", error " << rc << u": "
                           << path.GetUserEntryFormat());
            return rc;
        }
    const bool fresh = mCat.PlaceRedoLog(it->second, uuid, std::move(info), hasContainers);
    if (placed) *placed = fresh;
    return 0;
}

void Intake::AddInterval(const Mirel::UniversalPath& donePath, std::uint64_t endUTC,
                         const std::vector<Mirel::unistring>* list) {
    Mirel::LockReentrant g(mCat.mLock);
    if (endUTC != kOpenInterval) mCat.mNamedEnd = std::max(mCat.mNamedEnd, endUTC);
    auto found = mCat.mIntervals.lower_bound(endUTC);
    if (found != mCat.mIntervals.end() && found->first == endUTC) {
        IBS_DEBUG_WIDE(u"**AddInterval: found endUTC "
                       << EndText(endUTC) << u", old path "
                       << found->second.donePath.GetUserEntryFormat() << u", set new: "
                       << donePath.GetUserEntryFormat());
        found->second.donePath = donePath;
        return;
    }
    Interval fresh(donePath, endUTC);
    if (found != mCat.mIntervals.end() && found->first == kOpenInterval) {
        // The open interval's databases move to the new interval, except what lies beyond
        // its end: a log that ends later (the new interval could never apply it), and an
        // upload that such a log shows to be later than the end.
        Interval& open = found->second;
        for (auto it = open.databases.begin(); it != open.databases.end();) {
            DatabaseItem& item = it->second;
            RedoLogSet early, late;
            // A log that continues one ending after the interval comes after it too, whatever
            // its own end says (a server clock that stepped back): by MSN, a continuing log
            // is met after the log it continues.
            std::set<std::uint64_t> lateEnds;
            for (const FileInfo& log : item.logs) {
                const bool after = log.endUTC > endUTC || lateEnds.count(log.startMSN) != 0;
                if (after) lateEnds.insert(log.msn);
                (after ? late : early).insert(log);
            }
            bool uploadIsLater = false;
            if (item.upload)
                for (const FileInfo& log : late) uploadIsLater |= log.msn <= item.file.msn;
            bool takeUpload = item.upload && !uploadIsLater;
            if (late.empty() && (!item.upload || takeUpload)) {
                fresh.databases.emplace(it->first, item);
                it = open.databases.erase(it);
                continue;
            }
            if (!early.empty() || takeUpload) {
                DatabaseItem moved = item;
                moved.logs = std::move(early);
                if (!takeUpload) {
                    moved.upload = false;
                    moved.file.Clear();
                }
                fresh.databases.emplace(it->first, std::move(moved));
            }
            item.logs = std::move(late);
            if (takeUpload) {
                item.upload = false;
                item.file.Clear();
            }
            ++it;
        }
    }
    Interval& added = mCat.mIntervals.emplace(endUTC, std::move(fresh)).first->second;
    if (list && !list->empty()) {
        for (const auto& uuid : *list) {
            auto it = added.databases.find(uuid);
            if (it == added.databases.end())
                it = added.databases
                         .emplace(uuid, DatabaseItem(Mirel::UniversalPath(), uuid, 0, false, true))
                         .first;
            it->second.pfailed = true;
        }
    }
}

bool Intake::RegisterServer(const Mirel::unistring& address, unsigned short port, unsigned short,
                            unsigned short) {
    char text[256];
    address.ConvertToCString(text, sizeof text, 1);
    EventSink* sink = mCat.mSink.load();
    if (sink && sink->LinkServer(text, port)) {
        mCat.mServerRegistered.store(true);
        // A notification queued before a crash, or sent while no hub listened, was lost: a
        // server that registers hears again of every database that waits for an upload.
        Mirel::LockMutex f(mCat.mFailedLock);
        for (const auto& [uuid, number] : mCat.mFailedDatabases)
            if (number != Mirel::kErrReplaced) mCat.NotifyFailed(uuid);
        return true;
    }
    IBS_DEBUG_WIDE(u"RegisterServer: ConnectToServer failed, addr "
                   << address << u", port " << port << u", no link: " << (sink == nullptr));
    return false;
}
