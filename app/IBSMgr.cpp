// The manager: its parts wired, the service's start, the server's choice of backup folder,
// and the remote stop.
#include "app/IBSMgr.h"

#include <cstdlib>

#include "platform/engine/HBEngine.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/ServiceSetup.h"
#include "platform/support/Debug.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"

bool IBSMgr::Init(CycleTrigger& trigger, EventSink& sink) {
    Mirel::Env::Scope files(mEnv);
    if (!mPrefs.Open(mPrefsHandle, Talon::PrefKeys::Instance().GetDesignation()).OK()) {
        IBS_DEBUG("IBSMgr::Init can't read prefs");
        return false;
    }
    Connect(&trigger, &sink);
    CreateWorkers(Mirel::Machine::GetProcessorCount());

    std::int64_t limit = 0;
    if (mPrefs.GetPref(mPrefsHandle, Catalogue::kRejectedLimitPref, limit).OK() && limit >= 0)
        Talon::IBS_Config::SetRejectedLimit(static_cast<std::uint64_t>(limit));
    IBS_DEBUG("IBSMgr::Init: set-aside limit " << Talon::IBS_Config::GetRejectedLimit()
                                               << " bytes");

    // main has judged the file: a value out of range never gets here.
    Talon::Retention retention;
    std::int64_t value = 0;
    if (mPrefs.GetPref(mPrefsHandle, Talon::kPrefKeepRestorePoints, value).OK() && value >= 2)
        retention.count = value;
    if (mPrefs.GetPref(mPrefsHandle, Talon::kPrefKeepHours, value).OK() && value >= 0)
        retention.hours = value;
    mCycle.SetRetention(retention);
    IBS_DEBUG("IBSMgr::Init: keeps "
              << retention.count << " restore points whole"
              << (retention.hours
                      ? ", and those younger than " + std::to_string(retention.hours) + " hours"
                      : std::string()));

    // main has judged preference 84 and its credentials file.
    Mirel::unistring credentials;
    if (mPrefs.GetPref(mPrefsHandle, Talon::kPrefOffsiteCredentials, credentials).OK()) {
        OffsiteCopier::Settings copier;
        copier.credentials = Mirel::TrimBlanks(credentials.ToUTF8());
        Mirel::unistring prefix;
        if (mPrefs.GetPref(mPrefsHandle, Talon::kPrefOffsitePrefix, prefix).OK())
            copier.prefix = Mirel::TrimBlanks(prefix.ToUTF8());
        // main has refused a negative one.
        std::int64_t rate = 0;
        if (mPrefs.GetPref(mPrefsHandle, Talon::kPrefOffsiteBytesPerSecond, rate).OK() && rate > 0)
            copier.bytesPerSecond = static_cast<std::uint64_t>(rate);
        // The first wait after a failed push; the tests shorten it, as with the link check.
        if (const char* ms = std::getenv("VELLUMARK_OFFSITE_RETRY_MS")) {
            const long v = std::atol(ms);
            if (v > 0) {
                copier.firstDelay = std::chrono::milliseconds(v);
                copier.maxDelay = std::chrono::milliseconds(10 * v);
            }
        }
        copier.report = [this](Talon::Event event, const std::vector<std::string>& texts) {
            auto t = [&](std::size_t i) {
                return Mirel::unistring::FromUTF8(i < texts.size() ? texts[i] : std::string());
            };
            if (texts.size() <= 1)
                mCat.ReportEvent(event, t(0));
            else if (texts.size() == 2)
                mCat.ReportEvent(event, t(0), t(1));
            else
                mCat.ReportEvent(event, t(0), t(1), t(2));
        };
        if (!copier.credentials.empty()) {
            IBS_DEBUG("IBSMgr::Init: copies off the host with " << copier.credentials);
            mCopier.Start(copier);
        }
    }

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
        mCat.ReportEvent(Talon::Event::kFolderNotSetUp, text,
                         Mirel::unistring::NumToString(Mirel::kErrBadPathFormat));
        return true;
    }
    path.MakeFolder();
    Mirel::LockReentrant g(mCat.Lock());
    if (mIntake.SetupFolders(Mirel::Directory(path))) {
        ScanFullBackupDB();
        CheckIntervals();
    }
    return true;
}

std::int32_t IBSMgr::SetBackupFolder(const Mirel::unistring& pathText) {
    Mirel::Env::Scope files(mEnv);
    IBS_DEBUG_WIDE(u"SetBackupFolder: setting path to \"" << pathText << u"\"");
    std::int32_t result = 0;
    Mirel::UniversalPath path;
    Catalogue::StopScope stopping(mCat);
    if (pathText.empty()) {
        if (StopWorkers(false)) {
            Mirel::LockReentrant g(mCat.Lock());
            ClearFolders();
            mCat.ClearIntervals();
            result = 1;
        }
    } else if (!path.SetCommandLineFormat(pathText)) {
        IBS_DEBUG_WIDE(u"SetBackupFolder: invalid path (expected command line format) "
                       << pathText);
    } else {
        // The server names a folder, whether or not it exists yet.
        path.MakeFolder();
        auto sameAs = [this, &path](const Mirel::UniversalPath& other) {
            return !other.IsClear() &&
                   (path == other || mEnv.SameObject(path.Native(), other.Native()));
        };
        Mirel::UniversalPath current, named;
        {
            Mirel::LockReentrant g(mCat.Lock());
            current = mCat.GetBackupFolder().GetPath();
            named = mCat.NamedFolder();
        }
        const bool ready = mCat.FoldersReady();
        if (ready && sameAs(current)) {
            result = 1;
            if (mCat.ServerRegistered()) {
                if (StopWorkers(false))
                    ScanFullBackupDB();
                else
                    result = 0;
            }
            if (result) mCat.RequestIntervalCheck();
        } else if (!ready && sameAs(named)) {
            // Its set-up failed (at the start, or the last time it was named): it is set up
            // again. Everything in it was accepted and stays; nothing is cleared.
            Mirel::LockReentrant g(mCat.Lock());
            mCat.ClearIntervals();
            if (mIntake.SetupFolders(Mirel::Directory(path))) {
                ScanFullBackupDB();
                result = 1;
                mCat.RequestIntervalCheck();
            }
        } else if (!StopWorkers(false)) {
            IBS_DEBUG("SetBackupFolder: the workers did not stop; nothing changed");
        } else if (!mIntake.CanTakeFolder(path)) {
            // The folder in service stays in service with everything it holds.
        } else {
            Mirel::LockReentrant g(mCat.Lock());
            ClearFolders();
            mCat.ClearIntervals();
            if (mIntake.SetupFolders(Mirel::Directory(path))) {
                ScanFullBackupDB();
                result = 1;
                mCat.RequestIntervalCheck();
            }
        }
    }
    mCat.ServerNamedFolder();
    // Refused: the folder in service goes on, and its workers with it.
    if (result == 0) mCat.RequestIntervalCheck();
    return result;
}

void IBSMgr::Stop() {
    Mirel::Env::Scope files(mEnv);
    mCat.StopForGood();  // nothing wakes the workers again
    StopWorkers(true);
    Mirel::HBEngine::Shutdown();
    if (EventSink* sink = mCat.Sink()) sink->EndLink();
    if (CycleTrigger* t = mCat.Trigger()) t->Stopped();
}

void IBSMgr::EndThreads() {
    Mirel::Env::Scope files(mEnv);
    mCopier.Stop();
    EndWorkers();
    if (EventSink* sink = mCat.Sink()) {
        sink->EndLink();
        sink->Join();
    }
    mCat.State().Stopped();
}

IBSMgr::IBSMgr(Mirel::Env& env)
    : mEnv(env), mCat(env), mIntake(mCat, env), mPool(mCat, env), mCycle(mCat, mPool, env) {}

IBSMgr::~IBSMgr() {
    Mirel::Env::Scope files(mEnv);
    mCycle.CancelRetries();  // nothing fires into a manager that is going
    mPool.Delete();          // each worker ends after its current log
}

void IBSMgr::ScanFullBackupDB() {
    Mirel::Env::Scope files(mEnv);
    mIntake.ScanFullBackupDB([this] { mCycle.StartInterval(); });
}

void IBSMgr::ClearFolders() {
    Mirel::Env::Scope files(mEnv);
    mIntake.ClearFolders();
    // A retry was for this folder's interval; the next folder starts without one.
    mCycle.RetrySucceeded();
}

bool IBSMgr::StopWorkers(bool stop) {
    Mirel::Env::Scope files(mEnv);
    if (stop)
        mPool.Quit();
    else
        mPool.Abort();
    // A worker sees the abort within a few hundred pages; a stop waits for as long as it
    // takes, a folder change only so long and then gives up.
    // Every item out counts, whatever catalogue it came from: a rebuilt catalogue no longer
    // shows a copy that a worker still writes.
    const std::uint64_t start = Mirel::Tick::CurrentTick();
    const bool idle = mCat.WaitForItems(stop ? UINT64_MAX : mAbortWaitMs);
    IBS_DEBUG("StopWorkers: waited " << Mirel::Tick::DiffSecs(start) << " seconds for workers to "
                                     << (stop ? "Stop" : "Abort") << ", result " << (idle ? 1 : 0));
    return idle;
}
