// The manager's model: the singleton, the catalogue records, event records and the
// request for an interval check.
#include "catalogue/IBSMgr.h"

#include "app/DBSConnector.h"
#include "app/DidoraRezaraApp.h"
#include "platform/engine/HBEngine.h"
#include "platform/framework/Logger.h"
#include "platform/support/Debug.h"

std::atomic<DBSConnector*> IBSMgr::sDBSConnector{nullptr};
std::atomic<bool> IBSMgr::sServerRegistered{false};

namespace {
std::atomic<IBSMgr*> gManager{nullptr};
Mirel::Mutex gManagerCreation;
}  // namespace

Mirel::unistring FileInfo::Text() const {
    Mirel::unistring t = u"FileInfo: ";
    t += uuid;
    t += u" " + Mirel::unistring::NumToString(startMSN) + u"/" +
         Mirel::unistring::NumToString(msn) + u"/" + Mirel::unistring::NumToString(endUTC);
    if (closed) t += u" *Closed";
    t += u" '" + path.GetUserEntryFormat() + u"'";
    return t;
}

Interval::Interval(const Interval& o) {
    Mirel::LockReentrant g(o.lock);
    donePath = o.donePath;
    mDoneUTC = o.mDoneUTC;
    backup = o.backup;
    databases = o.databases;
}

Interval& Interval::operator=(const Interval& o) {
    if (this == &o) return *this;
    Mirel::LockReentrant mine(lock);
    Mirel::LockReentrant theirs(o.lock);
    donePath = o.donePath;
    mDoneUTC = o.mDoneUTC;
    backup = o.backup;
    databases = o.databases;
    return *this;
}

void Interval::ClearDatabases() {
    Mirel::LockReentrant g(lock);
    databases.clear();
}

IBSMgr* IBSMgr::GetInstance() {
    IBSMgr* m = gManager.load(std::memory_order_acquire);
    if (m) return m;
    Mirel::LockMutex g(gManagerCreation);
    m = gManager.load(std::memory_order_acquire);
    if (!m) {
        m = new IBSMgr();
        Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);
        Mirel::AtomicSetPointer(gManager, m);
    }
    return m;
}

Mirel::UniversalPath IBSMgr::GetInProgressFolderPath() const {
    Mirel::LockReentrant g(mLock);
    return mInProgressFolder.GetPath();
}

Mirel::Directory IBSMgr::GetBackupFolder() const {
    Mirel::LockReentrant g(mLock);
    return mBackupFolder;
}

Mirel::Directory IBSMgr::GetLastGoodFolder() const {
    Mirel::LockReentrant g(mLock);
    return mLastGoodFolder;
}

std::int32_t IBSMgr::GetDatabaseError(const Mirel::unistring& uuid) {
    Mirel::LockMutex g(mFailedLock);
    auto it = mFailedDatabases.find(uuid);
    return it == mFailedDatabases.end() ? 0 : it->second;
}

void IBSMgr::ClearIntervals() {
    Mirel::LockReentrant g(mLock);
    for (auto& [key, interval] : mIntervals) interval.ClearDatabases();
    mIntervals.clear();
}

IntervalMap::iterator IBSMgr::CurrentInterval() {
    std::uint64_t end = mIntervalEnd.load();
    if (end == 0 || end == kOpenInterval) return mIntervals.end();
    auto it = mIntervals.lower_bound(end);
    return (it != mIntervals.end() && it->first == end) ? it : mIntervals.end();
}

void IBSMgr::RequestIntervalCheck() {
    if (DidoraRezaraApp* app = GetDidoraRezaraApp()) app->GetMainMsgQ().PostMsg(1231);
}

namespace {
void Report(std::int32_t code, const std::vector<Mirel::unistring>& texts) {
    DBSConnector* c = IBSMgr::sDBSConnector.load();
    if (c && c->WriteInfo(code, texts, false, nullptr).OK()) return;
    Talon::Logger::WriteSysLog(code, texts);
}
}  // namespace

void IBSMgr::ReportEvent(std::int32_t code, const Mirel::unistring& t1) {
    Report(code, {t1});
}
void IBSMgr::ReportEvent(std::int32_t code, const Mirel::unistring& t1,
                         const Mirel::unistring& t2) {
    Report(code, {t1, t2});
}
void IBSMgr::ReportEvent(std::int32_t code, const Mirel::unistring& t1, const Mirel::unistring& t2,
                         const Mirel::unistring& t3) {
    Report(code, {t1, t2, t3});
}
void IBSMgr::ReportEvent(std::int32_t code, const Mirel::unistring& t1, const Mirel::unistring& t2,
                         const Mirel::unistring& t3, const Mirel::unistring& t4) {
    Report(code, {t1, t2, t3, t4});
}
