#include "app/IBSEventImpl.h"

#include <map>
#include <memory>
#include <mutex>

#include "app/CallerGate.h"
#include "app/IBSMgr.h"
#include "app/ManagerInstance.h"
#include "platform/framework/EventHelper.h"
#include "platform/support/Debug.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/RateLimit.h"

namespace Talon {

namespace {
// Paths and UUIDs are short. A longer text is refused before it is decoded: the ORB lets a
// few bytes on the wire claim billions of units.
constexpr CORBA::ULong kMaxUnits = 65536;

bool TooLong(const CompressedString& s) {
    return s.length() > kMaxUnits;
}

Mirel::unistring Text(const CompressedString& s) {
    return EventHelper::FromCompressedString(s);
}

// The debug lines of one call wait for its answer. Those of a refused call, and those of any
// call from a caller who is not allowed, go through a limiter of their operation: a flood
// of such calls writes a few lines a minute and a count, whatever the texts it sends.
class CallLines {
public:
    explicit CallLines(const char* operation) : mOperation(operation) {}
    void Done(bool refused) {
        const Caller* caller = CallerGate::Current();
        mCapture.Release(refused || (caller && !caller->allowed) ? &Limiter() : nullptr);
    }

private:
    Mirel::RateLimiter& Limiter() {
        static auto* m = new std::mutex;
        static auto* limiters = new std::map<std::string, std::unique_ptr<Mirel::RateLimiter>>;
        std::lock_guard<std::mutex> g(*m);
        auto& limiter = (*limiters)[mOperation];
        if (!limiter) {
            std::string operation = mOperation;
            limiter = std::make_unique<Mirel::RateLimiter>(20, [operation](std::uint64_t n) {
                MIREL_DEBUG(57, operation << ": " << n
                                          << " debug lines of refused calls were left out in "
                                             "the last minute");
            });
        }
        return *limiter;
    }

    const char* mOperation;
    Mirel::DebugCapture mCapture;
};
}  // namespace

CORBA::Boolean IBSEventImpl::RegisterServer(const CompressedString& address, CORBA::UShort port,
                                            CORBA::UShort extra1, CORBA::UShort extra2) {
    if (TooLong(address)) return false;
    CallLines lines("RegisterServer");
    bool linked =
        ManagerInstance::GetInstance()->RegisterServer(Text(address), port, extra1, extra2);
    lines.Done(!linked);
    return linked;
}

CORBA::Boolean IBSEventImpl::SetBackupFolder(const CompressedString& path) {
    if (TooLong(path)) return false;
    CallLines lines("SetBackupFolder");
    bool done = ManagerInstance::GetInstance()->SetBackupFolder(Text(path)) != 0;
    lines.Done(!done);
    return done;
}

CORBA::Long IBSEventImpl::VerifyFullDBBackup(const CompressedString& name,
                                             const CompressedString& uuid, CORBA::ULongLong msn,
                                             CORBA::Boolean requireContainers) {
    if (TooLong(name) || TooLong(uuid)) return Mirel::kErrNoFullBackup;
    CallLines lines("VerifyFullDBBackup");
    CORBA::Long r = ManagerInstance::GetInstance()->VerifyFullDBBackup(Text(name), Text(uuid), msn,
                                                                       requireContainers);
    lines.Done(false);
    return r;
}

CORBA::Long IBSEventImpl::RedoLogIsReady(const CompressedString& pathText,
                                         const CompressedString& uuid,
                                         CORBA::Boolean hasContainers) {
    if (TooLong(pathText) || TooLong(uuid)) return Mirel::kErrBadPathFormat;
    CallLines lines("RedoLogIsReady");
    CORBA::Long r =
        ManagerInstance::GetInstance()->RedoLogIsReady(Text(pathText), Text(uuid), hasContainers);
    lines.Done(r != 0);
    return r;
}

CORBA::Boolean IBSEventImpl::FullDBBackupIsUploaded(const CompressedString& pathText,
                                                    const CompressedString& uuid) {
    if (TooLong(pathText) || TooLong(uuid)) return false;
    CallLines lines("FullDBBackupIsUploaded");
    bool taken = ManagerInstance::GetInstance()->FullDBBackupIsUploaded(Text(pathText), Text(uuid));
    lines.Done(!taken);
    return taken;
}

void IBSEventImpl::Stop() {
    const Caller* caller = CallerGate::Current();
    MIREL_DEBUG(57, "IBSEventImpl::Stop: requested by "
                        << (caller ? caller->Describe() : std::string("the service itself")));
    ManagerInstance::GetInstance()->Stop();
}

}  // namespace Talon
