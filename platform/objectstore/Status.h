// What an object-store operation came to, and the retry policy built on it. Every failure
// names the operation, the key, the store's answer and its class: worth trying again
// (the store or the network may recover) or not (trying again gives the same answer).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace ObjectStore {

enum class Cause {
    kNone,
    // Retryable.
    kConnect,         // no connection: refused, unreachable, name not resolved
    kTimeout,         // no connection in time, or the transfer stalled
    kConnectionLost,  // the connection broke during the exchange
    kServer,          // the store failed (5xx)
    kThrottled,       // the store asks to slow down (429, SlowDown)
    kStoreFull,       // the store or the account has no room (quota, 507)
    kBadDigest,       // the store found the bytes it got differ from their checksum
    // Not retryable.
    kCredentials,         // the access key is unknown, revoked or suspended, or the secret wrong
    kCredentialsExpired,  // the store says the credential has expired
    kClockSkew,           // this machine's clock is too far from the store's
    kAccessDenied,        // the credential holds no right to this
    kNotFound,            // no such object, bucket or upload
    kPreconditionFailed,  // If-None-Match or If-Match not met (412)
    kInvalidRange,        // a range beyond the object (416)
    kRequest,             // any other refusal of the request
    kTls,                 // TLS handshake or certificate check failed
    kIntegrity,           // what the store answered does not match what was sent or asked
    kProtocol,            // an answer that cannot be read
    kLocal,               // reading or writing on this machine failed
    kCancelled,           // Client::Cancel stopped it
    kConfig,              // the configuration or the credentials file is unusable
};

const char* CauseName(Cause cause);
bool IsRetryable(Cause cause);

struct Status {
    Cause cause = Cause::kNone;
    long httpCode = 0;      // 0 when no answer came
    std::string errorCode;  // the store's error code ("NoSuchKey"), else the transport's
    std::string message;    // the store's message, else the transport's
    std::string operation;  // "PutObject", "UploadPart", ...
    std::string key;
    int localError = 0;  // the Mirel error number of a failed local read (kLocal)

    bool ok() const { return cause == Cause::kNone; }
    bool Retryable() const { return IsRetryable(cause); }
    // One line for logs and events: operation, key, answer, cause and class.
    std::string ToString() const;
};

struct RetryPolicy {
    int maxAttempts = 8;  // the first attempt included
    std::chrono::milliseconds firstDelay{500};
    std::chrono::milliseconds maxDelay{60000};
    // Waits between attempts; answering false ends the retries (a stopping service).
    // Empty: sleeps.
    std::function<bool(std::chrono::milliseconds)> wait;
    // Told of every failure that is about to be retried, for logs.
    std::function<void(const Status&, int attempt, std::chrono::milliseconds delay)> onRetry;
};

// The wait after `failures` failed attempts: doubling from firstDelay up to maxDelay, the
// upper half chosen at random (by `random`) so that many clients do not retry in step.
std::chrono::milliseconds BackoffDelay(const RetryPolicy& policy, int failures,
                                       std::uint32_t random);

// Runs `op` until it succeeds, fails in a way that is not retryable, or the attempts or the
// wait run out; answers the last status.
Status Retry(const RetryPolicy& policy, const std::function<Status()>& op);

}  // namespace ObjectStore
