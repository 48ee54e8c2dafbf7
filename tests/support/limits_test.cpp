// What a flood can make the service write: limited lines, cut texts, held lines of a call.
#include <gtest/gtest.h>

#include "platform/support/Debug.h"
#include "platform/support/RateLimit.h"
#include "tests/TestUtil.h"

namespace {

class DebugLimitsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Mirel::gDebugger.SetLogFile(tmp.path(), "talonibDebug.log");
        Mirel::gDebugger.SetBit(57, true);
    }
    std::string Log() { return testutil::ReadFile(tmp / "talonibDebug.log"); }
    testutil::TempDir tmp;
};

}  // namespace

TEST_F(DebugLimitsTest, LongTextsAndLinesAreCutKeepingBothEnds) {
    struct Case {
        std::size_t length;
        bool cut;
    };
    for (Case c : {Case{10, false}, Case{Mirel::kMaxDebugText, false},
                   Case{Mirel::kMaxDebugText + 1, true}, Case{65536, true}}) {
        Mirel::unistring text = u"/b/" + Mirel::unistring(c.length - 6, u'x') + u"/f.";
        Mirel::unistring out = Mirel::CutForLog(text);
        EXPECT_EQ(out == text, !c.cut) << c.length;
        EXPECT_LE(out.size(), Mirel::kMaxDebugText + 40) << c.length;
        EXPECT_EQ(out.substr(0, 3), u"/b/");
        EXPECT_EQ(out.substr(out.size() - 3), u"/f.");
    }

    MIREL_DEBUG_WIDE(57, u"RedoLogIsReady: not taken: " << Mirel::unistring(60000, u'p'));
    MIREL_DEBUG(57, "narrow " << std::string(60000, 'q'));
    std::string log = Log();
    EXPECT_LT(log.size(), 2 * Mirel::kMaxDebugLine);
    EXPECT_EQ(testutil::CountOf(log, "\n"), 2u);
    EXPECT_EQ(testutil::CountOf(log, "left out ...]"), 2u);
}

TEST_F(DebugLimitsTest, LinesOfACallWaitForItsOutcome) {
    Mirel::RateLimiter limiter(
        2, [](std::uint64_t n) { MIREL_DEBUG(57, "summary: " << n << " left out"); });
    for (int call = 0; call < 10; ++call) {
        Mirel::DebugCapture capture;
        MIREL_DEBUG(57, "refused call " << call << " line 1");
        MIREL_DEBUG(57, "refused call " << call << " line 2");
        EXPECT_EQ(Log().find("refused call " + std::to_string(call)), std::string::npos);
        capture.Release(&limiter);
        MIREL_DEBUG(57, "after the outcome " << call);  // written at once
    }
    {
        Mirel::DebugCapture capture;
        MIREL_DEBUG(57, "accepted call");
        capture.Release(nullptr);
    }
    {
        Mirel::DebugCapture capture;  // ends without an outcome: written all the same
        MIREL_DEBUG(57, "interrupted call");
    }
    {
        Mirel::DebugCapture capture;  // a long call: past kMaxHeld lines, all is written
        for (std::size_t i = 0; i <= Mirel::DebugCapture::kMaxHeld; ++i)
            MIREL_DEBUG(57, "long call line " << i);
        EXPECT_NE(Log().find("long call line 0\n"), std::string::npos);
        capture.Release(&limiter);
    }
    limiter.Flush();
    std::string log = Log();
    std::vector<std::size_t> counts;  // refused: two calls of two lines
    for (const char* what : {"refused call ", "after the outcome", "accepted call",
                             "interrupted call", "long call line"})
        counts.push_back(testutil::CountOf(log, what));
    EXPECT_EQ(counts, (std::vector<std::size_t>{4, 10, 1, 1, Mirel::DebugCapture::kMaxHeld + 1}));
    EXPECT_NE(log.find("summary: 16 left out"), std::string::npos) << log;
    // Held lines keep their order.
    EXPECT_LT(log.find("refused call 0 line 1"), log.find("refused call 0 line 2"));
}
