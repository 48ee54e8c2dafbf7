// Who the operator's list of allowed callers admits, by the user database of this machine.
#include <gtest/gtest.h>

#include "app/CallerGate.h"

TEST(CallerPolicyTest, RootAlwaysAndTheListedUsersAndGroups) {
    // nobody (65534) is in group nogroup (65534) on Debian; daemon (1) is not.
    struct Case {
        const char* list;
        std::vector<uid_t> allowed, refused;
    };
    for (const Case& c : {
             Case{"", {0}, {1, 65534}},
             Case{"@nogroup", {0, 65534}, {1, 54321}},
             Case{"nobody", {0, 65534}, {1}},
             Case{"54321, 65534", {54321, 65534}, {1}},  // uids with or without a user
             Case{"daemon,\n  @nogroup", {1, 65534}, {2}},
             Case{"*", {1, 65534, 54321}, {}},
             Case{"@nosuchgroup ghostuser", {0}, {1, 65534}},
         }) {
        CallerPolicy policy(c.list);
        for (uid_t uid : c.allowed) EXPECT_TRUE(policy.Allows(uid)) << c.list << ": " << uid;
        for (uid_t uid : c.refused) EXPECT_FALSE(policy.Allows(uid)) << c.list << ": " << uid;
    }
    EXPECT_EQ(CallerPolicy("@nosuchgroup ghostuser, nobody @nogroup").Unresolved(),
              (std::vector<std::string>{"ghostuser", "@nosuchgroup"}));
    EXPECT_EQ(std::string(CallerPolicy().Text()), "@vellumark");
}

// The hub's calls back and the ORB's own stay open to every caller (which operations are
// closed is CallerTest's, on the real service).
TEST(CallerPolicyTest, WhatDoesNotChangeTheServiceIsOpen) {
    for (const char* op : {"VerifyFullDBBackup", "DeliverEvent", "RequestStop", "Ping", "_is_a",
                           "_non_existent", "stop", ""})
        EXPECT_FALSE(CallerGate::ChangesState(op)) << op;
    EXPECT_TRUE(CallerGate::IsTraced("VerifyFullDBBackup"));
    EXPECT_FALSE(CallerGate::IsTraced("DeliverEvent"));
}
