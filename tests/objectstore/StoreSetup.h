// The store CTest started (scripts/s3-store): its credentials, a prefix of the test's own,
// and credentials files for a forwarder in front of it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/objectstore/Config.h"
#include "platform/offsite/Offsite.h"
#include "tests/TestUtil.h"

namespace testutil {

// Skips the test without a store (fails it when IBS_S3_TESTS is set); see IsSkipped().
inline void UseStore(const std::string& dir, const std::string& kind, ObjectStore::Config& store,
                     Offsite::RemoteOptions& remote) {
    const ObjectStore::Status s = ObjectStore::LoadCredentials(dir + "/credentials", store);
    if (!s.ok()) {
        if (std::getenv("IBS_S3_TESTS") != nullptr)
            FAIL() << "IBS_S3_TESTS is set and no store runs: " << s.ToString();
        GTEST_SKIP() << "no object store (scripts/lib.sh: ibs_ensure_s3_packages installs it): "
                     << s.ToString();
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    remote.credentials = dir + "/credentials";
    remote.prefix = kind + "-" + test->name() + "-" + std::to_string(::getpid());
    remote.retry.maxAttempts = 2;
    remote.retry.firstDelay = std::chrono::milliseconds(10);
}

inline unsigned short StorePort(const ObjectStore::Config& store) {
    return static_cast<unsigned short>(
        std::atoi(store.endpoint.substr(store.endpoint.rfind(':') + 1).c_str()));
}

// A credentials file (mode 600) for the endpoint on `port`, with `secret` when given.
inline std::string WriteCredentials(const std::string& path, const ObjectStore::Config& store,
                                    unsigned short port, const std::string& secret = "") {
    WriteFile(path, "endpoint = http://127.0.0.1:" + std::to_string(port) +
                        "\nregion = " + store.region + "\nbucket = " + store.bucket +
                        "\naccess_key = " + store.accessKey +
                        "\nsecret_key = " + (secret.empty() ? store.secretKey : secret) + "\n");
    ::chmod(path.c_str(), 0600);
    return path;
}

}  // namespace testutil
