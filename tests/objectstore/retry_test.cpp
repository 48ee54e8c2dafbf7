#include <gtest/gtest.h>

#include <vector>

#include "platform/objectstore/Status.h"

using namespace ObjectStore;
using std::chrono::milliseconds;

namespace {

Status Failure(Cause cause) {
    Status s;
    s.cause = cause;
    s.operation = "PutObject";
    s.key = "k";
    return s;
}

TEST(ObjectStoreBackoff, DoublesFromTheFirstDelayUpToTheCapWithJitterInTheUpperHalf) {
    RetryPolicy p;
    p.firstDelay = milliseconds(100);
    p.maxDelay = milliseconds(1000);
    const long long full[] = {100, 200, 400, 800, 1000, 1000, 1000};
    for (int failures = 1; failures <= 7; ++failures) {
        SCOPED_TRACE(failures);
        const long long f = full[failures - 1];
        EXPECT_EQ(BackoffDelay(p, failures, 0).count(), f - f / 2);
        EXPECT_EQ(BackoffDelay(p, failures, static_cast<std::uint32_t>(f / 2)).count(), f);
        EXPECT_LE(BackoffDelay(p, failures, 0xffffffffu).count(), f);
    }
    // Many failures neither overflow nor pass the cap.
    EXPECT_LE(BackoffDelay(p, 1000, 12345).count(), 1000);
}

TEST(ObjectStoreRetry, RetriesOnlyWhatMayRecoverAndStopsAtTheLimitOrWhenTheWaitEnds) {
    struct Case {
        int maxAttempts, attempts;
        Cause result;
        std::vector<Cause> answers;  // one per attempt; the last repeats
        bool waitEnds = false;       // the wait answers false, as when the service stops
    };
    const Case cases[] = {
        // Refused connections, 5xx, a stall, slow-down and a full store are retried.
        {8, 3, Cause::kNone, {Cause::kConnect, Cause::kConnect, Cause::kNone}},
        {8,
         5,
         Cause::kNone,
         {Cause::kServer, Cause::kTimeout, Cause::kThrottled, Cause::kStoreFull, Cause::kNone}},
        // Bad or expired credentials, 412 and 404 at once.
        {8, 1, Cause::kCredentials, {Cause::kCredentials}},
        {8, 1, Cause::kPreconditionFailed, {Cause::kPreconditionFailed}},
        {8, 1, Cause::kNotFound, {Cause::kNotFound}},
        // A retryable fault then a permanent one; the limit.
        {8, 2, Cause::kAccessDenied, {Cause::kServer, Cause::kAccessDenied}},
        {4, 4, Cause::kConnect, {Cause::kConnect}},
        {8, 1, Cause::kServer, {Cause::kServer}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(&c - cases));
        RetryPolicy p;
        p.maxAttempts = c.maxAttempts;
        std::vector<milliseconds> waits;
        int told = 0;
        p.wait = [&](milliseconds d) {
            waits.push_back(d);
            return !c.waitEnds;
        };
        p.onRetry = [&](const Status& s, int attempt, milliseconds) {
            EXPECT_TRUE(s.Retryable());
            EXPECT_EQ(attempt, ++told);
        };
        int attempts = 0;
        const Status s = Retry(p, [&] {
            const std::size_t i = std::min<std::size_t>(attempts++, c.answers.size() - 1);
            return Failure(c.answers[i]);
        });
        EXPECT_EQ(std::tuple(attempts, s.cause, static_cast<int>(waits.size()), told),
                  std::tuple(c.attempts, c.result, c.attempts - 1 + c.waitEnds,
                             c.attempts - 1 + c.waitEnds));
    }
}

}  // namespace
