// The byte forms of the service's files (platform/framework/Codecs.h): what each encoder
// writes reads back the same, and each decoder takes and refuses exactly the lines and files
// docs/formats.md describes (and what older services wrote).
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "platform/engine/Formats.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/TextUtil.h"

using namespace Talon;
using Mirel::unistring;

namespace {

const char* const kU1 = "6f1c2e4a-9b3d-4c8e-a1f2-3b4c5d6e7f80";
const char* const kU2 = "8c222b51-d82e-4778-b1d4-b798021f6926";

}  // namespace

TEST(IntervalDoneCodecTest, WhatIsWrittenReadsBackAndEveryDamageIsRefused) {
    for (std::size_t n : {0u, 1u, 2u}) {
        std::vector<unistring> ids;
        for (std::size_t i = 0; i < n; ++i) ids.push_back(unistring::FromUTF8(i ? kU2 : kU1));
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(EncodeIntervalDone(1767269150123456ull, ids, bytes));
        ASSERT_EQ(bytes.size(), 28 + 16 * n);
        std::uint64_t end = 0;
        std::vector<unistring> back;
        ASSERT_TRUE(DecodeIntervalDone(bytes.data(), bytes.size(), end, &back)) << n;
        EXPECT_EQ(end, 1767269150123456ull);
        EXPECT_EQ(back, ids);
        ASSERT_TRUE(DecodeIntervalDone(bytes.data(), bytes.size(), end, nullptr));
    }
    // Upper-case UUID text is written as the same bytes and reads back canonical.
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(EncodeIntervalDone(5, {unistring::FromUTF8(Mirel::AsciiLower(kU1))}, bytes));
    std::vector<std::uint8_t> upper;
    std::string shouted = kU1;
    for (char& c : shouted)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    ASSERT_TRUE(EncodeIntervalDone(5, {unistring::FromUTF8(shouted)}, upper));
    EXPECT_EQ(upper, bytes);
    EXPECT_FALSE(EncodeIntervalDone(5, {u"not a uuid"}, upper));

    using Mirel::Format::Put32;
    using Mirel::Format::Put64;
    auto fixCrc = [](std::vector<std::uint8_t>& b) {
        Put32(b.data() + b.size() - 4, Mirel::Format::Crc32c(b.data(), b.size() - 4));
    };
    struct Damage {
        const char* what;
        void (*apply)(std::vector<std::uint8_t>&);
        bool crcFixed;  // the damage survives a checksum written over it
    };
    const Damage damages[] = {
        {"cut by one byte", [](std::vector<std::uint8_t>& b) { b.pop_back(); }, false},
        {"one byte more", [](std::vector<std::uint8_t>& b) { b.push_back(0); }, false},
        {"magic", [](std::vector<std::uint8_t>& b) { b[7] = '2'; }, true},
        {"version 2", [](std::vector<std::uint8_t>& b) { Put32(b.data() + 8, 2); }, true},
        {"count past the file", [](std::vector<std::uint8_t>& b) { Put32(b.data() + 12, 2); },
         true},
        {"checksum", [](std::vector<std::uint8_t>& b) { b[20] ^= 1; }, false},
        {"end 0", [](std::vector<std::uint8_t>& b) { Put64(b.data() + 16, 0); }, true},
        {"end at the first time no folder name holds",
         [](std::vector<std::uint8_t>& b) { Put64(b.data() + 16, IBS_Config::kEndOfTime); }, true},
        {"shorter than the fixed part", [](std::vector<std::uint8_t>& b) { b.resize(27); }, false},
    };
    for (const Damage& d : damages) {
        std::vector<std::uint8_t> b = bytes;
        d.apply(b);
        if (d.crcFixed) fixCrc(b);
        std::uint64_t end = 77;
        std::vector<unistring> list{u"kept"};
        EXPECT_FALSE(DecodeIntervalDone(b.data(), b.size(), end, &list)) << d.what;
        EXPECT_TRUE(end == 77 && list == std::vector<unistring>{u"kept"}) << d.what;
    }
    std::vector<std::uint8_t> latest = bytes;
    Put64(latest.data() + 16, IBS_Config::kEndOfTime - 1);
    fixCrc(latest);
    std::uint64_t end = 0;
    EXPECT_TRUE(DecodeIntervalDone(latest.data(), latest.size(), end, nullptr));
    EXPECT_EQ(end, IBS_Config::kEndOfTime - 1);
}

TEST(FailedListCodecTest, DocumentedLinesAreCompleteAndTheServicesOlderReadingIsKept) {
    const std::string u1 = kU1;
    struct Row {
        std::string line;
        TsvLine kind;
        bool complete;
        int error;
        bool hasSince;
        std::uint64_t since;
        std::string words;
    };
    const Row rows[] = {
        {u1 + "\t10726\t7", TsvLine::kEntry, true, 10726, true, 7, ""},
        {u1 + "\t10726\t7\twords\tlater field", TsvLine::kEntry, true, 10726, true, 7, "words"},
        {u1 + "\t0\t7", TsvLine::kEntry, true, 0, true, 7, ""},
        // Less than the documented form: the service has always taken these.
        {u1 + "\t10721", TsvLine::kEntry, false, 10721, false, 0, ""},
        {"short\t10721\t9", TsvLine::kEntry, false, 10721, true, 9, ""},
        {u1 + "\t10721\tsoon", TsvLine::kEntry, false, 10721, true, 0, ""},
        {"", TsvLine::kNothing, false, 0, false, 0, ""},
        {"# uuid\terror", TsvLine::kNothing, false, 0, false, 0, ""},
        {u1, TsvLine::kMalformed, false, 0, false, 0, ""},
        {u1 + "\tten\t9", TsvLine::kMalformed, false, 0, false, 0, ""},
    };
    for (const Row& r : rows) {
        FailedLine l;
        ASSERT_EQ(DecodeFailedLine(r.line, l), r.kind) << r.line;
        if (r.kind != TsvLine::kEntry) continue;
        EXPECT_EQ(std::tie(l.complete, l.error, l.hasSince, l.since, l.words, l.uuid),
                  std::make_tuple(r.complete, r.error, r.hasSince, r.since, r.words,
                                  r.line.substr(0, r.line.find('\t'))))
            << r.line;
    }

    FailedLine out{kU2, 10709, true, 1767269170000000ull, "invalid file", true};
    const std::string line = EncodeFailedLine(out);
    EXPECT_EQ(line, std::string(kU2) + "\t10709\t1767269170000000\tinvalid file\n");
    FailedLine back;
    ASSERT_EQ(DecodeFailedLine(line.substr(0, line.size() - 1), back), TsvLine::kEntry);
    auto fields = [](const FailedLine& l) {
        return std::make_tuple(l.complete, l.uuid, l.error, l.since, l.words);
    };
    EXPECT_EQ(fields(back), fields(out));
    EXPECT_EQ(std::string(kFailedListHeader).rfind("#", 0), 0u);
    EXPECT_EQ(SplitLines("a\n\nb\r\nc"), (std::vector<std::string>{"a", "", "b\r", "c"}));
    EXPECT_EQ(SplitLines("a\n"), std::vector<std::string>{"a"});
}

TEST(ReasonsCodecTest, LinesWithAndWithoutWordsAndEscapes) {
    struct Row {
        std::string line;
        TsvLine kind;
        int error;
        std::string path, why;
    };
    const Row rows[] = {
        {"IntervalDone.vid\t10728\t1767269170000000\t/srv/b/IntervalDone.vid", TsvLine::kEntry,
         10728, "/srv/b/IntervalDone.vid", ""},
        {"a\t10709\t1\t/p%09q%0Ar%25\tw%0Dx\tlater field\r", TsvLine::kEntry, 10709, "/p\tq\nr%",
         "w\rx"},
        {"a\t10709\t1\t/p%zz\tw%2", TsvLine::kEntry, 10709, "/p%zz", "w%2"},
        {"# name\terror", TsvLine::kNothing, 0, "", ""},
        {"a\t10709\t1", TsvLine::kMalformed, 0, "", ""},
        {"a\tx\t1\t/p", TsvLine::kMalformed, 0, "", ""},
        {"a\t10709\t-1\t/p", TsvLine::kMalformed, 0, "", ""},
    };
    for (const Row& r : rows) {
        ReasonLine l;
        ASSERT_EQ(DecodeReasonLine(r.line, l), r.kind) << r.line;
        if (r.kind != TsvLine::kEntry) continue;
        EXPECT_EQ(std::tie(l.error, l.originalPath, l.why), std::tie(r.error, r.path, r.why))
            << r.line;
    }

    const ReasonLine out{"db1.vrl.1", 10721, 42, "/srv/b\t%/x\r\n.vrl",
                         "the redo log does not continue the database; its database had "
                         "already failed"};
    const std::string line = EncodeReasonLine(out);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 4) << "five fields: " << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    ReasonLine back;
    ASSERT_EQ(DecodeReasonLine(line.substr(0, line.size() - 1), back), TsvLine::kEntry);
    auto fields = [](const ReasonLine& l) {
        return std::make_tuple(l.name, l.error, l.when, l.originalPath, l.why);
    };
    EXPECT_EQ(fields(back), fields(out));

    EXPECT_EQ(EncodePrunedLine(1, 2, 2, 3, {"a\tb", "c"}), "1\t2\t2\t3\ta%09b\tc\n");
    EXPECT_EQ(std::string(kPrunedRecordHeader).rfind("# when\t", 0), 0u);
}

TEST(WorkListsCodecTest, UnwrittenAndUploadsAfterReadBackAndSkipWhatTheyAlwaysSkipped) {
    EXPECT_EQ(EncodeFileIdentity(12, 4096, 1767269150123456ull, 789),
              "12 4096 1767269150123456.789");

    EXPECT_EQ(EncodeUnwrittenList({}), "");
    const std::map<std::string, std::string> copies = {{"/b/InProgress/a.vdb", "1 2 3.4"},
                                                       {"/b/InProgress/x\ty.vdb", "5 6 7.8"}};
    const std::string text = EncodeUnwrittenList(copies);
    EXPECT_EQ(text.rfind("#", 0), 0u);
    // A path with a TAB is cut at it: the list's paths are the service's own, without one.
    EXPECT_EQ(DecodeUnwrittenList(text),
              (std::map<std::string, std::string>{{"/b/InProgress/a.vdb", "1 2 3.4"},
                                                  {"/b/InProgress/x", "y.vdb\t5 6 7.8"}}));
    EXPECT_EQ(DecodeUnwrittenList("# c\n\nno tab\n/p\t1 2 3.4\r\n/p\t9 9 9.9\n/q\t"),
              (std::map<std::string, std::string>{{"/p", "9 9 9.9"}, {"/q", ""}}));
    // Forgetting appends a line: it takes the path out, and a later line brings it back. An
    // append a power loss tore (zeros where sectors were lost) is no line at all.
    const std::string forget = EncodeUnwrittenForget("/b/InProgress/a.vdb");
    EXPECT_EQ(forget, "/b/InProgress/a.vdb\t-\n");
    EXPECT_EQ(DecodeUnwrittenList(text + forget),
              (std::map<std::string, std::string>{{"/b/InProgress/x", "y.vdb\t5 6 7.8"}}));
    EXPECT_EQ(DecodeUnwrittenList(text + forget + "/b/InProgress/a.vdb\t1 2 3.5\n")
                  .at("/b/InProgress/a.vdb"),
              "1 2 3.5");
    std::string torn = forget;
    torn.replace(3, 6, 6, '\0');
    EXPECT_EQ(DecodeUnwrittenList(text + torn).at("/b/InProgress/a.vdb"), "1 2 3.4");
    EXPECT_EQ(DecodeUnwrittenList(text + std::string(forget.size(), '\0')),
              DecodeUnwrittenList(text));

    EXPECT_EQ(EncodeUploadsAfter({}), "");
    const std::map<std::string, UploadAfter> lines = {
        {"/b/Copies/u1/a.vdb", {"1 2 3.4", 1767269150123456ull, unistring::FromUTF8(kU1), 10721}},
        {"/b/Changes/Redo_1/l.vrl", {"5 6 7.8", 9, unistring::FromUTF8(kU2), 0}}};
    const auto read = DecodeUploadsAfter(EncodeUploadsAfter(lines));
    ASSERT_EQ(read.size(), 2u);
    for (const auto& [path, v] : lines) {
        const UploadAfter& r = read.at(path);
        EXPECT_EQ(std::tie(r.id, r.after, r.uuid, r.cleared),
                  std::tie(v.id, v.after, v.uuid, v.cleared));
    }
    const std::string bad =
        "# comment\n"
        "/four\t1 2 3.4\t9\tu\n"
        "/six\t1 2 3.4\t9\tu\t0\textra\n"
        "/no-end\t1 2 3.4\t\tu\t0\n"
        "/crlf\t1 2 3.4\t9\tu\t0\r\n"
        "/good\t1 2 3.4\t9\tu\t10726\n";
    const auto kept = DecodeUploadsAfter(bad);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.at("/good").cleared, 10726);
}

namespace {

// A manifest of these lines after the version, ended by a right end line: a refusal is
// the lines' fault, never the checksum's.
std::string Manifest(const std::string& version, const std::vector<std::string>& lines,
                     const std::string& afterEnd = "") {
    std::string t = "# Vellumark last-good folder manifest\nversion\t" + version + "\n";
    std::size_t dbs = 0, cs = 0;
    for (const auto& l : lines) {
        t += l + "\n";
        dbs += l.rfind("database\t", 0) == 0;
        cs += l.rfind("container\t", 0) == 0;
    }
    return t + "end\t" + std::to_string(dbs) + "\t" + std::to_string(cs) + "\t" +
           Mirel::Hex32(Mirel::Format::Crc32c(t.data(), t.size())) + "\n" + afterEnd;
}

}  // namespace

TEST(ManifestCodecTest, EntriesReadBackAndEachMalformedLineIsNamed) {
    std::vector<ManifestEntry> entries(3);
    entries[0] = {
        ManifestEntry::kDatabase, "a/db0.vdb", kU1, 1019, 4096, 43, false, 180224, 0xb97ee34c};
    entries[1] = {ManifestEntry::kDatabase, "db\t1%.vdb", "", 0, 0, 0, true, 12, 0};
    entries[2] = {
        ManifestEntry::kContainer, "db\t1%.vdb.rc/blobs/1", "", 0, 0, 0, false, 15, 0xcae0b766};
    const std::string text = EncodeManifest(1767229620183143ull, entries);
    EXPECT_NE(text.find("interval-end\t1767229620183143\t2026-01-01 01:07:00.183143\n"),
              std::string::npos);
    EXPECT_NE(text.find("\t-\t0\t0\t0\t12\t00000000\theld\n"), std::string::npos) << text;
    std::uint64_t end = 0;
    std::vector<ManifestEntry> back;
    std::string why;
    ASSERT_TRUE(DecodeManifest(text, end, back, &why)) << why;
    EXPECT_EQ(end, 1767229620183143ull);
    ASSERT_EQ(back.size(), 3u);
    auto fields = [](const ManifestEntry& e) {
        return std::make_tuple(e.kind, e.path, e.uuid, e.msn, e.pageSize, e.pageCount, e.held,
                               e.size, e.crc);
    };
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(fields(back[i]), fields(entries[i])) << i;

    const std::string ie = "interval-end\t5\tany text";
    const std::string db = "database\tdb.vdb\t" + std::string(kU1) + "\t1\t4096\t1\t8192\tABCDEF01";
    ASSERT_TRUE(DecodeManifest(Manifest("2", {ie, db + "\tcurrent"}), end, back, &why)) << why;
    EXPECT_EQ(std::pair(back.at(0).crc, back.at(0).held), std::pair(0xabcdef01u, false))
        << "either case of hex digits";
    // Version 1 lines have no state: a copy there is the folder's own.
    ASSERT_TRUE(DecodeManifest(Manifest("1", {ie, db}), end, back, &why)) << why;
    EXPECT_FALSE(back.at(0).held);
    struct Bad {
        std::string text;
        const char* why;
    };
    const Bad bads[] = {
        {Manifest("3", {ie}), "version 3 is not known"},
        {Manifest("2", {ie, ie}), "bad interval-end line"},
        {Manifest("2", {}), "no interval-end line"},
        {Manifest("2", {ie, db}), "a database line has 9 fields"},
        {Manifest("1", {ie, db + "\tcurrent"}), "a database line has 8 fields"},
        {Manifest("2", {ie, db + "\tmaybe"}), "bad number in a database line"},
        {Manifest("2", {ie, "database\t/abs.vdb\t-\t0\t0\t0\t0\t00000000\tcurrent"}), "bad path"},
        {Manifest("2", {ie, "container\ta/./b\t0\t00000000"}), "bad path"},
        {Manifest("2", {ie, "container\t../../etc/passwd\t0\t00000000"}), "bad path"},
        {Manifest("2", {ie, "container\tc\t0\t0000000g"}), "bad number in a container line"},
        {Manifest("2", {ie, "database\td.vdb\t-\t0\t4294967296\t0\t0\t00000000\tcurrent"}),
         "bad number in a database line"},
        {Manifest("2", {ie, "container\tc\t1\t00000000", "container\tc\t1\t00000000"}),
         "a path listed twice"},
        {Manifest("2", {ie, "file\tx"}), "unknown line 'file'"},
        {Manifest("2", {ie}, "# a comment after the end\n"), "text after the end line"},
        {"version\t2\n" + ie, "no line end"},
    };
    for (const Bad& b : bads) {
        why.clear();
        EXPECT_FALSE(DecodeManifest(b.text, end, back, &why)) << b.text;
        EXPECT_NE(why.find(b.why), std::string::npos) << b.text << "\n -> " << why;
    }
}

TEST(TakenTagCodecTest, TheLogsIdentityReadsBackFromEitherFormAndDamageIsRefused) {
    Mirel::Format::LogHeader h;
    h.pageSize = 8192;
    h.uuid[0] = 0x6f;
    h.uuid[15] = 0x80;
    h.startMSN = 41;
    h.msn = 42;
    h.endUTC = 1767269150123456ull;
    h.closed = true;
    h.recordCount = 3;
    auto same = [&](const Mirel::Format::LogHeader& g) {
        return std::tie(g.uuid, g.startMSN, g.msn, g.endUTC, g.closed) ==
               std::tie(h.uuid, h.startMSN, h.msn, h.endUTC, h.closed);
    };
    std::uint8_t tag[Mirel::Format::kTakenTagSize];
    Mirel::Format::EncodeTakenTag(h, tag);
    Mirel::Format::LogHeader got;
    ASSERT_TRUE(Mirel::Format::DecodeTakenTag(tag, sizeof tag, got));
    EXPECT_TRUE(same(got));
    // What earlier versions stored: the whole header.
    std::uint8_t header[Mirel::Format::kLogHeaderSize];
    Mirel::Format::EncodeLogHeader(h, header);
    ASSERT_TRUE(Mirel::Format::DecodeTakenTag(header, sizeof header, got));
    EXPECT_TRUE(same(got));
    // Any flipped bit, a cut or padded value, a second flag: refused.
    for (std::size_t i = 0; i < sizeof tag * 8; ++i) {
        tag[i / 8] ^= static_cast<std::uint8_t>(1u << (i % 8));
        EXPECT_FALSE(Mirel::Format::DecodeTakenTag(tag, sizeof tag, got)) << "bit " << i;
        tag[i / 8] ^= static_cast<std::uint8_t>(1u << (i % 8));
    }
    EXPECT_FALSE(Mirel::Format::DecodeTakenTag(tag, sizeof tag - 1, got));
    std::uint8_t longer[sizeof tag + 1] = {};
    std::copy(tag, tag + sizeof tag, longer);
    EXPECT_FALSE(Mirel::Format::DecodeTakenTag(longer, sizeof longer, got));
    Mirel::Format::Put32(tag + 44, 3);
    Mirel::Format::Put32(tag + 48, Mirel::Format::Crc32c(tag, 48));
    EXPECT_FALSE(Mirel::Format::DecodeTakenTag(tag, sizeof tag, got));
}
