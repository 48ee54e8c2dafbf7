// Full backups: recording an upload, asking whether a copy is usable, removing a
// superseded upload.
#include "catalogue/Catalogue.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/RemoteContainerMgr.h"
#include "platform/support/Debug.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Os.h"

bool Interval::AddDatabase(const Mirel::UniversalPath& path, const Mirel::UniversalPath& base,
                           bool hasContainers, const Superseded& superseded) {
    bool upload = base.IsClear();
    Mirel::unistring uuid;
    std::uint64_t msn = 0;
    if (!Talon::IBS_Config::GetDBInfo(path, uuid, msn).OK()) return false;
    Mirel::LockReentrant g(lock);
    Mirel::UniversalPath stored = path;
    if (!upload) stored.SetRelativeTo(base);
    auto it = databases.find(uuid);
    if (it == databases.end()) {
        databases.emplace(uuid, DatabaseItem(stored, uuid, msn, upload, hasContainers));
        return true;
    }
    DatabaseItem& item = it->second;
    // The same upload announced again is not an older one: deleting it would lose it.
    if (item.file.msn != 0 && item.upload && !item.file.path.IsClear() &&
        item.file.path != stored) {
        IBS_DEBUG_WIDE(u"AddDatabase: ***Found old msn " << item.file.msn
                                                         << u", delete old Upload: "
                                                         << item.file.path.GetUserEntryFormat());
        superseded(item);
    }
    item.SetFile(stored, uuid, msn, upload, hasContainers);
    return true;
}

Talon::Error Catalogue::DeleteFromParent(const DatabaseItem& item,
                                         const Mirel::UniversalPath& parent) {
    Mirel::UniversalPath path = item.file.path;
    if (path.IsRelative()) path.SetAbsoluteFrom(parent);
    if (Mirel::Error e = path.Delete(); !e.OK()) {
        IBS_DEBUG_WIDE(u"DeleteFromParent: Delete ERROR " << e.Text() << u" on "
                                                          << path.GetUserEntryFormat());
        return e;
    }
    Talon::RemoteContainerMgr rc(path);
    if (Talon::Error e = rc.DeleteAll(true); !e.OK())
        IBS_DEBUG_WIDE(u"DeleteFromParent: rcMgr.DeleteAll ERROR "
                       << e.Text() << u" on " << rc.GetRCRootPath().GetUserEntryFormat());
    Mirel::Directory dir(path);
    Mirel::UniversalPath stop = parent;
    stop.MakeFolder();
    while (!dir.IsClear() && dir.GetPath() != stop && stop.IsMyChild(dir.GetPath())) {
        if (!dir.Delete().OK()) break;
        dir.SetToParent();
    }
    return Talon::Error();
}

Talon::Error Catalogue::DeleteUpload(const Mirel::UniversalPath& path) {
    DatabaseItem item;
    item.file.path = path;
    return DeleteFromParent(item, mCopiesFolder.GetPath());
}

bool Catalogue::FullDBBackupIsUploaded(const Mirel::unistring& pathText,
                                       const Mirel::unistring& uuidText) {
    Mirel::UniversalPath announced;
    bool result = false;
    if (announced.SetCommandLineFormat(pathText, false)) {
        Mirel::LockReentrant g(mLock);
        if (!mIntervals.empty() && mFoldersReady.load()) {
            // The service moves and deletes uploads: only a whole regular database file
            // of the copies folder, reached without a symbolic link, is taken.
            Mirel::UniversalPath path;
            int why = 0;
            Mirel::unistring fileUUID;
            std::uint64_t msn = 0;
            const Mirel::unistring uuid = CanonicalUuid(uuidText);
            if (!ResolveInside(mCopiesFolder, announced, path, why)) {
                IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: not in the copies folder (" << why
                                                                                     << u")");
            } else if (!path.GetExtension().CaseInsensitiveEqual(Mirel::kDatabaseExtension)) {
                IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: not a database file name");
            } else if (path.GetName().ToUTF8().size() > Talon::IBS_Config::kMaxDatabaseName) {
                IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: the name is longer than "
                               << Talon::IBS_Config::kMaxDatabaseName
                               << u" bytes: no container folder could be named after it");
            } else if (Talon::Error e = Talon::IBS_Config::GetDBInfo(path, fileUUID, msn);
                       !e.OK()) {
                IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: not a database, error " << e.Text());
            } else if (fileUUID != uuid) {
                IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: the file is database " << fileUUID);
            } else if (const std::uint64_t after = UnpublishedEnd();
                       after != 0 &&
                       NoteUploadAfter(path, after, uuid, GetDatabaseError(uuid)) != 0) {
                // Unrecorded, a restart would take it for part of that interval.
                IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: could not record that it came after "
                               << after);
            } else {
                result = mIntervals.rbegin()->second.AddDatabase(path, true, DeleteSuperseded());
            }
            if (result) {
                {
                    Mirel::LockMutex f(mFailedLock);
                    if (mFailedDatabases.erase(uuid)) SaveFailedList();
                }
                auto left = mLeftUploads.find(uuid);
                if (left != mLeftUploads.end()) {
                    for (const Mirel::UniversalPath& p : left->second) {
                        if (p == path || !Mirel::Os::Stat(p.Native()).isFile) continue;
                        Talon::Error e = DeleteUpload(p);
                        IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: older upload deleted, result "
                                       << e.Text() << u": " << p.GetUserEntryFormat());
                    }
                    mLeftUploads.erase(left);
                }
            } else {
                ReportDatabaseEvent(Talon::Event::kUploadNotRecorded, uuid, announced.GetName(),
                                    {announced.GetBasename(), announced.GetUserEntryFormat()});
            }
        }
    }
    IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded " << (result ? u"true" : u"false") << u" for "
                                              << pathText);
    return result;
}

std::int32_t Catalogue::VerifyFullDBBackup(const Mirel::unistring& name,
                                           const Mirel::unistring& uuidText, std::uint64_t msn,
                                           bool requireContainers) {
    const Mirel::unistring uuid = CanonicalUuid(uuidText);
    std::int32_t r = GetDatabaseError(uuid);
    if (r == 0 && FindDatabase(uuid, msn, requireContainers) == 0)
        r = mFoldersReady.load() ? Mirel::kErrNoFullBackup : Mirel::kErrFoldersNotReady;
    IBS_DEBUG_WIDE(u"VerifyFullDBBackup: result " << Mirel::ErrorText(r) << u" for " << name
                                                  << u", MSN " << msn);
    return r;
}

std::uint64_t Catalogue::FindDatabase(const Mirel::unistring& uuid, std::uint64_t msn,
                                      bool requireContainers) {
    Mirel::LockReentrant g(mLock);
    for (auto it = mIntervals.rbegin(); it != mIntervals.rend(); ++it) {
        Interval& interval = it->second;
        Mirel::LockReentrant il(interval.lock);
        auto db = interval.databases.find(uuid);
        if (db == interval.databases.end()) continue;
        const DatabaseItem& item = db->second;
        bool match = item.file.msn == msn;
        for (auto log = item.logs.begin(); !match && log != item.logs.end(); ++log) {
            if (log->msn < msn) break;
            if (log->msn == msn) match = true;
        }
        if (!match) continue;
        if (requireContainers) {
            Mirel::UniversalPath p = item.file.path;
            p.SetAbsoluteFrom(interval.backup.GetPath());
            Talon::RemoteContainerMgr rc(p);
            if (!Mirel::Directory(rc.GetRCRootPath()).Exists()) {
                IBS_DEBUG_WIDE(u"FindDatabase: no RC, saying NOT found UTC "
                               << EndText(it->first) << u", msn " << msn << u", path "
                               << p.GetUserEntryFormat());
                continue;
            }
        }
        return it->first;
    }
    return 0;
}
