// The database server's side of Talon::IBSEvent: a typed client of a running service.
#pragma once

#include <omniORB4/CORBA.h>

#include <cstdint>
#include <string>

#include "idl/Talon.hh"
#include "tools/sim/Workload.h"

namespace sim {

class ServiceClient {
public:
    static constexpr const char* kObjectKey = "/%ffomniINSPOA%ffIBSEventPOA%00ZAVORIdava";

    // Uses an ORB the caller owns.
    ServiceClient(CORBA::ORB_ptr orb, const std::string& host = "127.0.0.1",
                  unsigned short port = 50004);
    std::string Address() const { return mAddress; }
    Talon::IBSEvent_ptr Object();  // narrows on first use; throws CORBA exceptions
    // How often a call is repeated at once on a dead connection (3 by default); with 0 the
    // caller sees every failure and decides (the simulated server waits and re-registers).
    void SetQuickRetries(int n) { mQuickRetries = n; }

    bool RegisterServer(const std::string& address, unsigned short port);
    bool SetBackupFolder(const std::string& path);
    std::int32_t VerifyFullDBBackup(const std::string& name, const std::string& uuid,
                                    std::uint64_t msn, bool requireContainers);
    std::int32_t RedoLogIsReady(const std::string& path, const std::string& uuid,
                                bool hasContainers);
    bool FullDBBackupIsUploaded(const std::string& path, const std::string& uuid);
    void Stop();

    static Talon::CompressedString Text(const std::string& utf8);

private:
    CORBA::ORB_var mORB;
    std::string mAddress;
    Talon::IBSEvent_var mObject;
    int mQuickRetries = 3;
};

// Announces the model's files to a running service over CORBA.
class CorbaAnnouncer : public Announcer {
public:
    explicit CorbaAnnouncer(ServiceClient& client) : mClient(client) {}
    bool Upload(const std::string& path, const std::string& uuid) override {
        return mClient.FullDBBackupIsUploaded(path, uuid);
    }
    std::int32_t RedoLogReady(const std::string& path, const std::string& uuid) override {
        return mClient.RedoLogIsReady(path, uuid, true);
    }

private:
    ServiceClient& mClient;
};

}  // namespace sim
