// Rebuilding the catalogue from what lies in the backup folder.
#include <algorithm>
#include <map>
#include <utility>

#include "catalogue/Chain.h"
#include "intake/Intake.h"
#include "intake/ScanPlan.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Debug.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"

using Talon::IBS_Config;

IntervalMap::iterator Intake::AddIntervalFolder(const Mirel::Directory& dir, std::uint64_t utc) {
    Mirel::LockReentrant g(mCat.mLock);
    // A folder named with the exact end belongs to that interval only; a folder named by
    // the minute to the first interval of that minute that has none yet (the minute's first
    // last-good folder always takes the short name).
    const bool exact = utc % kMinute != 0;
    auto it = mCat.mIntervals.lower_bound(utc);
    if (exact) {
        if (it != mCat.mIntervals.end() && it->first == utc) {
            it->second.backup = dir;
            return it;
        }
    } else {
        for (auto m = it; m != mCat.mIntervals.end() && m->first != kOpenInterval &&
                          m->first - m->first % kMinute == utc;
             ++m) {
            if (m->second.backup.IsClear()) {
                m->second.backup = dir;
                return m;
            }
        }
    }
    Interval fresh(Mirel::UniversalPath(), utc);
    fresh.backup = dir;
    return mCat.mIntervals.emplace(utc, std::move(fresh)).first;
}

IntervalMap::iterator Intake::FindIntervalWithLog(const Mirel::unistring& uuid, std::uint64_t msn) {
    Mirel::LockReentrant g(mCat.mLock);
    for (auto it = mCat.mIntervals.begin(); it != mCat.mIntervals.end(); ++it) {
        auto db = it->second.databases.find(uuid);
        if (db == it->second.databases.end()) continue;
        for (const FileInfo& log : db->second.logs) {
            if (log.msn < msn) break;
            if (log.startMSN == msn || log.msn == msn) return it;
        }
    }
    return mCat.mIntervals.end();
}

std::uint64_t Intake::DeleteLeadingEmptyIntervals() {
    std::uint64_t last = 0;
    for (;;) {
        Mirel::UniversalPath done;
        std::uint64_t utc;
        {
            Mirel::LockReentrant g(mCat.mLock);
            auto it = mCat.mIntervals.begin();
            if (it == mCat.mIntervals.end() || it->first == kOpenInterval ||
                it->second.donePath.IsClear())
                break;
            done = it->second.donePath;
            utc = it->second.mDoneUTC;
            // The newest end the server announced is never forgotten: its interval-done file
            // stays (until a later interval starts), or a rescan would take a stale one.
            auto next = std::next(it);
            if (utc != 0 && (next == mCat.mIntervals.end() || next->first == kOpenInterval)) {
                if (!it->second.databases.empty() || !it->second.backup.IsClear()) break;
                mCat.KeepEmptiedIntervalDone(it->first);
                last = utc;
                break;
            }
        }
        if (utc == 0 || !mCat.DeleteIntervalIfEmpty(done, utc)) break;
        last = utc;
    }
    return last;
}

// A copy moved out of an older last-good folder starts before the current interval's logs;
// the logs that lead up to them were merged in memory when the interval started, and a
// restart lost that. They are still in the catalogue, with the older intervals: follow the
// chain from the copy's MSN to the first log of this interval and merge it again.
// An in-progress copy that is still a hard link of a last-good copy was never read: its bytes
// are checked against that copy's line before a worker writes to it. (A private one was
// checked before it became private, or is an upload.) False when there is no line to check
// them against: the copy is made again, and the start decides what the database gets.
bool Intake::ShareCheck(const Mirel::UniversalPath& file, const Mirel::unistring& uuid,
                        IntervalMap::iterator current) {
    for (auto o = std::make_reverse_iterator(current); o != mCat.mIntervals.rend(); ++o) {
        if (o->second.backup.IsClear()) continue;
        auto y = o->second.databases.find(uuid);
        if (y == o->second.databases.end() || y->second.upload || y->second.file.path.IsClear())
            continue;
        Mirel::UniversalPath source = y->second.file.path;
        source.SetAbsoluteFrom(o->second.backup.GetPath());
        const ManifestLine& line = y->second.line;
        if (!mEnv.SameObject(file.Native(), source.Native())) continue;
        if (!line.known) return false;
        DatabaseItem& X = current->second.databases.at(uuid);
        X.mustCheck = true;
        X.expect = line;
        X.checkFrom = source;
        X.checkInterval = o->first;
        return true;
    }
    return true;
}

void Intake::KeepChainOrder() {
    // A copy already brought forward keeps what it was brought with.
    const auto moves = Chain::KeepOrder(mCat.mIntervals, [this](const DatabaseItem& x) {
        return !x.owned && !mCat.HasInProgressCopy(x);
    });
    for (const Chain::Move& m : moves) {
        IBS_DEBUG_WIDE(u"ScanFullBackupDB: log goes after what it continues, to "
                       << EndText(m.to) << u": " << m.log.path.GetUserEntryFormat());
        Interval& from = mCat.mIntervals.at(m.from);
        DatabaseItem& x = from.databases.at(m.uuid);
        const bool hasContainers = x.hasContainers;
        x.logs.erase(m.log);
        // Nothing left of it there: no start to find, no failure to record.
        if (x.logs.empty() && x.file.path.IsClear() && !x.upload) from.databases.erase(m.uuid);
        mCat.PlaceRedoLog(mCat.mIntervals.at(m.to), m.uuid, m.log, hasContainers);
    }
}

bool Intake::ChainInProgressCopy(const Mirel::UniversalPath& file, const Mirel::unistring& uuid,
                                 std::uint64_t msn, IntervalMap::iterator current) {
    Chain::Repair repair = Chain::RepairChain(mCat.mIntervals, current->first, uuid, msn);
    if (!repair.complete) return false;
    if (repair.logs.empty()) return true;
    Interval& C = current->second;
    DatabaseItem& X = C.databases.at(uuid);
    for (const auto& [log, end] : repair.logs) {
        X.logs.insert(log);
        X.prevEnd = std::max(X.prevEnd, end);
    }
    IBS_DEBUG_WIDE(u"ScanFullBackupDB: in-progress copy "
                   << file.GetName() << u" at MSN " << msn << u" takes " << repair.logs.size()
                   << u" older log(s) up to MSN " << repair.logs.back().first.msn);
    return true;
}

namespace {
// A listing of the scan that names in the debug log what it left out because it is no
// regular file (a FIFO, a socket, a device named like a database or a redo log): such an
// entry is never opened, and stays where it is.
template <class Listing>
class ScanListing : public Listing {
public:
    template <class... Args>
    ScanListing(const Mirel::unistring& ext, Args&&... args)
        : Listing(std::forward<Args>(args)...), mExt(ext) {}
    void LeftOut(const Mirel::UniversalPath& path, int) override {
        if (!path.GetExtension().CaseInsensitiveEqual(mExt)) return;
        IBS_DEBUG_WIDE(u"ScanFullBackupDB: not a regular file, left where it is: "
                       << path.GetUserEntryFormat());
    }

private:
    Mirel::unistring mExt;
};

// A folder's entries by name, as a walk of it gives them: what the listing does not type
// is looked at, links are left out (a listing never leads out of the walked tree), and an
// entry that is no file or folder (a FIFO, a socket, a device) is never handed on.
std::vector<Mirel::Os::DirEntry> SortedEntries(Mirel::Env& env, const std::string& dir,
                                               std::vector<std::string>* links = nullptr) {
    std::vector<Mirel::Os::DirEntry> raw, out;
    if (!env.ListDir(dir, raw).OK()) return out;
    std::sort(
        raw.begin(), raw.end(),
        [](const Mirel::Os::DirEntry& a, const Mirel::Os::DirEntry& b) { return a.name < b.name; });
    out.reserve(raw.size());
    for (auto& e : raw) {
        if (e.type == Mirel::Os::DirEntry::kUnknown) {
            const Mirel::Os::Info info = env.Probe(dir + "/" + e.name);
            if (!info.exists) continue;  // gone meanwhile
            e.type = info.isLink   ? Mirel::Os::DirEntry::kLink
                     : info.isDir  ? Mirel::Os::DirEntry::kDir
                     : info.isFile ? Mirel::Os::DirEntry::kFile
                                   : Mirel::Os::DirEntry::kOther;
        }
        if (e.type == Mirel::Os::DirEntry::kLink) {
            if (links) links->push_back(e.name);
            continue;
        }
        out.push_back(std::move(e));
    }
    return out;
}

// Names are compared as listed: the names looked for are ASCII, and no other character
// folds to an ASCII letter, so folding ASCII bytes compares them as text would.
bool EndsWithAsciiNoCase(const std::string& s, const std::string& tail) {
    if (s.size() < tail.size()) return false;
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    const std::size_t at = s.size() - tail.size();
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (fold(s[at + i]) != fold(tail[i])) return false;
    return true;
}

// Its extension (after the last dot, not a leading one) is the log extension, in any case.
bool IsRedoLogName(const std::string& name) {
    static const std::string ext = IBS_Config::sRedoLogExtension.ToUTF8();
    return name.size() > ext.size() && EndsWithAsciiNoCase(name, ext);
}

bool IsIntervalDoneName(const std::string& name) {
    static const std::string done = IBS_Config::sIntervalDoneFileName.ToUTF8();
    return name.size() == done.size() && EndsWithAsciiNoCase(name, done);
}

void ReportNotAFile(const std::string& path) {
    IBS_DEBUG_WIDE(u"ScanFullBackupDB: not a regular file, left where it is: "
                   << Mirel::unistring::FromUTF8(path));
}

// Database files below a folder, down to `level`.
std::vector<Mirel::UniversalPath> ListDatabaseFiles(const Mirel::Directory& dir, int level) {
    std::vector<Mirel::UniversalPath> files;
    ScanListing<Mirel::BuildUniversalPathListFunctor> dbs(Mirel::kDatabaseExtension, files,
                                                          Mirel::kListDatabaseFiles, true);
    dir.ProcessFiles(dbs, level);
    return files;
}
}  // namespace

// What the scan has read and found so far, for its later steps.
struct Intake::ScanState {
    struct Folder {
        Mirel::Directory dir;
        std::uint64_t utc;
        Talon::Manifest manifest;  // empty when the folder has none that reads
    };
    std::vector<Folder> folders;
    std::uint64_t newestMinute = 0;
    std::uint64_t newestGood = 0, oldestGood = kOpenInterval;
    bool hasChanges = false;
    // The redo folders and the names of their logs, as listed.
    struct RedoFolder {
        std::string name;
        Mirel::UniversalPath file;  // a path in it: its logs' paths share its folder text
        std::vector<std::string> logs;
        std::string doneName;  // its first interval-done file; empty when none
    };
    std::string changes;  // the changes folder, as the OS names it
    std::vector<RedoFolder> redo;
    // Links named like redo folders, and like logs inside a redo folder: the file they stand
    // for cannot be read, nor which database it was for.
    std::vector<Mirel::UniversalPath> linkedRedo;
    // One of them in the place of a folder whose interval is not published; and the
    // databases whose leftover in-progress copies were kept on its account.
    Mirel::UniversalPath standingLink;
    std::set<Mirel::unistring> keptLeftovers;
    // Databases with a taken log that is gone, its changes in no copy: the failure number
    // and that log.
    std::map<Mirel::unistring, std::pair<std::int32_t, std::string>> lost;
    // The interval the in-progress folder's copies are of, when they are resumed.
    IntervalMap::iterator target;
    bool resumeInterval = false;
};

void Intake::ScanFullBackupDB(const std::function<void()>& resume) {
    Mirel::LockReentrant g(mCat.mLock);
    IBS_DEBUG_WIDE(u"ScanFullBackupDB: starting on "
                   << mCat.mBackupFolder.GetPath().GetUserEntryFormat());
    mCat.ClearIntervals();
    mCat.mLeftUploads.clear();
    mCat.mKeptDonePath.Clear();
    mCat.mKeptDoneEnd = 0;
    mCat.mIntervalEnd.store(0);
    AddInterval(Mirel::UniversalPath(), kOpenInterval, nullptr);

    ScanState s;
    // Read: the last-good folders and their manifests, the changes folder in one walk.
    ReadLastGoodFolders(s);
    TakeRedoFolders(s);
    // Then into the catalogue, each kind of file where the cycle left it.
    AddLastGoodIntervals(s);
    for (const auto& link : s.linkedRedo) {
        // A log's link is dated by its redo folder.
        std::string folder = link.Native();
        const bool isLog = IsRedoLogName(link.GetName().ToUTF8());
        if (isLog) folder.erase(folder.rfind('/'));
        folder.erase(0, folder.rfind('/') + 1);
        const std::uint64_t utc =
            IBS_Config::RetrieveUTCFromRedoFolderName(Mirel::unistring::FromUTF8(folder));
        if (utc != 0 && utc < s.newestGood) continue;  // its interval is published
        IBS_DEBUG_WIDE(u"ScanFullBackupDB: a link stands where a "
                       << (isLog ? u"redo log" : u"redo folder") << u" was: "
                       << link.GetUserEntryFormat());
        s.standingLink = link;
    }
    PlaceScannedLogs(s);
    KeepChainOrder();
    ResumeInProgress(s);
    PlaceScannedUploads(s);
    ReleaseOlderLogs(s);
    FindLostLogs(s);
    FailForLinkedRedoFolders(s);
    DropKeptCopies();

    // A start cut short by a stop or crash may have left databases of the interval without an
    // in-progress copy; the interval would otherwise complete without them. Finish the start:
    // copies already in place are kept as they are.
    if (s.resumeInterval && resume && mCat.mLinkFailed.empty() && mCat.mKeepFiles.empty()) resume();

    RetireEmptyIntervals(s);
    std::uint64_t removed = DeleteLeadingEmptyIntervals();
    // What the catalogue now holds; a lost log stays listed until its failure is made.
    if (mCat.mLinkFailed.empty()) mCat.SaveTaken();
    if (mCat.mIntervalEnd.load() == 0)
        mCat.mIntervalEnd.store(s.newestGood != 0 ? s.newestGood : removed);
    IBS_DEBUG(("ScanFullBackupDB: mCat.mIntervalEnd ") << EndText(mCat.mIntervalEnd.load()));
}

void Intake::ReadLastGoodFolders(ScanState& s) {
    // Last-good folders first: an interval-done file at or after the newest one may be an
    // interval whose copies are still to be made, and must not be taken for an empty one.
    const Mirel::unistring& prefix = IBS_Config::sLastGoodFolderPrefix;
    for (const Mirel::Directory& dir :
         Talon::BackupFolder(prefix).GetList(mCat.mBackupFolder.GetPath())) {
        Mirel::unistring name = dir.GetChildName();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name[prefix.size()] != u'_')
            continue;
        std::uint64_t utc =
            Talon::BackupFolder::GetUTCFromTimestamp(name.substr(prefix.size() + 1));
        if (utc == 0) continue;
        // The manifest holds the interval's exact end, which a name by the minute cannot.
        Talon::Manifest manifest;
        if (!Talon::Manifest::Read(dir, manifest).OK()) manifest = Talon::Manifest();
        if (manifest.intervalEnd != 0 &&
            manifest.intervalEnd - manifest.intervalEnd % kMinute == utc - utc % kMinute)
            utc = manifest.intervalEnd;
        s.folders.push_back({dir, utc, std::move(manifest)});
        s.newestMinute = std::max(s.newestMinute, utc - utc % kMinute);
    }
}

void Intake::TakeRedoFolders(ScanState& s) {
    // Each folder of the changes folder is listed once, here: for its interval-done file and
    // for its logs, which are taken below.
    s.hasChanges = mCat.mChangesFolder.Exists();
    if (!s.hasChanges) return;
    s.changes = mCat.mChangesFolder.GetPath().Native();
    while (s.changes.size() > 1 && s.changes.back() == '/') s.changes.pop_back();
    using Type = Mirel::Os::DirEntry::Type;
    std::vector<std::string> links;
    for (const auto& entry : SortedEntries(mEnv, s.changes, &links)) {
        if (entry.type == Type::kOther && IsRedoLogName(entry.name))
            ReportNotAFile(s.changes + "/" + entry.name);
        if (entry.type != Type::kDir ||
            !Catalogue::IsRedoFolderName(Mirel::unistring::FromUTF8(entry.name)))
            continue;
        const std::string folder = s.changes + "/" + entry.name;
        ScanState::RedoFolder redo;
        redo.name = entry.name;
        std::string doneName;
        std::vector<std::string> logLinks;
        for (auto& f : SortedEntries(mEnv, folder, &logLinks)) {
            if (f.type == Type::kOther && IsRedoLogName(f.name))
                ReportNotAFile(folder + "/" + f.name);
            if (f.type != Type::kFile) continue;
            if (IsRedoLogName(f.name))
                redo.logs.push_back(std::move(f.name));
            else if (doneName.empty() && IsIntervalDoneName(f.name))
                doneName = f.name;
        }
        // A log taken and then swapped for a link, with the service stopped before a worker
        // met it, is known to no record: as for a linked folder, nobody can tell whose it was.
        for (const auto& name : logLinks)
            if (IsRedoLogName(name))
                s.linkedRedo.push_back(Mirel::UniversalPath::FromNative(folder + "/" + name));
        redo.file = Mirel::UniversalPath::Folder(folder).Child(Mirel::unistring(u"-"), true);
        redo.doneName = std::move(doneName);
        s.redo.push_back(std::move(redo));
    }
    // Links where a redo folder would be: what the server wrote there cannot be read safely.
    for (const auto& name : links)
        if (Catalogue::IsRedoFolderName(Mirel::unistring::FromUTF8(name)))
            s.linkedRedo.push_back(Mirel::UniversalPath::FromNative(s.changes + "/" + name));
    // Every folder listed before any is changed, as the walk it replaces did.
    for (const ScanState::RedoFolder& redo : s.redo) {
        const std::string folder = s.changes + "/" + redo.name;
        const Mirel::UniversalPath e = Mirel::UniversalPath::Folder(folder);
        std::uint64_t doneUTC = 0;
        std::vector<Mirel::unistring> list;
        const Mirel::UniversalPath doneFile =
            redo.doneName.empty() ? Mirel::UniversalPath()
                                  : Mirel::UniversalPath::FromNative(folder + "/" + redo.doneName);
        Talon::Error err = redo.doneName.empty()
                               ? Talon::Error(Mirel::kErrNoIntervalDone)
                               : IBS_Config::GetIncrementalIntervalDone(doneFile, doneUTC, &list);
        if (err.OK()) {
            for (auto& listed : list) listed = mCat.CanonicalUuid(listed);
            if (doneUTC >= s.newestMinute || !mCat.DeleteIntervalIfEmpty(e, doneUTC))
                AddInterval(e, doneUTC, &list);
        } else if (err.GetError() == Mirel::kErrInvalidFile) {
            if (!mCat.DeleteIntervalIfEmpty(e, doneUTC)) {
                // The folder's interval-done file is the rejected file.
                mCat.MoveInvalidRedo(doneFile, true, Mirel::kErrInvalidFile,
                                     Catalogue::SetAside::kOwnFault, true);
            }
        }
    }
}

void Intake::FindLostLogs(ScanState& s) {
    // Taken, of an interval not published, gone from its redo folder (deleted, or a link in
    // its place) and its changes in no copy: published now, its database would lack them.
    // A folder a link stands in for fails its databases as such.
    std::set<std::string> found, linked;
    for (const ScanState::RedoFolder& redo : s.redo)
        for (const std::string& name : redo.logs) found.insert(redo.name + "/" + name);
    for (const auto& link : s.linkedRedo) linked.insert(link.GetName().ToUTF8());
    for (const Talon::TakenLog& t : mCat.LoadTaken()) {
        const std::uint64_t utc =
            IBS_Config::RetrieveUTCFromRedoFolderName(Mirel::unistring::FromUTF8(t.folder));
        if ((utc != 0 && utc < s.newestGood) || found.count(t.folder + "/" + t.name) ||
            linked.count(t.folder))
            continue;
        // A database the catalogue does not know has nothing to publish.
        const Mirel::unistring uuid = mCat.CanonicalUuid(t.uuid);
        bool known = false;
        for (const auto& [end, interval] : mCat.mIntervals)
            known = known || interval.databases.count(uuid) != 0;
        if (!known || mCat.NewestCopyMsn(uuid) >= t.msn || mCat.GetDatabaseError(uuid) != 0)
            continue;
        const std::string path = s.changes + "/" + t.folder + "/" + t.name;
        IBS_DEBUG_WIDE(u"ScanFullBackupDB: a taken log of " << uuid << u" at MSN " << t.msn
                                                            << u" is gone, no copy holds it: "
                                                            << Mirel::unistring::FromUTF8(path));
        const bool link = mEnv.Probe(path).isLink;
        s.lost.emplace(uuid,
                       std::make_pair(link ? Mirel::kErrIsALink : Mirel::kErrPathNotFound, path));
    }
}

void Intake::FailForLinkedRedoFolders(ScanState& s) {
    // A redo folder a link stands in for may have held logs the service took, and which
    // databases they were for, or how they stand to an upload, cannot be told. Every database
    // the next folders would hold fails rather than be published in a state the server was
    // never in: its newest good copy stays (a database no last-good folder holds keeps its
    // in-progress copy in Kept/), and the server is asked for a new full backup.
    // Lost logs fail their databases in the same step.
    const Mirel::UniversalPath& named = s.standingLink;
    FailedList failed;
    for (const auto& [uuid, lost] : s.lost) failed.emplace(uuid, lost.first);
    if (!named.IsClear()) {
        for (const auto& uuid : s.keptLeftovers)
            if (mCat.GetDatabaseError(uuid) == 0) failed.emplace(uuid, Mirel::kErrIsALink);
        for (auto x = mCat.mIntervals.lower_bound(s.newestGood); x != mCat.mIntervals.end(); ++x)
            for (const auto& [uuid, item] : x->second.databases)
                if (mCat.GetDatabaseError(uuid) == 0) failed.emplace(uuid, Mirel::kErrIsALink);
    }
    if (failed.empty()) return;
    // Said as for a log that cannot be applied: the lost log, or the link in the log's place.
    for (const auto& [uuid, number] : failed) {
        const Mirel::unistring name = mCat.DatabaseName(uuid);
        const Mirel::UniversalPath db = Mirel::UniversalPath::FromNative(name.ToUTF8());
        auto lost = s.lost.find(uuid);
        const Mirel::unistring log = lost != s.lost.end()
                                         ? Mirel::unistring::FromUTF8(lost->second.second)
                                         : named.GetUserEntryFormat();
        mCat.ReportDatabaseEvent(Talon::Event::kLogNotApplied, uuid, name,
                                 {log, db.GetBasename(), Mirel::unistring::NumToString(number)});
    }
    // Until they are made, nothing is started or published: the cycle tries again.
    if (int rc = mCat.FailForLink(s.newestGood + 1, failed))
        IBS_DEBUG_WIDE(u"ScanFullBackupDB: the failures wait, not yet made: "
                       << Mirel::ErrorText(rc));
}

void Intake::KeepLeftovers(ScanState& s) {
    for (const auto& f : ListDatabaseFiles(mCat.mInProgressFolder, 3)) {
        Mirel::unistring uuid;
        std::uint64_t msn = 0;
        if (!IBS_Config::GetDBInfo(f, uuid, msn).OK() || mCat.HasLastGoodCopy(uuid) ||
            mCat.GetDatabaseError(uuid) != 0)
            continue;
        mCat.mKeepFiles.emplace_back(f, uuid);
        s.keptLeftovers.insert(uuid);
    }
    // What cannot be kept now is tried again before anything else is done.
    if (int rc = mCat.RetryLinkFailures())
        IBS_DEBUG_WIDE(u"ScanFullBackupDB: leftover copies wait to be kept: "
                       << Mirel::ErrorText(rc));
}

void Intake::DropKeptCopies() {
    // A kept copy goes once its database has a last-good copy again and has not failed since.
    const std::string kept = mCat.KeptCopiesFolder();
    std::vector<Mirel::Os::DirEntry> entries;
    if (!mEnv.Probe(kept).isDir || !mEnv.ListDir(kept, entries).OK()) return;
    for (const auto& entry : entries) {
        const Mirel::unistring uuid = Mirel::unistring::FromUTF8(entry.name);
        if (entry.type != Mirel::Os::DirEntry::Type::kDir || mCat.GetDatabaseError(uuid) != 0)
            continue;
        if (!mCat.HasLastGoodCopy(uuid)) continue;
        Mirel::Error e =
            Mirel::Directory(Mirel::UniversalPath::Folder(kept + "/" + entry.name)).DeleteAll();
        IBS_DEBUG_WIDE(u"ScanFullBackupDB: kept copy of " << uuid << u" dropped, a last-good "
                                                          << u"folder holds the database: "
                                                          << Mirel::unistring::FromUTF8(e.Text()));
    }
}

void Intake::AddLastGoodIntervals(ScanState& s) {
    // Exact names first: a folder named by the minute then finds the interval that is its.
    std::stable_partition(s.folders.begin(), s.folders.end(),
                          [](const ScanState::Folder& f) { return f.utc % kMinute != 0; });
    for (const ScanState::Folder& f : s.folders) {
        auto it = AddIntervalFolder(f.dir, f.utc);
        s.newestGood = std::max(s.newestGood, it->first);
        s.oldestGood = std::min(s.oldestGood, it->first);
        for (const auto& file : ListDatabaseFiles(f.dir, 3))
            it->second.AddDatabase(file, f.dir.GetPath(), true, mCat.DeleteSuperseded());
        // What each copy's bytes must be when it starts a later interval.
        for (auto& [uuid, item] : it->second.databases)
            mCat.SetManifestLine(item, f.manifest, f.dir);
    }
}

void Intake::PlaceScannedLogs(ScanState& s) {
    // Logs after the folders, so that a log is known to be in a last-good copy or not.
    if (!s.hasChanges) return;
    std::vector<ScanPlan::FoundLog> found;
    std::vector<FileInfo> infos;
    // One log of a redo folder, read in that folder as it was opened (`dir`), never through
    // a link: one look up the path serves all of its logs.
    auto take = [&](const Mirel::UniversalPath& file, const std::string& native,
                    const std::string& name, int dir, int dirError) {
        // Only what intake would take (the listing took only logs of redo folders).
        if (name.size() > IBS_Config::kMaxRedoLogName) return;
        ScanPlan::FoundLog log;
        bool closed = false;
        int fd = -1;
        // The header alone: the size is judged when the log is applied, and a log of the wrong
        // size is placed all the same, to fail its database then.
        Talon::Error err = dirError != 0 ? Talon::Error(dirError)
                                         : Talon::Error(mEnv.OpenHeaderAt(dir, name, native, fd));
        if (err.OK()) {
            err = IBS_Config::GetRedoLogInfo(fd, std::nullopt, native, log.uuid, log.msn,
                                             log.startMSN, log.endUTC, closed);
            mEnv.Close(fd);
        }
        if (!err.OK()) {
            // Taken before, and its header went bad since: the tag it was given then says
            // which log it is, and applying it fails its database.
            if (!IBS_Config::GetTakenRedoLogInfo(file, log.uuid, log.msn, log.startMSN, log.endUTC,
                                                 closed)
                     .OK()) {
                // The server writes a log's header last: one without a valid header may
                // still be being written. It is judged when it is announced.
                IBS_DEBUG_WIDE(u"ScanFullBackupDB: left for its announcement (error "
                               << err.Text() << u"): " << file.GetUserEntryFormat());
                return;
            }
            IBS_DEBUG_WIDE(
                u"ScanFullBackupDB: its header is damaged, placed by the tag it "
                u"was given when taken: "
                << file.GetUserEntryFormat());
        }
        log.databaseError = mCat.GetDatabaseError(log.uuid);
        log.failedBefore = mCat.FailedBefore(log.uuid, file);
        log.recordedAfter = mCat.RecordedAfter(file);
        infos.emplace_back(file, log.msn, log.startMSN, log.endUTC, closed);
        found.push_back(std::move(log));
    };
    for (const ScanState::RedoFolder& redo : s.redo) {
        int dir = -1;
        const int dirError =
            redo.logs.empty() ? 0 : mEnv.OpenRealFolder(s.changes, {redo.name}, dir).GetError();
        const std::string folder = s.changes + "/" + redo.name + "/";
        for (const std::string& name : redo.logs) {
            Mirel::UniversalPath file = redo.file;
            file.SetName(Mirel::unistring::FromUTF8(name));
            take(file, folder + name, name, dir, dirError);
        }
        mEnv.Close(dir);
    }
    const std::vector<ScanPlan::LogPlace> plan =
        ScanPlan::PlaceLogs(mCat.mIntervals, s.newestGood, found);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const ScanPlan::LogPlace& p = plan[i];
        if (p.action == ScanPlan::LogAction::kSetAside) {
            mCat.MoveInvalidRedo(infos[i].path, true, p.number,
                                 Catalogue::SetAside::kWithItsDatabase);
        } else if (p.action == ScanPlan::LogAction::kPlace) {
            if (p.late)
                IBS_DEBUG_WIDE(u"ScanFullBackupDB: log in no last-good copy goes to "
                               << EndText(p.key) << u": " << infos[i].path.GetUserEntryFormat());
            mCat.PlaceRedoLog(mCat.mIntervals.at(p.key), found[i].uuid, std::move(infos[i]), true);
        }
    }
}

void Intake::ResumeInProgress(ScanState& s) {
    // The in-progress folder only ever holds the copies of the first interval after the
    // newest last-good one.
    s.target = mCat.mIntervals.upper_bound(s.newestGood);
    while (s.target != mCat.mIntervals.end() && !s.target->second.backup.IsClear()) ++s.target;
    if (mCat.mInProgressFolder.Exists()) {
        if (s.target != mCat.mIntervals.end() && s.target->first != kOpenInterval) {
            mCat.mIntervalEnd.store(s.target->first);
            // A copy that leaves the interval is deleted, but one no last-good folder holds is
            // its database's only copy, and is kept. True when kept.
            auto setAside = [&](const Mirel::UniversalPath& f, const Mirel::unistring& uuid) {
                if (mCat.HasLastGoodCopy(uuid)) {
                    f.Delete();
                    return false;
                }
                mCat.mKeepFiles.emplace_back(f, uuid);
                return true;
            };
            for (const auto& f : ListDatabaseFiles(mCat.mInProgressFolder, 3)) {
                Mirel::unistring uuid;
                std::uint64_t msn = 0;
                if (!IBS_Config::GetDBInfo(f, uuid, msn).OK()) continue;
                if (mCat.GetDatabaseError(uuid) != 0) {
                    // It failed before the restart. An upload no log wrote to is still
                    // exact at its own MSN: published held, as it would have been. Any
                    // other copy is never published.
                    if (mCat.IsUnwritten(f) &&
                        s.target->second.AddDatabase(f, mCat.mInProgressFolder.GetPath(), true,
                                                     mCat.DeleteSuperseded())) {
                        DatabaseItem& X = s.target->second.databases.at(uuid);
                        X.pristine = true;
                        X.held = true;
                        IBS_DEBUG_WIDE(u"ScanFullBackupDB: " << uuid << u" failed; its copy at MSN "
                                                             << msn
                                                             << u" is unchanged and kept (held)");
                        continue;
                    }
                    setAside(f, uuid);
                    continue;
                }
                if (!s.target->second.AddDatabase(f, mCat.mInProgressFolder.GetPath(), true,
                                                  mCat.DeleteSuperseded()))
                    continue;
                // Pristine only when it is an upload no log has written to yet.
                s.target->second.databases.at(uuid).pristine = mCat.IsUnwritten(f);
                if (!ChainInProgressCopy(f, uuid, msn, s.target) ||
                    !ShareCheck(f, uuid, s.target)) {
                    // Nothing brings it to the interval's end: it is made again from the
                    // newest copy (it may hold part of a log, so it is not one itself). With a
                    // link where a redo folder was, the logs it needs may be behind it.
                    IBS_DEBUG_WIDE(u"ScanFullBackupDB: in-progress copy "
                                   << f.GetName() << u" at MSN " << msn << u" cannot continue");
                    s.target->second.databases.at(uuid).file.Clear();
                    if (setAside(f, uuid) && !s.standingLink.IsClear())
                        s.keptLeftovers.insert(uuid);
                }
            }
            // Before anything else is placed; what cannot be kept now is tried again before
            // anything is started or published.
            if (int rc = mCat.KeepWaitingCopies())
                IBS_DEBUG_WIDE(u"ScanFullBackupDB: copies wait to be kept: "
                               << Mirel::ErrorText(rc));
            s.resumeInterval = true;
        } else {
            // No interval to finish: whatever is there could never be published. With a link
            // where a redo folder was, its interval-done file may be behind it: a copy no
            // last-good folder holds is its database's only one, and is kept.
            if (!s.standingLink.IsClear()) KeepLeftovers(s);
            Interval none;
            if (mCat.mKeepFiles.empty()) mCat.SweepInProgress(none);
        }
    }
}

void Intake::PlaceScannedUploads(ScanState& s) {
    if (!mCat.mCopiesFolder.Exists()) return;
    struct Upload {
        Mirel::UniversalPath file;
        ScanPlan::FoundUpload found;
    };
    std::vector<Upload> uploads;
    for (const auto& f : ListDatabaseFiles(mCat.mCopiesFolder, 4)) {
        if (f.GetName().ToUTF8().size() > IBS_Config::kMaxDatabaseName) continue;
        Upload u{f, {}};
        if (IBS_Config::GetDBInfo(f, u.found.uuid, u.found.msn).OK())
            uploads.push_back(std::move(u));
    }
    // Two uploads of one database: the newer one (by MSN) is recorded last and wins.
    std::stable_sort(uploads.begin(), uploads.end(),
                     [](const Upload& a, const Upload& b) { return a.found.msn < b.found.msn; });
    std::vector<ScanPlan::FoundUpload> found;
    for (Upload& u : uploads) {
        ScanPlan::FoundUpload& f = u.found;
        f.databaseError = mCat.GetDatabaseError(f.uuid);
        if (f.databaseError != 0) {
            Mirel::LockMutex g(mCat.mFailedLock);
            auto it = mCat.mFailedSince.find(f.uuid);
            if (it != mCat.mFailedSince.end()) f.failedSince = it->second;
        }
        if (f.failedSince != 0) f.writtenUs = mEnv.Probe(u.file.Native()).mtimeUs;
        f.recordedAfter = mCat.RecordedAfter(u.file);
        found.push_back(f);
    }
    ScanPlan::Resumed resumed;
    if (s.resumeInterval && s.target != mCat.mIntervals.end()) {
        resumed.active = true;
        resumed.key = s.target->first;
        for (const auto& [uuid, item] : s.target->second.databases)
            if (mCat.HasInProgressCopy(item)) resumed.withCopy.insert(uuid);
    }
    const std::vector<ScanPlan::UploadPlace> plan =
        ScanPlan::PlaceUploads(mCat.mIntervals, s.newestGood, resumed, found);
    bool placed = false;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const Mirel::UniversalPath& file = uploads[i].file;
        const ScanPlan::UploadPlace& p = plan[i];
        if (p.action == ScanPlan::UploadAction::kDelete) {
            Talon::Error e = DeleteUpload(file);
            IBS_DEBUG_WIDE((p.olderThanNewest
                                ? u"ScanFullBackupDB: upload older than the newest copy deleted, "
                                : u"ScanFullBackupDB: upload older than its database's failure "
                                  u"deleted, ")
                           << u"result " << e.Text() << u": " << file.GetUserEntryFormat());
        } else if (p.action == ScanPlan::UploadAction::kLeave) {
            mCat.mLeftUploads[found[i].uuid].insert(file);
            IBS_DEBUG_WIDE(u"ScanFullBackupDB: left for its announcement (database failed): "
                           << file.GetUserEntryFormat());
        } else {
            mCat.mIntervals.at(p.key).AddDatabase(file, true, mCat.DeleteSuperseded());
            placed = true;
        }
    }
    // The order the scan kept before holds while no upload came in and no start was resumed:
    // one pass leaves nothing for a second to move.
    if (placed || s.resumeInterval) KeepChainOrder();
}

void Intake::ReleaseOlderLogs(ScanState& s) {
    if (s.oldestGood != kOpenInterval) {
        // A log a newer interval still holds (a late log an in-progress copy takes again) is
        // that interval's, whatever its end: it goes with that interval, not here.
        // Only the older intervals' logs can be held again: the set stays as small as they
        // are, however many logs the newer intervals hold.
        std::set<Mirel::UniversalPath> older, held;
        for (auto it = mCat.mIntervals.begin();
             it != mCat.mIntervals.end() && it->first < s.oldestGood; ++it) {
            for (const auto& [uuid, item] : it->second.databases)
                for (const FileInfo& log : item.logs) older.insert(log.path);
        }
        for (auto it = mCat.mIntervals.lower_bound(s.oldestGood);
             !older.empty() && it != mCat.mIntervals.end(); ++it) {
            for (const auto& [uuid, item] : it->second.databases)
                for (const FileInfo& log : item.logs)
                    if (older.count(log.path)) held.insert(log.path);
        }
        for (auto it = mCat.mIntervals.begin();
             it != mCat.mIntervals.end() && it->first < s.oldestGood; ++it) {
            for (auto& [uuid, item] : it->second.databases) {
                for (auto l = item.logs.begin(); l != item.logs.end();)
                    l = held.count(l->path) ? item.logs.erase(l) : std::next(l);
                mCat.DeleteRedoLogs(item.logs, s.oldestGood);
                if (item.upload) {
                    Talon::Error e = mCat.DeleteFromParent(item, mCat.mCopiesFolder.GetPath());
                    IBS_DEBUG_WIDE(u"**ScanFullBackupDB: delete obsolete upload result "
                                   << e.Text() << u", " << item.file.path.GetUserEntryFormat());
                    item.upload = false;
                    item.file.Clear();
                }
            }
        }
    }
}

void Intake::RetireEmptyIntervals(ScanState& s) {
    // An interval older than the newest last-good folder that holds nothing and has no folder
    // of its own is over: its folder went once every copy in it had moved on.
    std::vector<std::pair<std::uint64_t, Mirel::UniversalPath>> over;
    for (auto it = mCat.mIntervals.begin(); it != mCat.mIntervals.end() && it->first < s.newestGood;
         ++it) {
        if (it->second.backup.IsClear() && it->second.databases.empty())
            over.emplace_back(it->first, it->second.donePath);
    }
    for (const auto& [key, done] : over) mCat.RetireInterval(done, key);
}
