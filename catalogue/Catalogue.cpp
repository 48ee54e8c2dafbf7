// The catalogue's model: its records, event records and the request for an interval check.
#include "catalogue/Catalogue.h"

#include <algorithm>
#include <mutex>

#include "catalogue/Chain.h"
#include "platform/engine/HBEngine.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Logger.h"
#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "platform/support/Os.h"

using Talon::IBS_Config;

namespace {
Mirel::unistring LogText(const Mirel::unistring& uuid, const Mirel::UniversalPath& path,
                         std::uint64_t msn, std::uint64_t startMSN, std::uint64_t endUTC,
                         bool closed) {
    Mirel::unistring t = u"FileInfo: ";
    t += uuid;
    t += u" " + Mirel::unistring::NumToString(startMSN) + u"/" +
         Mirel::unistring::NumToString(msn) + u"/" + Mirel::unistring::FromUTF8(EndText(endUTC));
    if (closed) t += u" *Closed";
    t += u" '" + path.GetUserEntryFormat() + u"'";
    return t;
}
}  // namespace

Mirel::unistring FileInfo::Text(const Mirel::unistring& uuid) const {
    return LogText(uuid, path, msn, startMSN, endUTC, closed);
}

Mirel::unistring CopyInfo::Text() const {
    return LogText(uuid, path, msn, startMSN, endUTC, closed);
}

Catalogue::Catalogue(Mirel::Env& env) : mEnv(env) {
    // The engine and the owner of the service's copies are the process's, set once for
    // every catalogue.
    static std::once_flag engine;
    std::call_once(engine, [] {
        // Copies in the in-progress and last-good folders are the service's, whatever the
        // server's files were.
        static const Mirel::Os::Ownership own = Talon::IBS_Config::ServiceCopyOwnership();
        Mirel::Os::SetCopyOwnership(&own);
        Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);
    });
}

Mirel::UniversalPath Catalogue::GetInProgressFolderPath() const {
    Mirel::LockReentrant g(mLock);
    return mInProgressFolder.GetPath();
}

Mirel::Directory Catalogue::GetBackupFolder() const {
    Mirel::LockReentrant g(mLock);
    return mBackupFolder;
}

int Catalogue::SaveFailedList(const std::function<void()>& beforePublish) {
    if (mBackupFolder.IsClear()) return 0;
    std::string file = mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sFailedListName).Native();
    if (mFailedDatabases.empty()) {
        if (mEnv.Probe(file).exists && mEnv.DeleteFile(file).GetError() == 0)
            mEnv.SyncDir(Mirel::Os::ParentOf(file));
        return 0;
    }
    std::string text = Talon::kFailedListHeader;
    const std::uint64_t now = Mirel::DateTime::NowUTC();
    for (const auto& [uuid, number] : mFailedDatabases) {
        auto since = mFailedSince.find(uuid);
        Talon::FailedLine line;
        line.uuid = uuid.ToUTF8();
        line.error = number;
        line.since = since != mFailedSince.end() ? since->second : now;
        line.words = Mirel::ErrorWords(number);
        text += Talon::EncodeFailedLine(line);
    }
    // Written aside and renamed over the old list: a crash leaves one list or the other.
    std::string temp = file + ".tmp";
    int fd = -1;
    int rc = mEnv.OpenWrite(temp, Mirel::Os::WriteMode{true, true}, fd).GetError();
    if (rc == 0) rc = mEnv.PWriteAll(fd, text.data(), text.size(), 0, temp).GetError();
    if (rc == 0) rc = mEnv.SyncFile(fd, temp).GetError();
    mEnv.Close(fd);
    if (rc == 0 && beforePublish) beforePublish();
    if (rc == 0) rc = mEnv.ReplaceDurable(temp, file).GetError();
    if (rc != 0) {
        mEnv.DeleteFile(temp);
        IBS_DEBUG("SaveFailedList: error " << Mirel::ErrorText(rc) << " writing " << file);
    }
    return rc;
}

namespace {
// What tells one file from another at a path: a copy written to, or another file put there,
// no longer matches.
std::string Identity(const Mirel::Os::Info& info) {
    return info.isFile ? Talon::EncodeFileIdentity(info.ino, info.size, info.mtimeUs, info.mtimeNs)
                       : std::string();
}
std::string Identity(const std::string& path) {
    Mirel::Os::Info info;
    if (Mirel::Env::Current().Stat(path, info).GetError() != 0) return std::string();
    return Identity(info);
}

// A list in the backup folder, replaced whole; removed when it has nothing to say.
int SaveList(const std::string& file, const std::string& text) {
    if (text.empty()) {
        if (!Mirel::Env::Current().Probe(file).exists) return 0;
        int rc = Mirel::Env::Current().DeleteFile(file).GetError();
        if (rc == 0) rc = Mirel::Env::Current().SyncDir(Mirel::Os::ParentOf(file)).GetError();
        return rc;
    }
    return Mirel::Env::Current().WriteFileDurable(file, text).GetError();
}
}  // namespace

int Catalogue::SaveUnwrittenListLocked() {
    if (mBackupFolder.IsClear()) return 0;
    const int rc =
        SaveList(mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sUnwrittenListName).Native(),
                 Talon::EncodeUnwrittenList(mUnwritten));
    mUnwrittenSaved = rc == 0;
    return rc;
}

int Catalogue::NoteUnwritten(const Mirel::UniversalPath& copy, const Mirel::UniversalPath& as,
                             const Mirel::Os::Info* seen) {
    Mirel::LockMutex u(mUnwrittenLock);
    const std::string id =
        seen ? Identity(*seen) : Identity(as.IsClear() ? copy.Native() : as.Native());
    if (id.empty()) return Mirel::kErrPathNotFound;
    std::string& noted = mUnwritten[copy.Native()];
    // Already durable: a start notes its uploads at once.
    if (noted == id && mUnwrittenSaved) return 0;
    noted = id;
    return SaveUnwrittenListLocked();
}

int Catalogue::NoteUnwritten(
    const std::vector<std::pair<Mirel::UniversalPath, Mirel::Os::Info>>& copySeen) {
    Mirel::LockMutex u(mUnwrittenLock);
    bool changed = false;
    for (const auto& [copy, seen] : copySeen) {
        const std::string id = Identity(seen);
        if (id.empty()) continue;
        std::string& noted = mUnwritten[copy.Native()];
        changed = changed || noted != id || !mUnwrittenSaved;
        noted = id;
    }
    return changed ? SaveUnwrittenListLocked() : 0;
}

int Catalogue::ForgetUnwritten(const Mirel::UniversalPath& copy) {
    Mirel::Env& env = Mirel::Env::Current();
    std::string file;
    int fd = -1;
    {
        Mirel::LockMutex u(mUnwrittenLock);
        if (mUnwritten.erase(copy.Native()) == 0) return 0;
        // A line appended and synced forgets the copy for a restart: one sync of the list,
        // where a new list cost two, and no lock held over it, so workers' syncs overlap.
        // Without a list on disk that says what mUnwritten said, it is written whole.
        if (!mUnwrittenSaved || mBackupFolder.IsClear()) return SaveUnwrittenListLocked();
        file = mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sUnwrittenListName).Native();
        const std::string line = Talon::EncodeUnwrittenForget(copy.Native());
        if (env.OpenWrite(file, Mirel::Os::WriteMode{false, false, true}, fd).GetError() != 0)
            return SaveUnwrittenListLocked();
        if (env.Append(fd, line.data(), line.size(), file).GetError() != 0) {
            env.Close(fd);
            return SaveUnwrittenListLocked();
        }
    }
    // A list that replaced this one meanwhile was written whole, without the copy, and synced
    // before the lock was let go.
    const int rc = env.SyncFile(fd, file).GetError();
    env.Close(fd);
    if (rc != 0) {
        Mirel::LockMutex u(mUnwrittenLock);
        mUnwrittenSaved = false;
    }
    return rc;
}

int Catalogue::NoteTaken(const std::string& folder, const std::string& name,
                         const Mirel::unistring& uuid, std::uint64_t msn) {
    Mirel::LockReentrant g(mLock);
    if (mBackupFolder.IsClear()) return 0;
    const std::string file =
        mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sTakenListName).Native();
    if (mTakenFd >= 0 && mTakenFile != file) {
        mEnv.Close(mTakenFd);
        mTakenFd = -1;
    }
    if (mTakenFd < 0) {
        if (int rc = mEnv.OpenWrite(file, Mirel::Os::WriteMode{true, false, true}, mTakenFd)
                         .GetError()) {
            mTakenFd = -1;
            return rc;
        }
        mTakenFile = file;
    }
    const std::string line = Talon::EncodeTakenLine({folder, name, uuid, msn});
    const int rc = mEnv.Append(mTakenFd, line.data(), line.size(), file).GetError();
    if (rc != 0) {
        mEnv.Close(mTakenFd);
        mTakenFd = -1;
    }
    return rc;
}

std::vector<Talon::TakenLog> Catalogue::LoadTaken() {
    Mirel::LockReentrant g(mLock);
    std::string text;
    if (mBackupFolder.IsClear() ||
        !mEnv.ReadWholeFile(
                 mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sTakenListName).Native(), text)
             .OK())
        return {};
    return Talon::DecodeTakenList(text);
}

int Catalogue::SaveTaken() {
    Mirel::LockReentrant g(mLock);
    if (mBackupFolder.IsClear()) return 0;
    // The list is replaced: appends go to the new file from the next note on.
    if (mTakenFd >= 0) mEnv.Close(mTakenFd);
    mTakenFd = -1;
    std::string text;
    for (const auto& [end, interval] : mIntervals) {
        if (!interval.backup.IsClear()) continue;
        for (const auto& [uuid, item] : interval.databases)
            for (const FileInfo& log : item.logs) {
                const std::string path = log.path.Native();
                const std::size_t slash = path.rfind('/');
                const std::size_t before = slash == std::string::npos || slash == 0
                                               ? std::string::npos
                                               : path.rfind('/', slash - 1);
                if (before == std::string::npos) continue;
                text += Talon::EncodeTakenLine({path.substr(before + 1, slash - before - 1),
                                                path.substr(slash + 1), uuid, log.msn});
            }
    }
    const int rc =
        SaveList(mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sTakenListName).Native(), text);
    if (rc != 0)
        IBS_DEBUG("SaveTaken: error " << rc << " (the old list stays, and is appended to)");
    return rc;
}

std::uint64_t Catalogue::NewestCopyMsn(const Mirel::unistring& uuid) const {
    std::uint64_t msn = 0;
    for (const auto& [end, interval] : mIntervals) {
        auto found = interval.databases.find(uuid);
        if (found != interval.databases.end() && !found->second.file.path.IsClear())
            msn = std::max(msn, found->second.file.msn);
    }
    return msn;
}

bool Catalogue::IsUnwritten(const Mirel::UniversalPath& copy) {
    Mirel::LockMutex u(mUnwrittenLock);
    auto it = mUnwritten.find(copy.Native());
    return it != mUnwritten.end() && it->second == Identity(copy.Native());
}

int Catalogue::ClearUnwrittenList() {
    Mirel::LockMutex u(mUnwrittenLock);
    mUnwritten.clear();
    return SaveUnwrittenListLocked();
}

void Catalogue::LoadUnwrittenList() {
    Mirel::LockMutex u(mUnwrittenLock);
    mUnwritten.clear();
    mUnwrittenSaved = true;
    if (mBackupFolder.IsClear()) return;
    // Through the OS layer: a FIFO under the list's name is never opened.
    std::string text;
    mEnv.ReadWholeFile(
            mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sUnwrittenListName).Native(), text)
        .GetError();
    mUnwritten = Talon::DecodeUnwrittenList(text);
}

std::uint64_t Catalogue::UnpublishedEnd() {
    Mirel::LockReentrant g(mLock);
    std::uint64_t after = mKeptDoneEnd;
    for (auto it = mIntervals.rbegin(); it != mIntervals.rend(); ++it)
        if (it->first != kOpenInterval) {
            if (it->second.backup.IsClear()) after = std::max(after, it->first);
            break;
        }
    return after;
}

int Catalogue::SaveUploadsAfter() {
    if (mBackupFolder.IsClear()) return 0;
    return SaveList(mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sUploadsAfterName).Native(),
                    Talon::EncodeUploadsAfter(mUploadsAfter));
}

int Catalogue::NoteUploadAfter(const Mirel::UniversalPath& upload, std::uint64_t after,
                               const Mirel::unistring& uuid, std::int32_t cleared) {
    Mirel::LockReentrant g(mLock);
    const std::string id = Identity(upload.Native());
    if (id.empty()) return Mirel::kErrPathNotFound;
    // An earlier upload of the database, after the same end, cleared the failure already:
    // this one replaces it and keeps what it knew.
    for (const auto& [path, v] : mUploadsAfter)
        if (v.uuid == uuid && cleared == 0) cleared = v.cleared;
    UploadAfterLine& v = mUploadsAfter[upload.Native()];
    v = {id, after, uuid, cleared};
    return SaveUploadsAfter();
}

int Catalogue::NoteLogAfter(const Mirel::UniversalPath& log, std::uint64_t after,
                            const Mirel::unistring& uuid) {
    Mirel::LockReentrant g(mLock);
    const std::string id = Identity(log.Native());
    if (id.empty()) return Mirel::kErrPathNotFound;
    mUploadsAfter[log.Native()] = {id, after, uuid, 0};
    return SaveUploadsAfter();
}

std::uint64_t Catalogue::RecordedAfter(const Mirel::UniversalPath& file) {
    Mirel::LockReentrant g(mLock);
    // Asked for every file a restart scan finds, and the list is nearly always empty: no
    // path text to make then.
    if (mUploadsAfter.empty()) return 0;
    auto it = mUploadsAfter.find(file.Native());
    return it != mUploadsAfter.end() && it->second.id == Identity(file.Native()) ? it->second.after
                                                                                 : 0;
}

std::set<Mirel::unistring> Catalogue::FailedUntil(std::uint64_t end) {
    Mirel::LockReentrant g(mLock);
    std::set<Mirel::unistring> out;
    for (const auto& [path, v] : mUploadsAfter)
        if (v.cleared != 0 && end <= v.after) out.insert(v.uuid);
    return out;
}

void Catalogue::PruneUploadsAfter(std::uint64_t published) {
    Mirel::LockReentrant g(mLock);
    bool changed = false;
    for (auto it = mUploadsAfter.begin(); it != mUploadsAfter.end();) {
        // Once that end is published, no interval up to it is still to be made.
        if (it->second.after <= published) {
            it = mUploadsAfter.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed)
        if (int rc = SaveUploadsAfter())
            IBS_DEBUG("PruneUploadsAfter: error " << rc << " (its lines stay true)");
}

void Catalogue::LoadUploadsAfter() {
    Mirel::LockReentrant g(mLock);
    mUploadsAfter.clear();
    if (mBackupFolder.IsClear()) return;
    // Through the OS layer: a FIFO under the list's name is never opened.
    std::string text;
    mEnv.ReadWholeFile(
            mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sUploadsAfterName).Native(), text)
        .GetError();
    mUploadsAfter = Talon::DecodeUploadsAfter(text);
}

void Catalogue::LoadFailedList() {
    std::string file = mBackupFolder.MakeUniversalPath(Talon::IBS_Config::sFailedListName).Native();
    std::string text;
    if (mEnv.ReadWholeFile(file, text).GetError() != 0 && text.empty()) return;
    Mirel::LockMutex f(mFailedLock);
    for (const std::string& l : Talon::SplitLines(text)) {
        Talon::FailedLine line;
        // A line without an error number lists no failure.
        if (Talon::DecodeFailedLine(l, line) != Talon::TsvLine::kEntry || line.error == 0) continue;
        Mirel::unistring uuid = CanonicalUuid(Mirel::unistring::FromUTF8(line.uuid));
        mFailedDatabases.emplace(uuid, line.error);
        if (line.hasSince) mFailedSince[uuid] = line.since;
    }
    IBS_DEBUG("LoadFailedList: " << mFailedDatabases.size() << " database(s) await a full upload");
}

std::int32_t Catalogue::GetDatabaseError(const Mirel::unistring& uuid) {
    Mirel::LockMutex g(mFailedLock);
    auto it = mFailedDatabases.find(uuid);
    return it == mFailedDatabases.end() ? 0 : it->second;
}

std::int32_t Catalogue::FailedBefore(const Mirel::unistring& uuid,
                                     const Mirel::UniversalPath& file) {
    std::uint64_t since = 0;
    std::int32_t number = 0;
    {
        Mirel::LockMutex g(mFailedLock);
        auto it = mFailedDatabases.find(uuid);
        if (it == mFailedDatabases.end()) return 0;
        number = it->second;
        auto s = mFailedSince.find(uuid);
        if (s != mFailedSince.end()) since = s->second;
    }
    return since == 0 || mEnv.Probe(file.Native()).mtimeUs < since ? number : 0;
}

void Catalogue::ClearIntervals() {
    Mirel::LockReentrant g(mLock);
    ++mGeneration;
    mIntervals.clear();
    mLastLogPath.Clear();
    mLinkFailed.clear();  // the next scan finds the link again
    mKeepFiles.clear();
}

IntervalMap::iterator Catalogue::CurrentInterval() {
    std::uint64_t end = mIntervalEnd.load();
    if (end == 0 || end == kOpenInterval) return mIntervals.end();
    auto it = mIntervals.lower_bound(end);
    return (it != mIntervals.end() && it->first == end) ? it : mIntervals.end();
}

void Catalogue::RequestIntervalCheck() {
    // Sticky until a check runs to its decision: one that finds a stop or a folder change
    // in progress leaves it set, and the end of that asks again.
    mCheckPending.store(true);
    if (CycleTrigger* t = mTrigger.load()) t->CheckIntervals();
}

void Catalogue::Report(Talon::Event code, const std::vector<Mirel::unistring>& texts,
                       const Talon::Logger::Database* database) {
    // On this host first, whether or not the server's hub is linked: the operator sees
    // every record where he looks.
    Talon::Logger::WriteSysLog(Talon::Code(code), texts, true, database);
    if (EventSink* sink = mSink.load()) sink->Event(Talon::Code(code), texts);
}

void Catalogue::ReportDatabaseEvent(Talon::Event code, const Mirel::unistring& uuid,
                                    const Mirel::unistring& name,
                                    std::vector<Mirel::unistring> texts) {
    Talon::Logger::Database db{uuid.ToUTF8(), name.ToUTF8()};
    if (db.name.empty()) {
        std::lock_guard<std::mutex> g(mNamesM);
        auto it = mNames.find(uuid);
        if (it != mNames.end()) db.name = it->second.ToUTF8();
    } else {
        NoteDatabaseName(uuid, Mirel::UniversalPath::FromNative(db.name));
    }
    Report(code, texts, &db);
}

void Catalogue::NoteDatabaseName(const Mirel::unistring& uuid, const Mirel::UniversalPath& file) {
    Mirel::unistring name = file.GetName();
    if (uuid.empty() || name.empty()) return;
    std::lock_guard<std::mutex> g(mNamesM);
    mNames[uuid] = name;
}

Mirel::unistring Catalogue::DatabaseName(const Mirel::unistring& uuid) {
    Mirel::LockReentrant g(mLock);
    for (auto it = mIntervals.rbegin(); it != mIntervals.rend(); ++it) {
        auto found = it->second.databases.find(uuid);
        if (found != it->second.databases.end() && !found->second.file.path.IsClear())
            return found->second.file.path.GetName();
    }
    std::lock_guard<std::mutex> g2(mNamesM);
    auto it = mNames.find(uuid);
    return it == mNames.end() ? Mirel::unistring() : it->second;
}

void Catalogue::ReportEvent(Talon::Event code, const Mirel::unistring& t1) {
    Report(code, {t1});
}
void Catalogue::ReportEvent(Talon::Event code, const Mirel::unistring& t1,
                            const Mirel::unistring& t2) {
    Report(code, {t1, t2});
}
void Catalogue::ReportEvent(Talon::Event code, const Mirel::unistring& t1,
                            const Mirel::unistring& t2, const Mirel::unistring& t3) {
    Report(code, {t1, t2, t3});
}
void Catalogue::ReportEvent(Talon::Event code, const Mirel::unistring& t1,
                            const Mirel::unistring& t2, const Mirel::unistring& t3,
                            const Mirel::unistring& t4) {
    Report(code, {t1, t2, t3, t4});
}

Catalogue::StopScope::StopScope(Catalogue& cat) : mCat(cat) {
    ++mCat.mStopping;
}

Catalogue::StopScope::~StopScope() {
    // A check asked for meanwhile returned at once; it runs now.
    if (--mCat.mStopping == 0 && mCat.mCheckPending.load()) mCat.RequestIntervalCheck();
}

Mirel::unistring Catalogue::CanonicalUuid(const Mirel::unistring& text) {
    Mirel::Format::Uuid u;
    return Mirel::UuidText::FromText(text, u) ? Mirel::UuidText::ToText(u) : text;
}

void Catalogue::ForgetRedoLog(const Mirel::UniversalPath& path) {
    Mirel::LockReentrant g(mLock);
    bool forgot = false;
    for (auto& [key, interval] : mIntervals) {
        for (auto it = interval.databases.begin(); it != interval.databases.end();) {
            DatabaseItem& item = it->second;
            // A worker reads an item it holds without the lock: that one is left to fail on
            // the missing file.
            auto log = item.owned ? item.logs.end()
                                  : std::find_if(item.logs.begin(), item.logs.end(),
                                                 [&](const FileInfo& l) { return l.path == path; });
            if (log == item.logs.end()) {
                ++it;
                continue;
            }
            item.logs.erase(log);
            forgot = true;
            IBS_DEBUG_WIDE(u"ForgetRedoLog: " << it->first << u" no longer counts on "
                                              << path.GetUserEntryFormat());
            if (item.logs.empty() && item.file.path.IsClear() && !item.upload && !item.pfailed)
                it = interval.databases.erase(it);
            else
                ++it;
        }
    }
    // Not taken after all: a restart must not miss it.
    if (forgot) SaveTaken();
}

std::uint64_t Catalogue::PassedIntervalEnd() {
    Mirel::LockReentrant g(mLock);
    std::uint64_t passed = mIntervalEnd.load();
    if (passed == kOpenInterval) passed = 0;
    // An interval announced and not started yet counts too: its logs were written before
    // any later one's, and an interval ending before it would come first.
    for (auto it = mIntervals.rbegin(); it != mIntervals.rend(); ++it)
        if (it->first != kOpenInterval) {
            passed = std::max(passed, it->first);
            break;
        }
    // So does one dropped with nothing to publish, whose interval-done file is kept, and any
    // the server named since the folder came into service.
    return std::max({passed, mKeptDoneEnd, mNamedEnd});
}

bool Catalogue::IsRedoFolderName(const Mirel::unistring& name) {
    const Mirel::unistring& prefix = IBS_Config::sRedoFolderPrefix;
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

bool Catalogue::FollowsLaterLogs(const Interval& interval, const Mirel::unistring& uuid,
                                 const FileInfo& log) {
    auto db = interval.databases.find(uuid);
    if (db == interval.databases.end()) return false;
    for (const FileInfo& other : db->second.logs)
        if (other.msn > other.startMSN && other.msn <= log.startMSN && other.endUTC > log.endUTC)
            return true;
    return false;
}

bool Catalogue::PlaceRedoLog(Interval& interval, const Mirel::unistring& uuid, FileInfo info,
                             bool hasContainers) {
    DatabaseItem& item = interval.databases[uuid];  // a default item when new
    // Logs come folder by folder, and the logs next to it in its database's chain mostly
    // sit in its folder: the folder's text is kept once for all of them.
    info.path.ShareFolder(mLastLogPath);
    auto next = item.logs.lower_bound(info);
    if (next != item.logs.end()) info.path.ShareFolder(next->path);
    if (next != item.logs.begin()) info.path.ShareFolder(std::prev(next)->path);
    mLastLogPath = info.path;
    const std::size_t before = item.logs.size();
    item.logs.insert(next, std::move(info));
    item.hasContainers = hasContainers;
    return item.logs.size() != before;
}

int Catalogue::MoveInvalidRedo(const Mirel::UniversalPath& path, bool report, std::int32_t reason,
                               SetAside cause, bool junk) {
    const bool replaced = reason == Mirel::kErrReplaced;
    const char* note = cause == SetAside::kWithItsDatabase
                           ? (replaced ? "set aside with its database, which was replaced"
                                       : "set aside with its database, which failed")
                       : cause == SetAside::kDatabaseHadFailed
                           ? (replaced ? "its database had already been replaced"
                                       : "its database had already failed")
                           : "";
    const std::string why = *note ? std::string(Mirel::ErrorWords(reason)) + "; " + note : "";
    Mirel::UniversalPath moved;
    bool limitReached = false;
    const Mirel::Directory backup = GetBackupFolder();
    Talon::Error e =
        IBS_Config::MoveInvalidRedo(path, backup, moved, reason, why, junk, &limitReached);
    if (e.GetError() == Mirel::kErrRejectedFull) {
        // Once when the limit is reached, not for every file it turns away.
        if (limitReached) {
            Mirel::Directory rejected = backup;
            rejected.SetToChild(IBS_Config::sRejectedFolderName);
            ReportEvent(Talon::Event::kSetAsideFull, rejected.GetPath().GetUserEntryFormat(),
                        Mirel::unistring::NumToString(IBS_Config::GetRejectedLimit()),
                        Mirel::unistring::NumToString(IBS_Config::CountRejected(backup)));
        }
        IBS_DEBUG_WIDE(u"MoveInvalidRedo: the set-aside folder is at its limit of "
                       << IBS_Config::GetRejectedLimit() << u" bytes, left in place ("
                       << Mirel::ErrorText(reason) << u"): " << path.GetUserEntryFormat());
        return e.GetError();
    }
    if (!e.OK())
        IBS_DEBUG_WIDE(u"MoveInvalidRedo: error " << Mirel::ErrorText(e.GetError())
                                                  << u", left in place: "
                                                  << path.GetUserEntryFormat());
    else
        IBS_DEBUG_WIDE(u"MoveInvalidRedo: set aside ("
                       << Mirel::ErrorText(reason) << (*note ? "; " : "") << note << u"): "
                       << path.GetUserEntryFormat() << u" -> " << moved.GetUserEntryFormat());
    if (e.OK() && *note)
        ReportEvent(Talon::Event::kSetAside, moved.GetUserEntryFormat(),
                    Mirel::unistring::NumToString(reason), Mirel::unistring::FromUTF8(note));
    else if (e.OK() || report)
        ReportEvent(Talon::Event::kSetAside, moved.GetUserEntryFormat(),
                    Mirel::unistring::NumToString(e.OK() ? reason : e.GetError()));
    return e.GetError();
}

bool Interval::AddDatabase(const Mirel::UniversalPath& path, const Mirel::UniversalPath& base,
                           bool hasContainers, const Superseded& superseded) {
    bool upload = base.IsClear();
    Mirel::unistring uuid;
    std::uint64_t msn = 0;
    if (!Talon::IBS_Config::GetDBInfo(path, uuid, msn).OK()) return false;
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
