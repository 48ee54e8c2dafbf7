#include <gtest/gtest.h>

#include "platform/framework/Prefs.h"
#include "tests/TestUtil.h"

using Talon::XMLPrefs;

TEST(PrefsTest, ReadsIntegersAndTexts) {
    testutil::TempDir tmp;
    ASSERT_TRUE(XMLPrefs::Write(tmp / "p.xml", {{67, 1}}, {{68, u"/srv/b\u00e4ckup"}}).OK());
    XMLPrefs prefs;
    Talon::PrefsHandle h;
    ASSERT_TRUE(prefs.Open(h, tmp / "p.xml").OK());
    std::int64_t v = 0;
    Mirel::unistring s;
    ASSERT_TRUE(prefs.GetPref(h, 67, v).OK());
    EXPECT_EQ(v, 1);
    ASSERT_TRUE(prefs.GetPref(h, 68, s).OK());
    EXPECT_EQ(s, Mirel::unistring(u"/srv/b\u00e4ckup"));
    EXPECT_EQ(prefs.GetPref(h, 68, v).GetError(), Mirel::kErrPrefWrongType);
    EXPECT_EQ(prefs.GetPref(h, 69, v).GetError(), Mirel::kErrPrefNotFound);
}

TEST(PrefsTest, MissingOrMalformedFilesFailToOpen) {
    testutil::TempDir tmp;
    XMLPrefs prefs;
    Talon::PrefsHandle h;
    EXPECT_EQ(prefs.Open(h, tmp / "none.xml").GetError(), Mirel::kErrPathNotFound);
    EXPECT_EQ(h, nullptr);
    const char* bad[] = {
        "",
        "<preferences><pref id=\"67\" type=\"int\">1</pref>",  // unclosed
        "<settings/>",
        "<preferences><pref id=\"67\" type=\"int\">one</pref></preferences>",
        "<preferences><pref id=\"67\" type=\"int\">1x</pref></preferences>",
        "<preferences><pref type=\"int\">1</pref></preferences>",
        "<preferences><pref id=\"67\" type=\"float\">1</pref></preferences>",
        "<preferences><other/></preferences>",
    };
    for (const char* b : bad) {
        testutil::WriteFile(tmp / "bad.xml", b);
        EXPECT_EQ(prefs.Open(h, tmp / "bad.xml").GetError(), Mirel::kErrPrefsMalformed) << b;
    }
    testutil::WriteFile(tmp / "ok.xml",
                        "<?xml version=\"1.0\"?>\n<preferences>\n"
                        "  <pref id=\"67\" type=\"int\"> 0 </pref>\n</preferences>\n");
    ASSERT_TRUE(prefs.Open(h, tmp / "ok.xml").OK());
    std::int64_t v = 5;
    ASSERT_TRUE(prefs.GetPref(h, 67, v).OK());
    EXPECT_EQ(v, 0);
}

TEST(PrefsTest, DesignationHasAnOverride) {
    auto& keys = Talon::PrefKeys::Instance();
    std::string before = keys.GetDesignation();
    keys.SetDesignation("/tmp/x.xml");
    EXPECT_EQ(keys.GetDesignation(), "/tmp/x.xml");
    keys.SetDesignation("");
    EXPECT_EQ(keys.GetDesignation(), before);
}
