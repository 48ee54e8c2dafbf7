#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "tests/TestUtil.h"

TEST(DebugLogTest, ConcurrentWritersNeverInterleaveWithinALine) {
    testutil::TempDir tmp;
    Mirel::gDebugger.SetLogFile(tmp.path(), "talonibDebug.log");
    Mirel::gDebugger.SetBit(57, true);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([t] {
            for (int i = 0; i < 300; ++i)
                MIREL_DEBUG(57,
                            "writer " << t << " line " << i << " " << std::string(200, 'a' + t));
        });
    for (auto& t : ts) t.join();
    std::istringstream lines(testutil::ReadFile(tmp / "talonibDebug.log"));
    int n = 0;
    for (std::string l; std::getline(lines, l); ++n) {
        auto at = l.find("writer ");
        ASSERT_TRUE(at != std::string::npos && l.size() >= 201) << l;
        EXPECT_EQ(l.substr(l.size() - 201), " " + std::string(200, 'a' + (l[at + 7] - '0')));
    }
    EXPECT_EQ(n, 1200);
}

TEST(DateTimeTest, RendersUtcAndRefusesWhatItCannotRender) {
    Mirel::DateTime dt(0);
    EXPECT_TRUE(dt.AsUnistring(Mirel::Locale(2)).empty());
    dt.SetMicroSecSinceEpoch(1733452465123456ull, 32767);
    EXPECT_EQ(dt.AsUnistring(Mirel::Locale(2)), Mirel::unistring(u"2024-12-06 02:34:25.123456"));
    dt.SetMicroSecSinceEpoch(UINT64_MAX, 32767);
    EXPECT_TRUE(dt.AsUnistring(Mirel::Locale(2)).empty());
    EXPECT_EQ(Mirel::DateTime::FromCalendar(2024, 12, 6, 2, 34, 25, 123456), 1733452465123456ull);
    EXPECT_EQ(Mirel::DateTime::FromCalendar(2023, 2, 29, 0, 0, 0, 0), 0u);
    EXPECT_NE(Mirel::DateTime::FromCalendar(2024, 2, 29, 0, 0, 0, 0), 0u);
}
