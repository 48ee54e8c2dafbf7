#include <gtest/gtest.h>

#include <random>

#include "platform/framework/EventHelper.h"
#include "platform/framework/Logger.h"

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

TEST(EventHelperTest, NarrowTextTravelsAtHalfTheUnits) {
    Seq seq;
    EventHelper::ToCompressedString(u"0123456789", seq);
    EXPECT_EQ(seq.length(), 6u);
    EventHelper::ToCompressedString(u"\u20ac", seq);
    EXPECT_EQ(seq.length(), 2u);
}

TEST(LoggerTest, EventsAreWordedAndObserved) {
    EXPECT_EQ(Talon::Logger::FormatEvent(0x4900030f, {u"/b", u"20403"}),
              "The backup folder /b could not be set up (error 20403 permission denied or "
              "read-only file system).");
    EXPECT_EQ(Talon::Logger::FormatEvent(0x12345678, {u"a", u"b"}), "Event 0x12345678: 'a' 'b'");
    std::vector<std::int32_t> seen;
    Talon::Logger::SetObserver(
        [&](std::int32_t c, const std::vector<unistring>&) { seen.push_back(c); });
    Talon::Logger::WriteSysLog(static_cast<std::int32_t>(0xc1000307u), {u"/b"});
    Talon::Logger::SetObserver(nullptr);
    EXPECT_EQ(seen, std::vector<std::int32_t>{static_cast<std::int32_t>(0xc1000307u)});
    EXPECT_NE(Talon::Logger::SyslogPriority(static_cast<std::int32_t>(0xc1000307u)),
              Talon::Logger::SyslogPriority(0x41000313));
}
