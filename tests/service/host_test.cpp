// A host that changes under the service: a backup folder whose parts lie on two file systems.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/ServiceFixture.h"
#include "tools/sim/ServiceClient.h"

using testutil::Child;

static std::uint64_t Device(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

// Copies/ on another file system (a tmpfs bound in the service's own mount namespace).
using HostTest = testutil::ServiceFixture;

TEST_F(HostTest, ABackupFolderSpreadOverTwoFileSystemsIsRefusedWithItsReason) {
    const std::string other = "/dev/shm/ibs-host-test-" + std::to_string(::getpid());
    testutil::MakeDirs(other);
    if (Device(other) == 0 || Device(other) == Device(env.dir.path()) ||
        Child({"/usr/bin/unshare", "-m", "/bin/true"}, {}).Wait(10000) != 0) {
        ::rmdir(other.c_str());
        GTEST_SKIP() << "needs /dev/shm on another file system and a mount namespace";
    }
    const std::string split = env.dir / "split", good = env.dir / "good";
    testutil::MakeDirs(split + "/Copies");
    NameBackupFolder("", split);
    Child service(
        {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
         "mount --bind \"$0\" \"$1\" && exec \"$2\"", other, split + "/Copies", TALONIB_PATH},
        env.Env());
    ASSERT_TRUE(notify.WaitFor("READY=1", 30000)) << env.DebugLog();
    sim::ServiceClient client(testutil::ClientOrb());
    // At the start: refused, nothing in service.
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 5, false), 10017);
    // Named again: still refused. Another folder is taken; the split one never replaces it.
    EXPECT_FALSE(client.SetBackupFolder(split));
    EXPECT_TRUE(client.SetBackupFolder(good));
    EXPECT_FALSE(client.SetBackupFolder(split));
    EXPECT_EQ(client.VerifyFullDBBackup("db", "u", 5, false), 10007);
    EXPECT_TRUE(testutil::IsDir(good + "/Copies"));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(30000), 0);
    ::rmdir(other.c_str());
    // The operator's record says why.
    const std::string events = service.Stderr();
    EXPECT_NE(events.find("[0x49000335]"), std::string::npos) << events;
    EXPECT_NE(events.find("on another file system"), std::string::npos) << events;
}
