// The simulated server in the real world: it breaks its rules now and then, and the host
// changes under the service (tools/sim/RealWorld.h). Each class says "real-world <class>:
// ..." when it happens, so a finding can be traced to it.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/engine/Formats.h"
#include "platform/framework/IBS_Config.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"
#include "tools/sim/Server.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr std::uint64_t kSecond = 1000000, kMinute = 60 * kSecond;

Mirel::UniversalPath File(const std::string& p) {
    return Mirel::UniversalPath::FromNative(p);
}
bool Exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

std::string Ns(const char* pid) {
    char buf[256];
    ssize_t n = ::readlink((std::string("/proc/") + pid + "/ns/mnt").c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

// The UUID in a database file's current header; empty when it has none.
std::string HeaderUuid(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint8_t block[512] = {};
    if (!in.read(reinterpret_cast<char*>(block), sizeof block)) return "";
    Mirel::Format::DbHeader best;
    bool found = false;
    for (std::size_t off : Mirel::Format::kDbSlotOffset) {
        Mirel::Format::DbHeader h;
        if (Mirel::Format::DecodeDbHeader(block + off, h) &&
            (!found || h.generation > best.generation)) {
            best = h;
            found = true;
        }
    }
    if (!found) return "";
    UuidBytes u;
    std::copy(best.uuid.begin(), best.uuid.end(), u.begin());
    return UuidString(u);
}

}  // namespace

bool Server::RealRoll(RealWorld c, double scale) {
    if (c == RealWorld::kExpire) return false;  // the soak's own, between its kills
    return mO.realWorld.count(c) && Roll(mO.realWorldRate * scale);
}

void Server::Happened(RealWorld c, const std::string& what) {
    ++mHappened[c];
    mR.Say(std::string("real-world ") + RealWorldName(c) + ": " + what);
    Journal(std::string("real-world\t") + RealWorldName(c) + "\t" + what);
}

EventMark Server::MarkEvents() {
    EventMark m;
    {
        std::lock_guard<std::mutex> g(mNoticeM);
        m.hub = mEvents.size();
    }
    struct stat st;
    if (!mO.systemLog.empty() && ::stat(mO.systemLog.c_str(), &st) == 0)
        m.systemLog = static_cast<std::uint64_t>(st.st_size);
    return m;
}

bool Server::EventSince(const EventMark& from, std::uint32_t expected,
                        const std::vector<std::string>& names) {
    // A record no hub took (a restarted service reports before the server registers again)
    // is in the system log: "... [0x41000332] <its texts in words>".
    auto inSystemLog = [&] {
        std::ifstream in(mO.systemLog);
        if (!in || !in.seekg(static_cast<std::streamoff>(from.systemLog))) return false;
        char code[16];
        std::snprintf(code, sizeof code, "[0x%08x]", expected);
        for (std::string line; std::getline(in, line);) {
            if (expected != 0 && line.find(code) == std::string::npos) continue;
            if (expect::EventMatches(0, 0, {line}, names)) return true;
        }
        return false;
    };
    // The service sends its event records from a thread of their own, in order, and does not
    // wait for them: one just reported may still be on its way.
    std::unique_lock<std::mutex> g(mNoticeM);
    auto found = [&] {
        for (std::size_t i = from.hub; i < mEvents.size(); ++i)
            if (expect::EventMatches(expected, mEvents[i].first, mEvents[i].second, names))
                return true;
        return !mO.systemLog.empty() && inSystemLog();
    };
    return mNoticeCv.wait_for(g, std::chrono::seconds(5), found);
}

// (3) Two databases uploaded into one folder.
void Server::SharedUploads() {
    int a = PickDb(true), b = PickDb(true);
    if (a < 0 || b < 0 || a == b) return;
    std::string folder =
        mO.backup + "/Copies/up-" + std::to_string(mO.seed) + "-" + std::to_string(++mUploads);
    Happened(RealWorld::kShared, mL.dbs[static_cast<std::size_t>(a)].name + " and " +
                                     mL.dbs[static_cast<std::size_t>(b)].name + " in " +
                                     fs::path(folder).filename().string());
    Upload(a, "sharing a folder", folder);
    Upload(b, "sharing a folder", folder);
}

// (4) A database dropped and created again under its file name: a new UUID, a new start.
void Server::Recreate() {
    if (mEarly) return;  // a log of the next interval may be of the database to drop
    int d = PickDb(true);
    if (d < 0 || mL.dbs[static_cast<std::size_t>(d)].lastGood < mL.OpenInterval() - 1) return;
    DbRec& old = mL.dbs[static_cast<std::size_t>(d)];
    DbRec r;
    r.name = old.name;
    // Now and then the same name in other letters' case: the server's names are case-blind,
    // so it is the old name all the same, though the file is another one here.
    if (Rand(2)) {
        const std::size_t base = r.name.rfind('/') + 1;
        for (std::size_t i = base; i < r.name.size(); ++i) {
            char& c = r.name[i];
            c = c >= 'a' && c <= 'z'   ? static_cast<char>(c - 32)
                : c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32)
                                       : c;
        }
    }
    r.model =
        std::make_unique<DatabaseModel>(mO.seed * 1000 + 500 + mL.dbs.size(), old.model->PageSize(),
                                        1 + Rand(mO.initialPages), 1000 + Rand(1000));
    Journal("db\t" + r.name + "\t" + r.model->UuidText() + "\t" +
            std::to_string(r.model->PageSize()));
    old.retired = true;
    old.retiredAt = mL.OpenInterval();
    // Its logs no folder holds yet (a late one among them) go aside with it once the service
    // meets the replacement.
    for (auto& f : mL.files)
        if (f.db == d && f.kind == FileKind::kLog && !f.settled && f.interval >= old.retiredAt)
            f.afterBreak = true;
    std::string oldUuid = old.model->UuidText();
    r.replaces = d;
    mL.dbs.push_back(std::move(r));
    mSaved.push_back(0);
    int n = static_cast<int>(mL.dbs.size()) - 1;
    Happened(RealWorld::kRecreate,
             mL.DbLabel(d) + " dropped; " + mL.DbLabel(n) + " created under its name");
    mL.dbs[static_cast<std::size_t>(d)].eventsBefore = MarkEvents();
    mL.dbs[static_cast<std::size_t>(d)].replacedEventDue = true;
    Upload(n, "a new database under an old name");
}

// (4) A log of a replaced database, written after all: refused and set aside.
void Server::RetiredLog() {
    for (std::size_t d = 0; d < mL.dbs.size(); ++d) {
        DbRec& r = mL.dbs[d];
        if (!r.retired || r.replacedLogSent || !r.known || r.retiredAt >= mL.OpenInterval())
            continue;
        r.replacedLogSent = true;
        FileRec f;
        f.kind = FileKind::kBogus;
        f.path = RedoFolder() + "/" + std::to_string(++mSeq) + "-replaced.vrl";
        f.db = static_cast<int>(d);
        f.interval = mL.OpenInterval();
        // From where its chain stood: a log the dropped database could have written.
        DatabaseModel copy = *r.model;
        LogInfo info;
        if (!copy.WriteRedoLog(File(f.path), {0}, 1, mClock + 1, false, &info).OK()) return;
        f.startMSN = info.startMSN;
        f.msn = info.msn;
        std::size_t idx = AddFile(f);
        Happened(RealWorld::kRecreate, "a log of the dropped " + mL.DbLabel(static_cast<int>(d)));
        std::int32_t a = AnnounceLog(idx, r.model->UuidText());
        mL.files[idx].reasons = {a};
        // The service replaces it when it starts the interval of the new upload, which may
        // still be to come: taken until then, and set aside by that start.
        if (a == 0 && NewestInterval(mL) < r.retiredAt) {
            mL.files[idx].reasons = {expect::kReplacedDatabaseLog};
            mR.Say("real-world recreate: the log of the dropped " +
                   mL.DbLabel(static_cast<int>(d)) +
                   " is taken before the replacing interval starts; its start sets it aside");
            return;
        }
        // A scan that failed it for a link before the replacement was seen leaves it listed
        // with that number, which then refuses its logs.
        const bool forLink = FailedForLink(mL, static_cast<int>(d)) && expect::LinkFailure(a);
        if (!expect::ReplacedLogAnswerOk(a) && !forLink)
            mR.Fail("answer", "RedoLogIsReady(" + f.path + ") of the dropped " +
                                  mL.DbLabel(static_cast<int>(d)) + " answered " +
                                  std::to_string(a) +
                                  ": a log of a replaced database is refused "
                                  "and set aside");
        return;
    }
}

// A database new to the server, beside the ones it started with (at most four more);
// its index, or -1. `name` is given the index as the start of the file name.
int Server::AddDatabase(const std::function<std::string(int)>& name) {
    if (mL.dbs.size() >= static_cast<std::size_t>(mO.databases) + 4) return -1;
    DbRec r;
    const int i = static_cast<int>(mL.dbs.size());
    r.name = name(i);
    r.model = std::make_unique<DatabaseModel>(mO.seed * 1000 + static_cast<std::uint64_t>(i),
                                              mL.dbs[0].model->PageSize(), mO.initialPages,
                                              1000 + Rand(1000));
    Journal("db\t" + r.name + "\t" + r.model->UuidText() + "\t" +
            std::to_string(r.model->PageSize()));
    mL.dbs.push_back(std::move(r));
    mSaved.push_back(0);
    return i;
}

// (5) A new database whose file name is 250 to 255 bytes long.
void Server::NewLongNamed() {
    const int i = AddDatabase(
        [this](int n) { return LongName("db" + std::to_string(n) + "-", ".vdb", 250 + Rand(6)); });
    if (i < 0) return;
    Happened(RealWorld::kLongName,
             "a new database named with " + std::to_string(mL.dbs.back().name.size()) + " bytes");
    Upload(i, "a new database");
}

// (5) A long-named log was refused: with a reason, and never taken. The server writes the
// same log again under a short name, so the chain stays whole.
bool Server::LongNameRefused(std::size_t idx, std::int32_t answer, std::size_t& again) {
    FileRec& f = mL.files[idx];
    if (answer == Mirel::kErrFoldersNotReady) return false;
    mR.Say("real-world longname: " + fs::path(f.path).filename().string().substr(0, 40) +
           "... refused with " + std::to_string(answer));
    std::string shortName = RedoFolder() + "/" + std::to_string(++mSeq) + "-again.vrl";
    std::error_code ec;
    if (Exists(f.path)) {
        fs::rename(f.path, shortName, ec);
    } else {
        for (const auto& [key, s] : ReadRejected(mO.backup))
            if (key == f.path) fs::copy_file(mO.backup + "/Rejected/" + s.name, shortName, ec);
    }
    if (ec || !Exists(shortName)) return false;
    f.reasons = {answer};
    FileRec g = f;
    g.path = shortName;
    g.answered = g.accepted = false;
    g.reasons.clear();
    again = AddFile(g);
    // Its answer is judged as any log's.
    AnnounceLog(again, mL.dbs[static_cast<std::size_t>(g.db)].model->UuidText());
    return true;
}

// (6) A log that ends inside the newest published interval, announced now. The soak kills
// the service right after the next interval-done file ("@late-close").
void Server::LateLog() {
    int k = mL.OpenInterval() - 1;
    const IntervalRec* rec = mL.Interval(k);
    int d = PickDb(true);
    if (!rec || d < 0 || NewestInterval(mL) < k) return;
    // A log that continues an upload of this interval cannot have ended before it.
    if (mL.dbs[static_cast<std::size_t>(d)].uploadInterval > k) return;
    std::uint64_t from = k > 1 ? mL.Interval(k - 1)->end : rec->end - kMinute;
    std::uint64_t end = rec->end - Rand(std::min<std::uint64_t>(rec->end - from, kMinute));
    Happened(RealWorld::kLate, mL.DbLabel(d) + ", a log ending " + std::to_string(end) +
                                   ", inside interval " + std::to_string(k));
    std::size_t before = mL.files.size();
    Log(d, end);
    if (mL.files.size() > before && mL.files.back().answer == 0) mLatePending = true;
}

// (7) The server's clock steps back: logs that end before the newest interval end, and an
// interval-done file as well, in a redo folder named by the wrong time. The file is refused
// and set aside; the logs wait in the open interval. Then the clock is right again.
void Server::StaleClose(std::uint64_t prev) {
    int d = PickDb(true);
    if (d < 0 || prev < 10 * kMinute) return;
    std::uint64_t back = prev - kSecond - Rand(3 * kMinute);
    std::string folder;
    for (std::uint64_t t = back;; ++t) {
        folder = mO.backup + "/Changes/" + Talon::IBS_Config::MakeRedoFolderName(t).ToUTF8();
        if (!Exists(folder)) break;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    Happened(RealWorld::kClockBack, "the clock stepped back to " + std::to_string(back) +
                                        ", before the end " + std::to_string(prev));
    std::string open = mRedo;
    mRedo = folder;
    Log(d, back + 1);
    mRedo = open;
    FileRec f;
    f.kind = FileKind::kBogus;
    f.path = folder + "/IntervalDone.vid";
    f.endUTC = back + 2;
    f.interval = mL.OpenInterval();
    if (!sim::WriteIntervalDone(File(f.path), f.endUTC, {}).OK()) return;
    std::size_t idx = AddFile(f);
    std::int32_t a = AnnounceLog(idx, "");
    if (a == Mirel::kErrFileNotTaken && !Exists(f.path) && !InRejected(f.path)) {
        // A kill cut the answer off and the restart's scan took the file: an interval that
        // is over, whose interval-done file goes.
        FileRec& g = mL.files[idx];
        g.settled = true;
        g.fate = "taken by a restart's scan as an interval that is over";
        mR.Say("real-world clockback: " + f.path + " " + g.fate);
        return;
    }
    mL.files[idx].reasons = {a};
    if (!expect::StaleDoneAnswerOk(a))
        mR.Fail("answer", "the interval-done file " + f.path + ", ending " +
                              std::to_string(f.endUTC) + " before the interval that ended " +
                              std::to_string(prev) + ", answered " + std::to_string(a) +
                              " (a stale end is refused with its own number and set aside)");
}

// (8) Right after an interval-done file, the server names its folder again, once or more:
// the interval check this asks for must run.
void Server::RaceFolderChange() {
    int times = 1 + static_cast<int>(Rand(3));
    Happened(RealWorld::kRace, "the folder named " + std::to_string(times) +
                                   " time(s) right after the interval-done file");
    for (int i = 0; i < times; ++i) {
        Said("@folder");
        bool ok =
            mSession.Call("SetBackupFolder", [&] { return mClient.SetBackupFolder(mO.backup); });
        if (!ok) mR.Fail("folder", "SetBackupFolder " + mO.backup + " answered false");
    }
}

// (10) An upload, then its first log damaged: the upload is the newest good copy.
void Server::FirstLogDamaged(std::uint64_t t) {
    int d = PickDb(true);
    if (d < 0) return;
    DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
    Upload(d, "before a damaged log");
    if (!r.known || Failing(d)) return;
    r.heldInterval = mL.OpenInterval();
    const DatabaseModel& m = *r.model;
    r.heldState = StateOf(m.Uuid(), m.PageSize(), m.MSN(), m.Pages());
    Happened(RealWorld::kFirstLog, mL.DbLabel(d) + " uploaded, its first log damaged");
    Log(d, t, true);
}

// (7, too) A database new to the service: its upload, one or two logs it takes, then a
// damaged one. No folder holds it yet, so the copy those logs rolled on is its only one.
void Server::NewDatabaseLaterLogDamaged(std::uint64_t t) {
    const int i = AddDatabase([](int n) { return "db" + std::to_string(n) + ".vdb"; });
    if (i < 0) return;
    Upload(i, "a new database before a damaged log");
    if (!mL.dbs[static_cast<std::size_t>(i)].known || Failing(i)) return;
    const int good = 1 + static_cast<int>(Rand(2));
    Happened(RealWorld::kFirstLog,
             mL.DbLabel(i) + " new, " + std::to_string(good) + " log(s) taken, then one damaged");
    for (int k = 0; k < good; ++k) Log(i, t + static_cast<std::uint64_t>(k));
    Log(i, t + static_cast<std::uint64_t>(good), true);
}

// (2) Another file system on Copies/: a tmpfs in the mount namespace the server shares with
// the service. Only where that namespace is private: the host's mounts stay untouched.
void Server::MountCopies() {
    if (mMounts < 0) {
        mMounts = ::geteuid() == 0 && !Ns("self").empty() && Ns("self") != Ns("1") ? 1 : 0;
        if (!mMounts)
            mR.Say(
                "real-world xdev: not generated (needs root and a mount namespace of its own, "
                "shared with the service: unshare -m)");
    }
    if (!mMounts || !mCopiesMount.empty()) return;
    const std::string copies = mO.backup + "/Copies";
    std::error_code ec;
    for (fs::recursive_directory_iterator it(copies, ec), end; !ec && it != end; it.increment(ec))
        if (it->symlink_status(ec).type() == fs::file_type::regular) return;  // uploads wait
    if (::mount("ibs-sim", copies.c_str(), "tmpfs", 0, "size=256m") != 0) return;
    mCopiesMount = copies;
    mCopiesMountedAt = mL.OpenInterval();
    Happened(RealWorld::kXdev, "a tmpfs mounted on Copies/");
}

void Server::UploadLost(int d) {
    DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
    r.needsUpload = true;
    r.hostFault = true;
    if (!r.reportedFailed) r.badPending = false;
    // It was to take a dropped database's name: unless the service met it (and listed the
    // dropped one as replaced), the dropped one stays under the name.
    if (r.replaces < 0) return;
    DbRec& old = mL.dbs[static_cast<std::size_t>(r.replaces)];
    if (!old.retired || !old.known || ReadFailedList(mO.backup).count(old.model->UuidText()))
        return;
    old.replacementPending = true;
    old.replacedEventDue = false;
    // Its state since the drop, in the intervals closed meanwhile too.
    const DatabaseModel& m = *old.model;
    for (IntervalRec& rec : mL.intervals)
        if (rec.k >= old.retiredAt)
            rec.states[r.replaces] = StateOf(m.Uuid(), m.PageSize(), m.MSN(), m.Pages());
    mR.Say("real-world xdev: " + mL.DbLabel(r.replaces) +
           " stays under its name until the new database is uploaded again");
}

void Server::UnmountCopies() {
    // What lies on the other file system goes with it: the server uploads those again.
    for (auto& f : mL.files) {
        if (f.kind != FileKind::kUpload || f.settled ||
            f.path.compare(0, mCopiesMount.size() + 1, mCopiesMount + "/") != 0)
            continue;
        bool there = Exists(f.path);
        if (there) {
            std::uint64_t digest = 0, size = 0;
            FileDigest(f.path, digest, size);
            if (f.accepted && (digest != f.digest || size != f.size))
                mR.Fail("changed", f.path +
                                       ": the accepted upload changed where the server "
                                       "left it (applied outside InProgress/)");
        }
        f.settled = true;
        f.fate = "taken away with its file system";
        if (there && f.accepted && !mL.dbs[static_cast<std::size_t>(f.db)].retired)
            UploadLost(f.db);
    }
    // So do the files a hostile call named there: they are not the service's to keep.
    const std::string under = mCopiesMount + "/";
    mTargets.erase(std::remove_if(mTargets.begin(), mTargets.end(),
                                  [&](const Target& t) { return t.path.rfind(under, 0) == 0; }),
                   mTargets.end());
    ::umount2(mCopiesMount.c_str(), MNT_DETACH);
    mR.Say("real-world xdev: the tmpfs on Copies/ is gone again");
    mCopiesMount.clear();
}

// (2) A folder whose Copies/, InProgress/ or a last-good folder lies on another file system
// is refused, and the folder in service stays.
void Server::XdevProbe() {
    if (mProbedXdev) return;
    if (mMounts < 0) mMounts = ::geteuid() == 0 && Ns("self") != Ns("1") ? 1 : 0;
    if (!mMounts) return;
    mProbedXdev = true;
    static const char* kParts[] = {"Copies", "InProgress", "LastGood_2026-01-01_0000"};
    std::string probe = mO.work + "/xdev-probe", part = probe + "/" + kParts[Rand(3)];
    std::error_code ec;
    fs::create_directories(part, ec);
    if (::mount("ibs-sim", part.c_str(), "tmpfs", 0, "size=8m") != 0) return;
    Happened(RealWorld::kXdev, "SetBackupFolder of a folder whose " +
                                   fs::path(part).filename().string() +
                                   " is on another file system");
    Said("@folder");
    bool taken = mSession.Call("SetBackupFolder", [&] { return mClient.SetBackupFolder(probe); });
    ::umount2(part.c_str(), MNT_DETACH);
    if (taken) {
        mR.Fail("answer", "SetBackupFolder(" + probe + ") answered true with its " +
                              fs::path(part).filename().string() +
                              " on another file system: set-up must refuse it");
        // As a server would: its own folder again, and everything uploaded anew.
        mSession.MarkSuspect();
        for (auto& r : mL.dbs)
            if (r.known && !r.retired) r.needsUpload = true;
    }
}

// (9) One byte of a copy in the newest last-good folder changes on disk.
void Server::FlipByte() {
    auto folders = ListLastGood(mO.backup);
    if (folders.empty()) return;
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folders.back().path, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string n = it->path().filename().string();
        if (n.size() > 4 && (n.substr(n.size() - 4) == ".vdb" || n.substr(n.size() - 4) == ".VDB"))
            files.push_back(it->path().string());
    }
    if (files.empty()) return;
    std::string path = files[Rand(files.size())];
    int d = mL.DbOf(HeaderUuid(path));
    if (d < 0) return;
    std::uint32_t pageSize = mL.dbs[static_cast<std::size_t>(d)].model->PageSize();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || st.st_size <= static_cast<off_t>(pageSize)) return;
    std::uint64_t pages = static_cast<std::uint64_t>(st.st_size) / pageSize - 1;
    if (pages == 0) return;
    DatabaseModel::FlipBit(path, pageSize * (1 + Rand(pages)) + Rand(pageSize),
                           static_cast<int>(Rand(8)));
    Ledger::Damaged x;
    if (!RecordChangedFile(path, x)) return;
    x.db = d;
    x.flippedAt = mL.OpenInterval() - 1;
    x.eventsBefore = MarkEvents();
    mL.damaged.push_back(x);
    mL.dbs[static_cast<std::size_t>(d)].hostFault = true;
    Happened(RealWorld::kBitRot,
             "a bit of " + path.substr(mO.backup.size() + 1) + " (" + mL.DbLabel(d) + ") changed");
    // Logs already taken in the open interval make the copy that interval's start, whether a
    // later log comes or not.
    for (const FileRec& f : mL.files)
        if (f.kind == FileKind::kLog && f.db == d && f.interval == mL.OpenInterval() &&
            f.accepted) {
            MarkDamagedStart(d);
            break;
        }
}

// (12) A local user moves the open redo folder, whose logs were announced, out of the backup
// folder into the run's own folder and leaves a link in its place, to a copy of it there; or,
// half the time, does the same to one announced log of it.
void Server::SwapRedoFolder() {
    if (mRedo.empty()) return;
    if (Roll(0.5)) {
        SwapRedoLog();
        return;
    }
    const std::string folder = mRedo;
    Ledger::Link w;
    for (std::size_t i = 0; i < mL.files.size(); ++i) {
        const FileRec& f = mL.files[i];
        if (f.kind != FileKind::kLog || !f.accepted || f.settled || f.db < 0 ||
            f.path.compare(0, folder.size() + 1, folder + "/") != 0 || Failing(f.db) ||
            !mL.Active(f.db))
            continue;
        // An upload after it makes it unnecessary.
        bool superseded = false;
        for (std::size_t j = i + 1; j < mL.files.size(); ++j)
            superseded = superseded || (mL.files[j].kind == FileKind::kUpload &&
                                        mL.files[j].db == f.db && mL.files[j].accepted);
        if (!superseded) w.logs[f.db].push_back(f.path);
    }
    if (w.logs.empty()) return;
    std::error_code ec;
    w.outside = mO.work + "/link-" + std::to_string(mL.links.size() + 1);
    const std::string moved = w.outside + "/moved", lure = w.outside + "/lure";
    fs::remove_all(w.outside, ec);
    fs::create_directories(w.outside, ec);
    fs::copy(folder, lure, fs::copy_options::recursive, ec);
    if (ec || ::rename(folder.c_str(), moved.c_str()) != 0) {
        fs::remove_all(w.outside, ec);
        return;
    }
    if (::symlink(lure.c_str(), folder.c_str()) != 0) {
        ::rename(moved.c_str(), folder.c_str());
        fs::remove_all(w.outside, ec);
        return;
    }
    w.folder = folder;
    w.snapshot = Snapshot(w.outside, true);
    w.at = mL.OpenInterval();
    w.eventsBefore = MarkEvents();
    std::string names;
    for (const auto& [d, logs] : w.logs) {
        DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
        if (r.hostFault) w.spoilt.insert(d);
        r.badPending = r.hostFault = true;
        r.badInterval = mL.OpenInterval();
        r.badLog = std::to_string(logs.size()) + " log(s) behind the link " + folder;
        names += (names.empty() ? "" : ", ") + r.name;
    }
    // What lay in the folder went with it: the host's doing, not the service's.
    for (FileRec& f : mL.files)
        if (!f.settled && f.path.compare(0, folder.size() + 1, folder + "/") == 0) {
            f.settled = true;
            f.fate = "moved out of the backup folder with its redo folder";
        }
    mTargets.erase(std::remove_if(mTargets.begin(), mTargets.end(),
                                  [&](const Target& t) {
                                      return t.path == folder || t.path.rfind(folder + "/", 0) == 0;
                                  }),
                   mTargets.end());
    mL.links.push_back(w);
    Happened(RealWorld::kRedoLink, fs::path(folder).filename().string() + " moved to " + moved +
                                       ", a link to a copy left in its place; logs of " + names +
                                       " behind it");
    // The interval-done file goes into a redo folder of its own.
    mRedo.clear();
    for (std::uint64_t t = mClock + 2;; ++t) {
        mRedo = mO.backup + "/Changes/" + Talon::IBS_Config::MakeRedoFolderName(t).ToUTF8();
        if (!Exists(mRedo)) break;
    }
    fs::create_directories(mRedo, ec);
}

void Server::SwapRedoLog() {
    std::vector<std::size_t> logs;
    for (std::size_t i = 0; i < mL.files.size(); ++i) {
        const FileRec& f = mL.files[i];
        if (f.kind != FileKind::kLog || !f.accepted || f.settled || f.db < 0 ||
            fs::path(f.path).parent_path() != mRedo || Failing(f.db) || !mL.Active(f.db))
            continue;
        bool superseded = false;
        for (std::size_t j = i + 1; j < mL.files.size(); ++j)
            superseded = superseded || (mL.files[j].kind == FileKind::kUpload &&
                                        mL.files[j].db == f.db && mL.files[j].accepted);
        if (!superseded) logs.push_back(i);
    }
    if (logs.empty()) return;
    FileRec& f = mL.files[logs[Rand(logs.size())]];
    const std::string log = f.path;
    Ledger::Link w;
    std::error_code ec;
    w.outside = mO.work + "/link-" + std::to_string(mL.links.size() + 1);
    const std::string moved = w.outside + "/moved", lure = w.outside + "/lure";
    fs::remove_all(w.outside, ec);
    fs::create_directories(w.outside, ec);
    // Half of those times the user deletes the log instead.
    const bool deleted = Roll(0.5);
    if (deleted) {
        if (::unlink(log.c_str()) != 0) return;
    } else {
        fs::copy_file(log, lure, ec);
        if (ec || ::rename(log.c_str(), moved.c_str()) != 0) {
            fs::remove_all(w.outside, ec);
            return;
        }
    }
    if (!deleted && ::symlink(lure.c_str(), log.c_str()) != 0) {
        ::rename(moved.c_str(), log.c_str());
        fs::remove_all(w.outside, ec);
        return;
    }
    w.folder = log;
    w.logs[f.db].push_back(log);
    w.snapshot = Snapshot(w.outside, true);
    w.at = mL.OpenInterval();
    w.eventsBefore = MarkEvents();
    DbRec& r = mL.dbs[static_cast<std::size_t>(f.db)];
    if (r.hostFault) w.spoilt.insert(f.db);
    r.badPending = r.hostFault = true;
    r.badInterval = mL.OpenInterval();
    r.badLog = (deleted ? "log deleted, " : "log behind the link ") + log;
    f.settled = true;
    f.fate = deleted ? "deleted by a local user"
                     : "moved out of the backup folder, a link left in its place";
    mTargets.erase(std::remove_if(mTargets.begin(), mTargets.end(),
                                  [&](const Target& t) { return t.path == log; }),
                   mTargets.end());
    mL.links.push_back(w);
    Happened(
        RealWorld::kRedoLink,
        fs::path(log).filename().string() +
            (deleted ? " deleted" : " moved to " + moved + ", a link to a copy left in its place") +
            "; a log of " + r.name);
}

// (12) Nothing outside the backup folder changed; each database with a log behind a link
// failed with an event naming the log, the link or the database.
void Server::CheckLinks(int k) {
    for (Ledger::Link& w : mL.links) {
        std::string now = Snapshot(w.outside, true);
        if (now != w.snapshot) {
            mR.Fail("link", w.outside + " (outside the backup folder: where the redo folder " +
                                w.folder + " went, and where its link leads) changed: before " +
                                w.snapshot.substr(0, 200) + "; now " + now.substr(0, 200));
            w.snapshot = now;  // each change is reported once
        }
        if (w.judged || w.at > k) continue;
        w.judged = true;
        for (const auto& [d, logs] : w.logs) {
            if (w.spoilt.count(d)) continue;
            std::vector<std::string> names = logs;
            names.push_back(mL.dbs[static_cast<std::size_t>(d)].model->UuidText());
            for (const Ledger::Link& other : mL.links) names.push_back(other.folder);
            // A log behind an earlier link may have said it first.
            if (!EventSince(mL.links.front().eventsBefore, expect::kUnreadableLogEvent, names))
                mR.Fail("event", "no event says a log of " + mL.DbLabel(d) +
                                     " could not be read (behind the link " + w.folder + ")");
        }
    }
}

// After every verified interval: what the real world asks beyond the common checks.
void Server::CheckRealWorld(int k) {
    TakeNotices(false);
    CheckLinks(k);
    // (4) A replaced database's newest good copy stays; an event reports the replacement.
    for (std::size_t d = 0; d < mL.dbs.size(); ++d) {
        DbRec& r = mL.dbs[d];
        if (!r.replacedEventDue || r.retiredAt > k) continue;
        r.replacedEventDue = false;
        // Failed for a link, it owes no other event.
        if (r.linkFailed || FailedForLink(mL, static_cast<int>(d))) continue;
        if (!EventSince(r.eventsBefore, expect::kReplacedEvent, {r.model->UuidText()}))
            mR.Fail("event", "no event reports that " + mL.DbLabel(static_cast<int>(d)) +
                                 " was replaced by a new database under its name");
    }
    // (9) Verify names the damage while a last-good folder holds it; a restore never hands
    // back the changed bytes; a damaged copy met as a starting copy is reported.
    bool held = false;
    std::error_code ec;
    for (const auto& f : ListLastGood(mO.backup))
        for (fs::recursive_directory_iterator it(f.path, ec), end; !ec && it != end;
             it.increment(ec))
            held |= mL.DamagedFile(it->path().string()) != nullptr;
    // A changed file that is nowhere any more is forgotten: its inode number may come again.
    std::vector<bool> present(mL.damaged.size());
    for (fs::recursive_directory_iterator it(mO.backup, ec), end; !ec && it != end;
         it.increment(ec))
        if (it->symlink_status(ec).type() == fs::file_type::regular)
            for (std::size_t i = 0; i < mL.damaged.size(); ++i)
                present[i] =
                    present[i] || (!mL.damaged[i].gone && IsChangedFile(mL.damaged[i], it->path()));
    for (std::size_t i = 0; i < mL.damaged.size(); ++i)
        mL.damaged[i].gone = mL.damaged[i].gone || !present[i];
    bool recent = false;
    for (const auto& x : mL.damaged) recent |= k - x.flippedAt <= 2;
    if (held && recent) {
        std::ostringstream out;
        ibsdb::VerifyOptions vo;
        vo.path = mO.backup;
        int v = ibsdb::Verify(vo, out);
        if (v != ibsdb::kCritical)
            mR.Fail("manifest", "ibsdb verify " + mO.backup + " exits " + std::to_string(v) +
                                    " while a last-good copy holds bytes that changed on disk");
        ibsdb::RestoreOptions ro;
        ro.backup = mO.backup;
        ro.to = mO.work + "/restore";
        fs::remove_all(ro.to, ec);
        std::ostringstream rout;
        int rc = ibsdb::Restore(ro, rout);
        for (fs::recursive_directory_iterator it(ro.to, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->symlink_status(ec).type() != fs::file_type::regular) continue;
            std::uint64_t size = 0;
            std::uint32_t crc = FileCrc32c(it->path().string(), size);
            for (const auto& x : mL.damaged)
                if (crc == x.crc32c && size == x.size)
                    mR.Fail("mismatch", "ibsdb restore (exit " + std::to_string(rc) +
                                            ") handed back the changed bytes of " + x.path);
        }
        fs::remove_all(ro.to, ec);
    }
    for (auto& x : mL.damaged) {
        if (!x.eventDue || x.eventChecked || x.dueAt > k) continue;
        x.eventChecked = true;
        const DbRec& r = mL.dbs[static_cast<std::size_t>(x.db)];
        if (r.linkFailed || FailedForLink(mL, x.db)) continue;
        if (!EventSince(x.eventsBefore, expect::kDamagedCopyEvent,
                        {r.model->UuidText(), fs::path(x.path).filename().string()}))
            mR.Fail("event", x.path + " changed on disk and was " + mL.DbLabel(x.db) +
                                 "'s only copy when its logs came; no event says it was found "
                                 "damaged");
    }
}

bool Server::OnlyDamagedCopy(const Ledger::Damaged& x) {
    bool any = false;
    std::error_code ec;
    for (const auto& f : ListLastGood(mO.backup))
        for (fs::recursive_directory_iterator it(f.path, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->symlink_status(ec).type() != fs::file_type::regular) continue;
            bool same = IsChangedFile(x, it->path().string());
            if (!same && mL.DbOf(HeaderUuid(it->path().string())) == x.db) return false;
            any |= same;
        }
    return any;
}

}  // namespace sim
