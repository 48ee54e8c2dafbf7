// The Debian packages built with cpack, unpacked or dpkg-installed into scratch roots only.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <tuple>

#include "ibs_version.h"
#include "platform/framework/Prefs.h"
#include "platform/framework/ServiceSetup.h"
#include "tests/Process.h"

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

Result Exec(const std::vector<std::string>& argv, std::map<std::string, std::string> env = {}) {
    testutil::Child child(argv, env);
    const int code = child.Wait(240000).value_or(-1);
    return {code, child.Stdout(), child.Stderr()};
}

Result Shell(const std::string& script, std::map<std::string, std::string> env = {}) {
    return Exec({"/bin/sh", "-c", script}, std::move(env));
}

// Every file and link below `root`, as paths relative to it.
std::set<std::string> Files(const std::string& root) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (!e.is_directory()) out.insert(e.path().string().substr(root.size()));
    return out;
}

// Every "--word" in a help text. (std::regex trips GCC 12's -Wmaybe-uninitialized at -O2.)
std::set<std::string> LongOptions(const std::string& text) {
    std::set<std::string> found;
    for (auto at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
        auto end = at + 2;
        if (end >= text.size() || text[end] < 'a' || text[end] > 'z') continue;
        while (end < text.size() && ((text[end] >= 'a' && text[end] <= 'z') || text[end] == '-'))
            ++end;
        found.insert(text.substr(at, end - at));
    }
    return found;
}

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::string(IBS_INSTALL_PREFIX) != "/usr") return;
        dir = new testutil::TempDir;
        const std::string d = dir->path(), out = d + "/out/vellumark-ibs";
        if (Shell(std::string(CPACK_COMMAND) +
                  " -G DEB --config " IBS_BUILD_DIR "/CPackConfig.cmake -B " + d + "/out > " + d +
                  "/cpack.log 2>&1")
                .code != 0)
            return;
        deb = out + "_" IBS_VERSION "_amd64.deb",
        toolsDeb = out + "-tools_" IBS_VERSION "_amd64.deb";
        root = d + "/root", serviceRoot = d + "/service", toolsRoot = d + "/tools";
        for (auto [pkg, to] :
             {std::pair{deb, root}, {toolsDeb, root}, {deb, serviceRoot}, {toolsDeb, toolsRoot}})
            if (Shell("dpkg -x " + pkg + " " + to).code != 0) deb.clear();
    }
    static void TearDownTestSuite() { delete std::exchange(dir, nullptr); }
    void SetUp() override {
        if (std::string(IBS_INSTALL_PREFIX) != "/usr")
            GTEST_SKIP() << "the package is built from a configuration with the prefix /usr";
        ASSERT_FALSE(deb.empty()) << testutil::ReadFile(dir->path() + "/cpack.log");
    }
    static inline testutil::TempDir* dir = nullptr;
    static inline std::string deb, toolsDeb, root, serviceRoot, toolsRoot;
};

}  // namespace

TEST_F(PackageTest, HoldsTheProgramsTheUnitTheConfigurationAndTheirDependencies) {
    // vlserver-sim, which can have the service clear its working folders, apart.
    EXPECT_EQ(
        Files(serviceRoot),
        (std::set<std::string>{
            "/usr/sbin/talonib", "/usr/bin/ibsdb", "/lib/systemd/system/vellumark-ibs.service",
            "/etc/vellumark/talonib.xml", "/etc/logrotate.d/vellumark-ibs",
            "/usr/share/man/man8/talonib.8.gz", "/usr/share/man/man1/ibsdb.1.gz",
            "/usr/share/doc/vellumark-ibs/install.md", "/usr/share/doc/vellumark-ibs/operations.md",
            "/usr/share/doc/vellumark-ibs/offsite.md", "/usr/share/doc/vellumark-ibs/copyright",
            "/usr/share/doc/vellumark-ibs/changelog.gz"}));
    EXPECT_EQ(
        Files(toolsRoot),
        (std::set<std::string>{"/usr/bin/vlserver-sim", "/usr/share/man/man1/vlserver-sim.1.gz",
                               "/usr/share/doc/vellumark-ibs-tools/copyright",
                               "/usr/share/doc/vellumark-ibs-tools/changelog.gz"}));
    for (const char* program : {"/usr/sbin/talonib", "/usr/bin/ibsdb", "/usr/bin/vlserver-sim"}) {
        Result version = Exec({root + program, "--version"});
        EXPECT_EQ(
            std::make_pair(version.code, version.out),
            std::make_pair(0, std::strrchr(program, '/') + 1 + std::string(" " IBS_VERSION "\n")));
    }

    // The default preference file: no backup folder until the server names one.
    // Root and the group the package creates may drive the service.
    Talon::XMLPrefs prefs;
    Talon::PrefsHandle handle;
    ASSERT_TRUE(prefs.Open(handle, root + "/etc/vellumark/talonib.xml").OK()) << prefs.GetProblem();
    std::int64_t configured = -1;
    Mirel::unistring callers;
    ASSERT_TRUE(prefs.GetPref(handle, 67, configured).OK() &&
                prefs.GetPref(handle, 80, callers).OK());
    EXPECT_EQ(std::make_pair(configured, callers.ToUTF8()),
              std::make_pair(std::int64_t{0}, std::string("@vellumark")));

    Result depends = Exec({"/usr/bin/dpkg-deb", "-f", deb, "Depends"});
    for (const char* lib : {"libomniorb4", "libomnithread4", "libtinyxml2", "libsystemd0",
                            "libisal", "libuuid1", "libstdc++6", "libcurl4", "procps", "passwd"})
        EXPECT_NE(depends.out.find(lib), std::string::npos) << lib << " in " << depends.out;
    Result toolsDepends = Exec({"/usr/bin/dpkg-deb", "-f", toolsDeb, "Depends", "Recommends"});
    EXPECT_TRUE(toolsDepends.out.find("libomniorb4") != std::string::npos &&
                toolsDepends.out.find("Recommends: vellumark-ibs\n") != std::string::npos)
        << toolsDepends.out;
    Result conffiles = Exec({"/usr/bin/dpkg-deb", "-I", deb, "conffiles"});
    EXPECT_EQ(conffiles.out, "/etc/vellumark/talonib.xml\n/etc/logrotate.d/vellumark-ibs\n");

    // logrotate accepts the shipped file (a dry run with a state file of our own).
    Result rotate = Exec({"/usr/sbin/logrotate", "--debug", "--state", dir->path() + "/state",
                          root + "/etc/logrotate.d/vellumark-ibs"});
    EXPECT_EQ(rotate.code, 0) << rotate.err;
    EXPECT_NE(rotate.err.find("/var/log/vellumark/talonibDebug.log"), std::string::npos);

    // cmake --install puts exactly the packages' files in place.
    std::string staged = dir->path() + "/staged";
    Result install = Exec({CMAKE_COMMAND, "--install", IBS_BUILD_DIR}, {{"DESTDIR", staged}});
    ASSERT_EQ(install.code, 0) << install.err;
    EXPECT_EQ(Files(root), Files(staged));
}

TEST_F(PackageTest, TheUnitVerifiesAndIsHardened) {
    std::string unit = root + "/lib/systemd/system/vellumark-ibs.service";
    // Root with the group vellumark: what the service makes is the group's to read.
    for (const char* line : {"\nExecStart=/usr/sbin/talonib\n", "\nGroup=vellumark\n",
                             "\nUMask=0027\n", "\nStateDirectory=vellumark\n",
                             "\nStateDirectoryMode=0750\n", "\nLogsDirectoryMode=0750\n"})
        EXPECT_NE(testutil::ReadFile(unit).find(line), std::string::npos) << line;
    // verify wants talonib and its man page where the unit names them: a private /usr/sbin.
    Result verify = Exec({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                          "mount --make-rprivate / && mount -t tmpfs none /usr/sbin && cp " + root +
                              "/usr/sbin/talonib /usr/sbin/ && systemd-analyze verify " + unit},
                         {{"MANPATH", root + "/usr/share/man"}});
    EXPECT_EQ(std::make_pair(verify.code, verify.err), std::make_pair(0, std::string()));

    Result security = Exec({"/usr/bin/systemd-analyze", "security", "--offline=yes",
                            "--root=" + root, "--no-pager", "vellumark-ibs.service"});
    EXPECT_EQ(security.code, 0) << security.err;
    std::string text = security.out + security.err;
    const std::string label = "Overall exposure level for vellumark-ibs.service: ";
    auto at = text.find(label);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_LE(std::stod(text.substr(at + label.size())), 2.5) << text;
}

// The unit's text without its ExecStart line.
static std::string WithoutExecStart(std::string unit) {
    auto at = unit.find("ExecStart=");
    return at == std::string::npos ? unit : unit.erase(at, unit.find('\n', at) - at);
}

TEST_F(PackageTest, InstallWritesAUnitForTheInstalledBinaryIntoAFolderThatExists) {
    std::string talonib = root + "/usr/sbin/talonib", units = dir->path() + "/units";
    std::map<std::string, std::string> env = {{"VELLUMARK_UNIT_DIR", units},
                                              {"VELLUMARK_LOG_DIR", dir->path() + "/log"}};
    Result missing = Exec({talonib, "install"}, env);
    EXPECT_EQ(missing.code, 1) << missing.err;
    EXPECT_FALSE(testutil::Exists(units));

    ASSERT_EQ(::mkdir(units.c_str(), 0755), 0);
    Result install = Exec({talonib, "install"}, env);
    ASSERT_EQ(install.code, 0) << install.err;
    std::string text = testutil::ReadFile(units + "/vellumark-ibs.service");
    EXPECT_NE(text.find("\nExecStart=" + talonib + "\n"), std::string::npos) << text;
    // The same unit as the package's, but for this binary.
    std::string shipped = testutil::ReadFile(root + "/lib/systemd/system/vellumark-ibs.service");
    EXPECT_EQ(WithoutExecStart(text), WithoutExecStart(shipped));
    EXPECT_TRUE(testutil::Exists(units + "/multi-user.target.wants/vellumark-ibs.service"));
    EXPECT_EQ(Exec({talonib, "installm"}, env).code, 0);
    EXPECT_FALSE(testutil::Exists(units + "/multi-user.target.wants/vellumark-ibs.service"));
    EXPECT_EQ(Exec({talonib, "remove"}, env).code, 0);
    EXPECT_FALSE(testutil::Exists(units + "/vellumark-ibs.service"));

    // The build tree's talonib writes a unit for the installed one, or refuses.
    Result fromBuild = Exec({IBS_BUILD_DIR "/talonib", "install"}, env);
    if (testutil::IsFile("/usr/sbin/talonib")) {
        EXPECT_EQ(fromBuild.code, 0);
        EXPECT_NE(testutil::ReadFile(units + "/vellumark-ibs.service")
                      .find("\nExecStart=/usr/sbin/talonib\n"),
                  std::string::npos);
    } else {
        EXPECT_EQ(fromBuild.code, 1) << fromBuild.err;
        EXPECT_FALSE(testutil::Exists(units + "/vellumark-ibs.service"));
    }
}

// The text of a gzipped man page, with roff's escaped hyphens as plain ones.
static std::string ManPage(const std::string& path) {
    std::string text = Shell("zcat " + path).out;
    for (auto at = text.find("\\-"); at != std::string::npos; at = text.find("\\-", at))
        text.erase(at, 1);
    return text;
}

TEST_F(PackageTest, TheManPagesDescribeEveryOptionAndExitCode) {
    const std::string ibsdb = ManPage(root + "/usr/share/man/man1/ibsdb.1.gz");
    for (const char* command :
         {"status", "verify", "list", "restore", "check", "info", "check-log", "offsite push"}) {
        EXPECT_NE(ibsdb.find(std::string(".B ibsdb ") + command), std::string::npos) << command;
        std::vector<std::string> argv{root + "/usr/bin/ibsdb"};
        std::istringstream words(command);
        for (std::string w; words >> w;) argv.push_back(w);
        argv.push_back("--help");
        Result help = Exec(argv);
        ASSERT_EQ(help.code, 0) << command;
        for (const auto& option : LongOptions(help.out))
            EXPECT_NE(ibsdb.find(option), std::string::npos)
                << command << " " << option << " is not in ibsdb(1)";
    }

    const std::string talonib = ManPage(root + "/usr/share/man/man8/talonib.8.gz");
    for (int pref :
         {Talon::kPrefFolderConfigured, Talon::kPrefBackupFolder, Talon::kPrefAllowedCallers,
          Talon::kPrefRejectedLimit, Talon::kPrefKeepRestorePoints, Talon::kPrefKeepHours})
        EXPECT_NE(talonib.find(".B " + std::to_string(pref) + " "), std::string::npos)
            << "preference " << pref << " is not in talonib(8)";
    const std::string exitStatus = talonib.substr(talonib.find(".SH EXIT STATUS"));
    std::istringstream doc(testutil::ReadFile(IBS_SOURCE_DIR "/docs/install.md"));
    std::set<std::string> codes;
    bool inTable = false;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## Exit codes and refusals at start", 0) == 0) inTable = true;
        if (!inTable || line.rfind("| ", 0) != 0) continue;
        std::string code = line.substr(2, line.find(' ', 2) - 2);
        if (!code.empty() && std::isdigit(static_cast<unsigned char>(code[0]))) codes.insert(code);
    }
    EXPECT_GE(codes.size(), 6u);
    for (const auto& code : codes)
        EXPECT_NE(exitStatus.find(".B " + code + "\n"), std::string::npos)
            << "exit code " << code << " is not in talonib(8)";
}

TEST_F(PackageTest, LintianFindsNoError) {
    ASSERT_TRUE(testutil::Exists("/usr/bin/lintian")) << "scripts/lib.sh installs lintian";
    Result lint = Exec({"/usr/bin/lintian", "--fail-on", "error", "--tag-display-limit", "0",
                        "--no-cfg", deb, toolsDeb});
    EXPECT_EQ(lint.code, 0) << lint.out << lint.err;
}

TEST_F(PackageTest, InstallsWithDpkgIntoAScratchRootAndMakesWhatTheUnitExpects) {
    // A root with a fresh system's group files and a dpkg database of this machine's records
    // of the packages ours depend on; dpkg runs the maintainer scripts with DPKG_ROOT set.
    const std::string target = dir->path() + "/installed", admin = target + "/var/lib/dpkg";
    for (const char* d : {"/info", "/updates"}) testutil::MakeDirs(admin + d);
    testutil::MakeDirs(target + "/etc");
    testutil::WriteFile(target + "/etc/group", "root:x:0:\n");
    testutil::WriteFile(target + "/etc/gshadow", "root:*::\n");
    Result known = Shell("n=$( (dpkg-deb -f " + deb + " Depends; dpkg-deb -f " + toolsDeb +
                         " Depends) | tr ',|' '\\n\\n' | sed 's/(.*)//' | sort -u) && "
                         "dpkg-query -s $n > " +
                         admin +
                         "/status && for p in $(dpkg-query -W "
                         "-f='${binary:Package} ' $n); do : > " +
                         admin + "/info/$p.list; done");
    ASSERT_EQ(known.code, 0) << known.err;
    const std::string realGroup = Shell("getent group vellumark").out;

    auto dpkg = [&](const std::string& args) {
        return Shell("dpkg --root=" + target + " --force-script-chrootless --log=/dev/null " +
                     args);
    };
    Result install = dpkg("-i " + deb + " " + toolsDeb);
    ASSERT_EQ(install.code, 0) << install.out << install.err;
    EXPECT_EQ(install.err, "");
    for (const char* package : {"vellumark-ibs", "vellumark-ibs-tools"})
        EXPECT_NE(dpkg(std::string("-s ") + package).out.find("Status: install ok installed"),
                  std::string::npos)
            << package;
    EXPECT_TRUE(testutil::IsFile(target + "/lib/systemd/system/vellumark-ibs.service"));

    // postinst made the group and the folders the unit names, with the unit's owner and mode.
    const std::string gidText =
        Shell("awk -F: '$1 == \"vellumark\" { print $3 }' " + target + "/etc/group").out;
    ASSERT_EQ(gidText.find_first_not_of("0123456789\n"), std::string::npos) << gidText;
    ASSERT_NE(gidText, "");
    const unsigned gid = static_cast<unsigned>(std::stoul(gidText));
    EXPECT_LT(gid, 1000u);  // a system group
    for (const char* folder : {"/var/lib/vellumark", "/var/log/vellumark"}) {
        struct stat st {};
        ASSERT_EQ(::stat((target + folder).c_str(), &st), 0) << folder;
        EXPECT_EQ(std::make_tuple(st.st_uid, st.st_gid, st.st_mode & 07777),
                  std::make_tuple(0u, gid, 0750u))
            << folder;
    }
    // ... and nothing on this machine.
    EXPECT_EQ(Shell("getent group vellumark").out, realGroup);

    // As installed, the unit lets the service write a backup folder in /var/lib/vellumark,
    // and the shipped preferences are valid.
    Result check = Exec({target + "/usr/bin/ibsdb", "check", "/var/lib/vellumark/backup", "--json"},
                        {{"SYSTEMD_UNIT_PATH", target + "/lib/systemd/system"},
                         {"VELLUMARK_PREFS", target + "/etc/vellumark/talonib.xml"}});
    EXPECT_NE(check.out.find("\"detail\": \"" + target +
                             "/lib/systemd/system/vellumark-ibs.service: StateDirectory=vellumark "
                             "lets the service write /var/lib/vellumark/backup\""),
              std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find(target + "/etc/vellumark/talonib.xml is valid; no backup folder "
                                      "configured"),
              std::string::npos)
        << check.out;

    // Removed, the conffiles stay; purged, they and the logs go, and a backup stays.
    testutil::MakeDirs(target + "/var/lib/vellumark/backup");
    testutil::WriteFile(target + "/var/lib/vellumark/backup/keep", "a backup");
    testutil::WriteFile(target + "/var/log/vellumark/talonibDebug.log", "log");
    ASSERT_EQ(dpkg("-r vellumark-ibs-tools vellumark-ibs").code, 0);
    EXPECT_FALSE(testutil::Exists(target + "/usr/sbin/talonib"));
    EXPECT_TRUE(testutil::IsFile(target + "/etc/vellumark/talonib.xml"));
    ASSERT_EQ(dpkg("-P vellumark-ibs").code, 0);
    EXPECT_FALSE(testutil::Exists(target + "/etc/vellumark/talonib.xml"));
    EXPECT_FALSE(testutil::Exists(target + "/var/log/vellumark"));
    EXPECT_EQ(testutil::ReadFile(target + "/var/lib/vellumark/backup/keep"), "a backup");
}
