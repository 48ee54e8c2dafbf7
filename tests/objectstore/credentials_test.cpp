#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/objectstore/Client.h"
#include "platform/objectstore/Config.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/tools/Has.h"

using namespace ObjectStore;

namespace {

const char* const kGood =
    "# the off-host repository\n"
    "endpoint = https://s3.example.test:8443/\n"
    "\n"
    "  region=eu-west-3  \n"
    "bucket = backups\n"
    "access_key = team:backup\n"
    "secret_key = a/b+c==\n";

TEST(ObjectStoreCredentials, RefusalsNameTheFault) {
    struct Case {
        const char* name;
        std::string content;
        mode_t mode;
        const char* message;  // part of the refusal
    };
    const std::string good = kGood;
    const Case cases[] = {
        {"readable by others", good, 0644, "chmod 600"},
        {"writable by group", good, 0620, "group or others"},
        {"no secret", "endpoint = http://h\nbucket = b\naccess_key = k\n", 0600, "no secret_key"},
        {"misspelt key", good + "acess_key = x\n", 0600, "unknown key \"acess_key\""},
        {"key given twice", good + "bucket = other\n", 0600, "\"bucket\" given twice"},
        {"line without =", "endpoint = http://h\nbucket b\n", 0600, "line 2: no '='"},
        {"endpoint of another scheme",
         "endpoint = ftp://h\nbucket = b\naccess_key = k\n"
         "secret_key = s\n",
         0600, "http:// or https://"},
    };
    testutil::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / "s3.conf";
        testutil::WriteFile(path, c.content);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        Config config;
        const Status s = LoadCredentials(path, config);
        EXPECT_TRUE(s.cause == Cause::kConfig && config.secretKey.empty());
        EXPECT_TRUE(Has(s.message, c.message));
        EXPECT_TRUE(Has(s.ToString(), path));
    }
}

TEST(ObjectStoreCredentials, AGoodFileGivesEveryValueAndAnUnreadableOneItsError) {
    testutil::TempDir dir;
    const std::string path = dir / "s3.conf";
    Config config;
    EXPECT_EQ(LoadCredentials(path, config).localError, Mirel::kErrPathNotFound);

    testutil::WriteFile(path, kGood);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    const Status good = LoadCredentials(path, config);
    ASSERT_TRUE(good.ok()) << good.ToString();
    EXPECT_EQ(std::vector<std::string>({config.endpoint, config.region, config.bucket,
                                        config.accessKey, config.secretKey}),
              std::vector<std::string>({"https://s3.example.test:8443/", "eu-west-3", "backups",
                                        "team:backup", "a/b+c=="}));
    const std::string link = dir / "link.conf";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(LoadCredentials(link, config).localError, Mirel::kErrIsALink);

    Mirel::FaultEnv faults;
    Mirel::Env::Scope files(faults);
    faults.Arm(Mirel::FsOp::kRead, path, Mirel::kErrIO, 1);
    const Status s = LoadCredentials(path, config);
    EXPECT_TRUE(s.cause == Cause::kConfig && s.localError == Mirel::kErrIO) << s.ToString();
    EXPECT_TRUE(LoadCredentials(path, config).ok());
}

// A FIFO where the credentials file or a file to upload should be: both are refused at once,
// unread, and nothing is sent.
TEST(ObjectStoreCredentials, AFifoIsNeverOpened) {
    testutil::TempDir dir;
    const std::string conf = dir / "s3.conf", file = dir / "upload.vdb";
    ASSERT_TRUE(testutil::MakeFifo(conf));
    ASSERT_TRUE(testutil::MakeFifo(file));
    Config config;
    Status loaded, put;
    EXPECT_TRUE(testutil::FinishesWithin(3000, {conf}, [&] {
        loaded = LoadCredentials(conf, config);
    })) << "the credentials file blocked";
    EXPECT_TRUE(loaded.cause == Cause::kConfig && loaded.localError == Mirel::kErrNotAFile);
    config.endpoint = "http://127.0.0.1:9";
    config.bucket = config.accessKey = config.secretKey = "k";
    Client client(config);
    EXPECT_TRUE(testutil::FinishesWithin(3000, {file}, [&] {
        put = client.PutFile("k", file, {});
    })) << "the upload's source blocked";
    EXPECT_TRUE(!put.ok() && put.localError == Mirel::kErrNotAFile) << put.ToString();
}

}  // namespace
