#include "tools/sim/Server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/framework/IBS_Config.h"
#include "platform/support/DateTime.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr std::uint64_t kSecond = 1000000, kMinute = 60 * kSecond;
using Clock = std::chrono::steady_clock;

Mirel::UniversalPath File(const std::string& p) {
    return Mirel::UniversalPath::FromNative(p);
}
bool Exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}
double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

void ServerOptions::Demanding() {
    databases = std::max(databases, 5);
    minPageSize = 512;
    maxPageSize = 65536;
    initialPages = 12;
    maxPages = 160;
    maxPagesPerLog = 12;
    maxLogsPerInterval = 3;
    highMsn = true;
    idle = 0.25;
    grow = 0.1;
    repeat = 0.2;
    uploads = 0.35;
    sameMinute = 0.25;
    serverRestarts = 0.1;
    quiet = 0.1;
    earlyLogs = 0.2;
    slowLogs = 0.2;
    badEvery = 3;
    mixedCase = true;
}

Server::Server(const ServerOptions& options, ServiceClient& client, EventHubServer& hub,
               Report& report)
    : mO(options),
      mClient(client),
      mHub(hub),
      mR(report),
      mSession(
          client, hub,
          Session::Options{options.backup, options.hubHost, options.hubPort, options.patienceSecs},
          report),
      mChecker(mL, report),
      mRng(options.seed),
      // A fixed start (2026-01-01) keeps runs with one seed identical.
      mClock(options.startUtc ? options.startUtc
                              : 1767225600000000ull + (options.seed % 1000) * 60 * kMinute) {
    if (mO.work.empty()) mO.work = mO.backup + ".sim";
    mL.backup = mO.backup;
    mHub.OnNotification([this](long code, const std::vector<std::string>& targets) {
        if (code != 21) return;
        std::lock_guard<std::mutex> g(mNoticeM);
        for (const auto& t : targets) mNotices.push_back(t);
        mNoticeCv.notify_all();
    });
    mHub.OnEvent([this](std::uint32_t code, const std::vector<std::string>& texts) {
        std::lock_guard<std::mutex> g(mNoticeM);
        if (!mO.realWorld.empty()) {
            mEvents.emplace_back(code, texts);
            mNoticeCv.notify_all();
        }
        if (code != 0x41000328u || texts.size() < 2) return;
        mSetAsideEvents.emplace_back(texts[0], std::atoi(texts[1].c_str()));
    });
}

Server::~Server() {
    mHub.OnNotification(nullptr);
    mHub.OnEvent(nullptr);
}

void Server::RestartServer() {
    Said("@folder");
    // Now and then the folder is named by another path to it: it is the same folder.
    bool alias = Roll(0.5);
    mR.Say(std::string("the server restarts") +
           (alias ? " (names its folder with a trailing /)" : ""));
    mSession.ServerRestart(alias ? mO.backup + "/" : "");
}

void Server::Said(const std::string& marker) {
    if (mO.markers) mR.Say(marker);
}

void Server::Journal(const std::string& line) {
    if (mJournal) mJournal << line << "\n" << std::flush;
}

std::size_t Server::AddFile(FileRec f) {
    if (f.kind != FileKind::kDone && f.kind != FileKind::kForeign)
        FileDigest(f.path, f.digest, f.size);
    mL.files.push_back(std::move(f));
    const FileRec& r = mL.files.back();
    static const char* kKinds[] = {"log", "upload", "done", "bogus", "foreign"};
    Journal(std::string("write\t") + kKinds[static_cast<int>(r.kind)] + "\t" + r.path + "\t" +
            (r.db >= 0 ? mL.dbs[static_cast<std::size_t>(r.db)].name : "-") + "\t" +
            std::to_string(r.startMSN) + "\t" + std::to_string(r.msn));
    return mL.files.size() - 1;
}

bool Server::Failing(int d) const {
    const DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
    return r.badPending || r.reportedFailed || r.needsUpload;
}

int Server::PickDb(bool healthyOnly) {
    std::vector<int> ok;
    for (int d = 0; d < static_cast<int>(mL.dbs.size()); ++d)
        if (mL.Active(d) &&
            (!healthyOnly || (mL.dbs[static_cast<std::size_t>(d)].known && !Failing(d))))
            ok.push_back(d);
    return ok.empty() ? -1 : ok[Rand(ok.size())];
}

std::string Server::RedoFolder() {
    if (mRedo.empty())
        mRedo =
            mO.backup + "/Changes/" + Talon::IBS_Config::MakeRedoFolderName(mClock + 1).ToUTF8();
    // A folder change may have wiped it: the server writes where it always does.
    std::error_code ec;
    fs::create_directories(mRedo, ec);
    return mRedo;
}

std::string Server::LogName(const std::string& stem) {
    static const char* kExt[] = {".vrl", ".VRL", ".Vrl"};
    return stem + (mO.mixedCase ? kExt[Rand(3)] : ".vrl");
}

std::vector<std::uint64_t> Server::PlanPages(int d) {
    DatabaseModel& m = *mL.dbs[static_cast<std::size_t>(d)].model;
    std::uint64_t count = m.PageCount();
    std::uint64_t n = Rand(static_cast<std::uint64_t>(mO.maxPagesPerLog) + 1);
    std::vector<std::uint64_t> pages;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (!pages.empty() && Roll(mO.repeat)) {
            pages.push_back(pages[Rand(pages.size())]);
        } else if (count == 0 || (count < mO.maxPages && Roll(mO.grow))) {
            // Now and then a gap: the pages between read as zeros.
            std::uint64_t gap = Roll(0.15) ? Rand(4) : 0;
            pages.push_back(count + gap);
            count += gap + 1;
        } else {
            pages.push_back(Rand(count));
        }
    }
    return pages;
}

std::int32_t Server::AnnounceLog(std::size_t idx, const std::string& uuid) {
    std::string path = mL.files[idx].path;
    mUnanswered.push_back(idx);
    std::int32_t r = 0;
    for (int attempt = 0;; ++attempt) {
        r = mSession.Call("RedoLogIsReady",
                          [&] { return mClient.RedoLogIsReady(path, uuid, true); });
        // 10017: the service lost its backup folder; name it again and repeat.
        if (r != Mirel::kErrFoldersNotReady || attempt >= 3) break;
        mSession.MarkSuspect();
    }
    mUnanswered.erase(std::remove(mUnanswered.begin(), mUnanswered.end(), idx), mUnanswered.end());
    // "Not taken" because a call whose answer a kill lost refused the file and set it aside:
    // that refusal, in its reasons.tsv line, is the answer.
    if (r == Mirel::kErrFileNotTaken && !Exists(path)) {
        auto rejected = ReadRejected(mO.backup);
        auto it = rejected.find(path);
        if (it != rejected.end() && it->second.reason != 0 && !it->second.withItsDatabase) {
            mR.Say("RedoLogIsReady(" + path + ") answered 10008 after a call whose answer was " +
                   "lost refused it with " + std::to_string(it->second.reason));
            r = it->second.reason;
        }
    }
    FileRec& f = mL.files[idx];
    f.answered = true;
    f.answer = r;
    f.accepted = r == 0;
    Journal("answer\t" + path + "\t" + std::to_string(r));
    return r;
}

bool Server::AnnounceUpload(std::size_t idx) {
    std::string path = mL.files[idx].path;
    std::string uuid = mL.dbs[static_cast<std::size_t>(mL.files[idx].db)].model->UuidText();
    mUnanswered.push_back(idx);
    bool ok = false;
    for (int attempt = 0;; ++attempt) {
        ok = mSession.Call("FullDBBackupIsUploaded",
                           [&] { return mClient.FullDBBackupIsUploaded(path, uuid); });
        if (ok || attempt >= 3) break;
        // A false answer without a word: perhaps the service lost its backup folder.
        std::int32_t v = mSession.Call("VerifyFullDBBackup", [&] {
            return mClient.VerifyFullDBBackup("probe", uuid, 0, false);
        });
        if (v != Mirel::kErrFoldersNotReady) break;
        mSession.MarkSuspect();
    }
    mUnanswered.erase(std::remove(mUnanswered.begin(), mUnanswered.end(), idx), mUnanswered.end());
    FileRec& f = mL.files[idx];
    f.answered = true;
    f.answer = ok ? 1 : 0;
    f.accepted = ok;
    Journal("answer\t" + path + "\t" + (ok ? "true" : "false"));
    return ok;
}

void Server::Setup() {
    std::error_code ec;
    fs::create_directories(mO.work + "/model", ec);
    fs::create_directories(mO.work + "/outside", ec);
    mJournal.open(mO.work + "/journal.tsv", std::ios::app);
    if (mO.realWorld.count(RealWorld::kExpire))
        mR.Say(
            "real-world expire: not generated by the server alone: the soak runs it between "
            "its kills (scripts/soak)");
    Journal("start\tseed " + std::to_string(mO.seed) + "\tbackup " + mO.backup);
    for (int i = 0; i < mO.databases; ++i) {
        std::uint32_t lo = 0, hi = 0;
        while ((512u << lo) < mO.minPageSize) ++lo;
        while ((512u << hi) < mO.maxPageSize) ++hi;
        std::uint32_t pageSize = 512u << (lo + Rand(hi - lo + 1));
        std::uint64_t msn = mO.highMsn ? (1ull << 32) - 40 + Rand(30) : 1000 + Rand(1000);
        DbRec r;
        r.name = "db" + std::to_string(i) + ".vdb";
        r.model = std::make_unique<DatabaseModel>(mO.seed * 1000 + static_cast<std::uint64_t>(i),
                                                  pageSize, mO.initialPages, msn);
        Journal("db\t" + r.name + "\t" + r.model->UuidText() + "\t" + std::to_string(pageSize));
        mL.dbs.push_back(std::move(r));
        mSaved.push_back(0);
    }
    // Announce again what a vanished service never answered; the call in flight repeats
    // itself.
    mSession.SetOnFolderRefused([this] {
        // A restart while the tmpfs is on Copies/: the set-up refuses the folder, as it must.
        if (mCopiesMount.empty()) return false;
        mR.Say(
            "real-world xdev: the restarted service refused the folder with Copies/ on "
            "another file system; the tmpfs goes and the folder is named again");
        UnmountCopies();
        return true;
    });
    mSession.SetOnReconnect([this] {
        std::vector<std::size_t> todo = mUnanswered;
        for (std::size_t idx : todo) {
            if (idx == todo.back()) continue;  // the call in flight
            FileRec& f = mL.files[idx];
            if (f.kind == FileKind::kUpload) {
                mSession.Call("FullDBBackupIsUploaded", [&] {
                    return mClient.FullDBBackupIsUploaded(
                        f.path, mL.dbs[static_cast<std::size_t>(f.db)].model->UuidText());
                });
            } else {
                std::string uuid =
                    f.db >= 0 ? mL.dbs[static_cast<std::size_t>(f.db)].model->UuidText() : "";
                mSession.Call("RedoLogIsReady",
                              [&] { return mClient.RedoLogIsReady(f.path, uuid, true); });
            }
        }
    });
}

void Server::SaveModels() {
    // The server's databases as they are now, whole, in its work folder.
    for (std::size_t d = 0; d < mL.dbs.size(); ++d) {
        const DatabaseModel& m = *mL.dbs[d].model;
        if (mSaved[d] == m.MSN() || mL.dbs[d].retired) continue;
        std::string path = mO.work + "/model/" + mL.dbs[d].name;
        std::error_code ec;
        fs::remove(path + ".new", ec);
        if (m.WriteFullCopy(File(path + ".new")).OK()) {
            fs::rename(path + ".new", path, ec);
            mSaved[d] = m.MSN();
        }
    }
}

void Server::Upload(int d, const std::string& why, const std::string& into) {
    DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
    Said("@upload");
    if (r.reportedFailed && !ReadFailedList(mO.backup).count(r.model->UuidText()))
        mR.Fail("folder", "Failed.tsv does not list " + mL.DbLabel(d) +
                              ", which the service reported failed");
    std::string folder = !into.empty() ? into
                                       : mO.backup + "/Copies/up-" + std::to_string(mO.seed) + "-" +
                                             std::to_string(++mUploads);
    std::error_code ec;
    fs::create_directories(folder, ec);
    FileRec f;
    f.kind = FileKind::kUpload;
    f.path = folder + "/" + r.name;
    f.db = d;
    f.startMSN = f.msn = r.model->MSN();
    f.interval = mL.OpenInterval();
    // A name at the length limit leaves the writer no room for its temporary name: such a
    // file is written under a short name and renamed.
    const std::string written = f.path.size() - folder.size() > 200
                                    ? folder + "/writing-" + std::to_string(mUploads) + ".tmp"
                                    : f.path;
    if (Mirel::Error e = r.model->WriteFullCopy(File(written)); !e.OK()) {
        mR.Say("cannot write " + f.path + ": error " + std::to_string(e.GetError()));
        return;
    }
    if (written != f.path) fs::rename(written, f.path, ec);
    r.uploaded[f.msn] =
        StateOf(r.model->Uuid(), r.model->PageSize(), r.model->MSN(), r.model->Pages());
    std::size_t idx = AddFile(f);
    const std::uint64_t askedAt = Mirel::DateTime::NowUTC();
    bool ok = AnnounceUpload(idx);
    if (!ok && mL.files[idx].settled) {
        // Its file system went away while it was announced (the tmpfs on Copies/ of a
        // refused folder): gone with it, not taken by a scan.
        mR.Say("real-world xdev: " + mL.files[idx].path + " " + mL.files[idx].fate);
        UploadLost(d);
        return;
    }
    if (!ok && !Exists(mL.files[idx].path) && !InRejected(mL.files[idx].path)) {
        // A restart's scan took it before the answer came.
        mL.files[idx].accepted = ok = true;
    }
    if (!ok && r.name.size() >= 250 && !r.known) {
        // A name the service cannot store may be refused, with a reason; the server gives
        // that database up.
        if (!EventSince(EventMark{}, expect::kUploadRefusedEvent, {mL.files[idx].path}))
            mR.Fail("event", "FullDBBackupIsUploaded(" + mL.files[idx].path +
                                 ") refused a long name without event 0x41000313");
        mR.Say("real-world longname: " + r.name.substr(0, 40) + "... refused at intake");
        mL.files[idx].settled = true;
        r.retired = true;
        std::error_code ec;
        fs::remove_all(folder, ec);
        return;
    }
    if (!ok) {
        mR.Fail("answer", "FullDBBackupIsUploaded(" + mL.files[idx].path +
                              ") answered false for a whole database of " + mL.DbLabel(d));
        r.needsUpload = true;
        return;
    }
    r.known = true;
    r.uploadInterval = mL.OpenInterval();
    r.uploadAskedAt = askedAt;
    // An upload whose first log failed is no newest good copy once a newer one comes.
    if (r.heldInterval == mL.OpenInterval()) r.heldInterval = 0;
    // Its logs of this interval come before the upload: the interval starts from the upload,
    // and a changed last-good copy is no starting copy after all.
    // So is an upload at the MSN a log of an interval still to start reaches: a restart's scan
    // files it under that interval, which then starts from it.
    const std::uint64_t uploadMsn = mL.files[idx].msn;
    auto reachedBy = [&](int k) {
        for (const FileRec& f : mL.files)
            if (f.kind == FileKind::kLog && f.db == d && f.interval == k && f.accepted &&
                f.msn == uploadMsn)
                return true;
        return false;
    };
    for (auto& x : mL.damaged)
        if (x.db == d && x.eventDue && !x.eventChecked &&
            (x.dueAt == mL.OpenInterval() || reachedBy(x.dueAt)))
            x.eventDue = false;
    if (r.replaces >= 0 && mL.dbs[static_cast<std::size_t>(r.replaces)].replacementPending) {
        // The replacement the service could not meet before comes with this upload.
        DbRec& old = mL.dbs[static_cast<std::size_t>(r.replaces)];
        old.replacementPending = false;
        old.retiredAt = mL.OpenInterval();
        old.eventsBefore = MarkEvents();
        old.replacedEventDue = true;
    }
    r.reportedFailed = r.needsUpload = r.badPending = false;
    r.hostFault = r.linkFailed = false;
    if (!mCopiesMount.empty()) {
        // Copies/ is on another file system: the move into InProgress/ fails, and the
        // database must fail visibly.
        r.badPending = r.hostFault = true;
        r.badInterval = mL.OpenInterval();
        r.badLog = "upload " + mL.files[idx].path + " lies on another file system";
    }
    mR.Say("uploaded " + mL.DbLabel(d) + " at MSN " + std::to_string(r.model->MSN()) + " (" + why +
           ")");
}

void Server::Log(int d, std::uint64_t endUTC, bool flipPage, bool twice) {
    DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
    Said("@log");
    std::vector<std::uint64_t> pages = PlanPages(d);
    if (flipPage && pages.empty())
        pages.push_back(Rand(std::max<std::uint64_t>(1, r.model->PageCount())));
    std::uint64_t step = 1 + Rand(3);
    if (mO.highMsn && Roll(0.1)) step += Rand(1u << 20);
    FileRec f;
    f.kind = flipPage ? FileKind::kBogus : FileKind::kLog;
    f.path = RedoFolder() + "/" + LogName(std::to_string(++mSeq) + "-db" + std::to_string(d));
    bool longName = !flipPage && !twice && !Failing(d) && RealRoll(RealWorld::kLongName, 0.5);
    if (longName) {
        f.path =
            RedoFolder() + "/" +
            LongName(std::to_string(mSeq) + "-db" + std::to_string(d) + "-", ".vrl", 250 + Rand(6));
        Happened(RealWorld::kLongName,
                 "a log named with " + std::to_string(fs::path(f.path).filename().string().size()) +
                     " bytes");
    }
    f.db = d;
    f.interval = mL.OpenInterval();
    f.afterBreak = Failing(d);
    LogInfo info;
    std::function<void()> slow;
    if (Roll(mO.slowLogs)) {
        auto ms = std::chrono::milliseconds(Rand(150));
        slow = [ms] { std::this_thread::sleep_for(ms); };
    }
    if (Mirel::Error e =
            r.model->WriteRedoLog(File(f.path), pages, step, endUTC, Rand(2), &info, slow);
        !e.OK()) {
        mR.Say("cannot write " + f.path + ": error " + std::to_string(e.GetError()));
        return;
    }
    // The server's database has the changes; the copy of the log on disk lost a bit of one,
    // or its end, before the announcement or after it; or, after it, a bit of its header (the
    // log can no longer say which it is, as one still being written cannot).
    const int damage = flipPage ? static_cast<int>(Rand(4)) : -1;
    auto spoil = [&] {
        if (damage == 3) {
            DatabaseModel::FlipBit(f.path, Rand(Mirel::Format::kLogHeaderSize - 52),
                                   static_cast<int>(Rand(8)));
            return;
        }
        if (damage == 2) {
            std::error_code ec;
            const std::uint64_t size = fs::file_size(f.path, ec);
            const std::uint64_t body = size - Mirel::Format::kLogHeaderSize;
            if (!ec && size > Mirel::Format::kLogHeaderSize)
                fs::resize_file(f.path, size - 1 - Rand(body), ec);
            return;
        }
        DatabaseModel::FlipBit(f.path,
                               Mirel::Format::kLogHeaderSize + Mirel::Format::kRecordHeaderSize +
                                   Rand(r.model->PageSize()),
                               static_cast<int>(Rand(8)));
    };
    if (damage == 0) spoil();
    mBytes += info.bytes;
    f.startMSN = info.startMSN;
    f.msn = info.msn;
    f.endUTC = endUTC;
    std::size_t idx = AddFile(f);
    std::string uuid = r.model->UuidText();
    std::int32_t a = AnnounceLog(idx, uuid);
    if (damage > 0) spoil();
    if (twice && a == 0) {
        std::int32_t again = AnnounceLog(idx, uuid);
        mL.files[idx].accepted = true;
        if (again != 0)
            mR.Fail("answer", "the same redo log announced again answered " +
                                  std::to_string(again) + ", expected 0: " + f.path);
    }
    // A refused long name is written again under a short one: that log is the one that
    // counts from here on, as a starting copy's first log too.
    if (std::size_t again = 0;
        longName && mL.files[idx].answer != 0 && LongNameRefused(idx, mL.files[idx].answer, again))
        idx = again;
    FileRec& g = mL.files[idx];
    if (g.answer != 0) {
        // A restart's scan took it before the answer came (and may have set it aside since,
        // with its database: "not taken" says the file was gone when asked).
        if (!Exists(g.path) && (!InRejected(g.path) || g.answer == Mirel::kErrFileNotTaken)) {
            g.accepted = true;
        } else if (g.afterBreak || Failing(d) || FailedForLink(mL, d)) {
            r.needsUpload = true;  // refused while its database is failed: upload again
        } else {
            mR.Fail("answer", "RedoLogIsReady(" + g.path + ") of " + mL.DbLabel(d) +
                                  ", a valid log that continues its chain, answered " +
                                  std::to_string(g.answer));
            r.needsUpload = true;
        }
    }
    if (flipPage) {
        r.badPending = true;
        r.badInterval = mL.OpenInterval();
        r.badLog = "log " + g.path + " is invalid";
    }
    // Not when the log was refused: nothing starts from the copy of a failed database.
    if (mL.files[idx].accepted) MarkDamagedStart(d);
}

void Server::MarkDamagedStart(int d) {
    // A damaged last-good copy of a database with logs in the open interval may be its
    // starting copy; the event is owed when it is the database's only one.
    if (Failing(d)) return;
    const DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
    for (auto& x : mL.damaged) {
        if (x.db != d || x.gone || x.eventChecked || x.eventDue || r.uploadInterval > x.flippedAt)
            continue;
        x.eventDue = OnlyDamagedCopy(x);
        x.eventChecked = !x.eventDue;  // another copy may serve as the start: nothing to say
        x.dueAt = mL.OpenInterval();
    }
}

std::string Server::Bogus(int d, const std::string& path, std::uint64_t endUTC, int cut,
                          int flipHeaderByte, std::uint64_t msnBack) {
    mL.dbs[static_cast<std::size_t>(d)].model->WriteStrayLog(File(path), endUTC, msnBack, cut,
                                                             flipHeaderByte);
    return path;
}

bool Server::InRejected(const std::string& path) const {
    std::string base = fs::path(path).filename().string();
    for (const auto& [key, s] : ReadRejected(mO.backup))
        if (key == path || (key[0] == '?' && (s.name == base || s.name.rfind(base + ".", 0) == 0)))
            return true;
    return false;
}

std::string Server::Snapshot(const std::string& path, bool deep) const {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
        return "link to " + std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (S_ISDIR(st.st_mode)) {
        std::string s = "folder";
        if (!deep) return s;
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            names.push_back(it->path().filename().string());
        std::sort(names.begin(), names.end());
        for (const auto& n : names) s += "; " + n + ": " + Snapshot(path + "/" + n, true);
        return s;
    }
    std::uint64_t digest = 0, size = 0;
    FileDigest(path, digest, size);
    std::ostringstream o;
    o << "file of " << size << " bytes, CRC-64 " << std::hex << digest;
    return o.str();
}

void Server::CheckTargets() {
    for (auto& t : mTargets) {
        std::string now = Snapshot(t.path, t.deep);
        if (now == t.before) continue;
        // A last-good folder named in a hostile call that a newer one has followed may be
        // expired since (the soak's operator expires between its kills).
        auto folders = ListLastGood(mO.backup);
        if (now == "missing" && fs::path(t.path).parent_path() == fs::path(mO.backup) &&
            fs::path(t.path).filename().string().rfind("LastGood_", 0) == 0 && !folders.empty() &&
            folders.back().path != t.path) {
            mR.Say(t.path +
                   ", named in a hostile call, is gone since: expired, a newer one stands");
            t.before = now;
            continue;
        }
        mR.Fail("moved", t.path + " is no longer exactly as it was after a hostile call: before " +
                             t.before.substr(0, 200) + "; now " + now.substr(0, 200));
        t.before = now;  // each change is reported once
    }
}

void Server::CheckKeep() {
    for (auto& t : mKeep) {
        std::string now = Snapshot(t.path, true);
        if (now == t.before) continue;
        mR.Fail("moved", t.path + ", a file of the folder's owner, changed: before " +
                             t.before.substr(0, 200) + "; now " + now.substr(0, 200));
        t.before = now;
    }
}

void Server::HostileCalls() {
    const std::string out = mO.work + "/outside";
    std::error_code ec;
    int victim = PickDb(true);
    if (victim < 0) return;
    DatabaseModel& vm = *mL.dbs[static_cast<std::size_t>(victim)].model;
    const std::string& vname = mL.dbs[static_cast<std::size_t>(victim)].name;
    std::string uuid = vm.UuidText();
    std::string tag = std::to_string(++mSeq);
    std::vector<std::string> mine;  // files the server puts in the backup folder for this
    auto target = [&](const std::string& p, bool deep) {
        mTargets.push_back(Target{p, Snapshot(p, deep), deep, true});
        if (p.compare(0, mO.backup.size() + 1, mO.backup + "/") == 0) mine.push_back(p);
    };
    auto expect = [&](const std::string& what, std::int32_t got, std::vector<std::int32_t> ok) {
        if (std::find(ok.begin(), ok.end(), got) == ok.end())
            mR.Fail("answer", what + " answered " + std::to_string(got) + ", expected " +
                                  std::to_string(ok.front()));
        CheckTargets();
    };
    auto redo = [&](const std::string& p, const std::string& u, std::vector<std::int32_t> ok) {
        std::int32_t r =
            mSession.Call("RedoLogIsReady", [&] { return mClient.RedoLogIsReady(p, u, true); });
        expect("RedoLogIsReady(" + p + ")", r, ok);
    };
    auto upload = [&](const std::string& p) {
        bool r = mSession.Call("FullDBBackupIsUploaded",
                               [&] { return mClient.FullDBBackupIsUploaded(p, uuid); });
        expect("FullDBBackupIsUploaded(" + p + ")", r ? 1 : 0, {0});
    };
    // The service's own folders change as it works: whole around the call, in place later.
    // Of Changes/ only the open interval's redo folder is compared whole: the service may be
    // clearing older ones.
    auto folderCall = [&](const std::string& folder, const std::string& whole) {
        std::string before = Snapshot(folder, false) + "; " + Snapshot(whole, true);
        redo(folder, uuid, {Mirel::kErrFileNotTaken});
        std::string now = Snapshot(folder, false) + "; " + Snapshot(whole, true);
        if (now != before)
            mR.Fail("moved", "RedoLogIsReady(" + folder + ") changed that folder: before " +
                                 before.substr(0, 200) + "; now " + now.substr(0, 200));
        else
            mTargets.push_back(Target{folder, Snapshot(folder, false), false, false});
    };

    bool calls = mO.bad.count("hostile") > 0;
    // Files outside the backup folder, and a folder of them.
    std::string txt = out + "/precious-" + tag + ".txt", vrl = out + "/precious-" + tag + ".vrl",
                vdb = out + "/precious-" + tag + ".vdb", dir = out + "/dir-" + tag;
    std::ofstream(txt) << "a user's file, not the service's\n";
    Bogus(victim, vrl, mClock + 2, 0, -1);
    vm.WriteFullCopy(File(vdb));
    fs::create_directories(dir, ec);
    vm.WriteFullCopy(File(dir + "/" + vname));
    for (const auto& p : {txt, vrl, vdb}) target(p, false);
    target(dir, true);

    // The least harmful calls first: a service that moves what it is given would otherwise
    // hide the later ones. Redo log intake takes only a regular file directly in a redo
    // folder of Changes/. What is planted in Changes/ goes again right after its call: a
    // restart's scan must not meet it.
    std::string changes = mO.backup + "/Changes", redoDir = RedoFolder();
    auto unplant = [&](const std::string& p) {
        fs::remove(p, ec);
        mTargets.erase(std::remove_if(mTargets.begin(), mTargets.end(),
                                      [&](const Target& t) { return t.path == p; }),
                       mTargets.end());
        mine.erase(std::remove(mine.begin(), mine.end(), p), mine.end());
    };
    if (calls) {
        redo(vrl, uuid, {Mirel::kErrFileNotTaken});
        redo(txt, uuid, {Mirel::kErrFileNotTaken});
        std::string link = redoDir + "/" + tag + "-link.vrl";
        fs::create_symlink(vrl, link, ec);
        target(link, false);
        const int reconnects = mSession.Reconnects();
        redo(link, uuid, {Mirel::kErrFileNotTaken});
        if (mSession.Reconnects() != reconnects) {
            // A restart in between met the link in an unfinished interval, which fails every
            // database the next folders would hold: nothing says whose log it stood for.
            Ledger::Link w;
            w.folder = link;
            w.outside = vrl;
            w.snapshot = Snapshot(vrl, true);
            w.at = mL.OpenInterval();
            w.judged = true;
            mL.links.push_back(w);
        }
        unplant(link);
        std::string relFile = redoDir + "/" + tag + "-relative.vrl";
        std::ofstream(relFile) << "named by a relative path\n";
        target(relFile, false);
        redo(relFile.substr(mO.backup.size() + 1), uuid, {Mirel::kErrBadPathFormat});
        unplant(relFile);
        std::string parent = fs::path(mO.backup).parent_path().string();
        if (out.compare(0, parent.size() + 1, parent + "/") == 0)
            redo(redoDir + "/../../.." + vrl.substr(parent.size()), uuid,
                 {Mirel::kErrFileNotTaken, Mirel::kErrBadPathFormat});
        std::string looseDone = changes + "/IntervalDone.vid";
        if (!Exists(looseDone)) {
            fs::create_directories(changes, ec);
            sim::WriteIntervalDone(File(looseDone), mClock + 3 * kSecond, {});
            target(looseDone, false);
            redo(looseDone, "", {Mirel::kErrFileNotTaken});
            unplant(looseDone);
        }

        // Uploads: only a regular *.vdb file inside Copies/, no link on the way.
        std::string copies = mO.backup + "/Copies/hostile-" + tag;
        fs::create_directories(copies, ec);
        upload(vdb);
        std::string named = copies + "/db-as-text.txt";
        vm.WriteFullCopy(File(named));
        target(named, false);
        upload(named);
        std::string linkDir = copies + "/linked";
        fs::create_directory_symlink(dir, linkDir, ec);
        target(linkDir, false);
        upload(linkDir + "/" + vname);
        std::string cut = copies + "/cut.vdb";
        vm.WriteFullCopy(File(cut));
        // Half its pages gone; one of no page loses half its header block. (Only cutting
        // above one page left a database of one page whole, and the service rightly took it.)
        fs::resize_file(
            cut, vm.PageCount() > 0 ? (vm.PageCount() / 2 + 1) * vm.PageSize() : vm.PageSize() / 2,
            ec);
        target(cut, false);
        upload(cut);
        upload("Copies/hostile-" + tag + "/cut.vdb");
        upload(mO.backup + "/Copies");

        // Folders given as redo logs.
        folderCall(redoDir, redoDir);
        folderCall(changes, redoDir);
        auto folders = ListLastGood(mO.backup);
        if (!folders.empty()) folderCall(folders.back().path, folders.back().path);
    }

    if (mO.bad.count("folder") && RealRoll(RealWorld::kXdev)) XdevProbe();
    // Backup folders that cannot be set up: the folder in service stays in service.
    if (mO.bad.count("folder")) {
        for (const std::string& bad : {txt + "/backup", out + "/" + std::string(4990, 'x')}) {
            Said("@folder");
            bool r = mSession.Call("SetBackupFolder", [&] { return mClient.SetBackupFolder(bad); });
            if (r) mR.Fail("answer", "SetBackupFolder(" + bad.substr(0, 80) + "...) answered true");
            std::int32_t v = mSession.Call("VerifyFullDBBackup", [&] {
                return mClient.VerifyFullDBBackup("probe", uuid, vm.MSN(), false);
            });
            CheckTargets();
            if (v == Mirel::kErrFoldersNotReady) {
                mR.Fail("folder", "after SetBackupFolder(" + bad.substr(0, 80) +
                                      "...) was refused, the backup folder left service (10017)");
                // As a server would: name the folder again and upload everything anew.
                mSession.MarkSuspect();
                for (auto& r2 : mL.dbs)
                    if (r2.known) r2.needsUpload = true;
            }
        }
    }
    for (const auto& p : mine) {
        FileRec f;
        f.kind = FileKind::kForeign;
        f.path = p;
        AddFile(f);
    }
}

void Server::BadRound(std::uint64_t t) {
    Said("@bad");
    int x = PickDb(true), y = PickDb(true);
    if (x < 0) return;
    if (y == x) y = PickDb(true);
    std::string redo = RedoFolder();
    auto bogus = [&](const std::string& path, const std::string& uuid, std::vector<int> reasons,
                     int db) {
        FileRec f;
        f.kind = FileKind::kBogus;
        f.path = path;
        f.db = db;
        f.interval = mL.OpenInterval();
        f.reasons = reasons;
        std::size_t idx = AddFile(f);
        std::int32_t r = AnnounceLog(idx, uuid);
        if (r == 0)
            mR.Fail("answer", "RedoLogIsReady(" + path +
                                  ") answered 0 for a file that must be "
                                  "refused (expected " +
                                  std::to_string(reasons.front()) + ")");
        else if (r != reasons.front() && Exists(path))
            mR.Fail("answer", "RedoLogIsReady(" + path + ") answered " + std::to_string(r) +
                                  ", expected " + std::to_string(reasons.front()));
    };
    std::string xu = mL.dbs[static_cast<std::size_t>(x)].model->UuidText();
    // A damaged header, and a log cut short after it was finished. Logs from an older point
    // of the database's history, so that a restart's scan can never chain them.
    if (mO.bad.count("header"))
        bogus(Bogus(x, redo + "/" + LogName(std::to_string(++mSeq) + "-header"), t, 0,
                    32 + static_cast<int>(Rand(40)), 1000),
              xu, {Mirel::kErrInvalidFile}, -1);
    if (mO.bad.count("cut"))
        bogus(Bogus(x, redo + "/" + LogName(std::to_string(++mSeq) + "-cut"), t,
                    1 + static_cast<int>(Rand(9)), -1, 1000),
              xu, {Mirel::kErrInvalidFile}, -1);
    // A log of one database announced as another's.
    if (y >= 0 && y != x && mO.bad.count("other"))
        bogus(Bogus(x, redo + "/" + LogName(std::to_string(++mSeq) + "-other"), t, 0, -1, 1000),
              mL.dbs[static_cast<std::size_t>(y)].model->UuidText(), {10720}, -1);
    // Interval-done files no last-good folder name can hold, each in its own redo folder.
    std::vector<std::uint64_t> ends = {0, 253402300800000000ull + kMinute};
    for (std::size_t i = 0; i < ends.size() && mO.bad.count("done"); ++i) {
        std::string folder =
            mO.backup + "/Changes/" + Talon::IBS_Config::MakeRedoFolderName(t + 1 + i).ToUTF8();
        std::error_code ec;
        fs::create_directories(folder, ec);
        std::string path = folder + "/IntervalDone.vid";
        sim::WriteIntervalDone(File(path), ends[i], {});
        bogus(path, "", {Mirel::kErrInvalidFile}, -1);
    }
    if (mO.bad.count("hostile") || mO.bad.count("folder")) HostileCalls();
}

void Server::Close(std::uint64_t end, bool early) {
    static const char* kNames[] = {"IntervalDone.vid", "INTERVALDONE.VID", "intervaldone.vid"};
    Said("@close");
    FileRec f;
    f.kind = FileKind::kDone;
    f.path = RedoFolder() + "/" + (mO.mixedCase ? kNames[Rand(3)] : kNames[0]);
    f.endUTC = end;
    f.interval = mL.OpenInterval();
    if (!sim::WriteIntervalDone(File(f.path), end, {}).OK()) {
        mR.Say("cannot write " + f.path);
        return;
    }
    IntervalRec rec;
    rec.k = mL.OpenInterval();
    rec.end = end;
    for (std::size_t d = 0; d < mL.dbs.size(); ++d) {
        const DatabaseModel& m = *mL.dbs[d].model;
        if (mL.Held(static_cast<int>(d)))
            rec.states[static_cast<int>(d)] = StateOf(m.Uuid(), m.PageSize(), m.MSN(), m.Pages());
    }
    mL.intervals.push_back(rec);
    std::ostringstream j;
    j << "interval\t" << rec.k << "\t" << end;
    for (const auto& [d, s] : rec.states)
        j << "\t" << mL.dbs[static_cast<std::size_t>(d)].name << " " << s.msn << " " << s.pageCount
          << " " << std::hex << s.digest << std::dec;
    Journal(j.str());
    std::size_t idx = AddFile(f);
    mClock = end;
    mRedo.clear();
    mEarly = false;
    int d = early ? PickDb(true) : -1;
    if (d >= 0) {
        // The next interval's first log, announced before this interval-done file.
        mClock = end + 1 + Rand(5 * kSecond);
        Log(d, mClock);
        mEarly = true;
    }
    std::int32_t r = AnnounceLog(idx, "");
    if (mLatePending) {
        Said("@late-close");  // the soak kills right after this
        mLatePending = false;
    }
    if (r != 0 && Exists(mL.files[idx].path))
        mR.Fail("answer",
                "the interval-done file " + mL.files[idx].path + " answered " + std::to_string(r));
    if (RealRoll(RealWorld::kRace)) RaceFolderChange();
    SaveModels();
}

void Server::TakeNotices(bool upload) {
    std::vector<std::string> notices;
    {
        std::lock_guard<std::mutex> g(mNoticeM);
        notices.swap(mNotices);
        for (const auto& [path, reason] : mSetAsideEvents) mL.setAsideEvents[path] = reason;
        mSetAsideEvents.clear();
    }
    for (const auto& uuid : notices) {
        int d = mL.DbOf(uuid);
        if (d < 0) {
            mR.Fail("failed", "notification 21 for " + uuid + ", not a database of the server");
            continue;
        }
        DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
        // Every notice the server does not act on is in the journal too, with why.
        if (r.reportedFailed) {  // told again before the new upload
            Journal("notification21-ignored\t" + uuid + "\talready reported");
            continue;
        }
        // Replaced or given up: the server has no such database. Unless its replacement's
        // upload was lost before the service met it: it stays under its name, and may fail.
        if (r.retired && !r.replacementPending) {
            Journal("notification21-ignored\t" + uuid + "\tretired");
            continue;
        }
        // A repeat arriving after the new upload was taken: the failure is gone, or
        // Failed.tsv dates it before the server asked for that upload (the one it answered).
        // The service records a failure before it notifies: one Failed.tsv no longer lists is
        // stale even while a failure of this database is expected (a repeat at a restart of
        // one the upload cleared, taken for the one to come).
        const auto failedSince = ReadFailedSince(mO.backup);
        auto since = failedSince.find(uuid);
        if (since == failedSince.end() ||
            (!r.badPending && r.uploadAskedAt != 0 && since->second < r.uploadAskedAt)) {
            mR.Say("notification 21 for " + mL.DbLabel(d) + " again; its new upload is taken");
            Journal("notification21-ignored\t" + uuid + "\tolder than the upload taken since");
            // A link where a redo folder of an unfinished interval was fails every database
            // of it, an upload that came meanwhile notwithstanding: that interval's folder may
            // lack this one, as for any database failed for a link.
            if (!mL.links.empty() && mL.links.back().at >= mL.OpenInterval() - 2)
                r.linkExcusedUntil = mL.OpenInterval();
            continue;
        }
        // While a link stands where a redo folder was, any database may fail for it.
        const bool forLink = FailedForLink(mL, d);
        r.linkFailed = r.linkFailed || forLink;
        if (!r.badPending && !r.hostFault && !forLink)
            mR.Fail("failed", "the service reported " + mL.DbLabel(d) +
                                  " failed (notification 21), but every log of it since its "
                                  "last upload is valid");
        // One no folder held yet has its accepted upload, perhaps rolled on by logs, as its
        // only copy: the failure must not have taken it. A held upload may still wait in
        // InProgress/ (the failure is recorded before its folder is published); the interval's
        // check then finds its folder.
        if (r.known && r.lastGood == 0 && !r.hostFault && !AnyCopyOf(mL, d) &&
            !InProgressHolds(mL, d))
            mR.Fail("missing", mL.DbLabel(d) +
                                   " failed before any folder held it, and its only copy (its "
                                   "upload, perhaps rolled on) is gone: in no folder, not "
                                   "waiting in Copies/, not in Kept/");
        mR.Say("notification 21: " + mL.DbLabel(d) + " failed; a new upload follows");
        Journal("notification21\t" + uuid);
        r.reportedFailed = r.needsUpload = true;
        r.badPending = false;
        r.failedAt = mL.OpenInterval() - 1;
        r.noticeAt = Clock::now();
        // Its logs not yet in a last-good folder wait for the new upload now; the service
        // may delete or set them aside.
        for (auto& f : mL.files)
            if (f.db == d && f.kind == FileKind::kLog && !f.settled) f.afterBreak = true;
    }
    if (!upload) return;
    for (int d = 0; d < static_cast<int>(mL.dbs.size()); ++d) {
        DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
        if (r.retired) continue;
        // An administrator's time, when asked for: the database stays failed meanwhile.
        if (r.reportedFailed &&
            Clock::now() < r.noticeAt + std::chrono::duration<double>(mO.reuploadAfter))
            continue;
        // Not while an invalid log of this interval still waits to be found.
        if (r.needsUpload && !(r.badPending && r.badInterval == mL.OpenInterval()))
            Upload(d, r.reportedFailed ? "notification 21" : "its chain was broken");
    }
}

bool Server::AwaitNotice(int d, Clock::time_point& deadline) {
    // A service killed before it sent the notification sends it again when this server
    // registers: each reconnection starts the window again.
    auto restarts = mSession.Reconnects();
    for (;;) {
        TakeNotices(false);
        if (mL.dbs[static_cast<std::size_t>(d)].reportedFailed) return true;
        if (Clock::now() >= deadline) return false;
        {
            std::unique_lock<std::mutex> g(mNoticeM);
            auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(250));
            if (mNoticeCv.wait_until(g, until, [&] { return !mNotices.empty(); })) continue;
        }
        mSession.Call("probe", [] { return 0; });  // reconnects (and registers) after a restart
        if (mSession.Reconnects() != restarts) {
            restarts = mSession.Reconnects();
            deadline = std::max(deadline, Clock::now() + std::chrono::seconds(10));
        }
    }
}

void Server::Step() {
    TakeNotices(true);
    if (mWantLate.exchange(false)) LateLog();
    if (mWantRestart.exchange(false)) RestartServer();
    if (mWantUpload.exchange(false)) {
        int d = PickDb(true);
        if (d >= 0) Upload(d, "asked for");
    }
}

bool Server::NothingToPublish(int k) const {
    if (!EveryDatabaseFailed(mL, k)) return false;
    // A held upload still waiting in InProgress/ is published all the same.
    for (int d = 0; d < static_cast<int>(mL.dbs.size()); ++d)
        if (InProgressHolds(mL, d)) return false;
    return true;
}

bool Server::WaitForInterval(int k) {
    Said("@wait");
    auto start = Clock::now(), lastProbe = start;
    auto restarts = mSession.Reconnects();
    for (;;) {
        if (NewestInterval(mL) >= k) return true;
        if (NothingToPublish(k)) {
            mR.Say("interval " + std::to_string(k) +
                   ": every database failed, nothing to publish; no folder is expected");
            return true;
        }
        if (Since(lastProbe) > 0.25) {
            lastProbe = Clock::now();
            mSession.Call("probe", [] { return 0; });  // reconnects after a restart
            if (mSession.Reconnects() != restarts) {
                restarts = mSession.Reconnects();
                start = Clock::now();
            }
            TakeNotices(false);
            if (mWantRestart.exchange(false)) RestartServer();
            if (mWantUpload.exchange(false)) {
                int d = PickDb(true);
                if (d >= 0) Upload(d, "asked for");
            }
        }
        if (Since(start) > mO.timeoutSecs) return false;
        // The service tells the server nothing when an interval completes: look at the folder.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool Server::RunInterval() {
    int k = mL.OpenInterval();
    bool clean = mFinish || (mO.intervals > 0 && k > mO.intervals);
    Step();
    // When the interval ends: in the minute of the one before, or a minute or more later.
    std::uint64_t prev = mClock, end;
    std::uint64_t left = kMinute - 1 - prev % kMinute;
    if (!clean && k > 1 && left > 4 * kSecond && Roll(mO.sameMinute))
        end = prev + 2 * kSecond + Rand(left - 2 * kSecond);
    else
        end = (prev / kMinute + 1 + Rand(3)) * kMinute + Rand(40 * kSecond);
    struct Action {
        std::uint64_t t;
        int kind;  // 0 log, 1 upload, 2 server restart, 3 bad round, 4 duplicate announcement,
                   // 5 a new long-named database, 6 uploads sharing a folder, 7 an upload and
                   // a damaged first log
        int db;
    };
    // The real world at the start of the interval: the host and the server change first.
    bool real = !clean && !mO.realWorld.empty();
    if (real && k > 1) {
        if (RealRoll(RealWorld::kXdev)) MountCopies();
        if (RealRoll(RealWorld::kRecreate)) Recreate();
        if (RealRoll(RealWorld::kRecreate, 0.5)) RetiredLog();
        if (RealRoll(RealWorld::kLate)) LateLog();
    }
    std::vector<Action> plan;
    auto when = [&] { return prev + 1 + Rand(end - prev - 4); };
    // Not after an interval whose folder the server did not wait for: the service may still
    // be moving copies, and the round compares folders whole.
    bool bad = !clean && !mLastQuiet && mO.badEvery > 0 && (k - 1) % mO.badEvery == 0;
    // Now and then an interval with new uploads and not one redo log.
    bool quiet =
        !clean && !bad && !mEarly && !mLastQuiet && k > 1 && PickDb(true) >= 0 && Roll(mO.quiet);
    mLastQuiet = quiet;
    for (int d = 0; d < static_cast<int>(mL.dbs.size()) && !quiet; ++d) {
        DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
        if (!mL.Active(d) || !r.known) continue;
        if (!clean && r.idleUntil >= k) continue;
        if (!clean && Roll(mO.idle)) {
            r.idleUntil = k + 1 + static_cast<int>(Rand(3));
            continue;
        }
        int n = 1 + static_cast<int>(Rand(static_cast<std::uint64_t>(mO.maxLogsPerInterval)));
        for (int i = 0; i < n; ++i) plan.push_back({when(), 0, d});
    }
    if (quiet) {
        plan.push_back({when(), 1, -1});
    } else if (int d = plan.empty() && !mEarly ? PickDb(false) : -1; d >= 0) {
        mL.dbs[static_cast<std::size_t>(d)].idleUntil = 0;
        plan.push_back({when(), 0, d});
    }
    if (!clean && !quiet) {
        if (Roll(mO.uploads)) plan.push_back({when(), 1, -1});
        if (Roll(mO.serverRestarts)) plan.push_back({when(), 2, -1});
        if (bad) {
            plan.push_back({when(), 3, -1});
            if (mO.bad.count("dup")) plan.push_back({when(), 4, -1});
        }
        if (real && !mCopiesMount.empty() && mCopiesMountedAt == k)
            plan.push_back({when(), 1, -1});  // an upload onto the other file system
        if (real && RealRoll(RealWorld::kLongName, 0.5)) plan.push_back({when(), 5, -1});
        if (real && RealRoll(RealWorld::kShared)) plan.push_back({when(), 6, -1});
        if (real && RealRoll(RealWorld::kFirstLog)) plan.push_back({when(), 7, -1});
        if (real && RealRoll(RealWorld::kFirstLog, 0.5)) plan.push_back({when(), 8, -1});
    }
    std::sort(plan.begin(), plan.end(), [](const Action& a, const Action& b) { return a.t < b.t; });
    for (const auto& a : plan) {
        Step();
        if (a.kind == 0) {
            if (mL.Active(a.db)) Log(a.db, a.t);
        } else if (a.kind == 1) {
            int d = PickDb(true);
            if (d >= 0) Upload(d, "at a random moment");
        } else if (a.kind == 2) {
            RestartServer();
        } else if (a.kind == 3) {
            BadRound(a.t);
        } else if (a.kind == 4) {
            int d = PickDb(true);
            if (d >= 0) Log(d, a.t, false, true);
        } else if (a.kind == 5) {
            NewLongNamed();
        } else if (a.kind == 6) {
            SharedUploads();
        } else if (a.kind == 7) {
            FirstLogDamaged(a.t);
        } else {
            NewDatabaseLaterLogDamaged(a.t);
        }
    }
    // Stale against the newest interval end the service was given, not the server's clock
    // (which may have run on since): an end after it is a new interval, whatever logs that
    // end later say.
    if (real && k > 1 && RealRoll(RealWorld::kClockBack))
        StaleClose(mL.intervals.empty() ? prev : std::min(prev, mL.intervals.back().end));
    if (bad && (mO.bad.count("flip") || mO.bad.count("flip2"))) {
        // The last log of the interval for one or two databases loses a bit on disk.
        int x = PickDb(true);
        if (x >= 0) Log(x, end - 1, true);
        int x2 = (mO.bad.count("flip2") || Roll(0.3)) ? PickDb(true) : -1;
        if (x2 >= 0) Log(x2, end - 2, true);
    }
    // After the interval's logs were announced, before its interval-done file.
    if (real && RealRoll(RealWorld::kRedoLink)) SwapRedoFolder();
    Close(end, !clean && Roll(mO.earlyLogs));
    if (!clean && Roll(mO.uploads / 2)) {
        int d = PickDb(true);
        if (d >= 0) Upload(d, "while the service works");
    }
    if (!clean && Roll(mO.serverRestarts / 2)) RestartServer();  // while the workers work
    if (quiet) {
        // Whether it gets a folder of its own is the service's choice; the next one must.
        mR.Say("interval " + std::to_string(k) +
               " has uploads and no redo logs; the next "
               "interval's check covers it");
        return true;
    }
    auto t0 = Clock::now();
    if (!WaitForInterval(k)) {
        mR.Fail("stuck",
                "interval " + std::to_string(k) + " (end " + std::to_string(end) +
                    ") did not complete within " + std::to_string(mO.timeoutSecs) +
                    " s of the service's last start; newest last-good folder: " +
                    (ListLastGood(mO.backup).empty() ? std::string("none")
                                                     : ListLastGood(mO.backup).back().name));
        mChecker.Account(k - 1, false);
        return mO.keepGoing;
    }
    Said("@verify");
    int before = mR.Total();
    // One window for every database of the interval: notifications come together.
    std::optional<Clock::time_point> noticeBy;
    mChecker.VerifyInterval(k, [&](int d) {
        // Longer when the server knows one must come.
        bool expected = false;
        for (const auto& r : mL.dbs) expected = expected || (r.badPending && r.badInterval <= k);
        if (!noticeBy) noticeBy = Clock::now() + std::chrono::seconds(expected ? 10 : 2);
        return AwaitNotice(d, *noticeBy);
    });
    for (auto& r : mL.dbs)
        if (r.badPending && r.badInterval <= k) {
            // No notification came: the server uploads anyway, as it must to go on.
            r.badPending = false;
            r.needsUpload = true;
        }
    CheckTargets();
    CheckKeep();
    if (!mO.realWorld.empty()) {
        CheckRealWorld(k);
        if (!mCopiesMount.empty()) UnmountCopies();  // after the interval it was there for
        if (!clean && RealRoll(RealWorld::kBitRot)) FlipByte();
    }
    std::error_code ec;
    for (const auto& t : mTargets)
        if (t.ownedByServer) fs::remove_all(t.path, ec);
    for (const auto& t : mTargets)
        if (t.path.find("/Copies/hostile-") != std::string::npos)
            fs::remove_all(fs::path(t.path).parent_path(), ec);
    mTargets.clear();
    ++mVerified;
    auto folders = ListLastGood(mO.backup);
    std::ostringstream line;
    line << "interval " << k << (mO.intervals > 0 ? "/" + std::to_string(mO.intervals) : "")
         << " verified: " << (folders.empty() ? "-" : folders.back().name) << ", "
         << mChecker.CopiesChecked() << " copies checked so far, " << mSeq << " files, "
         << (mBytes >> 20) << " MiB of logs, " << (mR.Total() - before) << " problem(s), "
         << static_cast<int>(Since(t0) * 1000) << " ms to complete";
    mR.Say(line.str());
    return true;
}

void Server::Final() {
    if (!mCopiesMount.empty()) UnmountCopies();
    // Databases the service failed get their new upload, and an interval shows them back.
    for (int extra = 0; extra < 3; ++extra) {
        TakeNotices(false);
        // A quiet interval's folder was not waited for: the service may still be making it,
        // and the next interval's folder shows it done.
        bool owed = mLastQuiet;
        for (const auto& r : mL.dbs)
            owed = owed || (!r.retired && (r.needsUpload || r.reportedFailed));
        if (!owed) break;
        if (!RunInterval()) break;
    }
    // The last folder may be published while the service still records a failure of that
    // interval and sets its files aside: the final look waits for that, a while.
    for (auto until = Clock::now() + std::chrono::seconds(10);
         mChecker.InvalidFileInPlace() && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    mChecker.Account(mL.OpenInterval(), true);
    CheckKeep();
    if (mO.stopAtEnd) {
        // Through the session: a service restarted since the last call takes the first call
        // on a dead connection; the stop must still reach it.
        try {
            mSession.Call("Stop", [&] {
                mClient.Stop();
                return 0;
            });
        } catch (const std::exception&) {
        } catch (const CORBA::Exception&) {
        }
        // Gone when a call no longer reaches it.
        auto t0 = Clock::now();
        while (Since(t0) < 60) {
            try {
                mClient.VerifyFullDBBackup("probe", "00000000-0000-0000-0000-000000000000", 0,
                                           false);
            } catch (const CORBA::Exception&) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        // The ORB goes before the process ends: its last writes (the state file) may still be
        // under way. A leftover is what is still there once they had time to finish.
        std::vector<std::string> left = FindLeftovers(mL, false);
        for (auto t1 = Clock::now(); !left.empty() && Since(t1) < 5;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            left = FindLeftovers(mL, false);
        }
        for (const auto& l : left) mR.Fail("leftover", l);
    }
}

int Server::Run() {
    auto t0 = Clock::now();
    Setup();
    try {
        if (!mSession.Connect()) {
            mR.Say("SetBackupFolder " + mO.backup + " refused");
            return 1;
        }
        // The owner's own files in the backup folder: the service must never touch them.
        std::error_code ec;
        fs::create_directories(mO.backup + "/keep", ec);
        std::ofstream(mO.backup + "/ADMIN-NOTES.txt") << "restore drills every Monday\n";
        std::ofstream(mO.backup + "/keep/inventory.txt") << "tape 7 is in the safe\n";
        for (const char* p : {"/ADMIN-NOTES.txt", "/keep"})
            mKeep.push_back(Target{mO.backup + p, Snapshot(mO.backup + p, true), true, false});
        for (int d = 0; d < static_cast<int>(mL.dbs.size()); ++d) Upload(d, "first upload");
        while (!mFinish && (mO.intervals == 0 || mL.OpenInterval() <= mO.intervals))
            if (!RunInterval()) break;
        if (mR.Count("stuck") == 0 || mO.keepGoing) Final();
    } catch (const Unreachable&) {
        // Reported where it happened.
    }
    std::ostringstream s;
    s << "summary: intervals=" << mL.intervals.size() << " verified=" << mVerified
      << " databases=" << mL.dbs.size() << " files=" << mL.files.size()
      << " copies=" << mChecker.CopiesChecked() << " reconnects=" << mSession.Reconnects()
      << " MiB=" << (mBytes >> 20) << " seconds=" << static_cast<int>(Since(t0))
      << " failures=" << mR.Total() << " [" << mR.Counts() << "]";
    if (!mO.realWorld.empty()) {
        s << " real-world:";
        for (RealWorld c : mO.realWorld)
            s << " " << RealWorldName(c) << "=" << (mHappened.count(c) ? mHappened[c] : 0);
    }
    mR.Say(s.str());
    return mR.Total() == 0 ? 0 : 3;
}

}  // namespace sim
