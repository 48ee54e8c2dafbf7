#include "workers/TalonIBWorker.h"

#include <memory>
#include <vector>

#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/CopyCheck.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Debug.h"
#include "platform/support/Os.h"

namespace {
Mirel::unistring ErrorText(const Mirel::Error& e) {
    return Mirel::unistring::NumToString(e.GetError());
}

// Only an in-progress copy is ever written: never an upload still in the copies folder,
// never a last-good copy, whoever hands the item over.
bool InsideInProgress(const Mirel::UniversalPath& rel) {
    if (rel.IsClear() || !rel.IsRelative()) return false;
    for (int i = 0, n = rel.CountPathElements(); i < n; ++i) {
        const Mirel::unistring e = rel.GetPathElement(i);
        if (e.empty() || e == u"." || e == u"..") return false;
    }
    return true;
}
}  // namespace

bool TalonIBWorker::IsBadLog(int error) {
    return error == Mirel::kErrInvalidFile || error == Mirel::kErrLogWrongDatabase ||
           error == Mirel::kErrLogChainBreak;
}

TalonIBWorker::~TalonIBWorker() {
    PostQuit();
    Join();
}

void TalonIBWorker::Main() {
    Mirel::Env::Scope files(mEnv);
    for (;;) {
        std::unique_ptr<Mirel::Msg> msg = GetMyMsgQ().GetMsg();
        if (!msg) continue;
        bool leave = false;
        switch (msg->GetMsgCode()) {
            case kMsgQuit:
                leave = true;
                break;
            case kMsgWork:
                mItem = mSource.CheckoutInProgressItem(&mAbort);
                if (mItem) {
                    ProcessRedoLogSet(*mItem);
                    DatabaseItem* done = mItem;
                    mItem = nullptr;
                    mSource.ReleaseInProgressItem(done);
                    PostWork();
                } else {
                    // Idle until the next interval: its memory goes back to the system.
                    mArena.Release();
                }
                break;
            default:
                IBS_DEBUG("TalonIBWorker:Main unexpected message code " << msg->GetMsgCode());
                break;
        }
        if (leave) break;
    }
}

void TalonIBWorker::Destruct() {
    Mirel::Env::Scope files(mEnv);
    if (mItem) {
        DatabaseItem* item = mItem;
        mItem = nullptr;
        mSource.ReleaseInProgressItem(item);
    }
}

void TalonIBWorker::PostWork() {
    GetMyMsgQ().PostMsg(kMsgWork);
}

void TalonIBWorker::PostQuit() {
    SetAbort();
    GetMyMsgQ().PostMsg(kMsgQuit);
}

void TalonIBWorker::ProcessRedoLogSet(DatabaseItem& item) {
    const std::uint64_t limit = mSource.GetIntervalEnd();
    if (!InsideInProgress(item.file.path)) {
        IBS_DEBUG_WIDE(u"ProcessRedoLogSet: **refused, not an in-progress copy: "
                       << item.file.path.GetUserEntryFormat());
        item.err = Talon::Error(Mirel::kErrFileNotTaken);
        return;
    }
    Mirel::UniversalPath dbPath = item.file.path;
    dbPath.SetAbsoluteFrom(mSource.GetInProgressFolderPath());
    Mirel::HBFile database(dbPath);
    bool prepared = false;
    Talon::Error result;
    // The logs of the pass stay open until they are written together; the copy's MSN and end
    // move only once the header that covers them is durable.
    std::vector<std::unique_ptr<Mirel::HBLogFile>> open;
    std::vector<const FileInfo*> queued;
    std::uint64_t passEnd = 0;
    // The last pass's read of the whole file, made while its pages went to the disk.
    Mirel::FileSum sum;
    auto finish = [&]() {
        if (queued.empty()) return;
        Talon::Error e = Talon::IBS_Config::FinishRedoLogFiles(database, mAbort, &sum);
        e.In("write the pass of " + std::to_string(queued.size()) + " log(s) to", dbPath.Native());
        if (e.OK()) {
            for (const FileInfo* log : queued)
                IBS_DEBUG_WIDE(u"ProcessRedoLogSet: old MSN "
                               << log->startMSN << u", new MSN " << log->msn << u" endUTC "
                               << EndText(log->endUTC) << u" from log " << log->path.GetName());
            item.file.msn = queued.back()->msn;
            item.file.endUTC = passEnd;
        } else if (e.GetError() == Mirel::kErrAborted) {
            // A stop, not a fault: the logs are applied again from the copy's MSN next time.
            IBS_DEBUG_WIDE(u"ProcessRedoLogSet: stopped while writing "
                           << queued.size() << u" log(s) from " << queued.front()->path.GetName()
                           << u" to " << dbPath.GetName()
                           << u"; they are applied again when the cycle resumes");
            if (result.OK()) result = e;
        } else {
            IBS_DEBUG_WIDE(u"ProcessRedoLogSet: **ERROR "
                           << e.Text() << u" writing " << queued.size() << u" log(s) from "
                           << queued.front()->path.GetName() << u" (MSN " << item.file.msn
                           << u" to " << queued.back()->msn << u") to " << dbPath.GetName());
            // A log that could not be queued is the pass's real outcome.
            if (result.OK()) result = e;
        }
        queued.clear();
        open.clear();
        mArena.Rewind(kKeptLogMemory);
    };
    for (const FileInfo& log : item.logs) {
        if (mAbort.load() != 0 || !result.OK()) break;
        if (log.msn > item.lastLogMSN || (log.msn == item.lastLogMSN && log.endUTC > limit)) break;
        if (log.msn <= item.file.msn) {
            if (log.endUTC > item.file.endUTC) item.file.endUTC = log.endUTC;
            continue;
        }
        if (!queued.empty() && log.msn <= queued.back()->msn) {
            if (log.endUTC > passEnd) passEnd = log.endUTC;
            continue;
        }
        if (!prepared) {
            result = PrepareDatabase(item, database);
            result.In("prepare the in-progress copy", dbPath.Native());
            if (!result.OK()) {
                if (!Mirel::IsEnvironmentError(result.GetError()) &&
                    result.GetError() != Mirel::kErrCopyDamaged) {
                    mSource.ReportDatabaseEvent(
                        Talon::Event::kDatabaseNotPrepared, item.file.uuid, dbPath.GetName(),
                        {dbPath.GetUserEntryFormat(), dbPath.GetBasename(), ErrorText(result)});
                    item.pristine = false;  // it may not even be a database
                }
                break;
            }
            prepared = true;
        }
        auto logFile = std::make_unique<Mirel::HBLogFile>(log.path, &mArena);
        result = Talon::IBS_Config::QueueRedoLogFile(database, *logFile);
        result.In("check the redo log", log.path.Native());
        if (!result.OK()) {
            IBS_DEBUG_WIDE(u"ProcessRedoLogSet: **ERROR "
                           << result.Text() << u" applying log " << log.path.GetName() << u" (MSN "
                           << log.startMSN << u" to " << log.msn << u") to " << dbPath.GetName()
                           << u" at MSN " << database.PassMSN());
            // A full disk or a stop says nothing about the log: it stays for the next pass.
            if (Mirel::IsEnvironmentError(result.GetError())) continue;
            // A log merged from the newer copy's interval was never needed by that copy (an
            // upload may have stood in for it): the shortcut failed, not the database.
            if (IsBadLog(result.GetError()) && item.prevEnd != 0 && log.endUTC <= item.prevEnd) {
                result = Talon::Error(Mirel::kErrShortcutFailed);
                continue;
            }
            // The log stays where it is for now: it is set aside once its database's failure
            // is on record, so that no restart in between can take the copy for a good one.
            mSource.ReportDatabaseEvent(
                Talon::Event::kLogNotApplied, item.file.uuid, dbPath.GetName(),
                {log.path.GetUserEntryFormat(), dbPath.GetBasename(), ErrorText(result)});
            continue;  // the loop stops at its first check
        }
        open.push_back(std::move(logFile));
        queued.push_back(&log);
        passEnd = log.endUTC;
        // A very long pass is written in parts, each with its own sync.
        if (queued.size() >= kPassMaxLogs || database.QueuedBytes() >= kPassMaxBytes) finish();
    }
    // The logs checked before a bad one are written: the header claims only their MSN.
    finish();
    mArena.Rewind(kKeptLogMemory);
    // A log that failed its checks wrote nothing: the copy is still the one it started as
    // unless a pass wrote to it.
    if (database.Written()) item.pristine = false;
    // The header of the last applied log must be durable before the release reports it.
    if (prepared) {
        Mirel::Error closed = database.Close();
        closed.In("close", dbPath.Native());
        if (result.OK() && !closed.OK()) result = closed;
    }
    if (prepared && result.OK() && database.Written())
        ComputeManifestLine(item, database, dbPath, sum);
    item.err = result;
}

void TalonIBWorker::ComputeManifestLine(DatabaseItem& item, const Mirel::HBFile& database,
                                        const Mirel::UniversalPath& dbPath,
                                        const Mirel::FileSum& sum) {
    item.computedId.clear();
    // Read whole while the pages are still cached: publishing then only writes the line. The
    // file's identity before and after the read must agree, or the line is left to publishing.
    auto identity = [&](const Mirel::Os::Info& i) {
        return i.isFile ? Talon::EncodeFileIdentity(i.ino, i.size, i.mtimeUs, i.mtimeNs)
                        : std::string();
    };
    auto look = [&] {
        Mirel::Os::Info i;
        return mEnv.Stat(dbPath.Native(), i).OK() ? identity(i) : std::string();
    };
    const std::string before = look();
    Talon::ManifestEntry e;
    if (sum.known && identity(sum.info) == before) {
        // The last pass read it whole already (the same file: the same identity).
        e.size = sum.size;
        e.crc = sum.crc;
    } else if (before.empty() || !Talon::Manifest::Checksum(dbPath.Native(), e.size, e.crc).OK() ||
               look() != before) {
        return;
    }
    e.kind = Talon::ManifestEntry::kDatabase;
    e.uuid = database.GetUUID().ToUTF8();
    e.msn = database.GetMSN();
    e.pageSize = database.GetPageSize();
    e.pageCount = database.GetPageCount();
    item.computed = e;
    item.computedId = before;
}

Talon::Error TalonIBWorker::PrepareDatabase(DatabaseItem& item, Mirel::HBFile& database) {
    if (database.IsOpen()) return Talon::Error();
    const Mirel::UniversalPath original = database.GetPath();
    Talon::CopyCheck check;
    check.size = item.expect.size;
    check.crc = item.expect.crc;
    auto damaged = [&](int rc) {
        if (rc == Mirel::kErrCopyDamaged) {
            IBS_DEBUG_WIDE(u"PrepareDatabase: " << item.checkFrom.GetUserEntryFormat()
                                                << u" does not match its manifest: "
                                                << Mirel::unistring::FromUTF8(check.found));
            mSource.ReportDatabaseEvent(
                Talon::Event::kCopyDamaged, item.file.uuid, item.checkFrom.GetName(),
                {item.checkFrom.GetUserEntryFormat(), Mirel::unistring::FromUTF8(check.found)});
        }
        return Talon::Error(rc);
    };
    bool privateCopy = false;
    if (item.mustCheck && item.detach && database.GetHardLinkCount() > 1) {
        // An older copy brought forward, written where it lies. Its bytes are checked before
        // its last-good name goes (a power loss in between leaves it shared, checked again
        // after the restart, never private and unchecked), and again below once nothing
        // else names them (mustCheck stays set): a byte flipped through that name between
        // the first check and its removal would otherwise be certified by the new line.
        if (int rc = Talon::CheckCopy(original.Native(), check)) return damaged(rc);
        // The name must be gone for good before the bytes change: after a power loss it
        // would otherwise come back, naming the changed bytes in a last-good folder.
        if (mEnv.DeleteFile(item.checkFrom.Native()).GetError() == 0) {
            item.detached = true;
            if (mEnv.SyncDir(Mirel::Os::ParentOf(item.checkFrom.Native())).GetError() != 0)
                privateCopy = true;
        }
    }
    if (privateCopy || database.GetHardLinkCount() > 1) {
        // A short name of its own: "<name>.tmp" would not fit beside a long name.
        Mirel::UniversalPath temp;
        bool found = false;
        for (int i = 0; i < 100 && !found; ++i) {
            temp = Mirel::UniversalPath::FromNative(Mirel::Os::TempNameBeside(original.Native()));
            found = !temp.Exists();
        }
        if (!found) return Talon::Error(Mirel::kErrNoTempName);
        // The private copy is made under the temporary name and then renamed over the
        // database, so a crash at any instant leaves the database whole under its name. The
        // bytes it shares with a last-good copy are checked while they are copied.
        if (item.mustCheck) {
            if (int rc = Talon::CopyChecked(original.Native(), temp.Native(), check))
                return damaged(rc);
        } else {
            Mirel::File source(original);
            if (Mirel::Error e = source.Copy(temp, Mirel::File::kDefaultCopyBufferSize); !e.OK()) {
                Mirel::File(temp).Delete();
                return e;
            }
        }
        Mirel::File copy(temp);
        copy.SetLocked(false);
        if (Mirel::Error e = copy.ReplaceFile(original); !e.OK()) {
            copy.Delete();
            return e;
        }
    } else if (item.mustCheck) {
        // Its last-good name dropped above, or gone meanwhile: the bytes, its own now, are
        // checked where they lie.
        if (int rc = Talon::CheckCopy(original.Native(), check)) return damaged(rc);
    }
    item.mustCheck = false;
    // An upload noted as unwritten stops being so, durably, before a log first writes to it.
    database.SetBeforeFirstWrite(
        [this, original]() { return Mirel::Error(mSource.ForgetUnwritten(original)); });
    database.SetOpeningFlags(0x110);
    if (!database.Open(Mirel::HBFile::kPermReadWrite).OK()) return database.GetError();
    return Talon::Error();
}
