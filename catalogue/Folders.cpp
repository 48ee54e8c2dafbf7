// The backup folder's layout: set-up and wiping of the working folders.
#include <algorithm>
#include <utility>

#include "catalogue/IBSMgr.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Debug.h"
#include "platform/support/Os.h"

using Talon::IBS_Config;

namespace {
Mirel::unistring Num(int n) {
    return Mirel::unistring::NumToString(n);
}

// A working folder must be a real folder: a symbolic link in its place could lead the
// service to move or delete files outside the backup folder.
Mirel::Error CreateRealFolder(const Mirel::Directory& dir) {
    if (Mirel::Os::Stat(dir.GetPath().Native()).isLink) return Mirel::Error(Mirel::kErrIsALink);
    return dir.CreateIfNotExists();
}
}  // namespace

bool IBSMgr::SetupFolders(const Mirel::Directory& dir) {
    int error = 0;
    Mirel::LockReentrant g(mLock);
    mFoldersReady.store(0);
    Mirel::Directory failing = dir;
    if (Mirel::Error e = dir.CreateIfNotExists(); !e.OK()) {
        error = e.GetError();
    } else {
        mBackupFolder = dir;
        Talon::BackupFolder lastGood(IBS_Config::sLastGoodFolderPrefix);
        if (!lastGood.GetLatest(mBackupFolder.GetPath(), mLastGoodFolder)) mLastGoodFolder.Clear();
        std::pair<const Mirel::unistring*, Mirel::Directory*> pairs[] = {
            {&IBS_Config::sInProgressFolderName, &mInProgressFolder},
            {&IBS_Config::sChangesFolderName, &mChangesFolder},
            {&IBS_Config::sCopiesFolderName, &mCopiesFolder},
        };
        std::sort(std::begin(pairs), std::end(pairs),
                  [](const auto& a, const auto& b) { return *a.first < *b.first; });
        for (auto& [name, field] : pairs) {
            field->Set(mBackupFolder);
            field->SetToChild(*name);
            if (error != 0) continue;
            Mirel::Error e = CreateRealFolder(*field);
            if (e.OK() && !field->IsWriteable(false)) e = Mirel::Error(Mirel::kErrAccessDenied);
            if (!e.OK()) {
                error = e.GetError();
                failing = *field;
            }
        }
    }
    if (error == 0)
        mFoldersReady.store(1);
    else
        ReportEvent(static_cast<std::int32_t>(0x4900030f), failing.GetPath().GetUserEntryFormat(),
                    Num(error));
    IBS_DEBUG_WIDE(u"SetupFolders err " << error << u", parent "
                                        << dir.GetPath().GetUserEntryFormat());
    return error == 0;
}

void IBSMgr::ClearFolders() {
    Mirel::LockReentrant g(mLock);
    if (mBackupFolder.GetPath().Exists()) {
        int error = 0;
        Mirel::Directory latest;
        Talon::BackupFolder lastGood(IBS_Config::sLastGoodFolderPrefix);
        bool found = lastGood.GetLatest(mBackupFolder.GetPath(), latest);
        if (found) {
            for (Mirel::Directory* folder : {&mInProgressFolder, &mChangesFolder, &mCopiesFolder}) {
                if (!Mirel::Os::Stat(folder->GetPath().Native()).exists) continue;
                Mirel::Error e = folder->DeleteAll();
                if (!e.OK()) {
                    IBS_DEBUG_WIDE(u"ClearFolders: DeleteAll error "
                                   << e.GetError() << u" on "
                                   << folder->GetPath().GetUserEntryFormat());
                    if (error == 0) error = e.GetError();
                }
            }
        } else {
            error = mBackupFolder.DeleteContents().GetError();
        }
        if (error == 0 && found)
            ReportEvent(static_cast<std::int32_t>(0xc1000308u),
                        latest.GetPath().GetUserEntryFormat());
        else if (error == 0)
            ReportEvent(static_cast<std::int32_t>(0xc1000307u),
                        mBackupFolder.GetPath().GetUserEntryFormat());
        else
            ReportEvent(static_cast<std::int32_t>(0x41000309),
                        mBackupFolder.GetPath().GetUserEntryFormat(), Num(error));
    }
    mFoldersReady.store(0);
    mBackupFolder.Clear();
    mLastGoodFolder.Clear();
    mInProgressFolder.Clear();
    mChangesFolder.Clear();
    mCopiesFolder.Clear();
    {
        Mirel::LockMutex f(mFailedLock);
        mFailedDatabases.clear();
    }
    mIntervalEnd.store(0);
}
