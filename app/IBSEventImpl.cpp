#include "app/IBSEventImpl.h"

#include "catalogue/IBSMgr.h"
#include "platform/framework/EventHelper.h"
#include "platform/support/ErrorCodes.h"

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
}  // namespace

CORBA::Boolean IBSEventImpl::RegisterServer(const CompressedString& address, CORBA::UShort port,
                                            CORBA::UShort extra1, CORBA::UShort extra2) {
    if (TooLong(address)) return false;
    return IBSMgr::GetInstance()->RegisterServer(Text(address), port, extra1, extra2);
}

CORBA::Boolean IBSEventImpl::SetBackupFolder(const CompressedString& path) {
    if (TooLong(path)) return false;
    return IBSMgr::GetInstance()->SetBackupFolder(Text(path)) != 0;
}

CORBA::Long IBSEventImpl::VerifyFullDBBackup(const CompressedString& name,
                                             const CompressedString& uuid, CORBA::ULongLong msn,
                                             CORBA::Boolean requireContainers) {
    if (TooLong(name) || TooLong(uuid)) return Mirel::kErrNoFullBackup;
    return IBSMgr::GetInstance()->VerifyFullDBBackup(Text(name), Text(uuid), msn,
                                                     requireContainers);
}

CORBA::Long IBSEventImpl::RedoLogIsReady(const CompressedString& pathText,
                                         const CompressedString& uuid,
                                         CORBA::Boolean hasContainers) {
    if (TooLong(pathText) || TooLong(uuid)) return Mirel::kErrBadPathFormat;
    return IBSMgr::GetInstance()->RedoLogIsReady(Text(pathText), Text(uuid), hasContainers);
}

CORBA::Boolean IBSEventImpl::FullDBBackupIsUploaded(const CompressedString& pathText,
                                                    const CompressedString& uuid) {
    if (TooLong(pathText) || TooLong(uuid)) return false;
    return IBSMgr::GetInstance()->FullDBBackupIsUploaded(Text(pathText), Text(uuid));
}

void IBSEventImpl::Stop() {
    IBSMgr::GetInstance()->Stop();
}

}  // namespace Talon
