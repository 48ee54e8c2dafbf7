#include "tools/sim/ServiceClient.h"

#include "platform/framework/EventHelper.h"
#include "platform/support/Orb.h"

namespace sim {

ServiceClient::ServiceClient(CORBA::ORB_ptr orb, const std::string& host, unsigned short port)
    : mORB(CORBA::ORB::_duplicate(orb)),
      mAddress(Mirel::BuildCorbalocString(host.c_str(), port, kObjectKey, false)) {}

Talon::IBSEvent_ptr ServiceClient::Object() {
    if (CORBA::is_nil(mObject)) {
        CORBA::Object_var obj = mORB->string_to_object(mAddress.c_str());
        mObject = Talon::IBSEvent::_narrow(obj);
        if (CORBA::is_nil(mObject)) throw CORBA::OBJECT_NOT_EXIST();
    }
    return mObject.in();
}

Talon::CompressedString ServiceClient::Text(const std::string& utf8) {
    Talon::CompressedString s;
    Talon::EventHelper::ToCompressedString(Mirel::unistring::FromUTF8(utf8), s);
    return s;
}

bool ServiceClient::RegisterServer(const std::string& address, unsigned short port) {
    return Object()->RegisterServer(Text(address), port, 0, 0);
}

bool ServiceClient::SetBackupFolder(const std::string& path) {
    return Object()->SetBackupFolder(Text(path));
}

std::int32_t ServiceClient::VerifyFullDBBackup(const std::string& name, const std::string& uuid,
                                               std::uint64_t msn, bool requireContainers) {
    return Object()->VerifyFullDBBackup(Text(name), Text(uuid), msn, requireContainers);
}

std::int32_t ServiceClient::RedoLogIsReady(const std::string& path, const std::string& uuid,
                                           bool hasContainers) {
    return Object()->RedoLogIsReady(Text(path), Text(uuid), hasContainers);
}

bool ServiceClient::FullDBBackupIsUploaded(const std::string& path, const std::string& uuid) {
    return Object()->FullDBBackupIsUploaded(Text(path), Text(uuid));
}

void ServiceClient::Stop() {
    Object()->Stop();
}

}  // namespace sim
