// Event records: priorities, journal fields, the journal's and syslog's sockets in a private
// mount namespace of a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "platform/engine/Uuid.h"
#include "platform/framework/Logger.h"
#include "tests/TestUtil.h"
#include "tools/sim/ServerWriters.h"

using Talon::Logger;

namespace {

bool Has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

int DatagramSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    return fd;
}

std::string Receive(int fd) {
    char buf[8192];
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// `body`'s answer in a child with empty private /run and /dev; "!..." when it could not set up.
std::string InPrivateMounts(const std::function<std::string()>& body) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return "!pipe";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipefd[0]);
        std::string out;
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/run", "tmpfs", 0, nullptr) != 0 ||
            ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0 ||
            ::mkdir("/run/systemd", 0755) != 0 || ::mkdir("/run/systemd/journal", 0755) != 0)
            out = "!mount namespace";
        else
            out = body();
        [[maybe_unused]] ssize_t n = ::write(pipefd[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(pipefd[1]);
    std::string all;
    char buf[8192];
    for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;)
        all.append(buf, static_cast<std::size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return all;
}

}  // namespace

TEST(LoggerTest, FailuresAreWarningsOrErrorsUnknownNumbersFollowTheirBits) {
    const std::pair<std::uint32_t, int> cases[] = {
        {0x410003d5u, LOG_WARNING}, {0x41000328u, LOG_WARNING}, {0x4900030fu, LOG_ERR},
        {0xc1000600u, LOG_ERR},     {0xc1000308u, LOG_NOTICE},  {0x40000001u, LOG_INFO},
        {0x80000001u, LOG_WARNING}, {0xc0000001u, LOG_ERR}};
    for (auto [code, priority] : cases)
        EXPECT_EQ(Logger::SyslogPriority(static_cast<std::int32_t>(code)), priority)
            << std::hex << code;
}

TEST(LoggerTest, JournalFieldsNameTheEventThePathsAndTheDatabase) {
    testutil::TempDir tmp;
    Mirel::Format::Uuid uuid = Mirel::UuidText::Generate();
    std::string db = tmp / "orders.vdb";
    ASSERT_TRUE(
        sim::WriteDatabaseFile(Mirel::UniversalPath::FromNative(db), uuid, 4096, 7, {}).OK());
    auto fields =
        Logger::JournalFields(0x410003d5, {Mirel::unistring::FromUTF8(db), u"orders", u"20404"});
    for (const std::string& f : std::vector<std::string>{
             "PRIORITY=4", "VELLUMARK_EVENT=0x410003d5", "VELLUMARK_PATH=" + db,
             "VELLUMARK_DATABASE_NAME=orders.vdb",
             "VELLUMARK_DATABASE_UUID=" + Mirel::UuidText::ToText(uuid).ToUTF8()})
        EXPECT_TRUE(Has(fields, f)) << f;

    // A record whose caller names the database needs no file.
    Logger::Database named{"0a1b2c3d-0000-4000-8000-000000000001", "billing.vdb"};
    fields = Logger::JournalFields(0x41000331, {u"x", u"10721"}, &named);
    EXPECT_TRUE(Has(fields, "VELLUMARK_DATABASE_UUID=" + named.uuid) &&
                Has(fields, "VELLUMARK_DATABASE_NAME=billing.vdb"));
    // A file that is not a database gives no identity, and texts that are not paths no path.
    testutil::WriteFile(tmp / "bad.vrl", "garbage");
    fields =
        Logger::JournalFields(0x41000328, {Mirel::unistring::FromUTF8(tmp / "bad.vrl"), u"10709"});
    EXPECT_TRUE(Has(fields, "VELLUMARK_PATH=" + tmp / "bad.vrl"));
    for (const auto& f : fields)
        EXPECT_TRUE(f != "VELLUMARK_PATH=10709" && f.rfind("VELLUMARK_DATABASE_UUID=", 0) != 0)
            << f;
}

TEST(LoggerTest, UnderSystemdRecordsGoToTheJournalElseToSyslogAndStandardError) {
    std::string out = InPrivateMounts([] {
        int journal = DatagramSocket("/run/systemd/journal/socket");
        int syslogSocket = DatagramSocket("/dev/log");
        if (journal < 0 || syslogSocket < 0) return std::string("!sockets");
        int err[2];
        if (::pipe(err) != 0) return std::string("!pipe");
        ::dup2(err[1], STDERR_FILENO);
        auto both = [&] {
            return "journal<" + Receive(journal) + ">syslog<" + Receive(syslogSocket) + ">";
        };
        ::setenv("INVOCATION_ID", "0123456789abcdef", 1);
        Logger::WriteSysLog(0x4100031f, {u"/b/Changes/Redo_1/x.vrl", u"orders", u"10721"});
        std::string result = both();
        Logger::WriteLine(LOG_NOTICE, "interval 22:45 published", {"VELLUMARK_LOGS=37"});
        result += "line<" + Receive(journal) + ">";
        ::unsetenv("INVOCATION_ID");
        Logger::WriteSysLog(0x41000328, {u"/b/Rejected/x.vrl", u"10709"});
        result += both();
        // Under systemd, with no journal to take it: syslog, still nothing on stderr.
        ::close(journal);
        ::unlink("/run/systemd/journal/socket");
        ::setenv("INVOCATION_ID", "0123456789abcdef", 1);
        Logger::WriteSysLog(0x4900030f, {u"/b", u"20403"});
        result += "syslog<" + Receive(syslogSocket) + ">";
        ::close(err[1]);
        ::close(STDERR_FILENO);
        char buf[4096];
        ssize_t n = ::read(err[0], buf, sizeof buf);
        return result + "stderr<" + std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0) + ">";
    });
    ASSERT_NE(out.rfind("!", 0), 0u) << out;
    // The journal's native protocol, one field a line, and no syslog; the line likewise.
    std::string first = out.substr(0, out.find(">syslog<"));
    EXPECT_NE(first.find("\nVELLUMARK_EVENT=0x4100031f\n"), std::string::npos) << first;
    EXPECT_NE(out.find(">syslog<>line<MESSAGE=interval 22:45 published\nPRIORITY=5\n"
                       "SYSLOG_IDENTIFIER=talonib\nVELLUMARK_LOGS=37\n>journal<>"),
              std::string::npos)
        << out;
    // Outside systemd: syslog at daemon.warning (3 * 8 + 4); under systemd without a journal,
    // daemon.err (3 * 8 + 3) through syslog. Only the foreground record reached stderr.
    EXPECT_NE(out.find(">syslog<<28>"), std::string::npos) << out;
    EXPECT_NE(out.find("syslog<<27>"), std::string::npos) << out;
    auto err = out.find("stderr<");
    EXPECT_EQ(out.find("[0x41000328]", err), out.rfind("[0x"));
    EXPECT_EQ(testutil::CountOf(out.substr(err), "\n"), 1u) << out;
}

TEST(LoggerTest, AStandardErrorNobodyReadsNeverHoldsTheServiceUp) {
    // A child whose standard error is a full pipe nobody reads; the alarm ends one that waits.
    pid_t pid = ::fork();
    if (pid == 0) {
        int p[2];
        if (::pipe(p) != 0) ::_exit(2);
        ::dup2(p[1], STDERR_FILENO);
        int flags = ::fcntl(STDERR_FILENO, F_GETFL);
        ::fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK);
        char block[4096] = {};
        while (::write(STDERR_FILENO, block, sizeof block) > 0) {
        }
        ::fcntl(STDERR_FILENO, F_SETFL, flags);  // a write now waits, as on a real pipe
        ::unsetenv("INVOCATION_ID");
        ::alarm(10);
        for (int i = 0; i < 100; ++i) {
            Logger::WriteSysLog(0x41000328, {u"/b/Rejected/x.vrl", u"10709"});
            Logger::WriteLine(LOG_NOTICE, "interval 22:45 published");
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "the child waited on standard error" : "the child failed");
}
