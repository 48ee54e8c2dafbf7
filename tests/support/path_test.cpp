#include <gtest/gtest.h>

#include <cstring>

#include "platform/support/UniversalPath.h"
#include "platform/support/unistring.h"
#include "tests/TestUtil.h"

using Mirel::unistring;
using Mirel::UniversalPath;

TEST(UniversalPathTest, OnlyCleanAbsolutePathsAreTakenAndUserEntriesMayHoldDots) {
    UniversalPath p;
    for (const char16_t* ok :
         {u"/srv/backup/db.vdb", u"/", u"/a//b/c", u"/a/b/", u"/a/.hidden", u"/a/b..c"})
        EXPECT_TRUE(p.SetCommandLineFormat(ok)) << unistring(ok).ToUTF8();
    for (const std::u16string& bad :
         {std::u16string(), std::u16string(u"relative/path"), std::u16string(u"./x"),
          std::u16string(u"/a/./b"), std::u16string(u"/a/../b"), std::u16string(u"/a/.."),
          std::u16string(u"/a/."), std::u16string(u"/a/b\0c", 6), std::u16string(u"C:\\backup")})
        EXPECT_FALSE(p.SetCommandLineFormat(unistring(bad))) << unistring(bad).ToUTF8();
    EXPECT_TRUE(p.SetUserEntryFormat(u"/a/./b/c.vdb"));
    EXPECT_EQ(p.GetUserEntryFormat(), unistring(u"/a/b/c.vdb"));
    EXPECT_FALSE(p.SetUserEntryFormat(u"/a/../b"));
    EXPECT_FALSE(p.SetUserEntryFormat(u"a/b"));
}

TEST(UniversalPathTest, LastElementIsNameUnlessFolderExistsOrTrailingSlash) {
    testutil::TempDir tmp;
    testutil::MakeDirs(tmp / "sub");
    UniversalPath file, folder, slash;
    ASSERT_TRUE(file.SetCommandLineFormat(unistring(tmp / "sub/x.vrl")));
    EXPECT_EQ(file.GetName(), unistring(u"x.vrl"));
    ASSERT_TRUE(folder.SetCommandLineFormat(unistring(tmp / "sub")));
    EXPECT_TRUE(folder.GetName().empty());
    ASSERT_TRUE(slash.SetCommandLineFormat(unistring(tmp / "missing/")));
    EXPECT_TRUE(slash.GetName().empty());
    // A Directory on a file's path is the folder that holds it.
    EXPECT_EQ(Mirel::Directory(file).GetPath(), folder);

    file.SetName(u"");
    EXPECT_EQ(file, folder);
}

TEST(UniversalPathTest, RelativeAndAbsoluteRoundTrip) {
    UniversalPath base = UniversalPath::Folder("/backup/InProgress");
    for (const char* rel : {"a/b/db.vdb", "db.vdb"}) {
        UniversalPath p = UniversalPath::FromNative(std::string("/backup/InProgress/") + rel);
        ASSERT_TRUE(p.SetRelativeTo(base).OK());
        EXPECT_TRUE(p.IsRelative());
        EXPECT_EQ(p.GetUserEntryFormat().ToUTF8(), rel);
        ASSERT_TRUE(p.SetAbsoluteFrom(base).OK());
        EXPECT_EQ(p.GetUserEntryFormat().ToUTF8(), std::string("/backup/InProgress/") + rel);
    }

    UniversalPath outside = UniversalPath::FromNative("/backup/InProgressX/db.vdb");
    EXPECT_FALSE(outside.SetRelativeTo(base).OK());
    EXPECT_FALSE(outside.IsRelative());
}

TEST(UniversalPathTest, ChildrenAndElements) {
    UniversalPath root = UniversalPath::Folder("/b/Copies");
    EXPECT_EQ(std::vector<bool>({root.IsMyChild(UniversalPath::FromNative("/b/Copies/x/db.vdb")),
                                 root.IsMyChild(UniversalPath::Folder("/b/Copies")),
                                 root.IsMyChild(UniversalPath::FromNative("/b/CopiesX/db.vdb"))}),
              std::vector<bool>({true, false, false}));

    UniversalPath rel = UniversalPath::FromNative("X/sub/db.vdb");
    rel.SetName(u"");
    EXPECT_EQ(rel.CountPathElements(), 2);
    EXPECT_EQ(rel.GetPathElement(0), unistring(u"X"));
    rel.DeletePathElement(0);
    EXPECT_EQ(rel.GetUserEntryFormat(), unistring(u"sub"));
    rel.DeletePathElement(0);
    EXPECT_TRUE(rel.IsClear());

    UniversalPath f = UniversalPath::FromNative("/a/sales.2024.vdb");
    EXPECT_EQ(f.GetBasename() + u"|" + f.GetExtension(), unistring(u"sales.2024|.vdb"));
}

TEST(UniversalPathTest, BackupTimestampFormatting) {
    unistring good = u"2026-12-06 02:34:59.999999";
    ASSERT_TRUE(UniversalPath::FormatBackupTimestamp(good));
    EXPECT_EQ(good, unistring(u"2026-12-06_0234"));
    for (const char16_t* bad : {u"garbage", u"2026-13-01 00:00:00"}) {
        unistring s = bad;
        EXPECT_FALSE(UniversalPath::FormatBackupTimestamp(s)) << s.ToUTF8();
    }
}

TEST(UnistringTest, Utf8RoundTripIncludingLoneSurrogates) {
    for (const std::u16string& s :
         {std::u16string(u"plain ÄÖÜ ß € \U0001F600"), std::u16string(),
          std::u16string(1, char16_t(0xD800)), std::u16string(u"a\xDC00") + u"b"})
        EXPECT_EQ(unistring::FromUTF8(unistring(s).ToUTF8()), unistring(s));
    EXPECT_EQ(unistring("h\xC3\xA9").size(), 2u);
    EXPECT_EQ(unistring("\xFF")[0], char16_t(0xFFFD));
}

TEST(UnistringTest, OrderingIsCodeUnitOrder) {
    // Code units, not code points: a surrogate pair (0xD83D...) sorts below U+E000.
    EXPECT_TRUE(unistring(u"Z") < unistring(u"a") && unistring(u"a") < unistring(u"\u00e9") &&
                unistring(u"\U0001F600") < unistring(u"\uE000"));
}

TEST(UnistringTest, CaseInsensitiveEqualAndBoundedConversion) {
    EXPECT_TRUE(unistring(u"IntervalDone.VID").CaseInsensitiveEqual(u"intervaldone.vid") &&
                unistring(u"ÄRGER").CaseInsensitiveEqual(u"ärger"));
    EXPECT_FALSE(unistring(u"abc").CaseInsensitiveEqual(u"abd") ||
                 unistring(u"abc").CaseInsensitiveEqual(u"abcd"));

    char buf[6];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(unistring(u"ab\u20ac\u20ac").ConvertToCString(buf, sizeof buf));
    EXPECT_STREQ(buf, "ab\xE2\x82\xAC");  // the second euro sign did not fit whole
    EXPECT_TRUE(unistring(u"abc").ConvertToCString(buf, sizeof buf));
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(unistring::NumToString(static_cast<std::int64_t>(-42)), unistring(u"-42"));
}
