// Redo logs and interval-done files announced by the server, rejected files, and the
// server's registration.
#include "app/DBSConnector.h"
#include "catalogue/IBSMgr.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Debug.h"

using Talon::IBS_Config;

std::int32_t IBSMgr::RedoLogIsReady(const Mirel::unistring& pathText, const Mirel::unistring& uuid,
                                    bool hasContainers) {
    Mirel::UniversalPath path;
    if (!path.SetCommandLineFormat(pathText)) return Mirel::kErrBadPathFormat;

    if (path.GetName().CaseInsensitiveEqual(IBS_Config::sIntervalDoneFileName)) {
        std::uint64_t doneUTC = 0;
        std::vector<Mirel::unistring> list;
        Talon::Error e = IBS_Config::GetIncrementalIntervalDone(path, doneUTC, &list);
        if (e.OK()) {
            std::int32_t result;
            {
                Mirel::LockReentrant g(mLock);
                if (!mFoldersReady.load()) {
                    result = Mirel::kErrFoldersNotReady;
                } else if (!mChangesFolder.GetPath().IsMyChild(path)) {
                    result = Mirel::kErrFileNotTaken;
                } else {
                    AddInterval(path, doneUTC, &list);
                    RequestIntervalCheck();
                    result = 0;
                }
            }
            return result;
        }
        if (e.GetError() == Mirel::kErrInvalidFile) {
            MoveInvalidRedo(path, true);
            return Mirel::kErrInvalidFile;
        }
        return Mirel::kErrFileNotTaken;
    }

    if (std::int32_t refused = GetDatabaseError(uuid)) {
        MoveInvalidRedo(path, true);
        return refused;
    }
    Mirel::unistring fileUUID;
    std::uint64_t msn = 0, startMSN = 0, endUTC = 0;
    bool closed = false;
    Talon::Error e = IBS_Config::GetRedoLogInfo(path, fileUUID, msn, startMSN, endUTC, closed);
    if (!e.OK()) {
        MoveInvalidRedo(path, true);
        return e.GetError();
    }
    Mirel::LockReentrant g(mLock);
    if (!mFoldersReady.load()) return Mirel::kErrFoldersNotReady;
    // Taken logs are deleted once applied: only files inside the changes folder qualify.
    if (!mChangesFolder.GetPath().IsMyChild(path)) return Mirel::kErrFileNotTaken;
    return InsertRedoLog(path, uuid, msn, startMSN, endUTC, closed, hasContainers)
               ? 0
               : Mirel::kErrFileNotTaken;
}

bool IBSMgr::InsertRedoLog(const Mirel::UniversalPath& path, const Mirel::unistring& uuid,
                           std::uint64_t msn, std::uint64_t startMSN, std::uint64_t endUTC,
                           bool closed, bool hasContainers) {
    FileInfo info(path, uuid, msn, startMSN, endUTC, closed);
    Mirel::LockReentrant g(mLock);
    auto it = mIntervals.lower_bound(endUTC);
    if (it == mIntervals.end()) {
        IBS_DEBUG_WIDE(u"InsertRedoLog **ERROR** couldn't find interval for endUTC "
                       << endUTC << u", map size " << mIntervals.size() << u", log: "
                       << path.GetUserEntryFormat());
        return false;
    }
    Interval& interval = it->second;
    Mirel::LockReentrant il(interval.lock);
    DatabaseItem& item = interval.databases[uuid];  // a default item when new
    // A database's logs mostly sit in one redo folder: keep its text once.
    if (!item.logs.empty()) info.path.ShareFolder(item.logs.begin()->path);
    item.logs.insert(info);
    item.hasContainers = hasContainers;
    return true;
}

void IBSMgr::AddInterval(const Mirel::UniversalPath& donePath, std::uint64_t endUTC,
                         const std::vector<Mirel::unistring>* list) {
    Mirel::LockReentrant g(mLock);
    auto found = mIntervals.lower_bound(endUTC);
    if (found != mIntervals.end() && found->first == endUTC) {
        IBS_DEBUG_WIDE(u"**AddInterval: found endUTC "
                       << endUTC << u", old path " << found->second.donePath.GetUserEntryFormat()
                       << u", set new: " << donePath.GetUserEntryFormat());
        found->second.donePath = donePath;
        return;
    }
    Interval fresh(donePath, endUTC);
    if (found != mIntervals.end() && found->first == kOpenInterval) {
        Mirel::LockReentrant open(found->second.lock);
        fresh.databases.swap(found->second.databases);
    }
    Interval& added = mIntervals.emplace(endUTC, std::move(fresh)).first->second;
    if (list && !list->empty()) {
        Mirel::LockReentrant il(added.lock);
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

void IBSMgr::MoveInvalidRedo(const Mirel::UniversalPath& path, bool report) {
    Mirel::UniversalPath moved;
    Talon::Error e = IBS_Config::MoveInvalidRedo(path, GetBackupFolder(), moved);
    if (e.OK() || report)
        ReportEvent(
            0x41000328, moved.GetUserEntryFormat(),
            e.OK() ? Mirel::unistring(u"10709") : Mirel::unistring::NumToString(e.GetError()));
}

bool IBSMgr::RegisterServer(const Mirel::unistring& address, unsigned short port, unsigned short,
                            unsigned short) {
    char text[256];
    address.ConvertToCString(text, sizeof text, 1);
    DBSConnector* connector = sDBSConnector.load();
    if (connector && connector->ConnectToServer(text, port)) {
        sServerRegistered.store(true);
        return true;
    }
    IBS_DEBUG_WIDE(u"RegisterServer: ConnectToServer failed, addr " << address << u", port " << port
                                                                    << u", sDBSConnector==NULL: "
                                                                    << (connector == nullptr));
    return false;
}
