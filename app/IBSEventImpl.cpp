#include "app/IBSEventImpl.h"

#include "catalogue/IBSMgr.h"
#include "platform/framework/EventHelper.h"

namespace Talon {

namespace {
Mirel::unistring Text(const CompressedString& s) {
    return EventHelper::FromCompressedString(s);
}
}  // namespace

CORBA::Boolean IBSEventImpl::RegisterServer(const CompressedString& address, CORBA::UShort port,
                                            CORBA::UShort extra1, CORBA::UShort extra2) {
    return IBSMgr::GetInstance()->RegisterServer(Text(address), port, extra1, extra2);
}

CORBA::Boolean IBSEventImpl::SetBackupFolder(const CompressedString& path) {
    return IBSMgr::GetInstance()->SetBackupFolder(Text(path)) != 0;
}

CORBA::Long IBSEventImpl::VerifyFullDBBackup(const CompressedString& name,
                                             const CompressedString& uuid, CORBA::ULongLong msn,
                                             CORBA::Boolean requireContainers) {
    return IBSMgr::GetInstance()->VerifyFullDBBackup(Text(name), Text(uuid), msn,
                                                     requireContainers);
}

CORBA::Long IBSEventImpl::RedoLogIsReady(const CompressedString& pathText,
                                         const CompressedString& uuid,
                                         CORBA::Boolean hasContainers) {
    return IBSMgr::GetInstance()->RedoLogIsReady(Text(pathText), Text(uuid), hasContainers);
}

CORBA::Boolean IBSEventImpl::FullDBBackupIsUploaded(const CompressedString& pathText,
                                                    const CompressedString& uuid) {
    return IBSMgr::GetInstance()->FullDBBackupIsUploaded(Text(pathText), Text(uuid));
}

void IBSEventImpl::Stop() {
    IBSMgr::GetInstance()->Stop();
}

}  // namespace Talon
