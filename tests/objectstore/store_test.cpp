// The client against a real S3 store: the one scripts/s3-store runs for these tests.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "platform/objectstore/Client.h"
#include "platform/objectstore/Digest.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tests/lib/FaultEnv.h"
#include "tests/objectstore/StoreSetup.h"

using namespace ObjectStore;
using std::chrono::milliseconds;

namespace {

const std::string kStore = IBS_S3_STORE_DIR;

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::string s((n + 7) / 8 * 8, '\0');
    for (std::size_t i = 0; i < s.size(); i += 8) {
        const std::uint64_t v = rng();
        std::memcpy(&s[i], &v, 8);
    }
    s.resize(n);
    return s;
}

Sink Into(std::string& out) {
    return [&out](const char* d, std::size_t n) {
        out.append(d, n);
        return true;
    };
}

// radosgw-admin on the test store, tried again when it crashes (the shell answers 128 + the
// signal), as it has on a loaded machine.
int Admin(const std::string& args) {
    const std::string command = "radosgw-admin -c " + kStore + "/ceph.conf " + args + " >>" +
                                kStore + "/log/test-admin.out 2>&1";
    int rc = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        rc = std::system(command.c_str());
        if (!WIFEXITED(rc) || WEXITSTATUS(rc) < 128) break;
    }
    return rc;
}

class ObjectStoreS3 : public ::testing::Test {
protected:
    void SetUp() override {
        Offsite::RemoteOptions remote;
        testutil::UseStore(kStore, "store", config, remote);
        if (IsSkipped() || HasFailure()) return;
        config.connectTimeoutMs = 5000;
        config.stallSeconds = 10;
        config.multipartThreshold = 8 << 20;
        config.partSize = 5 << 20;  // the smallest part S3 takes
        config.parallelParts = 3;
        config.partRetry.maxAttempts = 2;
        config.partRetry.firstDelay = milliseconds(10);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        prefix = std::string(test->name()) + "-" + std::to_string(::getpid()) + "/";
    }

    std::string Get(Client& client, const std::string& key, Status* status = nullptr) {
        std::string out;
        const Status s = client.GetObject(key, Into(out));
        if (status != nullptr) *status = s;
        EXPECT_TRUE(status != nullptr || s.ok()) << s.ToString();
        return out;
    }

    Config config;
    std::string prefix;
    testutil::TempDir tmp;
};

TEST_F(ObjectStoreS3, FilesComeBackByteForByteSingleOrMultipart) {
    struct Case {
        const char* name;
        std::size_t size;
        unsigned parts;  // 0: a single PUT
    };
    const Case cases[] = {
        {"empty", 0, 0},
        {"single PUT", (1 << 20) + 3, 0},
        {"multipart with a short last part", 3 * (5 << 20) + 12345, 4},
    };
    Client client(config);
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string data = RandomBytes(c.size, seed++);
        const std::string path = tmp / "file";
        testutil::WriteFile(path, data);
        // Keys are sent percent-encoded and signed so; these need it.
        const std::string key = prefix + "dir one/a+b%c~é " + c.name;
        PutOptions options;
        options.metadata["origin"] = c.name;
        PutResult put;
        Status s = client.PutFile(key, path, options, &put);
        ASSERT_TRUE(s.ok()) << s.ToString();
        EXPECT_EQ(std::tuple(put.parts, put.size, put.md5 == Hex(Md5Of(data)) || c.parts),
                  std::tuple(c.parts, c.size, true));
        ObjectInfo info;
        ASSERT_TRUE((s = client.HeadObject(key, info)).ok()) << s.ToString();
        EXPECT_EQ(std::tuple(info.size, info.etag, info.metadata["origin"]),
                  std::tuple(c.size, put.etag, std::string(c.name)));
        std::string got;
        GetOptions whole;
        whole.checkMd5 = true;
        ASSERT_TRUE((s = client.GetObject(key, Into(got), whole)).ok()) << s.ToString();
        EXPECT_TRUE(got == data) << "the object's bytes differ from the file's";
    }
}

TEST_F(ObjectStoreS3, StoreRefusesBytesThatDoNotMatchTheirMd5) {
    Client client(config);
    const std::string data = "the bytes that were read";
    PutOptions options;
    options.expectedMd5 = Hex(Md5Of("the bytes that were written"));
    const Status s = client.PutObject(prefix + "k", data.data(), data.size(), options);
    EXPECT_EQ(std::tuple(s.cause, s.httpCode, s.errorCode, s.Retryable()),
              std::tuple(Cause::kBadDigest, 400L, "BadDigest", true));
    ObjectInfo info;
    EXPECT_EQ(client.HeadObject(prefix + "k", info).cause, Cause::kNotFound);

    // With the right MD5 the same bytes are taken.
    options.expectedMd5 = Hex(Md5Of(data));
    EXPECT_TRUE(client.PutObject(prefix + "k", data.data(), data.size(), options).ok());

    // A file sent with the digests of an earlier pass, changed since: the client does not
    // read it twice, the store refuses it by those digests and stores nothing.
    const std::string path = tmp / "changed";
    const std::string written = "the bytes that were written";
    testutil::WriteFile(path, "the bytes that were changed!");
    PutOptions known;
    known.expectedMd5 = Hex(Md5Of(written));
    known.knownSha256 = Sha256HexOf(written);
    const Status changed = client.PutFile(prefix + "f", path, known);
    EXPECT_EQ(changed.cause, Cause::kBadDigest) << changed.ToString();
    EXPECT_EQ(client.HeadObject(prefix + "f", info).cause, Cause::kNotFound);
    testutil::WriteFile(path, written);
    PutResult put;
    ASSERT_TRUE(client.PutFile(prefix + "f", path, known, &put).ok());
    EXPECT_EQ(put.sha256, known.knownSha256);
    EXPECT_EQ(Get(client, prefix + "f"), written);
}

TEST_F(ObjectStoreS3, IfNoneMatchNeverOverwritesAStoredObject) {
    Client client(config);
    const std::string first = RandomBytes(2 * (5 << 20), 1);
    const std::string second = RandomBytes(first.size(), 2);
    PutOptions once;
    once.ifNoneMatch = true;
    for (const bool multipart : {false, true}) {
        SCOPED_TRACE(multipart ? "multipart" : "single PUT");
        const std::string key = prefix + (multipart ? "multipart" : "single");
        const std::size_t size = multipart ? first.size() : 1000;
        testutil::WriteFile(tmp / "first", first.substr(0, size));
        testutil::WriteFile(tmp / "second", second.substr(0, size));
        ASSERT_TRUE(client.PutFile(key, tmp / "first", once).ok());
        const Status s = client.PutFile(key, tmp / "second", once);
        EXPECT_EQ(std::tuple(s.cause, s.httpCode, s.Retryable()),
                  std::tuple(Cause::kPreconditionFailed, 412L, false));
        EXPECT_TRUE(Get(client, key) == first.substr(0, size));
    }
    std::vector<PendingUpload> pending;
    ASSERT_TRUE(client.ListMultipartUploads(prefix, pending).ok());
    EXPECT_TRUE(pending.empty());
}

TEST_F(ObjectStoreS3, ListingGoesOnWithContinuationTokens) {
    Client client(config);
    const std::vector<std::string> names = {"a", "b b", "c/d", "c/e", "z+"};
    for (const std::string& n : names) {
        ASSERT_TRUE(client.PutObject(prefix + "in/" + n, n.data(), n.size()).ok());
    }
    ASSERT_TRUE(client.PutObject(prefix + "out", "x", 1).ok());

    std::vector<std::string> seen;
    std::vector<std::size_t> pageSizes;
    std::string token;
    do {
        ListPage page;
        const Status s = client.ListObjects(prefix + "in/", token, page, 2);
        ASSERT_TRUE(s.ok()) << s.ToString();
        pageSizes.push_back(page.objects.size());
        for (const ObjectInfo& o : page.objects) {
            seen.push_back(o.key.substr(prefix.size() + 3));
            EXPECT_EQ(std::pair(o.size, o.etag),
                      std::pair(seen.back().size(), Hex(Md5Of(seen.back()))));
        }
        token = page.nextToken;
    } while (!token.empty() && pageSizes.size() < 10);
    EXPECT_EQ(seen, names);
    EXPECT_EQ(pageSizes, (std::vector<std::size_t>{2, 2, 1}));
}

TEST_F(ObjectStoreS3, RangedReadsResumeOnlyTheSameObject) {
    Client client(config);
    const std::string data = RandomBytes(10000, 7);
    PutResult put;
    ASSERT_TRUE(client.PutObject(prefix + "k", data.data(), data.size(), {}, &put).ok());
    struct Case {
        std::uint64_t offset, length;
    };
    for (const Case c : {Case{0, 1}, Case{1234, 4000}, Case{9999, 0}, Case{5000, 0}}) {
        SCOPED_TRACE(c.offset);
        GetOptions range;
        range.offset = c.offset;
        range.length = c.length;
        range.ifMatch = put.etag;
        std::string got;
        ObjectInfo info;
        const Status s = client.GetObject(prefix + "k", Into(got), range, &info);
        ASSERT_TRUE(s.ok()) << s.ToString();
        EXPECT_TRUE(got == data.substr(c.offset, c.length == 0 ? std::string::npos : c.length));
        EXPECT_EQ(info.size, data.size());
    }
    GetOptions beyond;
    beyond.offset = data.size() + 1;
    std::string got;
    EXPECT_EQ(client.GetObject(prefix + "k", Into(got), beyond).cause, Cause::kInvalidRange);

    // The object changed since the first part was read: the rest is refused, not mixed in.
    ASSERT_TRUE(client.PutObject(prefix + "k", "new", 3).ok());
    GetOptions resume;
    resume.offset = 5000;
    resume.ifMatch = put.etag;
    got.clear();
    const Status s = client.GetObject(prefix + "k", Into(got), resume);
    EXPECT_EQ(s.cause, Cause::kPreconditionFailed) << s.ToString();
    EXPECT_TRUE(got.empty());
}

// A wrong secret is bad credentials, not retried; a HEAD answer has no body and still says so.
TEST_F(ObjectStoreS3, BadCredentialsAreClassifiedAsSuch) {
    Config bad = config;
    bad.secretKey += "x";
    Client client(bad);
    ObjectInfo info;
    for (const Status& s :
         {client.PutObject(prefix + "k", "x", 1), client.HeadObject(prefix + "k", info)})
        EXPECT_EQ(std::tuple(s.cause, s.errorCode, s.Retryable()),
                  std::tuple(Cause::kCredentials, "SignatureDoesNotMatch", false));
}

TEST_F(ObjectStoreS3, AKeyWithAColonSignsInAndIsRefusedOnceRevoked) {
    const std::string uid = "colon-" + std::to_string(::getpid());
    const std::string key = "IBS:" + std::to_string(::getpid()) + ":KEY";
    ASSERT_EQ(Admin("user create --uid=" + uid + " --display-name=" + uid + " --access-key='" +
                    key + "' --secret=colonsecret"),
              0);
    Config colon = config;
    colon.accessKey = key;
    colon.secretKey = "colonsecret";
    // The user has no bucket: being told so shows that it signed in.
    colon.bucket = uid;
    Client own(colon);
    std::vector<ObjectInfo> objects;
    Status s = own.ListAll("", objects);
    EXPECT_EQ(std::pair(s.cause, s.errorCode),
              std::pair(Cause::kNotFound, std::string("NoSuchBucket")));

    ASSERT_EQ(Admin("key rm --uid=" + uid + " --access-key='" + key + "'"), 0);
    // The gateway hears of the change through the cluster; it may take a moment.
    for (int i = 0; i < 100; ++i) {
        s = own.ListAll("", objects);
        if (s.cause == Cause::kCredentials) break;
        std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_EQ(std::pair(s.cause, s.errorCode),
              std::pair(Cause::kCredentials, std::string("InvalidAccessKeyId")));
    Admin("user rm --uid=" + uid);
}

// Stops the gateway with SIGSTOP for as long as it lives.
class Stalled {
public:
    Stalled() {
        const std::string pid = testutil::ReadFile(kStore + "/run/radosgw.pid");
        mPid = std::atoi(pid.c_str());
        if (mPid > 0) ::kill(mPid, SIGSTOP);
    }
    ~Stalled() { Resume(); }
    bool ok() const { return mPid > 0; }
    void Resume() {
        if (mPid > 0) ::kill(mPid, SIGCONT);
    }

private:
    int mPid = 0;
};

TEST_F(ObjectStoreS3, AStalledStoreTimesOutAndIsUsedAgainOnceBack) {
    config.stallSeconds = 1;
    Client client(config);
    const std::string data = RandomBytes(100000, 3);
    {
        Stalled stall;
        ASSERT_TRUE(stall.ok());
        const auto start = std::chrono::steady_clock::now();
        const Status s = client.PutObject(prefix + "k", data.data(), data.size());
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(s.cause == Cause::kTimeout && s.Retryable()) << s.ToString();
        EXPECT_TRUE(took >= std::chrono::seconds(1) && took < std::chrono::seconds(10));

        // Back again, the same client gets through.
        stall.Resume();
        const Status again = client.PutObject(prefix + "k", data.data(), data.size());
        EXPECT_TRUE(again.ok()) << again.ToString();
    }
    config.stallSeconds = 10;
    Client patient(config);
    EXPECT_TRUE(Get(patient, prefix + "k") == data);
}

TEST_F(ObjectStoreS3, AFailedOrCancelledMultipartUploadLeavesNothing) {
    const std::string data = RandomBytes(3 * (5 << 20), 5);
    const std::string path = tmp / "big";
    testutil::WriteFile(path, data);
    {
        Client client(config);
        Mirel::FaultEnv faults;
        Mirel::Env::Scope files(faults);
        faults.Arm(Mirel::FsOp::kRead, path, Mirel::kErrIO);
        const Status s = client.PutFile(prefix + "failed", path);
        EXPECT_TRUE(s.cause == Cause::kLocal && s.localError == Mirel::kErrIO) << s.ToString();
    }
    {
        // Slow enough to be caught in the middle.
        config.maxSendBytesPerSecond = 3 << 20;
        Client client(config);
        Status s;
        std::thread upload([&] { s = client.PutFile(prefix + "cancelled", path); });
        std::vector<PendingUpload> pending;
        for (int i = 0; i < 200 && pending.empty(); ++i) {
            ASSERT_TRUE(client.ListMultipartUploads(prefix, pending).ok());
            if (pending.empty()) std::this_thread::sleep_for(milliseconds(20));
        }
        client.Cancel();
        upload.join();
        EXPECT_EQ(s.cause, Cause::kCancelled) << s.ToString();
        client.Resume();
    }
    Client client(config);
    std::vector<PendingUpload> pending;
    ASSERT_TRUE(client.ListMultipartUploads(prefix, pending).ok());
    std::vector<ObjectInfo> objects;
    ASSERT_TRUE(client.ListAll(prefix, objects).ok());
    EXPECT_TRUE(pending.empty() && objects.empty()) << pending.size() << " uploads left";
}

TEST_F(ObjectStoreS3, HttpsIsVerifiedByDefault) {
    Config tls = config;
    tls.endpoint = testutil::ReadFile(kStore + "/tls-endpoint");
    while (!tls.endpoint.empty() && tls.endpoint.back() == '\n') tls.endpoint.pop_back();
    const Status refused = Client(tls).PutObject(prefix + "k", "x", 1);
    EXPECT_TRUE(refused.cause == Cause::kTls && !refused.Retryable()) << refused.ToString();
    tls.caFile = kStore + "/tls/cert.pem";
    Client client(tls);
    const Status s = client.PutObject(prefix + "k", "x", 1);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(Get(client, prefix + "k"), "x");
}

}  // namespace
