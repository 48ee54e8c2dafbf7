// Where the object store is, how to sign in, and how the client behaves towards it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/objectstore/Status.h"

namespace ObjectStore {

struct Config {
    // From the credentials file.
    std::string endpoint;  // http://host:port or https://host[:port]; buckets are path-style
    std::string region = "us-east-1";
    std::string bucket;
    std::string accessKey;
    std::string secretKey;
    std::string caFile;  // certificates to trust for https in place of the system's

    bool verifyTls = true;
    // Every body's SHA-256 is sent and signed, and the store checks it besides Content-MD5.
    // False sends UNSIGNED-PAYLOAD: the store then checks the MD5 alone (a signed header
    // too), which spares both sides a SHA-256 pass; see docs/offsite.md for the cost.
    bool signPayload = true;
    long connectTimeoutMs = 10000;
    // A transfer moving fewer than stallBytesPerSecond for stallSeconds fails as kTimeout; a
    // waiting answer counts, so it also bounds how long the store may think.
    long stallSeconds = 30;
    long stallBytesPerSecond = 1;
    // Bandwidth limits of one operation in bytes per second, 0 for none; the parts of a
    // multipart upload share the send limit.
    std::uint64_t maxSendBytesPerSecond = 0;
    std::uint64_t maxRecvBytesPerSecond = 0;

    // PutFile sends files of this size and larger as multipart uploads.
    std::uint64_t multipartThreshold = 64ull << 20;
    std::uint64_t partSize = 16ull << 20;  // raised when a file would need over 10,000 parts
    unsigned parallelParts = 4;
    RetryPolicy partRetry;  // each part of a multipart upload
};

// Reads endpoint, region, bucket, access_key, secret_key and ca_file (format in
// docs/offsite.md) into `config`. Refuses a file that group or others may read or write,
// a symbolic link, an unknown key, and a file missing endpoint, bucket or a key.
Status LoadCredentials(const std::string& path, Config& config);

}  // namespace ObjectStore
