#include <gtest/gtest.h>

#include <random>

#include "platform/framework/EventHelper.h"

using Mirel::unistring;
using Talon::EventHelper;

namespace {
// Stands in for the IDL's sequence<unsigned short>.
struct Seq {
    std::vector<std::uint16_t> v;
    std::uint32_t length() const { return static_cast<std::uint32_t>(v.size()); }
    void length(std::uint32_t n) { v.resize(n); }
    std::uint16_t& operator[](std::size_t i) { return v[i]; }
    const std::uint16_t& operator[](std::size_t i) const { return v[i]; }
};
unistring RoundTrip(const unistring& s) {
    Seq seq;
    EventHelper::ToCompressedString(s, seq);
    return EventHelper::FromCompressedString(seq);
}
}  // namespace

TEST(EventHelperTest, EveryTextSurvivesTheRoundTrip) {
    EXPECT_EQ(RoundTrip(u""), unistring(u""));
    Seq empty;
    EventHelper::ToCompressedString(u"", empty);
    EXPECT_EQ(empty.length(), 0u);
    for (const char16_t* s : {u"a", u"ab", u"abc", u"/srv/backup/Changes/Redo_1/x.vrl",
                              u"\u00ff\u00fe", u"\u0100", u"\xD800", u"x\xDFFFy", u"\0"})
        EXPECT_EQ(RoundTrip(s), unistring(s));
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        unistring s;
        std::size_t n = rng() % 40;
        bool narrow = rng() % 2;
        for (std::size_t k = 0; k < n; ++k)
            s.push_back(static_cast<char16_t>(narrow ? rng() % 256 : rng() % 65536));
        ASSERT_EQ(RoundTrip(s), s) << i;
    }
}
