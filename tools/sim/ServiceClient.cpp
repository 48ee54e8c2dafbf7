#include "tools/sim/ServiceClient.h"

#include "platform/framework/EventHelper.h"
#include "platform/support/Orb.h"

#include <cstdio>

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

namespace {
// A restarted service leaves the old connection dead; the server calls again, as every
// announcement may be repeated safely.
template <class F>
auto Retry(Talon::IBSEvent_var& object, int retries, F&& call) -> decltype(call()) {
    for (int attempt = 0;; ++attempt) {
        try {
            return call();
        } catch (const CORBA::COMM_FAILURE&) {
            object = Talon::IBSEvent::_nil();
            if (attempt >= retries) throw;
        } catch (const CORBA::TRANSIENT&) {
            object = Talon::IBSEvent::_nil();
            if (attempt >= retries) throw;
        }
    }
}
}  // namespace

bool ServiceClient::RegisterServer(const std::string& address, unsigned short port) {
    return Retry(mObject, mQuickRetries,
                 [&] { return Object()->RegisterServer(Text(address), port, 0, 0); });
}

bool ServiceClient::SetBackupFolder(const std::string& path) {
    return Retry(mObject, mQuickRetries, [&] { return Object()->SetBackupFolder(Text(path)); });
}

std::int32_t ServiceClient::VerifyFullDBBackup(const std::string& name, const std::string& uuid,
                                               std::uint64_t msn, bool requireContainers) {
    return Retry(mObject, mQuickRetries, [&] {
        return Object()->VerifyFullDBBackup(Text(name), Text(uuid), msn, requireContainers);
    });
}

std::int32_t ServiceClient::RedoLogIsReady(const std::string& path, const std::string& uuid,
                                           bool hasContainers) {
    return Retry(mObject, mQuickRetries,
                 [&] { return Object()->RedoLogIsReady(Text(path), Text(uuid), hasContainers); });
}

bool ServiceClient::FullDBBackupIsUploaded(const std::string& path, const std::string& uuid) {
    return Retry(mObject, mQuickRetries,
                 [&] { return Object()->FullDBBackupIsUploaded(Text(path), Text(uuid)); });
}

void ServiceClient::Stop() {
    Object()->Stop();
}

}  // namespace sim
