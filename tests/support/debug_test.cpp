#include <gtest/gtest.h>

#include "platform/support/DateTime.h"

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
