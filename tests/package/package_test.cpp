// The Debian package, built with cpack from this build and unpacked into a scratch root;
// its unit checked by systemd-analyze; "talonib install" run from the unpacked binary.
// Nothing is installed into this machine's own root.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <set>

#include "ibs_version.h"
#include "platform/framework/Prefs.h"
#include "tests/Process.h"

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

Result Exec(const std::vector<std::string>& argv, std::map<std::string, std::string> env = {}) {
    testutil::Child child(argv, env);
    Result r;
    auto code = child.Wait(240000);
    r.code = code ? *code : -1;
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
}

Result Shell(const std::string& script, std::map<std::string, std::string> env = {}) {
    return Exec({"/bin/sh", "-c", script}, std::move(env));
}

// Every file and link below `root`, as paths relative to it.
void ListFiles(const std::string& root, const std::string& rel, std::set<std::string>& out) {
    DIR* d = ::opendir((root + rel).c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = rel + "/" + name;
        if (testutil::IsDir(root + path))
            ListFiles(root, path, out);
        else
            out.insert(path);
    }
    ::closedir(d);
}

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::string(IBS_INSTALL_PREFIX) != "/usr") return;
        dir = new testutil::TempDir;
        Result r = Shell(std::string(CPACK_COMMAND) +
                         " -G DEB --config " IBS_BUILD_DIR "/CPackConfig.cmake -B " + dir->path() +
                         "/out > " + dir->path() + "/cpack.log 2>&1");
        if (r.code != 0) return;
        Result found = Shell("ls " + dir->path() + "/out/*.deb");
        deb = found.out.substr(0, found.out.find('\n'));
        root = dir->path() + "/root";
        if (Shell("dpkg -x " + deb + " " + root).code != 0) deb.clear();
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    void SetUp() override {
        if (std::string(IBS_INSTALL_PREFIX) != "/usr")
            GTEST_SKIP() << "the package is built from a configuration with the prefix /usr";
        ASSERT_FALSE(deb.empty()) << testutil::ReadFile(dir->path() + "/cpack.log");
    }
    static testutil::TempDir* dir;
    static std::string deb, root;
};
testutil::TempDir* PackageTest::dir = nullptr;
std::string PackageTest::deb, PackageTest::root;

}  // namespace

TEST_F(PackageTest, HoldsTheProgramsTheUnitTheConfigurationAndTheirDependencies) {
    for (const char* file :
         {"/usr/sbin/talonib", "/usr/bin/ibsdb", "/usr/bin/vlserver-sim",
          "/lib/systemd/system/vellumark-ibs.service", "/etc/vellumark/talonib.xml",
          "/etc/logrotate.d/vellumark-ibs", "/usr/share/man/man8/talonib.8.gz",
          "/usr/share/man/man1/ibsdb.1.gz", "/usr/share/man/man1/vlserver-sim.1.gz",
          "/usr/share/doc/vellumark-ibs/install.md"})
        EXPECT_TRUE(testutil::IsFile(root + file)) << file;
    Result version = Exec({root + "/usr/sbin/talonib", "--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "talonib " IBS_VERSION "\n");
    // The man pages are real pages: man renders their NAME section.
    for (const char* page : {"/usr/share/man/man8/talonib.8.gz", "/usr/share/man/man1/ibsdb.1.gz",
                             "/usr/share/man/man1/vlserver-sim.1.gz"}) {
        Result man = Shell("zcat " + root + page + " | grep -c '^\\.SH'");
        EXPECT_GE(std::atoi(man.out.c_str()), 2) << page;
    }

    // The default preference file: no backup folder until the server names one.
    Talon::XMLPrefs prefs;
    Talon::PrefsHandle handle;
    ASSERT_TRUE(prefs.Open(handle, root + "/etc/vellumark/talonib.xml").OK()) << prefs.GetProblem();
    std::int64_t configured = -1;
    ASSERT_TRUE(prefs.GetPref(handle, 67, configured).OK());
    EXPECT_EQ(configured, 0);
    // Root and the group the package creates may drive the service.
    Mirel::unistring callers;
    ASSERT_TRUE(prefs.GetPref(handle, 80, callers).OK());
    EXPECT_EQ(callers.ToUTF8(), "@vellumark");

    Result depends = Exec({"/usr/bin/dpkg-deb", "-f", deb, "Depends"});
    for (const char* lib : {"libomniorb4", "libomnithread4", "libtinyxml2", "libsystemd0",
                            "libisal", "libuuid1", "libstdc++6", "procps", "passwd"})
        EXPECT_NE(depends.out.find(lib), std::string::npos) << lib << " in " << depends.out;
    Result conffiles = Exec({"/usr/bin/dpkg-deb", "-I", deb, "conffiles"});
    EXPECT_EQ(conffiles.out, "/etc/vellumark/talonib.xml\n/etc/logrotate.d/vellumark-ibs\n");

    // logrotate accepts the shipped file (a dry run with a state file of our own).
    Result rotate = Exec({"/usr/sbin/logrotate", "--debug", "--state", dir->path() + "/state",
                          root + "/etc/logrotate.d/vellumark-ibs"});
    EXPECT_EQ(rotate.code, 0) << rotate.err;
    EXPECT_NE(rotate.err.find("/var/log/vellumark/talonibDebug.log"), std::string::npos);

    // cmake --install puts exactly the package's files in place.
    std::string staged = dir->path() + "/staged";
    Result install = Exec({CMAKE_COMMAND, "--install", IBS_BUILD_DIR}, {{"DESTDIR", staged}});
    ASSERT_EQ(install.code, 0) << install.err;
    std::set<std::string> packaged, installed;
    ListFiles(root, "", packaged);
    ListFiles(staged, "", installed);
    EXPECT_EQ(packaged, installed);
}

TEST_F(PackageTest, TheUnitVerifiesAndIsHardened) {
    std::string unit = root + "/lib/systemd/system/vellumark-ibs.service";
    EXPECT_NE(testutil::ReadFile(unit).find("\nExecStart=/usr/sbin/talonib\n"), std::string::npos);
    // verify wants the unit's programs and man page where the unit names them: a private
    // /usr/sbin with the unpacked talonib, and the unpacked man pages.
    Result verify = Exec({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                          "mount --make-rprivate / && mount -t tmpfs none /usr/sbin && cp " + root +
                              "/usr/sbin/talonib /usr/sbin/ && systemd-analyze verify " + unit},
                         {{"MANPATH", root + "/usr/share/man"}});
    EXPECT_EQ(verify.code, 0) << verify.err;
    EXPECT_EQ(verify.err, "");

    Result security = Exec({"/usr/bin/systemd-analyze", "security", "--offline=yes",
                            "--root=" + root, "--no-pager", "vellumark-ibs.service"});
    EXPECT_EQ(security.code, 0) << security.err;
    std::string text = security.out + security.err;
    const std::string label = "Overall exposure level for vellumark-ibs.service: ";
    auto at = text.find(label);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_LE(std::stod(text.substr(at + label.size())), 2.5) << text;
}

// The unit's text with its ExecStart line's value left out.
static std::string WithoutExecStart(const std::string& unit) {
    std::string out;
    std::size_t from = 0;
    for (auto at = unit.find("ExecStart="); at != std::string::npos;
         at = unit.find("ExecStart=", from)) {
        out += unit.substr(from, at - from);
        from = unit.find('\n', at);
        if (from == std::string::npos) return out;
    }
    return out + unit.substr(from);
}

TEST_F(PackageTest, InstallWritesAUnitForTheInstalledBinaryIntoAFolderThatExists) {
    std::string talonib = root + "/usr/sbin/talonib", units = dir->path() + "/units";
    std::map<std::string, std::string> env = {{"VELLUMARK_UNIT_DIR", units},
                                              {"VELLUMARK_LOG_DIR", dir->path() + "/log"}};
    Result missing = Exec({talonib, "install"}, env);
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "talonib install: the unit folder " + units +
                               " does not exist; is systemd installed? (VELLUMARK_UNIT_DIR names "
                               "another folder)\n");
    EXPECT_FALSE(testutil::Exists(units));

    ASSERT_EQ(::mkdir(units.c_str(), 0755), 0);
    Result install = Exec({talonib, "install"}, env);
    ASSERT_EQ(install.code, 0) << install.err;
    std::string text = testutil::ReadFile(units + "/vellumark-ibs.service");
    EXPECT_NE(text.find("\nExecStart=" + talonib + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("@TALONIB@"), std::string::npos);
    EXPECT_NE(text.find("\nDescription=Vellumark Corrivane Backup\n"), std::string::npos);
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
        EXPECT_EQ(fromBuild.code, 1);
        EXPECT_NE(fromBuild.err.find("is the build tree's and /usr/sbin/talonib does not exist"),
                  std::string::npos)
            << fromBuild.err;
        EXPECT_FALSE(testutil::Exists(units + "/vellumark-ibs.service"));
    }
}
