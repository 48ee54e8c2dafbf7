// ibsdb check on real folders, preference files and unit files in a temp folder.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <sstream>

#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tests/Process.h"
#include "tests/lib/FaultEnv.h"
#include "tests/tools/Has.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

using ibsdb::Json;

namespace {

class CheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        backup = tmp / "backup";
        testutil::MakeDirs(backup + "/Copies");
        testutil::MakeDirs(backup + "/Changes");
        testutil::MakeDirs(backup + "/InProgress");
        testutil::MakeDirs(tmp / "units");
        o.backup = backup;
        o.json = true;
        o.prefs = tmp / "talonib.xml";  // not there: an empty store
        o.unitPath = tmp / "units";
        o.port = testutil::FreePort();
    }
    // The whole report, and the line of one check.
    Json Run(int expected) {
        std::ostringstream out;
        EXPECT_EQ(ibsdb::Check(o, out), expected) << out.str();
        return Json::parse(out.str());
    }
    static Json Line(const Json& report, const std::string& check) {
        for (const auto& c : report["checks"])
            if (c["check"] == check) return c;
        return Json();
    }
    // The line of one check, whatever the whole says.
    Json Line(const std::string& check) {
        std::ostringstream out;
        ibsdb::Check(o, out);
        return Line(Json::parse(out.str()), check);
    }
    void Unit(const std::string& text, const std::string& dropIn = "") {
        testutil::WriteFile(tmp / "units/vellumark-ibs.service", text);
        if (dropIn.empty()) return;
        testutil::MakeDirs(tmp / "units/vellumark-ibs.service.d");
        testutil::WriteFile(tmp / "units/vellumark-ibs.service.d/50-local.conf", dropIn);
    }
    testutil::TempDir tmp;
    std::string backup;
    ibsdb::CheckOptions o;
};

}  // namespace

TEST_F(CheckTest, TheFolderAndItsParts) {
    // Fresh on a quiet machine, or not there yet: ready, every check passed. Not when the
    // folder's parent is missing.
    for (const std::string& folder : {backup, tmp / "new"}) {
        o.backup = folder;
        const Json r = Run(ibsdb::kOk);
        EXPECT_EQ(r["checks"].size(), 7u);
        for (const auto& c : r["checks"]) EXPECT_EQ(c["state"], "OK") << folder << c.dump();
    }
    o.backup = tmp / "mnt/disk/backup";
    EXPECT_EQ(Line(Run(ibsdb::kCritical), "folder")["state"], "CRITICAL");
    o.backup = backup;

    // A part that is a link leads outside the folder: the service refuses it.
    testutil::MakeDirs(tmp / "elsewhere");
    ASSERT_EQ(::rmdir((backup + "/Changes").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (backup + "/Changes").c_str()), 0);
    Json r = Run(ibsdb::kCritical);
    EXPECT_TRUE(Has(Line(r, "file-system")["detail"], "Changes/ is a symbolic link"));
    ASSERT_EQ(::unlink((backup + "/Changes").c_str()), 0);

    // A folder the service cannot write (a read-only file system, through the fault seam).
    Mirel::FaultEnv faults;
    Mirel::Env::Scope files(faults);
    faults.Arm(Mirel::FsOp::kStat, backup + "/InProgress", Mirel::kErrAccessDenied);
    r = Run(ibsdb::kCritical);
    EXPECT_TRUE(Has(Line(r, "writable")["detail"], backup + "/InProgress not writable"));
    EXPECT_EQ(r["reasons"].size(), 1u);
}

TEST_F(CheckTest, PartsOnAnotherMountAreFound) {
    // Inside a mount namespace of its own: a file system mounted on Changes/, and a bind
    // mount on InProgress/ (same device, still no rename across it).
    auto run = [&](const std::string& mount) {
        testutil::Child c({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                           "mount --make-rprivate / && " + mount +
                               " && exec " IBSDB_PATH " check --json " + backup},
                          {{"VELLUMARK_PREFS", o.prefs}, {"SYSTEMD_UNIT_PATH", o.unitPath}});
        EXPECT_EQ(c.Wait(30000), ibsdb::kCritical) << c.Stderr();
        return Line(Json::parse(c.Stdout()), "file-system")["detail"].get<std::string>();
    };
    EXPECT_TRUE(Has(run("mount -t tmpfs scratch " + backup + "/Changes"), "Changes/ ("));
    testutil::MakeDirs(tmp / "other");
    EXPECT_TRUE(
        Has(run("mount --bind " + tmp / "other" + " " + backup + "/InProgress"), "InProgress/ ("));
}

TEST_F(CheckTest, FreeSpaceAgainstTheNewestLastGoodFolder) {
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(backup.c_str(), &vfs), 0);
    const std::uint64_t free = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    // Sparse files: the size counts, not the blocks. An older folder does not count.
    auto folder = [&](const std::string& name, std::uint64_t size) {
        const std::string db = backup + "/" + name + "/sub/db.vdb";
        testutil::MakeDirs(backup + "/" + name + "/sub");
        testutil::WriteFile(db, "");
        return ::truncate(db.c_str(), static_cast<off_t>(size)) == 0;
    };
    if (!folder("LastGood_2026-01-01_0000", free * 3) ||
        !folder("LastGood_2026-01-02_0000", free * 3 / 4))
        GTEST_SKIP() << "the file system takes no sparse file that large";
    Json space = Line(Run(ibsdb::kWarning), "free-space");
    EXPECT_EQ(space["newest_folder"], "LastGood_2026-01-02_0000");
    ASSERT_TRUE(folder("LastGood_2026-01-03_0000", free + (1ull << 30)));
    EXPECT_EQ(Line(Run(ibsdb::kCritical), "free-space")["state"], "CRITICAL");
}

TEST_F(CheckTest, ThePreferenceFileAsTheServiceReadsIt) {
    testutil::MakeDirs(tmp / "other");
    struct Case {
        std::string body;
        const char* state;
        std::string detail;
    };
    auto pref = [](int id, const char* type, const std::string& v) {
        return "<pref id=\"" + std::to_string(id) + "\" type=\"" + type + "\">" + v + "</pref>";
    };
    const std::vector<Case> cases = {
        {pref(67, "int", "0"), "OK", "no backup folder configured (67 = 0)"},
        {pref(67, "int", "1") + pref(68, "text", " " + backup + "/ "), "OK", "names this folder"},
        {pref(67, "int", "1") + pref(68, "text", tmp / "other"), "WARNING",
         "names another backup folder, " + tmp / "other"},
        {pref(67, "int", "1"), "CRITICAL", "preference 68, its path, is not there"},
        {pref(67, "int", "0") + pref(76, "int", "1"), "CRITICAL", "unknown preference 76"},
        {pref(67, "int", "0") + pref(82, "int", "100001"), "CRITICAL", "2 to 100000"},
        {pref(67, "int", "0") + pref(82, "int", "2") + pref(83, "int", "0"), "OK", "is valid"},
        {pref(67, "int", "no"), "CRITICAL", "preference 67 is of type int but holds \"no\""},
    };
    for (const auto& c : cases) {
        testutil::WriteFile(o.prefs, "<preferences>" + c.body + "</preferences>\n");
        const Json line = Line("preferences");
        EXPECT_EQ(line["state"], c.state) << c.body;
        EXPECT_TRUE(Has(line["detail"].get<std::string>(), c.detail)) << c.body;
    }

    // 84's credentials file, read as the service reads it at start.
    const std::string credentials = tmp / "offsite.credentials";
    testutil::WriteFile(
        credentials, "endpoint = http://127.0.0.1:9\nbucket = b\naccess_key = a\nsecret_key = s\n");
    testutil::WriteFile(o.prefs, "<preferences>" + pref(67, "int", "0") +
                                     pref(84, "text", credentials) + "</preferences>\n");
    for (const mode_t mode : {0644, 0600}) {
        ::chmod(credentials.c_str(), mode);
        EXPECT_EQ(Line("preferences")["state"], mode == 0644 ? "CRITICAL" : "OK");
    }
}

TEST_F(CheckTest, APortTakenByAnotherProgramIsNamed) {
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<std::uint16_t>(o.port));
    a.sin6_addr = in6addr_any;  // the wildcard collides with 127.0.0.1 too
    ASSERT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 1) == 0);
    EXPECT_EQ(Line(Run(ibsdb::kCritical), "port")["pid"], ::getpid());
    // Another address of the loopback does not collide with a listener on 127.0.0.2.
    ::close(fd);
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in b{};
    b.sin_family = AF_INET;
    b.sin_port = htons(static_cast<std::uint16_t>(o.port));
    b.sin_addr.s_addr = htonl(0x7f000002);
    ASSERT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0 && ::listen(fd, 1) == 0);
    EXPECT_EQ(Line(Run(ibsdb::kOk), "port")["state"], "OK");
    o.host = "127.0.0.2";
    EXPECT_EQ(Line(Run(ibsdb::kCritical), "port")["state"], "CRITICAL");
    ::close(fd);
}

TEST_F(CheckTest, TheUnitsSandboxAgainstTheFolder) {
    testutil::MakeDirs(tmp / "allowed");
    const std::string allowed = tmp / "allowed", strict = "[Service]\nProtectSystem=strict\n";
    const std::string missing = tmp / "missing";
    struct Case {
        std::string unit, dropIn, folder;
        const char* state;
        std::string detail;  // a part of it
    };
    const std::vector<Case> cases = {
        {strict + "ReadWritePaths=-" + allowed + "\n", "", allowed + "/backup", "OK",
         "ReadWritePaths=-" + allowed + " lets the service write"},
        {strict + "ReadWritePaths=-" + missing + "\n", "", missing + "/backup", "CRITICAL",
         "does not exist, so systemd ignores it"},
        {strict + "ReadWritePaths=" + missing + "\n", "", missing + "/backup", "CRITICAL",
         "systemd refuses to start the service"},
        {strict, "", "/data/backup", "CRITICAL", "ProtectSystem=strict keeps"},
        // A drop-in adds to the list, an empty assignment clears it.
        {strict, "[Service]\nReadWritePaths=" + allowed + "\n", allowed + "/b", "OK",
         "ReadWritePaths=" + allowed + " lets"},
        {strict + "ReadWritePaths=" + allowed + "\n", "[Service]\nReadWritePaths=\n",
         allowed + "/b", "CRITICAL", "ProtectSystem=strict keeps"},
        // The more specific path decides.
        {strict + "ReadWritePaths=" + tmp.path() + "\nReadOnlyPaths=" + allowed + "\n", "",
         allowed + "/b", "CRITICAL", "ReadOnlyPaths=" + allowed + " keeps"},
        {"[Service]\nProtectSystem=full\n", "", "/etc/backup", "CRITICAL",
         "ProtectSystem=full keeps"},
        {"[Service]\nPrivateTmp=yes\n", "", "/var/tmp/backup", "CRITICAL",
         "PrivateTmp=yes gives the service a /tmp of its own"},
        // Only the service's section counts; a continued line is one line.
        {"[Unit]\nReadWritePaths=/data\n[Service]\nProtectSystem=strict\nReadWritePaths=/x \\\n  " +
             allowed + "\n",
         "", allowed + "/b", "OK", "ReadWritePaths=" + allowed + " lets"},
    };
    for (const auto& c : cases) {
        ::unlink((tmp / "units/vellumark-ibs.service.d/50-local.conf").c_str());
        Unit(c.unit, c.dropIn);
        o.backup = c.folder;
        const Json unit = Line("unit");
        EXPECT_EQ(unit["state"], c.state) << c.unit << c.dropIn;
        EXPECT_TRUE(Has(unit["detail"].get<std::string>(), c.detail)) << c.unit << c.dropIn;
    }

    // The unit the package ships: /var/lib/vellumark is the place that needs no drop-in.
    o.unitPath = IBS_BUILD_DIR "/packaging";
    o.backup = "/var/lib/vellumark/backup";  // whose parent may or may not exist here
    const Json unit = Line("unit");
    EXPECT_EQ(unit["state"], "OK");
    EXPECT_TRUE(Has(unit["detail"], "StateDirectory=vellumark lets the service write"));

    // Masked: systemd will not start it.
    o.unitPath = tmp / "units";
    ::unlink((tmp / "units/vellumark-ibs.service").c_str());
    ASSERT_EQ(::symlink("/dev/null", (tmp / "units/vellumark-ibs.service").c_str()), 0);
    o.backup = backup;
    EXPECT_TRUE(Has(Line(Run(ibsdb::kWarning), "unit")["detail"], "is masked"));
}

// FIFOs under the names of the preference file, the unit and a drop-in: the pre-flight never
// waits for them, and a preference file that is none is a fault the service would refuse.
TEST_F(CheckTest, FifosInPlaceOfItsFilesNeverHoldThePreFlightUp) {
    const std::vector<std::string> fifos = {o.prefs, tmp / "units/vellumark-ibs.service",
                                            tmp / "units/vellumark-ibs.service.d/50-local.conf"};
    for (const auto& f : fifos) ASSERT_TRUE(testutil::MakeFifo(f)) << f;
    std::ostringstream out;
    int rc = -1;
    EXPECT_TRUE(testutil::FinishesWithin(5000, fifos, [&] { rc = ibsdb::Check(o, out); }))
        << "check blocked";
    EXPECT_EQ(rc, ibsdb::kCritical) << out.str();
    EXPECT_EQ(Line(Json::parse(out.str()), "preferences")["state"], "CRITICAL");
    for (const auto& f : fifos) EXPECT_TRUE(testutil::IsFifo(f)) << f;
}

TEST(CheckPortList, ReadsTheKernelsListOfPortsAndRanges) {
    struct Row {
        const char* list;
        unsigned port;
        bool listed;
    };
    for (const Row& r : {Row{"", 50004, false}, Row{"8080,50004\n", 50004, true},
                         Row{"50000-50003,50005-50010", 50004, false},
                         Row{"1-100,50004-50004", 50004, true}, Row{"50005-", 50004, false}})
        EXPECT_EQ(ibsdb::PortListed(r.list, r.port), r.listed) << "'" << r.list << "'";
}
