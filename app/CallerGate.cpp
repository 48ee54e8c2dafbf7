#include "app/CallerGate.h"

#include <grp.h>
#include <pwd.h>

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <unordered_map>

#include "platform/framework/Logger.h"
#include "platform/support/Debug.h"
#include "platform/support/RateLimit.h"
#include "platform/support/SocketDiag.h"

namespace {

constexpr auto kMembershipKept = std::chrono::seconds(60);

std::optional<passwd> User(uid_t uid, std::vector<char>& buf) {
    passwd pw{}, *found = nullptr;
    buf.resize(16384);
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return std::nullopt;
    return pw;
}

std::optional<gid_t> GroupId(const std::string& name) {
    group gr{}, *found = nullptr;
    std::vector<char> buf(16384);
    if (::getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &found) != 0 || !found)
        return std::nullopt;
    return gr.gr_gid;
}

bool UserExists(const std::string& name) {
    passwd pw{}, *found = nullptr;
    std::vector<char> buf(16384);
    return ::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found;
}

std::string UserName(uid_t uid) {
    std::vector<char> buf;
    auto pw = User(uid, buf);
    return pw ? pw->pw_name : "";
}

std::mutex gPolicyM;
std::shared_ptr<const CallerPolicy> gPolicy = std::make_shared<CallerPolicy>();
thread_local std::optional<Caller> tCaller;

// The last refused call, for the minute's summary record.
struct LastRefusal {
    std::mutex m;
    std::string caller, operation;
};
LastRefusal& Last() {
    static LastRefusal* last = new LastRefusal;
    return *last;
}

void WriteRefusalRecord(const std::string& caller, const std::string& operation,
                        std::uint64_t calls) {
    Talon::Logger::WriteSysLog(CallerGate::kRefusedEvent, {Mirel::unistring::FromUTF8(caller),
                                                           Mirel::unistring::FromUTF8(operation),
                                                           Mirel::unistring::NumToString(calls)});
}

Mirel::RateLimiter& RefusalRecords() {
    static Mirel::RateLimiter& limiter = *new Mirel::RateLimiter(1, [](std::uint64_t n) {
        std::string caller, operation;
        {
            std::lock_guard<std::mutex> g(Last().m);
            caller = Last().caller;
            operation = Last().operation;
        }
        WriteRefusalRecord(caller, operation, n);
    });
    return limiter;
}

Mirel::RateLimiter& RefusalLines() {
    static Mirel::RateLimiter& limiter = *new Mirel::RateLimiter(10, [](std::uint64_t n) {
        MIREL_DEBUG(57, "CallerGate: " << n
                                       << " more refused calls were left out of this log in the "
                                          "last minute");
    });
    return limiter;
}

Mirel::RateLimiter& ClosedConnectionLines() {
    static Mirel::RateLimiter& limiter = *new Mirel::RateLimiter(10, [](std::uint64_t n) {
        MIREL_DEBUG(57, "CallerGate: " << n
                                       << " more closed connections were left out of this log in "
                                          "the last minute");
    });
    return limiter;
}

[[noreturn]] void Refuse(const char* operation, const Caller& caller) {
    std::string who = caller.Describe();
    {
        std::lock_guard<std::mutex> g(Last().m);
        Last().caller = who;
        Last().operation = operation;
    }
    if (RefusalRecords().Admit()) WriteRefusalRecord(who, operation, 1);
    if (RefusalLines().Admit())
        MIREL_DEBUG(57, "CallerGate: refused " << operation << " from " << who
                                               << ": neither root nor an allowed user or group "
                                                  "(preference 80)");
    throw CORBA::NO_PERMISSION(0, CORBA::COMPLETED_NO);
}

CORBA::Boolean OnRequest(omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
    tCaller.reset();
    const char* operation = info.operation();
    if (!CallerGate::IsTraced(operation)) return true;
    Caller caller = CallerGate::Identify(info.peeraddress(), info.myaddress());
    if (CallerGate::ChangesState(operation) && !caller.allowed) Refuse(operation, caller);
    tCaller = caller;
    return true;
}

CORBA::Boolean OnReply(omni::omniInterceptors::serverSendReply_T::info_T&) {
    tCaller.reset();
    return true;
}

CORBA::Boolean OnException(omni::omniInterceptors::serverSendException_T::info_T&) {
    tCaller.reset();
    return true;
}

// The connections of callers who are not allowed that the service keeps, by the peer's
// address. There are never more than the limits, so each is cheap to look at again.
struct Kept {
    Mirel::TcpEndpoint peer, own;
    uid_t owner;
};
std::mutex gKeptM;
std::map<std::string, Kept>& KeptConnections() {
    static auto* kept = new std::map<std::string, Kept>;
    return *kept;
}

// The owner of each connection's peer socket, asked once as the connection is accepted. A
// socket's owner is fixed when the socket is made, and while the service holds a connection
// no other connection can have its two addresses: the answer holds for every call on it.
// A connection accepted later with the same addresses replaces the entry before its first
// call. Two kernel queries a call were most of what the gate cost.
std::mutex gOwnersM;
std::unordered_map<std::string, uid_t>& ConnectionOwners() {
    static auto* owners = new std::unordered_map<std::string, uid_t>;
    return *owners;
}
std::string ConnectionKey(const char* peerAddress, const char* ownAddress) {
    return std::string(peerAddress ? peerAddress : "") + '\n' + (ownAddress ? ownAddress : "");
}
void RememberOwner(const std::string& key, std::optional<uid_t> uid) {
    std::lock_guard<std::mutex> g(gOwnersM);
    auto& owners = ConnectionOwners();
    // Closed connections are never told of: a full table starts again, and the calls of
    // connections it forgot ask the kernel as they come.
    if (owners.size() >= 1024) owners.clear();
    if (uid)
        owners[key] = *uid;
    else
        owners.erase(key);
}

// Callers who are not allowed share a few connections; one over the limit is closed as
// soon as it is accepted, before a thread serves it.
CORBA::Boolean OnAccept(omni::omniInterceptors::serverAcceptConnection_T::info_T& info) {
    Mirel::TcpEndpoint peer, own;
    if (!Mirel::ParseGiopTcpAddress(info.peeraddress(), peer) ||
        !Mirel::ParseGiopTcpAddress(info.myaddress(), own))
        return true;
    std::optional<uid_t> uid = Mirel::SocketDiag::PeerOwner(peer, own);
    RememberOwner(ConnectionKey(info.peeraddress(), info.myaddress()), uid);
    std::shared_ptr<const CallerPolicy> policy = CallerGate::Policy();
    // No owner: a caller elsewhere, or one that is gone already; nothing to count.
    if (policy->AllowsAnyone() || !uid || policy->Allows(*uid)) return true;
    unsigned mine = 0, notAllowed = 0;
    {
        std::lock_guard<std::mutex> g(gKeptM);
        auto& kept = KeptConnections();
        // A connection whose client has closed, or that the service closed, counts no more.
        for (auto it = kept.begin(); it != kept.end();) {
            if (Mirel::SocketDiag::PeerOwner(it->second.peer, it->second.own, true))
                ++it;
            else
                it = kept.erase(it);
        }
        for (auto& [address, k] : kept) mine += k.owner == *uid;
        notAllowed = static_cast<unsigned>(kept.size());
        if (mine < CallerGate::kMaxConnectionsPerOwner &&
            notAllowed < CallerGate::kMaxConnectionsNotAllowed) {
            kept[peer.ToString()] = Kept{peer, own, *uid};
            return true;
        }
    }
    info.reject = 1;
    info.why = "its owner may not hold more connections";
    if (ClosedConnectionLines().Admit()) {
        Caller caller{uid, false, peer.ToString()};
        MIREL_DEBUG(57, "CallerGate: closed a connection from "
                            << caller.Describe() << ": its owner has " << mine
                            << " open, callers not allowed " << notAllowed << " (at most "
                            << CallerGate::kMaxConnectionsPerOwner << " and "
                            << CallerGate::kMaxConnectionsNotAllowed << ")");
    }
    return true;
}

}  // namespace

CallerPolicy::CallerPolicy(const std::string& text) : mText(text) {
    std::string spaced = text;
    for (char& c : spaced)
        if (c == ',') c = ' ';
    std::istringstream in(spaced);
    for (std::string entry; in >> entry;) {
        if (entry == "*")
            mAnyone = true;
        else if (entry[0] == '@' && entry.size() > 1)
            mGroups.insert(entry.substr(1));
        else if (entry.find_first_not_of("0123456789") == std::string::npos && entry.size() < 10)
            mUids.insert(static_cast<uid_t>(std::stoul(entry)));
        else
            mUsers.insert(entry);
    }
}

std::vector<std::string> CallerPolicy::Unresolved() const {
    std::vector<std::string> missing;
    for (const std::string& u : mUsers)
        if (!UserExists(u)) missing.push_back(u);
    for (const std::string& g : mGroups)
        if (!GroupId(g)) missing.push_back("@" + g);
    return missing;
}

bool CallerPolicy::Allows(uid_t uid) const {
    if (uid == 0 || mAnyone || mUids.count(uid)) return true;
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> g(mM);
        auto it = mCache.find(uid);
        if (it != mCache.end() && now - it->second.second < kMembershipKept)
            return it->second.first;
    }
    bool allowed = Decide(uid);
    std::lock_guard<std::mutex> g(mM);
    if (mCache.size() > 4096) mCache.clear();
    mCache[uid] = {allowed, now};
    return allowed;
}

bool CallerPolicy::Decide(uid_t uid) const {
    std::vector<char> buf;
    std::optional<passwd> pw = User(uid, buf);
    if (!pw) return false;
    if (mUsers.count(pw->pw_name)) return true;
    if (mGroups.empty()) return false;
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) n = 0;
    }
    groups.resize(static_cast<std::size_t>(n));
    for (const std::string& name : mGroups) {
        std::optional<gid_t> gid = GroupId(name);
        if (!gid) continue;
        if (*gid == pw->pw_gid) return true;
        for (gid_t g : groups)
            if (g == *gid) return true;
    }
    return false;
}

std::string Caller::Describe() const {
    std::string who;
    if (uid) {
        who = "uid " + std::to_string(*uid);
        std::string name = UserName(*uid);
        if (!name.empty()) who += " (" + name + ")";
    } else {
        who = "an unknown caller";
    }
    return who + " at " + peer;
}

void CallerGate::Install(std::shared_ptr<const CallerPolicy> policy) {
    {
        std::lock_guard<std::mutex> g(gPolicyM);
        gPolicy = std::move(policy);
    }
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    omni::omniInterceptors* interceptors = omniORB::getInterceptors();
    interceptors->serverAcceptConnection.add(OnAccept);
    interceptors->serverReceiveRequest.add(OnRequest);
    interceptors->serverSendReply.add(OnReply);
    interceptors->serverSendException.add(OnException);
}

std::shared_ptr<const CallerPolicy> CallerGate::Policy() {
    std::lock_guard<std::mutex> g(gPolicyM);
    return gPolicy;
}

const Caller* CallerGate::Current() {
    return tCaller ? &*tCaller : nullptr;
}

bool CallerGate::ChangesState(const char* operation) {
    static const char* const kChanging[] = {"RegisterServer", "SetBackupFolder", "RedoLogIsReady",
                                            "FullDBBackupIsUploaded", "Stop"};
    for (const char* op : kChanging)
        if (std::strcmp(operation, op) == 0) return true;
    return false;
}

bool CallerGate::IsTraced(const char* operation) {
    return ChangesState(operation) || std::strcmp(operation, "VerifyFullDBBackup") == 0;
}

Caller CallerGate::Identify(const char* peerAddress, const char* ownAddress) {
    Caller caller;
    Mirel::TcpEndpoint peer, own;
    bool tcp = Mirel::ParseGiopTcpAddress(peerAddress, peer) &&
               Mirel::ParseGiopTcpAddress(ownAddress, own);
    caller.peer = tcp ? peer.ToString() : Mirel::CutLineForLog(peerAddress ? peerAddress : "", 200);
    if (tcp) {
        {
            std::lock_guard<std::mutex> g(gOwnersM);
            auto& owners = ConnectionOwners();
            auto known = owners.find(ConnectionKey(peerAddress, ownAddress));
            if (known != owners.end()) caller.uid = known->second;
        }
        if (!caller.uid) caller.uid = Mirel::SocketDiag::PeerOwner(peer, own);
    }
    std::shared_ptr<const CallerPolicy> policy = Policy();
    caller.allowed = policy->AllowsAnyone() || (caller.uid && policy->Allows(*caller.uid));
    return caller;
}
