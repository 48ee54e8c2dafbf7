// Removing what the cycle no longer needs, recording failed databases, and the dump.
#include "catalogue/Catalogue.h"
#include "platform/framework/EventHelper.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "platform/framework/RemoteContainerMgr.h"
#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "platform/support/Env.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"

using Talon::IBS_Config;

namespace {
constexpr std::uint64_t kOrphanAge = 12000000000ULL;  // 200 minutes
}

void Catalogue::DeleteInterval(std::uint64_t endUTC) {
    Mirel::LockReentrant g(mLock);
    mIntervals.erase(endUTC);
}

bool Catalogue::DeleteIntervalIfEmpty(const Mirel::UniversalPath& folder, std::uint64_t endUTC) {
    Mirel::Directory dir(folder);
    if (!dir.Exists()) return true;
    std::uint64_t utc = 0;
    Talon::Error e = IBS_Config::GetIncrementalIntervalDone(dir.GetPath(), utc, nullptr);
    if (e.GetError() != Mirel::kErrNoIntervalDone && !(e.OK() && endUTC != 0 && utc <= endUTC))
        return false;
    if (e.GetError() == Mirel::kErrNoIntervalDone) {
        // Without its interval-done file it may be a folder the server is still writing: only
        // one named for a start before the end it goes with is that interval's (or older).
        const std::uint64_t started = IBS_Config::RetrieveUTCFromRedoFolderName(dir.GetChildName());
        if (endUTC == 0 || started == 0 || started >= endUTC) {
            IBS_DEBUG_WIDE(
                u"DeleteIntervalIfEmpty: no interval-done file, and not a folder of an "
                u"interval ending "
                << EndText(endUTC) << u": left in place, " << folder.GetUserEntryFormat());
            return false;
        }
    }
    Mirel::FileExtensionEmptyCheckFunctor logs(IBS_Config::sRedoLogExtension);
    dir.ProcessFiles(logs, 1);
    if (!logs.IsEmpty()) return false;
    if (utc != 0) {
        // An interval that still holds a database (a copy, an upload, logs to apply) or a
        // last-good folder stays: its redo folder names it after a restart.
        Mirel::LockReentrant g(mLock);
        auto it = mIntervals.find(utc);
        if (it != mIntervals.end()) {
            if (!it->second.databases.empty() || !it->second.backup.IsClear()) return false;
        }
        DeleteInterval(utc);
    }
    Mirel::Error d = dir.DeleteAll();
    IBS_DEBUG_WIDE(u"DeleteIntervalIfEmpty: error " << d.Text() << u", endUTC " << EndText(utc)
                                                    << u", dir "
                                                    << dir.GetPath().GetUserEntryFormat());
    return true;
}

bool Catalogue::RetireInterval(const Mirel::UniversalPath& folder, std::uint64_t key) {
    Mirel::LockReentrant g(mLock);
    auto it = mIntervals.find(key);
    if (it != mIntervals.end()) {
        if (!it->second.databases.empty() || !it->second.backup.IsClear()) return false;
    }
    if (folder.IsClear() || DeleteIntervalIfEmpty(folder, key)) {
        DeleteInterval(key);
        return true;
    }
    // Logs the catalogue does not hold (refused, or not announced yet) keep the redo folder;
    // its interval-done file goes all the same, or a restart would bring back an interval
    // that is over and that nothing would ever finish.
    for (const auto& d : IBS_Config::ListIntervalDoneFiles(folder)) {
        std::uint64_t utc = 0;
        if (!IBS_Config::GetIncrementalIntervalDone(d, utc, nullptr).OK() || utc != key) continue;
        Mirel::Error e = d.Delete();
        IBS_DEBUG_WIDE(u"RetireInterval: interval "
                       << EndText(key) << u" is over; logs it does not hold keep "
                       << folder.GetUserEntryFormat() << u", its interval-done file deleted, error "
                       << e.Text());
        if (!e.OK()) return false;
    }
    DeleteInterval(key);
    return true;
}

void Catalogue::CleanupOrphanedIntervalFolders() {
    std::uint64_t cutoff = 0;
    {
        Mirel::LockReentrant g(mLock);
        if (!mIntervals.empty()) {
            std::uint64_t k = mIntervals.begin()->first;
            if (k >= kOrphanAge + 1 && k <= UINT64_MAX - 1) cutoff = k - kOrphanAge;
        }
    }
    if (cutoff == 0 || mIntervalEnd.load() == 0) return;
    std::vector<Mirel::UniversalPath> folders;
    Mirel::BuildUniversalPathListBasedOnFileNamePatternFunctor f(
        folders, IBS_Config::GetRedoFolderAppendixName(), 0, Mirel::kListFolders, false);
    mChangesFolder.ProcessFiles(f, 1);
    for (const auto& p : folders) {
        Mirel::Directory dir(p);
        std::uint64_t t = IBS_Config::RetrieveUTCFromRedoFolderName(dir.GetChildName());
        if (t != 0 && t < cutoff && dir.IsEmpty() && dir.Delete().OK())
            IBS_DEBUG_WIDE(u"CleanupOrphanedIntervalFolders() removed: " << p.GetUserEntryFormat());
    }
}

Mirel::Error Catalogue::DeleteRedoLogFile(const Mirel::UniversalPath& path) {
    // A local user may have put a link in place of the log's folder since it was taken: the
    // folder is opened following no link, and the log removed from the folder opened, so
    // nothing outside the backup folder goes. A log that is not below the changes folder is
    // not removed at all.
    std::string base = mChangesFolder.GetPath().Native();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const std::string native = path.Native();
    std::vector<std::string> parts;
    if (!Mirel::ComponentsBelow(base, native, parts))
        return Mirel::Error(Mirel::kErrBadPathFormat, "delete", native);
    const std::string name = parts.back();
    parts.pop_back();
    int dir = -1;
    if (Mirel::Error e = mEnv.OpenRealFolder(base, parts, dir); !e.OK()) return e;
    // Its container folder is named by its path alone: the log is not opened again.
    const Mirel::Directory container(Mirel::ContainerFolderOf(path));
    std::vector<std::string> containerParts = parts;
    containerParts.push_back(container.GetChildName().ToUTF8());
    if (mEnv.CheckRealPath(base, containerParts, false).OK()) container.DeleteAll();
    Mirel::Error e = mEnv.DeleteFileAt(dir, name, native);
    mEnv.Close(dir);
    return e;
}

Mirel::Error Catalogue::DeleteRedoLogs(RedoLogSet& logs, std::uint64_t bound) {
    Mirel::Error result;
    std::set<Mirel::UniversalPath> folders;
    auto it = logs.begin();
    for (; it != logs.end() && it->endUTC <= bound; ++it) {
        Mirel::Error e = DeleteRedoLogFile(it->path);
        if (e.OK()) {
            Mirel::UniversalPath folder = it->path;
            folder.SetName(Mirel::unistring());
            folders.insert(folder);
        } else if (result.OK()) {
            result = e;
        }
    }
    if (it != logs.begin()) {
        for (const auto& f : folders) Mirel::Directory(f).Delete();
        logs.erase(logs.begin(), it);
    }
    return result;
}

void Catalogue::DeleteDatabaseItem(Interval& interval, DatabaseItem& item) {
    Talon::Error result;
    DeleteRedoLogs(item.logs, UINT64_MAX);
    item.logs.clear();
    if (item.upload && !item.file.path.IsClear()) {
        // An upload nobody needs any more lives in the copies folder, not in a last-good one.
        result = DeleteFromParent(item, mCopiesFolder.GetPath());
    } else if (!interval.backup.IsClear()) {
        result = DeleteFromParent(item, interval.backup.GetPath());
        if (result.OK()) {
            // Only the interval's last copy can leave its folder with nothing but the
            // manifest: looking after every copy would list the folder once per database.
            if (interval.databases.size() == 1 &&
                Talon::Manifest::DeleteFolderIfOnlyManifest(interval.backup).OK())
                interval.backup.Clear();
        } else if (item.file.reserved != mIntervalEnd.load()) {
            Mirel::UniversalPath p = item.file.path;
            p.SetAbsoluteFrom(interval.backup.GetPath());
            ReportDatabaseEvent(Talon::Event::kCopyNotDeleted, item.file.uuid, p.GetName(),
                                {p.GetName(), p.GetUserEntryFormat(),
                                 Mirel::unistring::NumToString(result.GetError())});
            item.file.reserved = mIntervalEnd.load();
        }
    }
    if (result.OK()) {
        Mirel::unistring key = item.file.uuid;  // item dies with the erase
        if (key.empty() || !interval.databases.count(key)) {
            for (auto it = interval.databases.begin(); it != interval.databases.end(); ++it)
                if (&it->second == &item) {
                    key = it->first;
                    break;
                }
        }
        interval.databases.erase(key);
    }
}

void Catalogue::DropInterval(std::uint64_t key) {
    Mirel::LockReentrant g(mLock);
    auto it = mIntervals.find(key);
    if (it == mIntervals.end() || key == kOpenInterval || key == mIntervalEnd.load()) return;
    Interval& O = it->second;
    if (!O.databases.empty()) return;
    // Its last-good folder goes when nothing but its manifest is left in it (a restart finds
    // it so when a stop came between its last copy and the folder); a file someone else put
    // there keeps the folder, but the catalogue forgets it.
    if (!O.backup.IsClear()) Talon::Manifest::DeleteFolderIfOnlyManifest(O.backup);
    O.backup.Clear();
    RetireInterval(O.donePath, key);
}

bool Catalogue::IsWaitingUpload(const DatabaseItem& item) const {
    // Only a real upload still lying in the copies folder: a flag that outlived its file
    // (a move that failed) must not pass for a newer full backup.
    return item.upload && !item.file.path.IsClear() && !item.file.path.IsRelative() &&
           mCopiesFolder.GetPath().IsMyChild(item.file.path) &&
           mEnv.Probe(item.file.path.Native()).isFile;
}

void Catalogue::NotifyFailed(const Mirel::unistring& uuid) {
    if (EventSink* sink = mSink.load()) sink->DatabaseFailed(uuid);
}

int Catalogue::CleanupFailedDatabases(
    std::uint64_t startKey, const FailedList& failed,
    const std::function<void(const Mirel::unistring&)>& reportReplaced, bool uploadsExcuse) {
    std::set<std::uint64_t> emptied;
    int unrecorded = 0;
    for (const auto& [uuid, number] : failed) {
        // A newer full backup already waiting makes the failure moot: the database comes
        // back with it. Otherwise the failure is recorded (durably) before anything of the
        // database is set aside, so a restart in between cannot take its copy for a good one.
        auto uploadAt = mIntervals.end();
        for (auto x = mIntervals.lower_bound(startKey); uploadsExcuse && x != mIntervals.end();
             ++x) {
            auto found = x->second.databases.find(uuid);
            if (found != x->second.databases.end() && IsWaitingUpload(found->second)) {
                uploadAt = x;
                break;
            }
        }
        if (uploadAt == mIntervals.end()) {
            Mirel::LockMutex f(mFailedLock);
            if (mFailedDatabases.emplace(uuid, number).second) {
                mFailedSince[uuid] = Mirel::DateTime::NowUTC();
                // The event goes out once the record is written, just before it takes the
                // list's name: a kill after the rename must not lose it (the restart finds
                // the database recorded and decides nothing again), and a record that
                // cannot be written is not reported. A replaced database is reported by its
                // replacement (event 0x41000332): the server dropped it and needs no new
                // upload of it.
                auto report = [&] {
                    if (number == Mirel::kErrReplaced) {
                        if (reportReplaced) reportReplaced(uuid);
                    } else {
                        ReportDatabaseEvent(Talon::Event::kDatabaseFailed, uuid, DatabaseName(uuid),
                                            {uuid, Mirel::unistring::NumToString(number)});
                    }
                };
                if (int rc = SaveFailedList(report)) {
                    // Not on disk: a restart would take its older copy for current. Its logs
                    // stay, and the caller publishes nothing until the record is made.
                    mFailedDatabases.erase(uuid);
                    mFailedSince.erase(uuid);
                    unrecorded = rc;
                    continue;
                }
                IBS_DEBUG_WIDE(u"CleanupFailedDatabases: " << uuid << u" failed with "
                                                           << Mirel::ErrorText(number)
                                                           << u"; its newest last-good copy stays");
                // Once per failure; RegisterServer repeats it for a server that missed it.
                if (number != Mirel::kErrReplaced) NotifyFailed(uuid);
            }
        }
        // Uploads in older intervals are states before the failure: brought back, they
        // would pass for the new upload the server is asked for.
        if (uploadAt == mIntervals.end()) {
            for (auto x = mIntervals.begin(); x != mIntervals.end() && x->first < startKey; ++x) {
                auto found = x->second.databases.find(uuid);
                if (found == x->second.databases.end() || !found->second.upload ||
                    found->second.file.path.IsClear() || found->second.owned)
                    continue;
                Talon::Error e = DeleteFromParent(found->second, mCopiesFolder.GetPath());
                IBS_DEBUG_WIDE(
                    u"CleanupFailedDatabases: upload older than the failure deleted, "
                    u"result "
                    << e.Text() << u": " << found->second.file.path.GetUserEntryFormat());
                found->second.upload = false;
                found->second.file.Clear();
            }
        }
        // Its logs up to the upload can no longer be applied; they are set aside (never
        // deleted).
        for (auto x = mIntervals.lower_bound(startKey); x != uploadAt; ++x) {
            auto found = x->second.databases.find(uuid);
            if (found == x->second.databases.end() || found->second.owned) continue;
            for (const FileInfo& log : found->second.logs)
                if (mEnv.Probe(log.path.Native()).isFile)
                    MoveInvalidRedo(log.path, false, number, SetAside::kWithItsDatabase);
            if (found->second.held) {
                // Its unchanged copy stays, to be published with the interval.
                found->second.logs.clear();
                found->second.err = Talon::Error();
                continue;
            }
            // An upload that waits leaves the catalogue but not the copies folder: an older
            // state once another upload is accepted, which deletes it then.
            if (IsWaitingUpload(found->second)) mLeftUploads[uuid].insert(found->second.file.path);
            x->second.databases.erase(found);
            if (x->first != kOpenInterval && x->first != mIntervalEnd.load())
                emptied.insert(x->first);
        }
    }
    for (std::uint64_t k : emptied) {
        auto x = mIntervals.find(k);
        if (x == mIntervals.end() || !x->second.backup.IsClear()) continue;
        Mirel::UniversalPath done = x->second.donePath;
        // The newest interval keeps its interval-done file until a later one starts: nothing
        // else says how far the server went, and an interval-done file ending before it would
        // be taken.
        bool newest = !done.IsClear() && x->second.databases.empty();
        for (auto later = std::next(x); newest && later != mIntervals.end(); ++later)
            newest = later->first == kOpenInterval;
        if (!newest) {
            RetireInterval(done, k);
            continue;
        }
        KeepEmptiedIntervalDone(k);
    }
    return unrecorded;
}

void Catalogue::KeepEmptiedIntervalDone(std::uint64_t key) {
    Mirel::LockReentrant g(mLock);
    auto x = mIntervals.find(key);
    if (x == mIntervals.end()) return;
    // One is kept, the newest: an older one says nothing more.
    if (mKeptDoneEnd > key) {
        RetireInterval(x->second.donePath, key);
        return;
    }
    if (mKeptDoneEnd != 0 && mKeptDoneEnd < key) RetireInterval(mKeptDonePath, mKeptDoneEnd);
    mKeptDonePath = x->second.donePath;
    mKeptDoneEnd = key;
    DeleteInterval(key);
}

int Catalogue::FailForLink(std::uint64_t startKey, const FailedList& failed) {
    Mirel::LockReentrant g(mLock);
    mLinkStart = startKey;
    mLinkFailed = failed;
    return RetryLinkFailures();
}

std::string Catalogue::KeptCopiesFolder() const {
    return mBackupFolder.MakeUniversalPath(IBS_Config::sKeptFolderName).Native();
}

bool Catalogue::HasLastGoodCopy(const Mirel::unistring& uuid) const {
    for (const auto& [key, interval] : mIntervals) {
        if (interval.backup.IsClear()) continue;
        auto found = interval.databases.find(uuid);
        if (found != interval.databases.end() && !found->second.file.path.IsClear()) return true;
    }
    return false;
}

int Catalogue::KeepCopy(const Mirel::UniversalPath& from, const Mirel::unistring& uuid) {
    const std::string kept = KeptCopiesFolder();
    const std::string folder = kept + "/" + uuid.ToUTF8();
    for (const std::string& f : {kept, folder}) {
        Mirel::Error e = mEnv.CreateDir(f);
        if (!e.OK() && e.GetError() != Mirel::kErrAlreadyExists) return e.GetError();
        // Never through a link someone left in its place: the copy would go outside.
        if (!mEnv.Probe(f).isDir) {
            IBS_DEBUG("KeepCopy: not a real folder, nothing kept there: " << f);
            return Mirel::kErrIsALink;
        }
    }
    // Its container folder goes first: the copy's own move is what makes it kept, and a retry
    // finds the copy still in place until then.
    const Mirel::UniversalPath rc = Mirel::ContainerFolderOf(from);
    const std::string rcTo = folder + "/" + rc.GetName().ToUTF8();
    if (mEnv.Probe(rc.Native()).exists) {
        if (mEnv.Probe(rcTo).exists)
            if (Mirel::Error e = Mirel::Directory(Mirel::UniversalPath::Folder(rcTo)).DeleteAll();
                !e.OK())
                return e.GetError();
        if (Mirel::Error e = mEnv.RenameDurable(rc.Native(), rcTo); !e.OK()) return e.GetError();
    }
    const std::string to = folder + "/" + from.GetName().ToUTF8();
    Mirel::Error e = mEnv.ReplaceDurable(from.Native(), to);
    if (e.OK()) e = mEnv.SyncDir(Mirel::Os::ParentOf(from.Native()));
    if (!e.OK()) {
        IBS_DEBUG_WIDE(u"KeepCopy: " << from.GetUserEntryFormat() << u" could not be kept: "
                                     << e.Text());
        return e.GetError();
    }
    IBS_DEBUG_WIDE(u"KeepCopy: the only copy of " << uuid << u" is kept as "
                                                  << Mirel::unistring::FromUTF8(to));
    return 0;
}

int Catalogue::KeepWaitingCopies() {
    Mirel::LockReentrant g(mLock);
    for (auto k = mKeepFiles.begin(); k != mKeepFiles.end();) {
        if (int rc = KeepCopy(k->first, k->second)) return rc;
        k = mKeepFiles.erase(k);
    }
    return 0;
}

int Catalogue::RetryLinkFailures() {
    Mirel::LockReentrant g(mLock);
    if (int rc = KeepWaitingCopies()) return rc;
    if (mLinkFailed.empty()) return 0;
    for (const auto& [uuid, number] : mLinkFailed) {
        if (HasLastGoodCopy(uuid)) continue;  // its newest good copy is in that folder
        for (auto& [key, interval] : mIntervals) {
            auto found = interval.databases.find(uuid);
            if (!interval.backup.IsClear() || found == interval.databases.end() ||
                !HasInProgressCopy(found->second))
                continue;
            // The server's own bytes, perhaps rolled on by logs: consistent, never certified.
            Mirel::UniversalPath from = found->second.file.path;
            from.SetAbsoluteFrom(mInProgressFolder.GetPath());
            if (int rc = KeepCopy(from, uuid)) return rc;
            found->second.file.Clear();
        }
    }
    const int rc = CleanupFailedDatabases(mLinkStart, mLinkFailed, {}, false);
    if (rc == 0) mLinkFailed.clear();
    return rc;
}

void Catalogue::DumpIntervals() {
    Mirel::LockReentrant g(mLock);
    IBS_DEBUG("DumpIntervals: mIntervalEnd " << EndText(mIntervalEnd.load()));
    if (!Mirel::gDebugger.HasBit(57) || !Mirel::gDebugger.HasBit(33) || mIntervals.empty()) return;
    for (auto it = mIntervals.rbegin(); it != mIntervals.rend(); ++it) {
        Interval& interval = it->second;
        IBS_DEBUG_WIDE(u"   Interval: mDoneUTC "
                       << EndText(interval.mDoneUTC) << u" donePath '"
                       << interval.donePath.GetUserEntryFormat() << u"' backup '"
                       << interval.backup.GetPath().GetUserEntryFormat() << u"'");
        for (const auto& [uuid, item] : interval.databases) {
            Mirel::unistring t;
            if (item.owned) t += u" *Owned";
            if (item.upload) t += u" *Upload";
            if (item.pfailed) t += u" *Pfailed";
            if (!item.err.OK()) t += u" *Err" + Mirel::unistring::FromUTF8(item.err.Text());
            if (item.lastLogMSN) t += u" *LastLog" + Mirel::unistring::NumToString(item.lastLogMSN);
            if (item.prevEnd)
                t += u" *PrevEnd " + Mirel::unistring::FromUTF8(EndText(item.prevEnd));
            if (item.held) t += u" *Held";
            t += u" " + item.file.Text();
            if (item.file.uuid.empty()) t += u" UUID:" + uuid;
            IBS_DEBUG_WIDE(u"      dbase:" << t);
            for (const FileInfo& log : item.logs)
                IBS_DEBUG_WIDE(u"        Log: " << log.Text(uuid));
        }
    }
}

bool Catalogue::HasInProgressCopy(const DatabaseItem& item) const {
    if (item.upload || item.file.path.IsClear() || !item.file.path.IsRelative()) return false;
    Mirel::UniversalPath p = item.file.path;
    p.SetAbsoluteFrom(mInProgressFolder.GetPath());
    return mEnv.Probe(p.Native()).isFile;
}

void Catalogue::SweepInProgress(const Interval& current) {
    if (!mInProgressFolder.Exists()) return;
    // Only what an item of the current interval owns may become part of its last-good
    // folder; anything else there is a leftover of a crash or of another interval.
    std::set<Mirel::UniversalPath> owned;
    for (const auto& [uuid, item] : current.databases)
        if (!item.upload && !item.file.path.IsClear() && item.file.path.IsRelative()) {
            Mirel::UniversalPath p = item.file.path;
            p.SetAbsoluteFrom(mInProgressFolder.GetPath());
            owned.insert(p);
        }
    // FIFOs, sockets and devices are never opened, nor renamed into a last-good folder.
    struct Listing : Mirel::BuildUniversalPathListFunctor {
        using BuildUniversalPathListFunctor::BuildUniversalPathListFunctor;
        void LeftOut(const Mirel::UniversalPath& path, int) override { others.push_back(path); }
        std::vector<Mirel::UniversalPath> others;
    };
    std::vector<Mirel::UniversalPath> files;
    Listing all(files, Mirel::kListFiles, true);
    mInProgressFolder.ProcessFiles(all, 100);
    for (const auto& f : all.others) {
        IBS_DEBUG_WIDE(u"StartInterval: removing what is no regular file "
                       << f.GetUserEntryFormat());
        f.Delete();
    }
    for (const auto& f : files) {
        if (owned.count(f)) continue;
        // A container file belongs to its database's copy.
        bool inContainer = false;
        for (const auto& o : owned) {
            const std::string root = o.Native() + ".rc/";
            inContainer |= f.Native().compare(0, root.size(), root) == 0;
        }
        if (inContainer) continue;
        IBS_DEBUG_WIDE(u"StartInterval: removing leftover " << f.GetUserEntryFormat());
        f.Delete();
    }
}

void Catalogue::SetManifestLine(DatabaseItem& item, const Talon::Manifest& manifest,
                                const Mirel::Directory& folder) {
    item.line = ManifestLine();
    item.damaged = false;
    item.mustCheck = false;
    item.detach = false;
    if (item.upload || item.file.path.IsClear() || !item.file.path.IsRelative()) return;
    Mirel::UniversalPath full = item.file.path;
    full.SetAbsoluteFrom(folder.GetPath());
    std::string root = folder.GetPath().Native();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    const std::string native = full.Native();
    if (native.compare(0, root.size() + 1, root + "/") != 0) return;
    const Talon::ManifestEntry* e = manifest.Find(native.substr(root.size() + 1));
    if (!e || e->kind != Talon::ManifestEntry::kDatabase) return;
    item.line.known = true;
    item.line.size = e->size;
    item.line.crc = e->crc;
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
