#include "workers/TalonIBWorker.h"

#include <memory>
#include <vector>

#include "catalogue/IBSMgr.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Debug.h"

namespace {
Mirel::unistring ErrorText(const Mirel::Error& e) {
    return Mirel::unistring::NumToString(e.GetError());
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
    for (;;) {
        std::unique_ptr<Mirel::Msg> msg = GetMyMsgQ().GetMsg();
        if (!msg) continue;
        bool leave = false;
        switch (msg->GetMsgCode()) {
            case kMsgQuit:
                leave = true;
                break;
            case kMsgWork:
                mItem = IBSMgr::GetInstance()->CheckoutInProgressItem();
                if (mItem) {
                    ProcessRedoLogSet(*mItem);
                    DatabaseItem* done = mItem;
                    mItem = nullptr;
                    IBSMgr::GetInstance()->ReleaseInProgressItem(done);
                    PostWork();
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
    if (mItem) {
        DatabaseItem* item = mItem;
        mItem = nullptr;
        IBSMgr::GetInstance()->ReleaseInProgressItem(item);
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
    IBSMgr* mgr = IBSMgr::GetInstance();
    const std::uint64_t limit = mgr->GetIntervalEnd();
    Mirel::UniversalPath dbPath = item.file.path;
    dbPath.SetAbsoluteFrom(mgr->GetInProgressFolderPath());
    Mirel::HBFile database(dbPath);
    bool prepared = false;
    Talon::Error result;
    // The logs of the pass stay open until they are written together; the copy's MSN and end
    // move only once the header that covers them is durable.
    std::vector<std::unique_ptr<Mirel::HBLogFile>> open;
    std::vector<const FileInfo*> queued;
    std::uint64_t passEnd = 0;
    auto finish = [&]() {
        if (queued.empty()) return;
        Talon::Error e = Talon::IBS_Config::FinishRedoLogFiles(database, mAbort);
        if (e.OK()) {
            for (const FileInfo* log : queued)
                IBS_DEBUG_WIDE(u"ProcessRedoLogSet: old MSN "
                               << log->startMSN << u", new MSN " << log->msn << u" endUTC "
                               << log->endUTC << u" from log " << log->path.GetName());
            item.file.msn = queued.back()->msn;
            item.file.endUTC = passEnd;
        } else {
            IBS_DEBUG_WIDE(u"ProcessRedoLogSet: **ERROR "
                           << e.GetError() << u" writing " << queued.size() << u" log(s) from "
                           << queued.front()->path.GetName() << u" (MSN " << item.file.msn
                           << u" to " << queued.back()->msn << u") to " << dbPath.GetName());
            // A log that could not be queued is the pass's real outcome.
            if (result.OK()) result = e;
        }
        queued.clear();
        open.clear();
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
            result = PrepareDatabase(database);
            if (!result.OK()) {
                if (!Mirel::IsEnvironmentError(result.GetError()))
                    mgr->ReportEvent(0x410003d5, dbPath.GetUserEntryFormat(), dbPath.GetBasename(),
                                     ErrorText(result));
                break;
            }
            prepared = true;
        }
        auto logFile = std::make_unique<Mirel::HBLogFile>(log.path);
        result = Talon::IBS_Config::QueueRedoLogFile(database, *logFile);
        if (!result.OK()) {
            IBS_DEBUG_WIDE(u"ProcessRedoLogSet: **ERROR "
                           << result.GetError() << u" applying log " << log.path.GetName()
                           << u" (MSN " << log.startMSN << u" to " << log.msn << u") to "
                           << dbPath.GetName() << u" at MSN " << database.PassMSN());
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
            mgr->ReportEvent(0x4100031f, log.path.GetUserEntryFormat(), dbPath.GetBasename(),
                             ErrorText(result));
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
    if (prepared) {
        Mirel::Error closed = database.Close();
        if (result.OK() && !closed.OK()) result = closed;
    }
    item.err = result;
}

Talon::Error TalonIBWorker::PrepareDatabase(Mirel::HBFile& database) {
    if (database.IsOpen()) return Talon::Error();
    const Mirel::UniversalPath original = database.GetPath();
    if (database.GetHardLinkCount() > 1) {
        Mirel::UniversalPath temp;
        bool found = false;
        Mirel::UniversalPath candidate = original;
        for (int i = 0; i < 100 && !found; ++i) {
            Mirel::unistring name = candidate.GetBasename() + u".tmp";
            if (i) name += Mirel::unistring::NumToString(i);
            temp = original;
            temp.SetName(name);
            found = !temp.Exists();
            candidate = temp;
        }
        if (!found) return Talon::Error(Mirel::kErrNoTempName);
        // The private copy is made under the temporary name and then renamed over the
        // database, so a crash at any instant leaves the database whole under its name.
        Mirel::File source(original);
        if (Mirel::Error e = source.Copy(temp, Mirel::File::kDefaultCopyBufferSize); !e.OK()) {
            Mirel::File(temp).Delete();
            return e;
        }
        Mirel::File copy(temp);
        copy.SetLocked(false);
        if (Mirel::Error e = copy.ReplaceFile(original); !e.OK()) {
            copy.Delete();
            return e;
        }
    }
    database.SetOpeningFlags(0x110);
    if (!database.Open(Mirel::HBFile::kPermReadWrite).OK()) return database.GetError();
    return Talon::Error();
}
