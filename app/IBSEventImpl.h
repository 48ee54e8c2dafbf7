// The servant of Talon::IBSEvent: each call goes straight to the backup manager.
#pragma once

#include "idl/Talon.hh"

namespace Talon {

class IBSEventImpl : public POA_Talon::IBSEvent {
public:
    IBSEventImpl() = default;
    PortableServer::POA_ptr _default_POA() override {
        return PortableServer::POA::_duplicate(mPOA);
    }

    CORBA::Boolean RegisterServer(const CompressedString& address, CORBA::UShort port,
                                  CORBA::UShort extra1, CORBA::UShort extra2) override;
    CORBA::Boolean SetBackupFolder(const CompressedString& path) override;
    CORBA::Long VerifyFullDBBackup(const CompressedString& name, const CompressedString& uuid,
                                   CORBA::ULongLong msn, CORBA::Boolean requireContainers) override;
    CORBA::Long RedoLogIsReady(const CompressedString& pathText, const CompressedString& uuid,
                               CORBA::Boolean hasContainers) override;
    CORBA::Boolean FullDBBackupIsUploaded(const CompressedString& pathText,
                                          const CompressedString& uuid) override;
    void Stop() override;

private:
    PortableServer::POA_var mPOA;  // nil: the servant is always activated explicitly
};

}  // namespace Talon
