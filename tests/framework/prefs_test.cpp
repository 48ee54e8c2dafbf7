#include <gtest/gtest.h>

#include "platform/framework/Prefs.h"
#include "tests/TestUtil.h"

using Talon::XMLPrefs;

// A missing file is an empty store; a bad one is refused with its path, the line the fault
// is on and a word of what is wrong. So is one that lists a preference twice or holds text
// that is not UTF-8 or names no character.
TEST(PrefsTest, MissingFileIsAnEmptyStoreMalformedOnesSayWhereAndWhat) {
    testutil::TempDir tmp;
    XMLPrefs prefs;
    Talon::PrefsHandle h;
    ASSERT_TRUE(prefs.Open(h, tmp / "none.xml").OK());
    std::int64_t v = 1;
    EXPECT_EQ(prefs.GetPref(h, 67, v).GetError(), Mirel::kErrPrefNotFound);
    auto doc = [](const std::string& body) {
        return "<?xml version=\"1.0\"?>\n<preferences>" + body + "</preferences>\n";
    };
    const std::pair<std::string, const char*> bad[] = {
        {"", ":1: the file is empty"},
        {"<preferences>\n<pref id=\"67\" type=\"int\">1</pref>\n", ": not well-formed XML"},
        {"<settings/>", ":1: the root element must be <preferences>, not <settings>"},
        {"<preferences>\n\n<pref id=\"67\" type=\"int\">one</pref></preferences>",
         ":3: preference 67 is of type int but holds \"one\""},
        {"<preferences>\n<pref type=\"int\">1</pref></preferences>",
         ":2: <pref> needs a numeric id"},
        {"<preferences><pref id=\"67\" type=\"float\">1</pref></preferences>",
         "unknown type \"float\""},
        {"<preferences><other/></preferences>", ":1: unexpected element <other>"},
        // one preference listed twice, also under another spelling of its number
        {doc("<pref id=\"8\" type=\"int\">1</pref><pref id=\"08\" type=\"text\">x</pref>"), ""},
        // text that is not UTF-8: Latin-1, an overlong '/'
        {doc("<pref id=\"68\" type=\"text\">/srv/b\xe4"
             "ckup</pref>"),
         ""},
        {doc("<pref id=\"68\" type=\"text\">/srv\xc0\xaf"
             "b</pref>"),
         ""},
        // references that name no character, and a NUL byte
        {doc("<pref id=\"68\" type=\"text\">/srv&#0;/b</pref>"), ""},
        {doc("<pref id=\"68\" type=\"text\">/srv&#x110000;/b</pref>"), ""},
        {doc("<pref id=\"68\" type=\"text\">/srv") + std::string(1, '\0') + "/b</pref>", ""},
    };
    for (const auto& [text, problem] : bad) {
        testutil::WriteFile(tmp / "bad.xml", text);
        EXPECT_EQ(prefs.Open(h, tmp / "bad.xml").GetError(), Mirel::kErrPrefsMalformed) << text;
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(prefs.GetProblem().rfind(tmp / "bad.xml", 0), 0u) << prefs.GetProblem();
        EXPECT_NE(prefs.GetProblem().find(problem), std::string::npos) << prefs.GetProblem();
    }
    Mirel::Directory(tmp.Folder("dir")).CreateIfNotExists();
    EXPECT_EQ(prefs.Open(h, tmp / "dir").GetError(), Mirel::kErrPrefsMalformed);
    // Blanks around a number are no fault; character references that name characters are
    // read as them, and "&#" that is no reference is text.
    testutil::WriteFile(tmp / "ok.xml",
                        doc("<pref id=\"67\" type=\"int\"> 0 </pref>"
                            "<pref id=\"68\" type=\"text\">&#x41;&#98;&#x1F600;&#65</pref>"));
    ASSERT_TRUE(prefs.Open(h, tmp / "ok.xml").OK());
    EXPECT_EQ(prefs.GetProblem(), "");
    Mirel::unistring s;
    ASSERT_TRUE(prefs.GetPref(h, 67, v).OK());
    EXPECT_EQ(v, 0);
    ASSERT_TRUE(prefs.GetPref(h, 68, s).OK());
    EXPECT_EQ(s, Mirel::unistring(u"Ab\U0001F600&#65"));
}

TEST(PrefsTest, EveryTextAndNumberTheWriterTakesReadsBackTheSameAndOnlyAsItsType) {
    testutil::TempDir tmp;
    const std::map<int, Mirel::unistring> texts = {
        {1, u"/srv/a\rb"},
        {2, u"line\r\nend\n"},
        {3, u"  "},
        {4, u"\t"},
        {5, u"\n\r\n"},
        {6, u"<&>\"' ]]> &amp;"},
        {7, u" padded \t"},
        {8, u"\xD800 lone"},
        {9, u"\U0001F600 \u65e5"},
        {10, u"&#0; &#x41;"},
        {11, u""},
        {68, u"/srv/b\u00e4ckup"},
    };
    const std::map<int, std::int64_t> ints = {{67, INT64_MIN}, {-3, INT64_MAX}};
    ASSERT_TRUE(XMLPrefs::Write(tmp / "p.xml", ints, texts).OK());
    XMLPrefs prefs;
    Talon::PrefsHandle h;
    ASSERT_TRUE(prefs.Open(h, tmp / "p.xml").OK());
    const auto readsBack = [&](const auto& written) {
        for (const auto& [id, want] : written) {
            std::decay_t<decltype(want)> got{};
            ASSERT_TRUE(prefs.GetPref(h, id, got).OK()) << id;
            EXPECT_EQ(got, want) << id;
        }
    };
    readsBack(texts);
    readsBack(ints);
    std::int64_t v = 0;
    EXPECT_EQ(prefs.GetPref(h, 68, v).GetError(), Mirel::kErrPrefWrongType);
    EXPECT_EQ(prefs.GetPref(h, 69, v).GetError(), Mirel::kErrPrefNotFound);
    // XML cannot hold U+0000: the writer refuses it rather than write another text.
    EXPECT_EQ(XMLPrefs::Write(tmp / "nul.xml", {}, {{68, Mirel::unistring(u"a\0b", 3)}}).GetError(),
              Mirel::kErrPrefsMalformed);
    EXPECT_FALSE(testutil::Exists(tmp / "nul.xml"));
}
