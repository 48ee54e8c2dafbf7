// Full backups: recording an upload, asking whether a copy is usable, removing a
// superseded upload.
#include "intake/Intake.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/RemoteContainerMgr.h"
#include "platform/support/Debug.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Os.h"

Talon::Error Intake::DeleteUpload(const Mirel::UniversalPath& path) {
    DatabaseItem item;
    item.file.path = path;
    return mCat.DeleteFromParent(item, mCat.mCopiesFolder.GetPath());
}

bool Intake::FullDBBackupIsUploaded(const Mirel::unistring& pathText,
                                    const Mirel::unistring& uuidText) {
    Mirel::UniversalPath announced;
    bool result = false;
    if (announced.SetCommandLineFormat(pathText, false)) {
        Mirel::LockReentrant g(mCat.mLock);
        if (!mCat.mIntervals.empty() && mCat.mFoldersReady.load()) {
            // The service moves and deletes uploads: only a whole regular database file
            // of the copies folder, reached without a symbolic link, is taken.
            Mirel::UniversalPath path;
            int why = 0;
            Mirel::unistring fileUUID;
            std::uint64_t msn = 0;
            const Mirel::unistring uuid = mCat.CanonicalUuid(uuidText);
            if (!ResolveInside(mCat.mCopiesFolder, announced, path, why)) {
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
            } else if (const std::uint64_t after = mCat.UnpublishedEnd();
                       after != 0 &&
                       mCat.NoteUploadAfter(path, after, uuid, mCat.GetDatabaseError(uuid)) != 0) {
                // Unrecorded, a restart would take it for part of that interval.
                IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: could not record that it came after "
                               << after);
            } else {
                result = mCat.mIntervals.rbegin()->second.AddDatabase(path, true,
                                                                      mCat.DeleteSuperseded());
            }
            if (result) {
                // The older uploads go before the failure's record: a restart in between
                // must not find them with the database no longer failed, and take one up.
                auto left = mCat.mLeftUploads.find(uuid);
                if (left != mCat.mLeftUploads.end()) {
                    for (const Mirel::UniversalPath& p : left->second) {
                        if (p == path || !mEnv.Probe(p.Native()).isFile) continue;
                        Talon::Error e = DeleteUpload(p);
                        IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded: older upload deleted, result "
                                       << e.Text() << u": " << p.GetUserEntryFormat());
                    }
                    mCat.mLeftUploads.erase(left);
                }
                {
                    Mirel::LockMutex f(mCat.mFailedLock);
                    if (mCat.mFailedDatabases.erase(uuid)) mCat.SaveFailedList();
                }
            } else {
                mCat.ReportDatabaseEvent(Talon::Event::kUploadNotRecorded, uuid,
                                         announced.GetName(),
                                         {announced.GetBasename(), announced.GetUserEntryFormat()});
            }
        }
    }
    IBS_DEBUG_WIDE(u"FullDBBackupIsUploaded " << (result ? u"true" : u"false") << u" for "
                                              << pathText);
    return result;
}

std::int32_t Intake::VerifyFullDBBackup(const Mirel::unistring& name,
                                        const Mirel::unistring& uuidText, std::uint64_t msn,
                                        bool requireContainers) {
    const Mirel::unistring uuid = mCat.CanonicalUuid(uuidText);
    std::int32_t r = mCat.GetDatabaseError(uuid);
    if (r == 0 && FindDatabase(uuid, msn, requireContainers) == 0)
        r = mCat.mFoldersReady.load() ? Mirel::kErrNoFullBackup : Mirel::kErrFoldersNotReady;
    IBS_DEBUG_WIDE(u"VerifyFullDBBackup: result " << Mirel::ErrorText(r) << u" for " << name
                                                  << u", MSN " << msn);
    return r;
}

std::uint64_t Intake::FindDatabase(const Mirel::unistring& uuid, std::uint64_t msn,
                                   bool requireContainers) {
    Mirel::LockReentrant g(mCat.mLock);
    for (auto it = mCat.mIntervals.rbegin(); it != mCat.mIntervals.rend(); ++it) {
        Interval& interval = it->second;
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
