// Rebuilding the catalogue from what lies in the backup folder.
#include "catalogue/IBSMgr.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Debug.h"
#include "platform/support/Listing.h"

using Talon::IBS_Config;

IntervalMap::iterator IBSMgr::AddIntervalFolder(const Mirel::Directory& dir, std::uint64_t utc) {
    Mirel::LockReentrant g(mLock);
    auto it = mIntervals.lower_bound(utc);
    if (it != mIntervals.end() && it->first != kOpenInterval &&
        it->first - it->first % kMinute == utc) {
        it->second.backup = dir;
        return it;
    }
    Interval fresh(Mirel::UniversalPath(), utc);
    fresh.backup = dir;
    return mIntervals.emplace(utc, std::move(fresh)).first;
}

IntervalMap::iterator IBSMgr::FindIntervalWithLog(const Mirel::unistring& uuid, std::uint64_t msn) {
    Mirel::LockReentrant g(mLock);
    for (auto it = mIntervals.begin(); it != mIntervals.end(); ++it) {
        Mirel::LockReentrant il(it->second.lock);
        auto db = it->second.databases.find(uuid);
        if (db == it->second.databases.end()) continue;
        for (const FileInfo& log : db->second.logs) {
            if (log.msn < msn) break;
            if (log.startMSN == msn || log.msn == msn) return it;
        }
    }
    return mIntervals.end();
}

std::uint64_t IBSMgr::DeleteLeadingEmptyIntervals() {
    std::uint64_t last = 0;
    for (;;) {
        Mirel::UniversalPath done;
        std::uint64_t utc;
        {
            Mirel::LockReentrant g(mLock);
            auto it = mIntervals.begin();
            if (it == mIntervals.end() || it->first == kOpenInterval ||
                it->second.donePath.IsClear())
                break;
            done = it->second.donePath;
            utc = it->second.mDoneUTC;
        }
        if (utc == 0 || !DeleteIntervalIfEmpty(done, utc)) break;
        last = utc;
    }
    return last;
}

// A copy moved out of an older last-good folder starts before the current interval's logs;
// the logs that lead up to them were merged in memory when the interval started, and a
// restart lost that. They are still in the catalogue, with the older intervals: follow the
// chain from the copy's MSN to the first log of this interval and merge it again.
void IBSMgr::ChainInProgressCopy(const Mirel::UniversalPath& file, const Mirel::unistring& uuid,
                                 std::uint64_t msn, IntervalMap::iterator current) {
    Interval& C = current->second;
    Mirel::LockReentrant cl(C.lock);
    auto it = C.databases.find(uuid);
    if (it == C.databases.end()) return;
    DatabaseItem& X = it->second;
    if (X.logs.empty() || X.file.msn != msn || X.logs.begin()->startMSN <= msn) return;
    const std::uint64_t goal = X.logs.begin()->startMSN;
    std::map<std::uint64_t, std::pair<FileInfo, std::uint64_t>>
        byStart;  // start -> (log, interval end)
    for (auto o = mIntervals.begin(); o != current; ++o) {
        Mirel::LockReentrant ol(o->second.lock);
        auto y = o->second.databases.find(uuid);
        if (y == o->second.databases.end()) continue;
        for (const FileInfo& log : y->second.logs)
            byStart[log.startMSN] = {log, o->second.mDoneUTC};
    }
    std::vector<std::pair<FileInfo, std::uint64_t>> chain;
    for (std::uint64_t at = msn; at != goal;) {
        auto next = byStart.find(at);
        if (next == byStart.end() || next->second.first.msn <= at) return;  // no way through
        chain.push_back(next->second);
        at = next->second.first.msn;
    }
    for (const auto& [log, end] : chain) {
        X.logs.insert(log);
        X.prevEnd = std::max(X.prevEnd, end);
    }
    IBS_DEBUG_WIDE(u"ScanFullBackupDB: in-progress copy " << file.GetName() << u" at MSN " << msn
                                                          << u" takes " << chain.size()
                                                          << u" older log(s) up to MSN " << goal);
}

namespace {
// Database files below a folder, down to `level`.
std::vector<Mirel::UniversalPath> ListDatabaseFiles(const Mirel::Directory& dir, int level) {
    std::vector<Mirel::UniversalPath> files;
    Mirel::BuildUniversalPathListFunctor dbs(files, Mirel::kListDatabaseFiles, true);
    dir.ProcessFiles(dbs, level);
    return files;
}
}  // namespace

void IBSMgr::ScanFullBackupDB() {
    Mirel::LockReentrant g(mLock);
    IBS_DEBUG_WIDE(u"ScanFullBackupDB: starting on "
                   << mBackupFolder.GetPath().GetUserEntryFormat());
    ClearIntervals();
    AddInterval(Mirel::UniversalPath(), kOpenInterval, nullptr);

    if (mChangesFolder.Exists()) {
        std::vector<Mirel::UniversalPath> entries;
        Mirel::BuildUniversalPathListFunctor folders(entries, Mirel::kListFolders, false);
        mChangesFolder.ProcessFiles(folders, 1);
        for (const auto& e : entries) {
            std::uint64_t doneUTC = 0;
            std::vector<Mirel::unistring> list;
            Talon::Error err = IBS_Config::GetIncrementalIntervalDone(e, doneUTC, &list);
            if (err.OK()) {
                if (!DeleteIntervalIfEmpty(e, doneUTC)) AddInterval(e, doneUTC, &list);
            } else if (err.GetError() == Mirel::kErrInvalidFile) {
                if (!DeleteIntervalIfEmpty(e, doneUTC)) {
                    // The folder's interval-done file is the rejected file.
                    std::vector<Mirel::UniversalPath> done;
                    Mirel::BuildUniversalPathListBasedOnFileNamePatternFunctor f(
                        done, IBS_Config::sIntervalDoneFileName, 1, Mirel::kListFiles, true);
                    Mirel::Directory(e).ProcessFiles(f, 1);
                    MoveInvalidRedo(done.empty() ? e : done.front(), true);
                }
            }
        }
        std::vector<Mirel::UniversalPath> logs;
        Mirel::BuildPathListExtensionFunctor logList(logs, IBS_Config::sRedoLogExtension, true);
        mChangesFolder.ProcessFiles(logList, 2);
        for (const auto& file : logs) {
            Mirel::unistring uuid;
            std::uint64_t msn = 0, startMSN = 0, endUTC = 0;
            bool closed = false;
            Talon::Error err =
                IBS_Config::GetRedoLogInfo(file, uuid, msn, startMSN, endUTC, closed);
            if (err.OK())
                InsertRedoLog(file, uuid, msn, startMSN, endUTC, closed, true);
            else if (err.GetError() == Mirel::kErrInvalidFile)
                MoveInvalidRedo(file, true);
        }
    }

    std::uint64_t newestGood = 0, oldestGood = kOpenInterval, firstInProgress = kOpenInterval;
    bool resumeInterval = false;
    const Mirel::unistring& prefix = IBS_Config::sLastGoodFolderPrefix;
    for (const Mirel::Directory& dir :
         Talon::BackupFolder(prefix).GetList(mBackupFolder.GetPath())) {
        Mirel::unistring name = dir.GetChildName();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name[prefix.size()] != u'_')
            continue;
        std::uint64_t utc =
            Talon::BackupFolder::GetUTCFromTimestamp(name.substr(prefix.size() + 1));
        if (utc == 0) continue;
        auto it = AddIntervalFolder(dir, utc);
        newestGood = std::max(newestGood, it->first);
        oldestGood = std::min(oldestGood, it->first);
        for (const auto& f : ListDatabaseFiles(dir, 3))
            it->second.AddDatabase(f, dir.GetPath(), true);
    }

    if (mInProgressFolder.Exists()) {
        struct Copy {
            Mirel::UniversalPath file;
            Mirel::unistring uuid;
            std::uint64_t msn;
        };
        std::vector<Copy> copies;
        for (const auto& f : ListDatabaseFiles(mInProgressFolder, 3)) {
            Copy c{f, {}, 0};
            if (!IBS_Config::GetDBInfo(f, c.uuid, c.msn).OK()) continue;
            auto it = FindIntervalWithLog(c.uuid, c.msn);
            // A copy that was still catching up with an older interval's logs (merged when
            // its interval started) belongs to the interval after the newest last-good one.
            if (it != mIntervals.end() && it->first != 0 && it->first <= newestGood)
                it = mIntervals.upper_bound(newestGood);
            if (it != mIntervals.end() && it->first != 0 && it->first > newestGood &&
                it->first != kOpenInterval)
                firstInProgress = std::min(firstInProgress, it->first);
            copies.push_back(std::move(c));
        }
        auto target = mIntervals.find(firstInProgress);
        if (firstInProgress != kOpenInterval && target != mIntervals.end()) {
            mIntervalEnd.store(firstInProgress);
            for (const auto& c : copies)
                if (target->second.AddDatabase(c.file, mInProgressFolder.GetPath(), true))
                    ChainInProgressCopy(c.file, c.uuid, c.msn, target);
            resumeInterval = true;
        }
    }

    if (mCopiesFolder.Exists()) {
        for (const auto& f : ListDatabaseFiles(mCopiesFolder, 4)) {
            Mirel::unistring uuid;
            std::uint64_t msn = 0;
            if (!IBS_Config::GetDBInfo(f, uuid, msn).OK()) continue;
            auto it = FindIntervalWithLog(uuid, msn);
            if (it != mIntervals.end()) it->second.AddDatabase(f, true);
        }
    }

    if (oldestGood != kOpenInterval) {
        for (auto it = mIntervals.begin(); it != mIntervals.end() && it->first < oldestGood; ++it) {
            Mirel::LockReentrant il(it->second.lock);
            for (auto& [uuid, item] : it->second.databases) {
                DeleteRedoLogs(item.logs, oldestGood);
                if (item.upload) {
                    Talon::Error e = DeleteFromParent(item, mCopiesFolder.GetPath());
                    IBS_DEBUG_WIDE(u"**ScanFullBackupDB: delete obsolete upload result "
                                   << e.GetError() << u", " << item.file.path.GetUserEntryFormat());
                    item.upload = false;
                    item.file.Clear();
                }
            }
        }
    }

    // A start cut short by a stop or crash may have left databases of the interval without an
    // in-progress copy; the interval would otherwise complete without them. Finish the start:
    // copies already in place are kept as they are.
    if (resumeInterval) {
        bool fatal = false;
        StartInterval(fatal);
    }

    std::uint64_t removed = DeleteLeadingEmptyIntervals();
    if (mIntervalEnd.load() == 0) mIntervalEnd.store(newestGood != 0 ? newestGood : removed);
    IBS_DEBUG(("ScanFullBackupDB: mIntervalEnd ") << mIntervalEnd.load());
}
