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

TEST(PrefsTest, MissingFileIsAnEmptyStoreMalformedOnesSayWhereAndWhat) {
    testutil::TempDir tmp;
    XMLPrefs prefs;
    Talon::PrefsHandle h;
    ASSERT_TRUE(prefs.Open(h, tmp / "none.xml").OK());
    std::int64_t configured = 1;
    EXPECT_EQ(prefs.GetPref(h, 67, configured).GetError(), Mirel::kErrPrefNotFound);
    // Each bad file, the line the fault is on and a word of what is wrong.
    const std::pair<const char*, const char*> bad[] = {
        {"", ":1: the file is empty"},
        {"<preferences>\n<pref id=\"67\" type=\"int\">1</pref>\n", ": not well-formed XML"},
        {"<settings/>", ":1: the root element must be <preferences>, not <settings>"},
        {"<preferences>\n\n<pref id=\"67\" type=\"int\">one</pref></preferences>",
         ":3: preference 67 is of type int but holds \"one\""},
        {"<preferences><pref id=\"67\" type=\"int\">1x</pref></preferences>", ":1: preference 67"},
        {"<preferences>\n<pref type=\"int\">1</pref></preferences>",
         ":2: <pref> needs a numeric id"},
        {"<preferences><pref id=\"67\" type=\"float\">1</pref></preferences>",
         "unknown type \"float\""},
        {"<preferences><other/></preferences>", ":1: unexpected element <other>"},
    };
    for (const auto& [text, problem] : bad) {
        testutil::WriteFile(tmp / "bad.xml", text);
        EXPECT_EQ(prefs.Open(h, tmp / "bad.xml").GetError(), Mirel::kErrPrefsMalformed) << text;
        EXPECT_EQ(prefs.GetProblem().rfind(tmp / "bad.xml", 0), 0u) << prefs.GetProblem();
        EXPECT_NE(prefs.GetProblem().find(problem), std::string::npos) << prefs.GetProblem();
    }
    Mirel::Directory(tmp.Folder("dir")).CreateIfNotExists();
    EXPECT_EQ(prefs.Open(h, tmp / "dir").GetError(), Mirel::kErrPrefsMalformed);
    testutil::WriteFile(tmp / "ok.xml",
                        "<?xml version=\"1.0\"?>\n<preferences>\n"
                        "  <pref id=\"67\" type=\"int\"> 0 </pref>\n</preferences>\n");
    ASSERT_TRUE(prefs.Open(h, tmp / "ok.xml").OK());
    EXPECT_EQ(prefs.GetProblem(), "");
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
