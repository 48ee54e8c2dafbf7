#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "platform/support/DateTime.h"
#include "platform/support/Debug.h"
#include "tests/TestUtil.h"

TEST(DebugLogTest, OnlyTheCategoriesThatAreOnAreWritten) {
    testutil::TempDir tmp;
    Mirel::gDebugger.SetLogFile(tmp.path(), "talonibDebug.log");
    Mirel::gDebugger.SetCategories(0);
    Mirel::gDebugger.SetBit(57, true);
    EXPECT_FALSE(Mirel::gDebugger.IsPrintable(64));
    MIREL_DEBUG(57, "SetupFolders err " << 0 << ", ready " << true);
    MIREL_DEBUG(59, "never written");
    MIREL_DEBUG_WIDE(57, u"      dbase:" << u" *Owned" << 42ull);
    const std::string log = testutil::ReadFile(tmp / "talonibDebug.log");
    EXPECT_EQ(testutil::CountOf(log, "\n"), 2u) << log;
    EXPECT_NE(log.find("SetupFolders err 0, ready true\n"), std::string::npos) << log;
    EXPECT_NE(log.find("dbase: *Owned42\n"), std::string::npos) << log;
    Mirel::gDebugger.SetBit(59, true);
}

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
        ASSERT_NE(at, std::string::npos) << l;
        char writer = l[at + 7];
        // The line ends with exactly 200 letters of its own writer, and nothing else.
        ASSERT_GE(l.size(), 201u);
        EXPECT_EQ(l.substr(l.size() - 201),
                  " " + std::string(200, static_cast<char>('a' + (writer - '0'))));
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
