// The manager's start, the server's choice of backup folder, and the remote stop.
#include "app/DBSConnector.h"
#include "app/DidoraRezaraApp.h"
#include "catalogue/IBSMgr.h"
#include "platform/engine/HBEngine.h"
#include "platform/support/Debug.h"
#include "workers/TalonIBWorker.h"

bool IBSMgr::Init(CORBA::ORB_ptr orb) {
    if (!mPrefs.Open(mPrefsHandle, Talon::PrefKeys::Instance().GetDesignation()).OK()) {
        IBS_DEBUG("IBSMgr::Init can't read prefs");
        return false;
    }
    Mirel::AtomicSetPointer(sDBSConnector, new DBSConnector(orb));
    CreateWorkers(Mirel::Machine::GetProcessorCount());

    std::int64_t configured = 0;
    if (!mPrefs.GetPref(mPrefsHandle, 67, configured).OK() || configured == 0) return true;
    Mirel::unistring text;
    Mirel::UniversalPath path;
    if (!mPrefs.GetPref(mPrefsHandle, 68, text).OK() || !path.SetUserEntryFormat(text)) return true;
    path.MakeFolder();
    Mirel::LockReentrant g(mLock);
    if (SetupFolders(Mirel::Directory(path))) {
        ScanFullBackupDB();
        CheckIntervals();
    }
    return true;
}

std::int32_t IBSMgr::SetBackupFolder(const Mirel::unistring& pathText) {
    IBS_DEBUG_WIDE(u"SetBackupFolder: setting path to \"" << pathText << u"\"");
    std::int32_t result = 0;
    std::unique_ptr<Mirel::LockReentrant> held;
    Mirel::UniversalPath path;
    if (pathText.empty()) {
        StopWorkers(false);
        held = std::make_unique<Mirel::LockReentrant>(mLock);
        ClearFolders();
        ClearIntervals();
        result = 1;
    } else if (!path.SetCommandLineFormat(pathText)) {
        IBS_DEBUG_WIDE(u"SetBackupFolder: invalid path (expected command line format) "
                       << pathText);
    } else {
        // The server names a folder, whether or not it exists yet.
        path.MakeFolder();
        if (path == GetBackupFolder().GetPath() && mFoldersReady.load()) {
            if (sServerRegistered.load()) {
                StopWorkers(false);
                ScanFullBackupDB();
            }
            result = 1;
            RequestIntervalCheck();
        } else {
            StopWorkers(false);
            held = std::make_unique<Mirel::LockReentrant>(mLock);
            ClearFolders();
            if (SetupFolders(Mirel::Directory(path))) {
                ScanFullBackupDB();
                result = 1;
                RequestIntervalCheck();
            }
        }
    }
    sServerRegistered.store(false);
    return result;
}

void IBSMgr::Stop() {
    StopWorkers(true);
    Mirel::HBEngine::Shutdown();
    if (DBSConnector* c = sDBSConnector.load()) c->AbortMain();
    if (DidoraRezaraApp* app = GetDidoraRezaraApp()) app->GetMainMsgQ().PostMsg(1224);
}

void IBSMgr::EndThreads() {
    for (TalonIBWorker* w : mWorkers) w->PostQuit();
    for (TalonIBWorker* w : mWorkers) w->Join();
    if (DBSConnector* c = sDBSConnector.load()) {
        c->AbortMain();
        c->Join();
    }
}
