// The backup folder's layout: set-up and wiping of the working folders.
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "intake/Intake.h"
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
    if (Mirel::Env::Current().Probe(dir.GetPath().Native()).isLink)
        return Mirel::Error(Mirel::kErrIsALink);
    return dir.CreateIfNotExists();
}

std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Uploads are moved into the in-progress folder and that folder renamed into a last-good
// one: across file systems neither can be done. 0, or 20304 with the folder that is
// elsewhere in `failing`.
int CheckOneFileSystem(const std::string& root, std::string& failing) {
    Mirel::Os::Info home;
    if (int rc = Mirel::Env::Current().Stat(root + "/.", home).GetError())
        return rc;  // the folder, links followed
    std::vector<std::string> parts;
    for (const Mirel::unistring* name :
         {&IBS_Config::sChangesFolderName, &IBS_Config::sCopiesFolderName,
          &IBS_Config::sInProgressFolderName})
        parts.push_back(root + "/" + name->ToUTF8());
    for (const Mirel::Directory& d : Talon::BackupFolder(IBS_Config::sLastGoodFolderPrefix)
                                         .GetList(Mirel::UniversalPath::Folder(root)))
        parts.push_back(Trimmed(d.GetPath().Native()));
    for (const std::string& p : parts) {
        Mirel::Os::Info info = Mirel::Env::Current().Probe(p);
        if (info.exists && info.isDir && info.dev != home.dev) {
            failing = p;
            return Mirel::kErrCrossDevice;
        }
    }
    return 0;
}
// A temporary file of a service process that ended before it renamed it into place:
// ".ibs-<pid>-<n>.tmp" of another process (a process never writes one of another's), or
// the failed list's temporary name.
bool StaleTemporary(const std::string& name) {
    if (name == IBS_Config::sFailedListName.ToUTF8() + ".tmp") return true;
    const std::string head = ".ibs-", tail = ".tmp";
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string middle = name.substr(head.size(), name.size() - head.size() - tail.size());
    const std::size_t dash = middle.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == middle.size()) return false;
    for (std::size_t i = 0; i < middle.size(); ++i)
        if (i != dash && (middle[i] < '0' || middle[i] > '9')) return false;
    return middle.substr(0, dash) != std::to_string(::getpid());
}

void RemoveStaleTemporaries(const std::string& folder) {
    std::vector<Mirel::Os::DirEntry> entries;
    if (Mirel::Env::Current().ListDir(folder, entries).GetError() != 0) return;
    for (const auto& e : entries) {
        if (!StaleTemporary(e.name)) continue;
        const std::string path = folder + "/" + e.name;
        if (!Mirel::Env::Current().Probe(path).isFile) continue;
        int rc = Mirel::Env::Current().DeleteFile(path).GetError();
        IBS_DEBUG_WIDE(u"SetupFolders: removed the temporary file of an earlier run, result "
                       << Mirel::ErrorText(rc) << u": " << Mirel::unistring::FromUTF8(path));
    }
}
}  // namespace

void Intake::ReportOtherFileSystem(const std::string& folder, const std::string& backup) {
    IBS_DEBUG_WIDE(u"SetupFolders: " << Mirel::unistring::FromUTF8(folder)
                                     << u" is on another file system than the backup folder "
                                     << Mirel::unistring::FromUTF8(backup));
    mCat.ReportEvent(Talon::Event::kOtherFileSystem, Mirel::unistring::FromUTF8(folder),
                     Mirel::unistring::FromUTF8(backup), Num(Mirel::kErrCrossDevice));
}

bool Intake::PartsInside(const Mirel::Directory& root, const Mirel::UniversalPath& path,
                         std::string& base, std::string& rest,
                         std::vector<std::string>& parts) const {
    base = root.GetPath().Native();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const std::string text = path.Native();
    rest.clear();
    if (text.size() > base.size() + 1 && text.compare(0, base.size() + 1, base + "/") == 0) {
        rest = text.substr(base.size() + 1);
    } else {
        // The server may reach the backup folder through another path (a link, a bind
        // mount): find the ancestor that is the same folder.
        for (std::size_t cut = text.rfind('/'); cut != std::string::npos && cut > 0;
             cut = text.rfind('/', cut - 1)) {
            if (mEnv.SameObject(text.substr(0, cut), base)) {
                rest = text.substr(cut + 1);
                break;
            }
        }
    }
    if (rest.empty() || path.GetName().empty()) return false;
    return Mirel::ComponentsBelow(base, base + "/" + rest, parts);
}

bool Intake::ResolveInside(const Mirel::Directory& root, const Mirel::UniversalPath& path,
                           Mirel::UniversalPath& canonical, int& error) const {
    std::string base, rest;
    std::vector<std::string> parts;
    error = Mirel::kErrFileNotTaken;
    if (!PartsInside(root, path, base, rest, parts)) return false;
    if (int rc = mEnv.CheckRealPath(base, parts, true).GetError()) {
        error = rc;
        return false;
    }
    canonical = Mirel::UniversalPath::FromNative(base + "/" + rest);
    error = 0;
    return true;
}

bool Intake::SetupFolders(const Mirel::Directory& dir) {
    int error = 0;
    Mirel::LockReentrant g(mCat.mLock);
    ForgetRedoFolder();
    mCat.mFoldersReady.store(0);
    // The ends another folder's server named say nothing of this one's.
    if (dir.GetPath() != mCat.mNamedFolder) mCat.mNamedEnd = 0;
    mCat.mNamedFolder = dir.GetPath();
    Mirel::Directory failing = dir;
    if (Mirel::Error e = dir.CreateIfNotExists(); !e.OK()) {
        error = e.GetError();
    } else {
        mCat.mBackupFolder = dir;
        Talon::BackupFolder lastGood(IBS_Config::sLastGoodFolderPrefix);
        if (!lastGood.GetLatest(mCat.mBackupFolder.GetPath(), mCat.mLastGoodFolder))
            mCat.mLastGoodFolder.Clear();
        std::pair<const Mirel::unistring*, Mirel::Directory*> pairs[] = {
            {&IBS_Config::sInProgressFolderName, &mCat.mInProgressFolder},
            {&IBS_Config::sChangesFolderName, &mCat.mChangesFolder},
            {&IBS_Config::sCopiesFolderName, &mCat.mCopiesFolder},
        };
        std::sort(std::begin(pairs), std::end(pairs),
                  [](const auto& a, const auto& b) { return *a.first < *b.first; });
        for (auto& [name, field] : pairs) {
            field->Set(mCat.mBackupFolder);
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
    std::string elsewhere;
    if (error == 0)
        error = CheckOneFileSystem(Trimmed(mCat.mBackupFolder.GetPath().Native()), elsewhere);
    if (error == 0) {
        {
            // A stop or a crash between writing a list aside and renaming it into place.
            // Every writer of the failed list holds this lock.
            Mirel::LockMutex f(mCat.mFailedLock);
            RemoveStaleTemporaries(Trimmed(mCat.mBackupFolder.GetPath().Native()));
        }
        mCat.LoadFailedList();
        // A server that registered before the folder could be set up (its volume was
        // read-only at start) heard of none of them: a notification a crash lost would
        // never come again. It may hear of one twice.
        if (mCat.mServerRegistered.load()) {
            Mirel::LockMutex f(mCat.mFailedLock);
            for (const auto& [uuid, number] : mCat.mFailedDatabases)
                if (number != Mirel::kErrReplaced) mCat.NotifyFailed(uuid);
        }
        mCat.LoadUnwrittenList();
        mCat.LoadUploadsAfter();
        mCat.mFoldersReady.store(1);
        std::string newest;
        std::uint64_t newestEnd = 0;
        if (!mCat.mLastGoodFolder.IsClear()) {
            const Mirel::unistring name = mCat.mLastGoodFolder.GetChildName();
            newest = name.ToUTF8();
            newestEnd = Talon::BackupFolder::GetUTCFromTimestamp(
                name.substr(IBS_Config::sLastGoodFolderPrefix.size() + 1));
        }
        const std::string root = Trimmed(mCat.mBackupFolder.GetPath().Native());
        mCat.mState.SetFolder(root, newest, newestEnd);
    } else if (error == Mirel::kErrCrossDevice && !elsewhere.empty()) {
        mCat.mState.SetFolder(std::string(), std::string(), 0);
        ReportOtherFileSystem(elsewhere, Trimmed(mCat.mBackupFolder.GetPath().Native()));
    } else {
        mCat.mState.SetFolder(std::string(), std::string(), 0);
        mCat.ReportEvent(Talon::Event::kFolderNotSetUp, failing.GetPath().GetUserEntryFormat(),
                         Num(error));
    }
    IBS_DEBUG_WIDE(u"SetupFolders err " << Mirel::ErrorText(error) << u", parent "
                                        << dir.GetPath().GetUserEntryFormat());
    return error == 0;
}

void Intake::ClearFolders() {
    Mirel::LockReentrant g(mCat.mLock);
    ForgetRedoFolder();
    // A folder whose set-up failed was never in service: it is forgotten, never cleared
    // (what it holds was accepted in an earlier run).
    if (mCat.mFoldersReady.load() && mCat.mBackupFolder.GetPath().Exists()) {
        // Only what the service made goes: its working folders and its list of failed
        // databases. Last-good folders, set-aside files and anything else in the backup
        // folder stay.
        int error = 0;
        Mirel::Directory latest;
        Talon::BackupFolder lastGood(IBS_Config::sLastGoodFolderPrefix);
        bool found = lastGood.GetLatest(mCat.mBackupFolder.GetPath(), latest);
        for (Mirel::Directory* folder :
             {&mCat.mInProgressFolder, &mCat.mChangesFolder, &mCat.mCopiesFolder}) {
            if (folder->IsClear() || !mEnv.Probe(folder->GetPath().Native()).exists) continue;
            Mirel::Error e = folder->DeleteAll();
            if (!e.OK()) {
                IBS_DEBUG_WIDE(u"ClearFolders: DeleteAll error "
                               << e.Text() << u" on " << folder->GetPath().GetUserEntryFormat());
                if (error == 0) error = e.GetError();
            }
        }
        {
            Mirel::LockMutex f(mCat.mFailedLock);
            mCat.mFailedDatabases.clear();
            mCat.mFailedSince.clear();
            mCat.mLeftUploads.clear();
            mCat.SaveFailedList();
        }
        mCat.ClearUnwrittenList();
        mCat.PruneUploadsAfter(kOpenInterval);
        mCat.SaveTaken();
        mCat.mState.Leave(true);
        if (error == 0 && found)
            mCat.ReportEvent(Talon::Event::kFoldersClearedKeptLastGood,
                             latest.GetPath().GetUserEntryFormat());
        else if (error == 0)
            mCat.ReportEvent(Talon::Event::kFoldersCleared,
                             mCat.mBackupFolder.GetPath().GetUserEntryFormat());
        else
            mCat.ReportEvent(Talon::Event::kFoldersNotCleared,
                             mCat.mBackupFolder.GetPath().GetUserEntryFormat(), Num(error));
    }
    mCat.mState.Leave(false);
    mCat.mFoldersReady.store(0);
    mCat.mKeptDonePath.Clear();
    mCat.mKeptDoneEnd = 0;
    mCat.mNamedEnd = 0;
    mCat.mNamedFolder.Clear();
    mCat.mBackupFolder.Clear();
    mCat.mLastGoodFolder.Clear();
    mCat.mInProgressFolder.Clear();
    mCat.mChangesFolder.Clear();
    mCat.mCopiesFolder.Clear();
    {
        Mirel::LockMutex u(mCat.mUnwrittenLock);
        mCat.mUnwritten.clear();
    }
    mCat.mUploadsAfter.clear();
    {
        Mirel::LockMutex f(mCat.mFailedLock);
        mCat.mFailedDatabases.clear();
        mCat.mFailedSince.clear();
        mCat.mLeftUploads.clear();
    }
    mCat.mIntervalEnd.store(0);
}

Mirel::Error Intake::ProbeFolder(const Mirel::UniversalPath& folder, std::string* failing) const {
    // Creates what is missing, checks it can be used, and takes back what it created when
    // it cannot: a folder that does not work changes nothing.
    std::string path = folder.Native();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::vector<std::string> created;
    auto undo = [this, &created] {
        for (auto it = created.rbegin(); it != created.rend(); ++it) mEnv.RemoveDir(*it);
    };
    std::vector<std::string> missing;
    for (std::string p = path; !p.empty() && p != "/"; p = Mirel::Os::ParentOf(p)) {
        Mirel::Os::Info info = mEnv.Probe(p);
        if (info.exists) break;
        missing.push_back(p);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (int rc = mEnv.CreateDir(*it).GetError()) {
            undo();
            return Mirel::Error(rc);
        }
        created.push_back(*it);
    }
    if (!mEnv.IsFolder(path)) {
        undo();
        return Mirel::Error(Mirel::kErrNotADirectory);
    }
    for (const Mirel::unistring* name :
         {&IBS_Config::sChangesFolderName, &IBS_Config::sCopiesFolderName,
          &IBS_Config::sInProgressFolderName}) {
        std::string sub = path + "/" + name->ToUTF8();
        Mirel::Os::Info info = mEnv.Probe(sub);
        int rc = 0;
        if (info.exists && !info.isDir) {
            rc = info.isLink ? Mirel::kErrIsALink : Mirel::kErrNotADirectory;
        } else if (!info.exists) {
            rc = mEnv.CreateDir(sub).GetError();
            if (rc == 0) created.push_back(sub);
        }
        if (rc == 0 && !Mirel::Directory(Mirel::UniversalPath::Folder(sub)).IsWriteable(false))
            rc = Mirel::kErrAccessDenied;
        if (rc != 0) {
            undo();
            return Mirel::Error(rc);
        }
    }
    std::string elsewhere;
    if (int rc = CheckOneFileSystem(path, elsewhere)) {
        undo();
        if (failing) *failing = elsewhere;
        return Mirel::Error(rc);
    }
    return Mirel::Error();
}

bool Intake::CanTakeFolder(const Mirel::UniversalPath& path) {
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
        mCat.ReportEvent(Talon::Event::kFolderNotSetUp, path.GetUserEntryFormat(),
                         Mirel::unistring::NumToString(probe.GetError()));
    }
    return false;
}
