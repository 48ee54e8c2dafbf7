// Bringing database copies into the in-progress folder, and turning a finished in-progress
// folder into a last-good folder. Runs on the main thread inside the interval cycle.
#include <optional>

#include "platform/framework/BackupFolder.h"
#include "platform/framework/CopyCheck.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "platform/framework/RemoteContainerMgr.h"
#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "platform/support/File.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Os.h"
#include "scheduler/IntervalCycle.h"

namespace {
Mirel::unistring Text(const Mirel::Error& e) {
    return Mirel::unistring::NumToString(e.GetError());
}
Mirel::unistring Show(const Mirel::UniversalPath& p) {
    return p.GetUserEntryFormat();
}

// The folder part of a relative path ("a/b/db.vdb" -> "a/b").
Mirel::UniversalPath FolderOf(const Mirel::UniversalPath& rel) {
    Mirel::UniversalPath dir = rel;
    dir.SetName(Mirel::unistring());
    return dir;
}
}  // namespace

// A file about to be moved or linked into the in-progress folder becomes the service's own
// first (an upload keeps whatever mode the server gave it otherwise), so no copy is ever
// there, or in a last-good folder, with another mode. A failure costs the copy nothing: the
// debug log says so. `seen`: an upload's, see Env::MakeOwn.
void IntervalCycle::MakeOwn(const Mirel::UniversalPath& file, Mirel::Os::Info* seen) {
    if (int rc = Mirel::Env::Current().MakeOwn(file.Native(), seen).GetError())
        IBS_DEBUG_WIDE(u"MakeOwn: error " << rc << u", owner or mode unchanged: "
                                          << file.GetUserEntryFormat());
}

Mirel::Error IntervalCycle::CreateDestinationFolder(const Mirel::UniversalPath& relDir,
                                                    const Mirel::unistring& baseName,
                                                    Mirel::Directory& dest) {
    dest = mCat.mInProgressFolder;
    const std::string key = relDir.IsClear() ? std::string() : relDir.Native();
    if (mStarting && mStartFolders.count(key)) {
        if (!relDir.IsClear()) {
            Mirel::UniversalPath folder = relDir;
            folder.MakeFolder();
            folder.SetAbsoluteFrom(mCat.mInProgressFolder.GetPath());
            dest = Mirel::Directory(folder);
        }
        return Mirel::Error();
    }
    // The in-progress folder itself is gone after each rename to last-good.
    Mirel::Error e = mCat.mInProgressFolder.CreateIfNotExists();
    if (e.OK() && !relDir.IsClear()) e = dest.CreateRelativePath(relDir);
    if (e.OK()) {
        if (mStarting) mStartFolders.insert(key);
        return e;
    }
    e.In("create folder", dest.GetPath().Native());
    mCat.ReportEvent(Talon::Event::kInProgressFolderNotMade, baseName, Show(dest.GetPath()),
                     Text(e));
    // Nothing can start without the in-progress folder, whatever the error: the start is
    // cut short and tried again. A database's own folder whose path went away is that
    // database's failure alone.
    const bool own = dest != mCat.mInProgressFolder && e.GetError() == Mirel::kErrPathNotFound;
    return e.SetKind(own ? Mirel::ErrorKind::kData : Mirel::ErrorKind::kEnvironment);
}

Mirel::Error IntervalCycle::MakeInProgressHardLinks(const DatabaseItem& sourceItem,
                                                    const Mirel::UniversalPath& sourceFolder,
                                                    bool withContainers, bool* linked) {
    if (linked) *linked = false;
    Mirel::UniversalPath src = sourceItem.file.path, dst = sourceItem.file.path;
    src.SetAbsoluteFrom(sourceFolder);
    dst.SetAbsoluteFrom(mCat.mInProgressFolder.GetPath());
    Mirel::UniversalPath reported = dst;
    Mirel::File dstFile(dst);
    Mirel::Directory destFolder;
    if (Mirel::Error e =
            CreateDestinationFolder(FolderOf(sourceItem.file.path), dst.GetBasename(), destFolder);
        !e.OK())
        return e;
    MakeOwn(src);
    Mirel::Error result = dstFile.MakeHardLink(src);
    if (result.GetError() == Mirel::kErrAlreadyExists) {
        // A stale copy of an earlier run (rarely there: the sweep removes them).
        if (!dstFile.Delete().OK()) {
            Mirel::Error e = dstFile.GetError();
            mCat.ReportDatabaseEvent(Talon::Event::kCopyNotDeleted, sourceItem.file.uuid,
                                     dst.GetName(), {dst.GetBasename(), Show(dst), Text(e)});
            return e.In("delete stale copy", dst.Native());
        }
        result = dstFile.MakeHardLink(src);
    }
    if (result.OK() && linked) *linked = true;
    if (!result.OK()) {
        IBS_DEBUG_WIDE(u"MakeInProgressHardLinks ERROR " << result.Text() << u", to " << Show(dst)
                                                         << u". Instead make a copy of "
                                                         << Show(src));
        if (sourceItem.line.known) {
            // The bytes are read anyway: they are checked against the copy's line as they go.
            Talon::CopyCheck check;
            check.size = sourceItem.line.size;
            check.crc = sourceItem.line.crc;
            result = Mirel::Error(Talon::CopyChecked(src.Native(), dst.Native(), check));
            if (result.GetError() == Mirel::kErrCopyDamaged) {
                mCat.ReportDatabaseEvent(Talon::Event::kCopyDamaged, sourceItem.file.uuid,
                                         src.GetName(),
                                         {Show(src), Mirel::unistring::FromUTF8(check.found)});
                return result.In("check copy of", src.Native());
            }
        } else {
            Mirel::File srcFile(src);
            result = srcFile.Copy(dst, Mirel::File::kDefaultCopyBufferSize);
        }
        if (result.OK())
            Mirel::File(dst).SetLocked(false);
        else
            IBS_DEBUG_WIDE(u"MakeInProgressHardLinks *COPY* ERROR " << result.Text() << u", to "
                                                                    << Show(dst));
    }
    if (result.OK() && withContainers && HasContainers(src)) {
        Talon::RemoteContainerMgr rc(src);
        Mirel::Directory root(rc.GetRCRootPath());
        std::shared_ptr<Talon::RCFileAbstractFunctor> functor;
        if (destFolder.SupportHardLink())
            functor = std::make_shared<Talon::RCFileHardLinkFunctor>(src, destFolder.GetPath());
        else
            functor = std::make_shared<Talon::RCFileCopyFunctor>(src, destFolder.GetPath());
        Mirel::Error walk = root.ProcessFiles(*functor, 100);
        if (walk.OK())
            result = functor->GetLastError();
        else
            result = walk;
        if (!functor->GetLastError().OK()) {
            reported = functor->GetFailedPath();
            IBS_DEBUG_WIDE(u"MakeInProgressHardLinks: RCFileHardLinkFunctor ERROR "
                           << functor->GetLastError().Text() << u" on " << Show(reported));
        }
    }
    if (!result.OK()) {
        result.In("make the in-progress copy", reported.Native());
        mCat.ReportDatabaseEvent(Talon::Event::kInProgressCopyNotMade, sourceItem.file.uuid,
                                 dst.GetName(), {dst.GetBasename(), Show(reported), Text(result)});
    }
    IBS_DEBUG_WIDE(u"MakeInProgressHardLinks: result " << result.Text() << u" on "
                                                       << dst.GetName());
    return result;
}

bool IntervalCycle::HasContainers(const Mirel::UniversalPath& copy) {
    Mirel::Directory root(Mirel::ContainerFolderOf(copy));
    if (!mStarting) return root.Exists();
    const std::string folder = Mirel::Os::ParentOf(copy.Native());
    auto listed = mStartListings.find(folder);
    if (listed == mStartListings.end()) {
        std::vector<Mirel::Os::DirEntry> entries;
        if (Mirel::Os::ListDir(folder, entries) != 0) return root.Exists();
        std::set<std::string> names;
        for (auto& e : entries)
            if (e.type != Mirel::Os::DirEntry::kFile) names.insert(std::move(e.name));
        listed = mStartListings.emplace(folder, std::move(names)).first;
    }
    // Only an absence is taken from the listing; a name there is looked at as before.
    return listed->second.count(
               Mirel::unistring(copy.GetName() + Mirel::kContainerSuffix).ToUTF8()) != 0 &&
           root.Exists();
}

bool IntervalCycle::UploadHasContainers(const Mirel::UniversalPath& upload) {
    // A listing costs a few looks: it pays where many uploads share a folder (an upload
    // folder of its own per upload is the usual layout).
    constexpr int kListFrom = 8;
    auto n = mStartUploads.find(Mirel::Os::ParentOf(upload.Native()));
    if (mStarting && n != mStartUploads.end() && n->second >= kListFrom)
        return HasContainers(upload);
    return Mirel::Directory(Mirel::ContainerFolderOf(upload)).Exists();
}

// An upload's move: the file, a stale container folder at the destination, and the
// upload's container folder.
Mirel::Error IntervalCycle::MoveFileIntoInProgress(const Mirel::UniversalPath& src,
                                                   const Mirel::Directory& dest,
                                                   bool withContainers, Mirel::UniversalPath& moved,
                                                   const Mirel::Os::Info* owned) {
    moved = dest.MakeUniversalPath(src.GetName());
    // Noted before the move: a restart right after it must still know the copy for the
    // upload as written. A note of a move that did not happen names no such file. What the
    // open that makes it the service's own found is the identity noted (a start makes its
    // uploads its own and notes them at once before the first move: then nothing is done
    // here but to see the note is there).
    Mirel::Os::Info seen;
    if (owned && owned->isFile)
        seen = *owned;
    else
        MakeOwn(src, &seen);
    if (int rc = mCat.NoteUnwritten(moved, src, seen.isFile ? &seen : nullptr))
        IBS_DEBUG_WIDE(u"MoveUploadToInProgress: error " << Mirel::ErrorText(rc) << u" noting "
                                                         << moved.GetUserEntryFormat()
                                                         << u" as unwritten");
    if (Mirel::Error e = src.MoveTo(dest.GetPath()); !e.OK()) {
        mCat.ReportEvent(Talon::Event::kCopyNotMoved, src.GetBasename(), Show(src),
                         Show(dest.GetPath()), Text(e));
        return e.In("move", src.Native() + " → " + dest.GetPath().Native());
    }
    Mirel::Error result;
    Talon::RemoteContainerMgr stale(moved);
    Mirel::Directory staleRoot(stale.GetRCRootPath());
    if (HasContainers(moved)) {
        if (Mirel::Error e = staleRoot.DeleteAll(); !e.OK()) {
            mCat.ReportEvent(Talon::Event::kContainerNotDeleted, src.GetBasename(),
                             Show(staleRoot.GetPath()), Text(e));
            result = e.In("delete stale container folder", staleRoot.GetPath().Native());
        }
    }
    if (result.OK() && withContainers) {
        Talon::RemoteContainerMgr source(src);
        Mirel::Directory sourceRoot(source.GetRCRootPath());
        if (UploadHasContainers(src)) {
            Mirel::Error e(
                mEnv.Rename(sourceRoot.GetPath().Native(), stale.GetRCRootPath().Native())
                    .GetError(),
                "rename", sourceRoot.GetPath().Native() + " → " + stale.GetRCRootPath().Native());
            if (!e.OK()) {
                mCat.ReportEvent(Talon::Event::kContainerNotMoved, src.GetBasename(),
                                 Show(sourceRoot.GetPath()), Show(dest.GetPath()), Text(e));
                result = e;
            }
        }
    }
    if (!result.OK()) {
        Mirel::Directory back(src);
        if (Mirel::Error e = moved.MoveTo(back.GetPath()); !e.OK())
            IBS_DEBUG_WIDE(u"MoveUploadToInProgress: error "
                           << e.Text() << u" moving database back from " << Show(moved) << u" to "
                           << Show(src));
    }
    return result;
}

bool IntervalCycle::UploadFolder(const Mirel::UniversalPath& upload,
                                 Mirel::UniversalPath& relDir) const {
    relDir = FolderOf(upload);
    if (!relDir.SetRelativeTo(mCat.mCopiesFolder.GetPath()).OK()) return false;
    relDir.MakeFolder();
    relDir.DeletePathElement(0);  // the upload's own folder
    return true;
}

Mirel::UniversalPath IntervalCycle::UploadTarget(const Mirel::UniversalPath& upload) const {
    Mirel::UniversalPath relDir;
    if (!UploadFolder(upload, relDir)) return Mirel::UniversalPath();
    Mirel::Directory dest = mCat.mInProgressFolder;
    if (!relDir.IsClear()) {
        Mirel::UniversalPath folder = relDir;
        folder.SetAbsoluteFrom(mCat.mInProgressFolder.GetPath());
        dest = Mirel::Directory(folder);
    }
    return dest.MakeUniversalPath(upload.GetName());
}

Mirel::Error IntervalCycle::MoveUploadToInProgress(DatabaseItem& item,
                                                   std::vector<Mirel::UniversalPath>* emptied,
                                                   const Mirel::Os::Info* owned) {
    Mirel::UniversalPath src = item.file.path;
    Mirel::UniversalPath relDir;
    if (!UploadFolder(src, relDir)) {
        // An upload outside the copies folder is never moved.
        mCat.ReportDatabaseEvent(
            Talon::Event::kCopyNotMoved, item.file.uuid, src.GetName(),
            {src.GetBasename(), Show(src), Show(mCat.mInProgressFolder.GetPath()),
             Mirel::unistring::NumToString(Mirel::kErrBadPathFormat)});
        return Mirel::Error(Mirel::kErrBadPathFormat, "move upload from outside the copies folder",
                            src.Native());
    }
    Mirel::Directory dest;
    if (Mirel::Error e = CreateDestinationFolder(relDir, src.GetBasename(), dest); !e.OK())
        return e;
    Mirel::UniversalPath moved;  // named even when the move fails
    if (Mirel::Error e = MoveFileIntoInProgress(src, dest, item.hasContainers, moved, owned);
        !e.OK()) {
        mCat.ForgetUnwritten(moved);
        return e;
    }
    moved.SetRelativeTo(mCat.mInProgressFolder.GetPath());
    item.file.path = moved;
    item.upload = false;
    // Only the upload's own files leave the copies folder: its container folder (when it
    // did not travel with it) and the folders it leaves empty. Anything else in its upload
    // folder, another database's upload included, stays.
    Mirel::Directory left(Talon::RemoteContainerMgr(src).GetRCRootPath());
    if (!item.hasContainers && UploadHasContainers(src))
        if (Mirel::Error e = left.DeleteAll(); !e.OK())
            mCat.ReportEvent(Talon::Event::kUploadContainerNotDeleted, Show(left.GetPath()),
                             Text(e));
    if (emptied)
        emptied->push_back(src);
    else
        RemoveEmptiedUploadFolders({src});
    return Mirel::Error();
}

void IntervalCycle::RemoveEmptiedUploadFolders(const std::vector<Mirel::UniversalPath>& emptied) {
    Mirel::UniversalPath stop = mCat.mCopiesFolder.GetPath();
    stop.MakeFolder();
    for (const Mirel::UniversalPath& src : emptied)
        for (Mirel::Directory d(src); d.GetPath() != stop && stop.IsMyChild(d.GetPath());
             d.SetToParent())
            if (!d.Delete().OK()) break;
}

Talon::Error IntervalCycle::RenameInProgressToLastGood(Interval& interval) {
    if (!mCat.mInProgressFolder.Exists()) return Talon::Error();
    Mirel::DateTime stampTime(0);
    stampTime.SetMicroSecSinceEpoch(interval.mDoneUTC, 32767);
    Mirel::unistring stamp = stampTime.AsUnistring(Mirel::Locale(2));
    if (!Mirel::UniversalPath::FormatBackupTimestamp(stamp)) {
        IBS_DEBUG_WIDE(u"RenameInProgressToLastGood: ***invalid timestamp " << stamp << u" from "
                                                                            << interval.mDoneUTC);
        return Talon::Error(-1);
    }
    Mirel::unistring name = Talon::IBS_Config::sLastGoodFolderPrefix + u"_" + stamp;
    // A second interval in the same minute would take the first one's name: it carries
    // its exact end instead, and so does any later one in that minute.
    const std::uint64_t minute = interval.mDoneUTC - interval.mDoneUTC % kMinute;
    for (const Mirel::Directory& d : Talon::BackupFolder(Talon::IBS_Config::sLastGoodFolderPrefix)
                                         .GetList(mCat.mBackupFolder.GetPath())) {
        Mirel::unistring other = d.GetChildName();
        std::uint64_t t = Talon::BackupFolder::GetUTCFromTimestamp(
            other.substr(Talon::IBS_Config::sLastGoodFolderPrefix.size() + 1));
        if (t != 0 && t - t % kMinute == minute) {
            name = Talon::IBS_Config::sLastGoodFolderPrefix + u"_" +
                   Talon::BackupFolder::MakeExactTimestamp(interval.mDoneUTC);
            break;
        }
    }
    // Written first, so no last-good folder ever lacks its manifest; a failure leaves the
    // interval unfinished, to be retried like a failed rename.
    Talon::Manifest written;
    std::set<std::string> held;
    // The lines the workers read as they finished: their copies are not read again.
    Talon::Manifest::KnownLines known;
    for (const auto& [uuid, item] : interval.databases) {
        if (item.file.path.IsClear()) continue;
        if (item.held) held.insert(item.file.path.Native());
        if (!item.computedId.empty() && item.file.path.IsRelative())
            known.emplace(item.file.path.Native(), std::make_pair(item.computedId, item.computed));
    }
    const Mirel::Directory inProgress = mCat.mInProgressFolder;
    Mirel::Directory renamed = inProgress;
    Talon::Error e;
    {
        // Reading every copy for its line takes long: without the lock when the cycle may let
        // it go, so that announcements are answered meanwhile (the commit below sees to what
        // they brought).
        std::optional<Catalogue::FileWorkScope> unlocked;
        if (mMayLetGo) unlocked.emplace(mCat, interval.mDoneUTC, Catalogue::FileWork::kPublishing);
        e = Talon::Manifest::Write(inProgress, interval.mDoneUTC, held, &written, &known);
        if (!e.OK()) {
            e.In("write the manifest of", inProgress.GetPath().Native());
            IBS_DEBUG_WIDE(u"RenameInProgressToLastGood: " << e.Text());
            mCat.ReportEvent(Talon::Event::kNotRenamedToLastGood, Show(inProgress.GetPath()), name,
                             Text(e));
            return e;
        }
        // A stop or a folder change that came meanwhile is not kept waiting for the rename;
        // the interval is published when the cycle runs again.
        if (unlocked && mCat.Stopping())
            return Talon::Error(Mirel::kErrAborted, "rename", inProgress.GetPath().Native());
        e = renamed.Rename(name);
        e.In("rename", inProgress.GetChildName().ToUTF8() + " → " + name.ToUTF8());
    }
    IBS_DEBUG_WIDE(u"RenameInProgressToLastGood: error "
                   << e.Text() << u", interval.End " << EndText(interval.mDoneUTC) << u", stamp "
                   << name);
    if (!e.OK()) {
        mCat.ReportEvent(Talon::Event::kNotRenamedToLastGood, Show(inProgress.GetPath()), name,
                         Text(e));
        return e;
    }
    interval.backup = renamed;
    mCat.mLastGoodFolder = renamed;
    for (auto& [uuid, item] : interval.databases) {
        item.lastLogMSN = 0;
        // What its bytes are to be from now on, for the check that starts a later interval.
        mCat.SetManifestLine(item, written, renamed);
    }
    return Talon::Error();
}
