#include <gtest/gtest.h>

#include <random>

#include "platform/framework/BackupFolder.h"
#include "tests/TestUtil.h"

using Mirel::unistring;
using Talon::BackupFolder;

TEST(BackupFolderTest, StampRoundTripsAtMinuteResolution) {
    std::mt19937_64 rng(7);
    const std::uint64_t kMinute = 60000000;
    const std::uint64_t kMax = 253402300799ull * 1000000;  // end of year 9999
    for (int i = 0; i < 2000; ++i) {
        std::uint64_t utc = rng() % kMax;
        unistring stamp = BackupFolder::MakeTimestamp(utc);
        ASSERT_FALSE(stamp.empty()) << utc;
        EXPECT_EQ(BackupFolder::GetUTCFromTimestamp(stamp), utc - utc % kMinute) << stamp.ToUTF8();
    }
    EXPECT_EQ(BackupFolder::MakeTimestamp(1733452465123456ull), unistring(u"2024-12-06_0234"));
    EXPECT_TRUE(BackupFolder::MakeTimestamp(UINT64_MAX).empty());
    for (const char16_t* bad : {u"", u"2024-12-06", u"2024-12-06_2460", u"2024-02-30_0000",
                                u"2024-12-06-0234", u"abcd-12-06_0234", u"2024-12-06_02345"})
        EXPECT_EQ(BackupFolder::GetUTCFromTimestamp(bad), 0u) << unistring(bad).ToUTF8();
}

TEST(BackupFolderTest, ListAndLatestOrderByStampNotByName) {
    testutil::TempDir tmp;
    for (const char* n :
         {"LastGood_2024-12-06_0234", "LastGood_2023-01-01_0000", "LastGood_2024-12-06_0300",
          "LastGood_broken", "LastGoodX_2030-01-01_0000", "Other"})
        testutil::MakeDirs(tmp / n);
    testutil::WriteFile(tmp / "LastGood_2099-01-01_0000", "a file, not a folder");
    BackupFolder bf(u"LastGood");
    auto list = bf.GetList(tmp.Folder());
    std::vector<std::string> names;
    for (auto& d : list) names.push_back(d.GetChildName().ToUTF8());
    EXPECT_EQ(names,
              (std::vector<std::string>{"LastGood_broken", "LastGood_2023-01-01_0000",
                                        "LastGood_2024-12-06_0234", "LastGood_2024-12-06_0300"}));
    Mirel::Directory latest;
    ASSERT_TRUE(bf.GetLatest(tmp.Folder(), latest));
    EXPECT_EQ(latest.GetChildName(), unistring(u"LastGood_2024-12-06_0300"));

    testutil::TempDir empty;
    EXPECT_FALSE(bf.GetLatest(empty.Folder(), latest));
}
