// The manager's start, the server's choice of backup folder, and the remote stop.
#include "catalogue/IBSMgr.h"
#include "platform/engine/HBEngine.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Debug.h"
#include "platform/support/Os.h"

bool IBSMgr::Init(CycleTrigger& trigger, EventSink& sink) {
    if (!mPrefs.Open(mPrefsHandle, Talon::PrefKeys::Instance().GetDesignation()).OK()) {
        IBS_DEBUG("IBSMgr::Init can't read prefs");
        return false;
    }
    Connect(&trigger, &sink);
    CreateWorkers(Mirel::Machine::GetProcessorCount());

    std::int64_t limit = 0;
    if (mPrefs.GetPref(mPrefsHandle, kRejectedLimitPref, limit).OK() && limit >= 0)
        Talon::IBS_Config::SetRejectedLimit(static_cast<std::uint64_t>(limit));
    IBS_DEBUG("IBSMgr::Init: set-aside limit " << Talon::IBS_Config::GetRejectedLimit()
                                               << " bytes");

    std::int64_t configured = 0;
    if (!mPrefs.GetPref(mPrefsHandle, 67, configured).OK() || configured == 0) return true;
    Mirel::unistring text;
    if (!mPrefs.GetPref(mPrefsHandle, 68, text).OK()) {
        IBS_DEBUG("IBSMgr::Init: preference 67 is set but preference 68 cannot be read");
        return true;
    }
    // A pretty-printed preference file wraps the value in blanks and line ends.
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t lead = 0;
    while (lead < text.size() && blank(text[lead])) ++lead;
    text.erase(0, lead);
    Mirel::UniversalPath path;
    if (!path.SetUserEntryFormat(text)) {
        IBS_DEBUG_WIDE(u"IBSMgr::Init: preference 68 is not a usable path: \"" << text << u"\"");
        ReportEvent(Talon::Event::kFolderNotSetUp, text,
                    Mirel::unistring::NumToString(Mirel::kErrBadPathFormat));
        return true;
    }
    path.MakeFolder();
    Mirel::LockReentrant g(mLock);
    if (SetupFolders(Mirel::Directory(path))) {
        ScanFullBackupDB();
        CheckIntervals();
    }
    return true;
}

IBSMgr::StopScope::StopScope(IBSMgr& mgr) : mMgr(mgr) {
    ++mMgr.mStopping;
}

IBSMgr::StopScope::~StopScope() {
    // A check asked for meanwhile returned at once; it runs now.
    if (--mMgr.mStopping == 0 && mMgr.mCheckPending.load()) mMgr.RequestIntervalCheck();
}

std::int32_t IBSMgr::SetBackupFolder(const Mirel::unistring& pathText) {
    IBS_DEBUG_WIDE(u"SetBackupFolder: setting path to \"" << pathText << u"\"");
    std::int32_t result = 0;
    Mirel::UniversalPath path;
    StopScope stopping(*this);
    if (pathText.empty()) {
        if (StopWorkers(false)) {
            Mirel::LockReentrant g(mLock);
            ClearFolders();
            ClearIntervals();
            result = 1;
        }
    } else if (!path.SetCommandLineFormat(pathText)) {
        IBS_DEBUG_WIDE(u"SetBackupFolder: invalid path (expected command line format) "
                       << pathText);
    } else {
        // The server names a folder, whether or not it exists yet.
        path.MakeFolder();
        auto sameAs = [&path](const Mirel::UniversalPath& other) {
            return !other.IsClear() &&
                   (path == other || Mirel::Os::SameObject(path.Native(), other.Native()));
        };
        Mirel::UniversalPath current, named;
        {
            Mirel::LockReentrant g(mLock);
            current = mBackupFolder.GetPath();
            named = mNamedFolder;
        }
        const bool ready = mFoldersReady.load() != 0;
        if (ready && sameAs(current)) {
            result = 1;
            if (mServerRegistered.load()) {
                if (StopWorkers(false))
                    ScanFullBackupDB();
                else
                    result = 0;
            }
            if (result) RequestIntervalCheck();
        } else if (!ready && sameAs(named)) {
            // Its set-up failed (at the start, or the last time it was named): it is set up
            // again. Everything in it was accepted and stays; nothing is cleared.
            Mirel::LockReentrant g(mLock);
            ClearIntervals();
            if (SetupFolders(Mirel::Directory(path))) {
                ScanFullBackupDB();
                result = 1;
                RequestIntervalCheck();
            }
        } else if (!StopWorkers(false)) {
            IBS_DEBUG("SetBackupFolder: the workers did not stop; nothing changed");
        } else if (!CanTakeFolder(path)) {
            // The folder in service stays in service with everything it holds.
        } else {
            Mirel::LockReentrant g(mLock);
            ClearFolders();
            ClearIntervals();
            if (SetupFolders(Mirel::Directory(path))) {
                ScanFullBackupDB();
                result = 1;
                RequestIntervalCheck();
            }
        }
    }
    mServerRegistered.store(false);
    // Refused: the folder in service goes on, and its workers with it.
    if (result == 0) RequestIntervalCheck();
    return result;
}

bool IBSMgr::CanTakeFolder(const Mirel::UniversalPath& path) {
    std::string elsewhere;
    Mirel::Error probe = ProbeFolder(path, &elsewhere);
    if (probe.OK()) return true;
    IBS_DEBUG_WIDE(u"SetBackupFolder: " << path.GetUserEntryFormat() << u" cannot be used, error "
                                        << probe.Text());
    if (!elsewhere.empty()) {
        std::string root = path.Native();
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        ReportOtherFileSystem(elsewhere, root);
    } else {
        ReportEvent(Talon::Event::kFolderNotSetUp, path.GetUserEntryFormat(),
                    Mirel::unistring::NumToString(probe.GetError()));
    }
    return false;
}

void IBSMgr::Stop() {
    ++mStopping;  // for good: nothing wakes the workers again
    StopWorkers(true);
    Mirel::HBEngine::Shutdown();
    if (EventSink* sink = mSink.load()) sink->EndLink();
    if (CycleTrigger* t = mTrigger.load()) t->Stopped();
}

void IBSMgr::EndThreads() {
    EndWorkers();
    if (EventSink* sink = mSink.load()) {
        sink->EndLink();
        sink->Join();
    }
    mState.Stopped();
}
