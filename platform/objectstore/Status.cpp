#include "platform/objectstore/Status.h"

#include <random>
#include <thread>

namespace ObjectStore {

const char* CauseName(Cause cause) {
    switch (cause) {
        case Cause::kNone:
            return "ok";
        case Cause::kConnect:
            return "no connection";
        case Cause::kTimeout:
            return "timed out";
        case Cause::kConnectionLost:
            return "connection lost";
        case Cause::kServer:
            return "store failure";
        case Cause::kThrottled:
            return "store asks to slow down";
        case Cause::kStoreFull:
            return "store full";
        case Cause::kBadDigest:
            return "checksum refused by the store";
        case Cause::kCredentials:
            return "bad credentials";
        case Cause::kCredentialsExpired:
            return "expired credentials";
        case Cause::kClockSkew:
            return "clock skew";
        case Cause::kAccessDenied:
            return "access denied";
        case Cause::kNotFound:
            return "not found";
        case Cause::kPreconditionFailed:
            return "precondition failed";
        case Cause::kInvalidRange:
            return "invalid range";
        case Cause::kRequest:
            return "request refused";
        case Cause::kTls:
            return "TLS failure";
        case Cause::kIntegrity:
            return "answer does not match";
        case Cause::kProtocol:
            return "unreadable answer";
        case Cause::kLocal:
            return "local failure";
        case Cause::kCancelled:
            return "cancelled";
        case Cause::kConfig:
            return "bad configuration";
    }
    return "unknown";
}

bool IsRetryable(Cause cause) {
    switch (cause) {
        case Cause::kConnect:
        case Cause::kTimeout:
        case Cause::kConnectionLost:
        case Cause::kServer:
        case Cause::kThrottled:
        case Cause::kStoreFull:
        // The check exists because bytes can change on the way; sent again they arrive whole.
        case Cause::kBadDigest:
            return true;
        default:
            return false;
    }
}

std::string Status::ToString() const {
    if (ok()) return operation + " \"" + key + "\": ok";
    std::string s = operation;
    if (!key.empty()) s += " \"" + key + "\"";
    s += ": ";
    if (httpCode != 0) s += "HTTP " + std::to_string(httpCode) + " ";
    if (!errorCode.empty()) s += errorCode;
    if (!message.empty()) s += (errorCode.empty() ? "" : ": ") + message;
    if (localError != 0) s += " (error " + std::to_string(localError) + ")";
    s += std::string(" [") + CauseName(cause) + (Retryable() ? ", retryable]" : ", not retried]");
    return s;
}

std::chrono::milliseconds BackoffDelay(const RetryPolicy& policy, int failures,
                                       std::uint32_t random) {
    using std::chrono::milliseconds;
    const long long cap = std::max<long long>(policy.maxDelay.count(), 0);
    long long delay = std::max<long long>(policy.firstDelay.count(), 1);
    for (int i = 1; i < failures && delay < cap; ++i) delay *= 2;
    delay = std::min(delay, cap);
    const long long half = delay / 2;
    return milliseconds(delay - half + static_cast<long long>(random % (half + 1)));
}

Status Retry(const RetryPolicy& policy, const std::function<Status()>& op) {
    thread_local std::minstd_rand rng(std::random_device{}());
    Status status;
    for (int attempt = 1;; ++attempt) {
        status = op();
        if (status.ok() || !status.Retryable() || attempt >= policy.maxAttempts) return status;
        const auto delay = BackoffDelay(policy, attempt, static_cast<std::uint32_t>(rng()));
        if (policy.onRetry) policy.onRetry(status, attempt, delay);
        if (policy.wait) {
            if (!policy.wait(delay)) return status;
        } else {
            std::this_thread::sleep_for(delay);
        }
    }
}

}  // namespace ObjectStore
