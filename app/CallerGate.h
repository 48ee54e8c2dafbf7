// Who may drive the service. Every call of the remote interface is traced to the owner of
// the socket at the other end of its connection, as the kernel reports it; the operations
// that change anything are answered only for root and the users and groups the operator
// allows (preference 80). Others are refused with CORBA::NO_PERMISSION before their
// arguments are read, with a debug line and an event record, both rate-limited.
//
// The same owner decides how many connections a caller may hold: callers who are not
// allowed share a few, so that slow or idle connections of theirs cannot take the ORB's
// threads from the database server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/framework/Events.h"
#include "platform/framework/ServiceSetup.h"

// The allowed callers: a list of user names, "@group" names, numeric uids and "*" (anyone),
// separated by commas or blanks. Root is always allowed. Membership of a group is the user
// database's (primary group or supplementary member), looked up again after a minute.
class CallerPolicy {
public:
    static constexpr const char* kDefault = "@vellumark";
    explicit CallerPolicy(const std::string& text = kDefault);

    bool Allows(uid_t uid) const;
    bool AllowsAnyone() const { return mAnyone; }
    // The entries that name no user or group now (they may exist later).
    std::vector<std::string> Unresolved() const;
    const std::string& Text() const { return mText; }

private:
    bool Decide(uid_t uid) const;

    std::string mText;
    bool mAnyone = false;
    std::set<uid_t> mUids;
    std::set<std::string> mUsers, mGroups;
    mutable std::mutex mM;
    mutable std::map<uid_t, std::pair<bool, std::chrono::steady_clock::time_point>> mCache;
};

// The caller of one remote call.
struct Caller {
    std::optional<uid_t> uid;  // nothing: the kernel knows no open socket at the other end
    bool allowed = false;
    std::string peer;  // its address, "127.0.0.1:41234"

    // "uid 65534 (nobody) at 127.0.0.1:41234", "an unknown caller at 10.0.0.7:41234"
    std::string Describe() const;
};

class CallerGate {
public:
    static constexpr int kAllowedCallersPref = Talon::kPrefAllowedCallers;
    // Connections of callers who are not allowed: per owner, and all of them together. One
    // more is closed as soon as it is accepted.
    static constexpr unsigned kMaxConnectionsPerOwner = 4;
    static constexpr unsigned kMaxConnectionsNotAllowed = 8;
    // The event record of a refused call.
    static constexpr std::int32_t kRefusedEvent = Talon::Code(Talon::Event::kCallerRefused);

    // Hooks into the ORB (once per process; a later call replaces the policy). Call it after
    // ORB_init and before the POAs are active.
    static void Install(std::shared_ptr<const CallerPolicy> policy);
    static std::shared_ptr<const CallerPolicy> Policy();

    // The caller of the remote call this thread is serving; null outside one (a call from
    // inside the process).
    static const Caller* Current();

    // The operations answered only for allowed callers.
    static bool ChangesState(const char* operation);
    // The operations of the remote interface whose callers are traced.
    static bool IsTraced(const char* operation);

    // Who is at the other end of a connection, given the ORB's addresses of both ends.
    static Caller Identify(const char* peerAddress, const char* ownAddress);
};
