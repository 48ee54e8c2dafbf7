// The examples of docs/formats.md and docs/protocol.md marked "checked", read from the
// documents and compared with what the code reads, writes and sends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "app/DBSConnector.h"
#include "app/DidoraRezaraApp.h"
#include "platform/engine/Formats.h"
#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/EventHelper.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Logger.h"
#include "platform/support/ErrorCodes.h"
#include "tests/TestUtil.h"
#include "tools/sim/ServerWriters.h"

using Mirel::unistring;
using Talon::IBS_Config;
namespace F = Mirel::Format;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Units = std::vector<std::uint16_t>;
using Lines = std::vector<std::string>;

std::string Source(const std::string& rel) {
    return testutil::ReadFile(std::string(IBS_SOURCE_DIR) + "/" + rel);
}
const std::string kFormats = Source("docs/formats.md"), kProtocol = Source("docs/protocol.md");

std::string Trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The lines after "<!-- checked: NAME -->": a fenced block's lines, or a table's rows
// without its header.
Lines Example(const std::string& doc, const std::string& name) {
    const std::string marker = "<!-- checked: " + name + " -->";
    auto at = doc.find(marker);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no example " << name;
        return {};
    }
    std::istringstream in(doc.substr(at + marker.size()));
    Lines lines;
    bool started = false, fenced = false;
    for (std::string line; std::getline(in, line);) {
        if (!started) {
            if (line.empty()) continue;
            started = true;
            fenced = line.rfind("```", 0) == 0;
            if (fenced) continue;
        }
        if (fenced ? line.rfind("```", 0) == 0 : (line.empty() || line[0] != '|')) break;
        lines.push_back(line);
    }
    if (!fenced && lines.size() >= 2) lines.erase(lines.begin(), lines.begin() + 2);
    EXPECT_FALSE(lines.empty()) << name;
    return lines;
}

// A table row's cells, without the quotes of a `code` cell.
Lines Cells(const std::string& row) {
    Lines out;
    std::istringstream in(row);
    for (std::string cell; std::getline(in, cell, '|');) {
        cell = Trim(cell);
        if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`')
            cell = cell.substr(1, cell.size() - 2);
        out.push_back(cell);
    }
    if (!out.empty() && out.front().empty()) out.erase(out.begin());
    return out;
}

// "key   value" lines: the key ends at the first double blank.
std::map<std::string, std::string> Fields(const std::string& name) {
    std::map<std::string, std::string> out;
    for (const auto& l : Example(kFormats, name)) {
        auto gap = l.find("  ");
        out[l.substr(0, gap)] = gap == std::string::npos ? "" : Trim(l.substr(gap));
    }
    return out;
}

// A hexdump -C listing: the offset of its first line and its bytes. Offsets must run on
// and the text column must show the bytes.
struct Dump {
    std::uint64_t offset = 0;
    Bytes bytes;
};
Dump HexDump(const std::string& name) {
    Dump d;
    for (const auto& line : Example(kFormats, name)) {
        auto bar = line.find('|');
        std::istringstream in(line.substr(0, bar));
        std::string tok, shown;
        in >> tok;
        std::uint64_t off = std::stoull(tok, nullptr, 16);
        if (d.bytes.empty()) d.offset = off;
        EXPECT_EQ(off, d.offset + d.bytes.size()) << line;
        while (in >> tok) {
            auto b = static_cast<std::uint8_t>(std::stoul(tok, nullptr, 16));
            d.bytes.push_back(b);
            shown.push_back(b >= 32 && b < 127 ? static_cast<char>(b) : '.');
        }
        EXPECT_EQ(line.substr(bar), "|" + shown + "|") << line;
    }
    return d;
}

Units HexUnits(const std::string& cell) {
    Units u;
    std::istringstream in(cell == "(none)" ? "" : cell);
    for (std::string t; in >> t;)
        u.push_back(static_cast<std::uint16_t>(std::stoul(t, nullptr, 16)));
    return u;
}

Bytes FileBytes(const std::string& path, std::size_t off = 0, std::size_t n = std::string::npos) {
    std::string all = testutil::ReadFile(path);
    return off > all.size() ? Bytes()
                            : Bytes(all.begin() + off, all.begin() + std::min(all.size(), off + n));
}
void WriteBytes(const std::string& path, const Bytes& b) {
    testutil::WriteFile(path, std::string(b.begin(), b.end()));
}

std::string UuidText() {
    return Fields("uuid")["text"];
}
F::Uuid DocUuid() {
    F::Uuid u{};
    std::istringstream in(Fields("uuid")["bytes"]);
    std::string tok;
    for (auto& b : u)
        if (in >> tok) b = static_cast<std::uint8_t>(std::stoul(tok, nullptr, 16));
    return u;
}

// The example database's page size and interval end, as the prose gives them.
constexpr std::uint32_t kPage = 512;
constexpr std::uint64_t kExampleEnd = 1767269150123456ull;  // 2026-01-01 12:05:50.123456

}  // namespace

TEST(ContractTest, Crc32cIsTheDocumentedCrc) {
    auto f = Fields("crc32c");
    unsigned normal = 0, reversed = 0, xorOut = 0, count = 0, fill = 0;
    ASSERT_EQ(
        std::sscanf(f["polynomial"].c_str(), "0x%x (bit-reversed form 0x%x)", &normal, &reversed),
        2);
    std::uint32_t flipped = 0;
    for (int i = 0; i < 32; ++i) flipped |= ((normal >> i) & 1u) << (31 - i);
    EXPECT_EQ(flipped, reversed);
    EXPECT_EQ(f["reflected"], "yes (input and output)");
    std::uint32_t init = std::stoul(f["initial value"], nullptr, 16);
    ASSERT_EQ(std::sscanf(f["final inversion"].c_str(), "yes (xor 0x%x)", &xorOut), 1);
    // The reader's bitwise algorithm, from the documented parameters alone.
    auto reference = [&](const Bytes& data) {
        std::uint32_t crc = init;
        for (std::uint8_t b : data) {
            crc ^= b;
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1u) ? reversed : 0u);
        }
        return crc ^ xorOut;
    };
    int vectors = 0;
    for (const auto& [key, value] : f) {
        if (key.rfind("check ", 0) != 0) continue;
        std::string what = key.substr(6);
        Bytes data;
        if (what.size() >= 2 && what.front() == '"' && what.back() == '"')
            data.assign(what.begin() + 1, what.end() - 1);
        else if (std::sscanf(what.c_str(), "%u bytes %x", &count, &fill) == 2)
            data.assign(count, static_cast<std::uint8_t>(fill));
        else
            ADD_FAILURE() << "unreadable check " << key;
        std::uint32_t want = std::stoul(value, nullptr, 16);
        EXPECT_EQ(F::Crc32c(data.data(), data.size()), want) << key;
        EXPECT_EQ(reference(data), want) << key;
        ++vectors;
    }
    EXPECT_GE(vectors, 3);
    std::mt19937 rng(12);
    for (int i = 0; i < 200; ++i) {
        Bytes data(rng() % 3000);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(F::Crc32c(data.data(), data.size()), reference(data)) << data.size();
    }
}

// The tables of names and texts: each row read back as the code reads and writes it.
TEST(ContractTest, TheTablesOfStringsUuidsAndFolderNamesAgreeWithTheCode) {
    const Lines strings = Example(kFormats, "compressed-strings"),
                redo = Example(kFormats, "redo-folder-names");
    EXPECT_TRUE(strings.size() >= 6 && redo.size() >= 4);
    for (const auto& row : strings) {
        auto c = Cells(row);
        ASSERT_GE(c.size(), 2u) << row;
        unistring text = c[0] == "(empty)" ? unistring() : unistring::FromUTF8(c[0]);
        Units units = HexUnits(c[1]);
        EXPECT_EQ(Talon::EventHelper::Compress(text), units) << row;
        EXPECT_EQ(Talon::EventHelper::Decompress(units.data(), units.size()), text) << row;
    }
    // A narrow text sent raw, and a tag a reader does not know, both read as raw units.
    for (const Units& raw : {Units{0, u'a', u'b'}, Units{7, u'a', u'b'}})
        EXPECT_EQ(Talon::EventHelper::Decompress(raw.data(), raw.size()), unistring(u"ab"));

    F::Uuid parsed{};
    ASSERT_TRUE(Mirel::UuidText::FromText(unistring::FromUTF8(UuidText()), parsed));
    EXPECT_EQ(parsed, DocUuid());
    EXPECT_EQ(Mirel::UuidText::ToText(DocUuid()).ToUTF8(), UuidText());

    for (const auto& row : redo) {
        auto c = Cells(row);
        ASSERT_GE(c.size(), 2u) << row;
        std::uint64_t want = c[1] == "none" ? 0 : std::stoull(c[1]);
        EXPECT_EQ(IBS_Config::RetrieveUTCFromRedoFolderName(unistring::FromUTF8(c[0])), want)
            << row;
        EXPECT_TRUE(!want || c[0] != "Redo_" + std::to_string(want) ||
                    IBS_Config::MakeRedoFolderName(want).ToUTF8() == c[0])
            << row;
    }
    // A time past 64 bits is none either.
    EXPECT_EQ(IBS_Config::RetrieveUTCFromRedoFolderName(u"Redo_99999999999999999999999"), 0u);
}

// The reasons and failed lines of the formats document read as it says.
TEST(ContractTest, ReasonAndFailedLinesReadAsDocumented) {
    auto words = [](const std::string& c) { return c[0] == '(' ? std::string() : c; };
    for (const auto& row : Example(kFormats, "reasons-lines")) {
        const Lines c = Cells(row);
        Talon::ReasonLine f;
        ASSERT_EQ(Talon::DecodeReasonLine(c.at(0), f), Talon::TsvLine::kEntry) << row;
        EXPECT_EQ(std::pair(f.error, f.why), std::pair(std::stoi(c.at(1)), words(c.at(2))));
    }
    for (const auto& row : Example(kFormats, "failed-lines")) {
        const Lines c = Cells(row);
        Talon::FailedLine f;
        ASSERT_EQ(Talon::DecodeFailedLine(c.at(0), f), Talon::TsvLine::kEntry) << row;
        EXPECT_EQ(std::tuple(f.complete, f.error, f.words),
                  std::tuple(true, std::stoi(c.at(1)), words(c.at(2))));
    }
}

class ContractFiles : public ::testing::Test {
protected:
    void SetUp() override { Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr); }
    // The example log behind `header`: page 3 all 5a, then page 0 all a5, each record where
    // its dump says it starts.
    static Bytes ExampleLog(const Bytes& header) {
        Bytes log = header;
        for (auto [name, fill] : {std::pair<const char*, std::uint8_t>{"3", 0x5a}, {"0", 0xa5}}) {
            Dump rec = HexDump(std::string("redo-log-record-page-") + name);
            EXPECT_EQ(rec.offset, log.size());
            log.insert(log.end(), rec.bytes.begin(), rec.bytes.end());
            log.insert(log.end(), kPage, fill);
        }
        return log;
    }
    testutil::TempDir tmp;
};

TEST_F(ContractFiles, DatabaseAndRedoLogExamplesApplyAsDocumented) {
    Dump slot0 = HexDump("database-slot-0"), slot1 = HexDump("database-slot-1-after");
    Dump header = HexDump("redo-log-header");
    ASSERT_EQ(slot0.bytes.size(), F::kDbSlotSize);
    ASSERT_EQ(header.bytes.size(), F::kLogHeaderSize);

    // A writer that follows the layout tables produces these very bytes.
    Bytes encoded(F::kDbSlotSize);
    F::EncodeDbHeader(F::DbHeader{kPage, DocUuid(), 1000, 2, 0}, encoded.data());
    EXPECT_EQ(encoded, slot0.bytes);
    encoded.assign(F::kLogHeaderSize, 0);
    F::EncodeLogHeader(F::LogHeader{kPage, DocUuid(), 1000, 1002, kExampleEnd, true, 2},
                       encoded.data());
    EXPECT_EQ(encoded, header.bytes);

    // The database: block 0 with slot 0, then pages of 11 and 22.
    Bytes db(kPage, 0);
    std::copy(slot0.bytes.begin(), slot0.bytes.end(), db.begin() + static_cast<long>(slot0.offset));
    db.insert(db.end(), kPage, 0x11);
    db.insert(db.end(), kPage, 0x22);
    WriteBytes(tmp / "db1.vdb", db);
    unistring u;
    std::uint64_t msn = 0, startMSN = 0, endUTC = 0;
    ASSERT_TRUE(IBS_Config::GetDBInfo(tmp.File("db1.vdb"), u, msn).OK());
    EXPECT_EQ(std::make_pair(u.ToUTF8(), msn), std::make_pair(UuidText(), std::uint64_t{1000}));

    Bytes log = ExampleLog(header.bytes);
    EXPECT_EQ(log.size(), 1184u);
    WriteBytes(tmp / "0001.vrl", log);
    bool closed = false;
    ASSERT_TRUE(
        IBS_Config::GetRedoLogInfo(tmp.File("0001.vrl"), u, msn, startMSN, endUTC, closed).OK());
    EXPECT_EQ(std::make_tuple(u.ToUTF8(), startMSN, msn, endUTC, closed),
              std::make_tuple(UuidText(), 1000ull, 1002ull, kExampleEnd, true));

    {
        Mirel::HBFile file(tmp.File("db1.vdb"));
        file.SetOpeningFlags(Mirel::HBFile::kOpenExclusive | Mirel::HBFile::kOpenDurable);
        ASSERT_TRUE(file.Open(Mirel::HBFile::kPermReadWrite).OK());
        Mirel::HBLogFile redo(tmp.File("0001.vrl"));
        // An abort stops the pages and keeps the old MSN; the same log applies again later.
        std::atomic<std::int32_t> abort{1};
        EXPECT_EQ(IBS_Config::ProcessRedoLogFile(file, redo, abort).GetError(), Mirel::kErrAborted);
        EXPECT_EQ(file.GetMSN(), 1000u);
        abort = 0;
        ASSERT_TRUE(IBS_Config::ProcessRedoLogFile(file, redo, abort).OK());
        ASSERT_TRUE(file.Close().OK());
    }
    Mirel::HBFile after(tmp.File("db1.vdb"));
    ASSERT_TRUE(after.Open(Mirel::HBFile::kPermRead).OK());
    EXPECT_EQ(std::make_tuple(after.GetMSN(), after.GetPageCount()),
              std::make_tuple(1002ull, 4ull));
    const std::uint8_t want[4] = {0xa5, 0x22, 0x00, 0x5a};
    for (std::uint64_t n = 0; n < 4; ++n) {
        Bytes page(kPage);
        ASSERT_TRUE(after.ReadPage(n, page.data()).OK());
        EXPECT_EQ(page, Bytes(kPage, want[n])) << "page " << n;
    }
    for (const Dump* slot : {&slot1, &slot0})
        EXPECT_EQ(FileBytes(tmp / "db1.vdb", slot->offset, slot->bytes.size()), slot->bytes);
}

TEST_F(ContractFiles, RedoLogHeaderRulesHoldForTheExample) {
    const Bytes header = HexDump("redo-log-header").bytes;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        std::size_t padding;
        int error;
    };
    const Case cases[] = {
        {"the example", [](Bytes&) {}, 0, 0},
        // Offset 60 is covered by the checksum, 100 is not; neither is read.
        {"reserved bytes", [](Bytes& h) { h[60] = h[100] = 0x7f; }, 0, 0},
        {"unknown flags", [](Bytes& h) { h[56] = 0x03; }, 0, Mirel::kErrInvalidFile},
        {"MSN before its start", [](Bytes& h) { F::Put64(h.data() + 40, 999); }, 0,
         Mirel::kErrInvalidFile},
        {"padded", [](Bytes&) {}, 1, Mirel::kErrInvalidFile},
    };
    for (const Case& c : cases) {
        Bytes h = header;
        c.change(h);
        F::Put32(h.data() + 72, F::Crc32c(h.data(), 72));
        Bytes file = ExampleLog(h);
        file.insert(file.end(), c.padding, 0);
        WriteBytes(tmp / "l.vrl", file);
        unistring u;
        std::uint64_t a = 0, b = 0, e = 0;
        bool closed = false;
        EXPECT_EQ(IBS_Config::GetRedoLogInfo(tmp.File("l.vrl"), u, a, b, e, closed).GetError(),
                  c.error)
            << c.what;
    }
}

TEST_F(ContractFiles, IntervalDoneExampleReadsAndWritesAsDocumented) {
    Dump done = HexDump("interval-done");
    testutil::MakeDirs(tmp / "Changes/Redo_1767269100000001");
    const std::string rel = "Changes/Redo_1767269100000001/IntervalDone.vid";
    WriteBytes(tmp / rel, done.bytes);
    std::uint64_t end = 0;
    std::vector<unistring> list;
    ASSERT_TRUE(IBS_Config::GetIncrementalIntervalDone(tmp.File(rel), end, &list).OK());
    EXPECT_EQ(std::make_pair(end, list),
              std::make_pair(kExampleEnd, std::vector<unistring>{unistring::FromUTF8(UuidText())}));
    ASSERT_TRUE(sim::WriteIntervalDone(tmp.File("written.vid"), end, list).OK());
    EXPECT_EQ(FileBytes(tmp / "written.vid"), done.bytes);
}

TEST(ContractTest, EveryErrorNumberAndEventRecordIsDocumented) {
    const std::string kSystemRange = "21000 + errno";
    auto firstCells = [&](const std::string& name) {
        std::set<std::string> out;
        for (const auto& row : Example(kProtocol, name))
            if (Cells(row).at(0) != kSystemRange) out.insert(Cells(row).at(0));
        return out;
    };
    std::set<std::string> inCode;
    std::string codes = Source("platform/support/ErrorCodes.h");
    for (auto at = codes.find(" = "); at != std::string::npos; at = codes.find(" = ", at + 1))
        inCode.insert(Trim(codes.substr(at + 3, codes.find(',', at) - at - 3)));
    EXPECT_GT(inCode.size(), 30u);
    EXPECT_EQ(firstCells("error-numbers"), inCode);
    // Every number is printed with its words, each number's its own, as the table says: a
    // number added without words fails here.
    int systemRows = 0;
    for (const auto& row : Example(kProtocol, "error-numbers")) {
        if (Cells(row).at(0) != kSystemRange) {
            EXPECT_EQ(Cells(row).at(1), Mirel::ErrorWords(std::stoi(Cells(row).at(0)))) << row;
            continue;
        }
        // The row's own example is what the service prints.
        ++systemRows;
        EXPECT_NE(row.find("\"" + Mirel::ErrorText(Mirel::kErrSystemBase + EFBIG) + "\""),
                  std::string::npos)
            << row;
    }
    EXPECT_EQ(systemRows, 1);
    std::map<std::string, std::string> said;
    for (const auto& n : inCode) {
        const std::string words = Mirel::ErrorWords(std::stoi(n));
        EXPECT_NE(words, "unknown error") << n;
        EXPECT_TRUE(said.emplace(words, n).second) << n << " and " << said[words] << ": " << words;
        EXPECT_EQ(Mirel::ErrorText(std::stoi(n)), n + " " + words);
    }

    std::set<std::string> events;
    for (const auto& [code, wording] : Talon::Logger::EventTable()) {
        char number[16];
        std::snprintf(number, sizeof number, "0x%08x", code);
        events.insert(number);
        // An event's error number is always worded ("error %e2"), never left bare.
        for (auto at = wording.find("error %"); at != std::string::npos;
             at = wording.find("error %", at + 1))
            EXPECT_EQ(wording[at + 7], 'e') << wording;
    }
    EXPECT_GT(events.size(), 10u);
    EXPECT_EQ(firstCells("event-records"), events);
}

namespace {

// A third party's hub: it keeps what it is told in arrival order, units as they came.
struct Heard {
    std::mutex m;
    std::condition_variable cv;
    Lines calls;
    Talon::ServerComponent_var peer;
    std::vector<Units> eventTexts, targets;
    void Add(const std::string& call, const Talon::CompressedStringSeq* texts = nullptr,
             std::vector<Units>* to = nullptr) {
        std::lock_guard<std::mutex> g(m);
        for (CORBA::ULong i = 0; texts && i < texts->length(); ++i) {
            const auto& s = (*texts)[i];
            to->emplace_back(s.get_buffer(), s.get_buffer() + s.length());
        }
        calls.push_back(call);
        cv.notify_all();
    }
    bool WaitFor(const std::string& call) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(20), [&] {
            return std::find(calls.begin(), calls.end(), call) != calls.end();
        });
    }
};

class Link : public POA_Talon::EventLink {
public:
    explicit Link(Heard& h) : mHeard(h) {}
    CORBA::ULong GetLinkID() override { return 7; }
    void Subscribe(const TalonTypes::EventIdSeq& e) override {
        std::string s = "Subscribe";
        for (CORBA::ULong i = 0; i < e.length(); ++i)
            s += " " + std::to_string(e[i].eventClass) + "/" + std::to_string(e[i].eventCode);
        mHeard.Add(s);
    }
    void SendComponentInfo(const TalonTypes::ComponentInfo& i) override {
        mHeard.Add("SendComponentInfo " + std::to_string(i.type) + " " + i.name.in() + " " +
                   std::to_string(i.status) + " " +
                   (i.processId == CORBA::ULong(::getpid()) ? "pid" : "?") +
                   (i.full ? " full" : ""));
    }
    void SendNotification(CORBA::Long code, CORBA::Long p1, CORBA::Long p2,
                          const CORBA::Any& payload) override {
        const TalonTypes::DebugOperation* op = nullptr;
        mHeard.Add("SendNotification " + std::to_string(code) + " " + std::to_string(p1) + " " +
                       std::to_string(p2),
                   (payload >>= op) ? &op->mTargets : nullptr, &mHeard.targets);
    }
    void WriteEvent(CORBA::Long code, const Talon::CompressedStringSeq& texts) override {
        mHeard.Add("WriteEvent " + std::to_string(code), &texts, &mHeard.eventTexts);
    }
    void SendStoppingNotice(CORBA::ULong id) override {
        mHeard.Add("SendStoppingNotice " + std::to_string(id));
    }
    void Disconnect() override { mHeard.Add("Disconnect"); }

private:
    Heard& mHeard;
};

class Hub : public POA_Talon::EventHub {
public:
    Hub(Heard& h, PortableServer::POA_ptr links)
        : mHeard(h), mLinks(PortableServer::POA::_duplicate(links)) {}
    Talon::EventLink_ptr ConnectComponent(TalonTypes::eServiceType type, const char* name,
                                          Talon::ServerComponent_ptr peer,
                                          CORBA::ULong& linkID) override {
        linkID = 7;
        {
            std::lock_guard<std::mutex> g(mHeard.m);
            mHeard.peer = Talon::ServerComponent::_duplicate(peer);
        }
        mHeard.Add("ConnectComponent " + std::to_string(type) + " " + name);
        auto* link = new Link(mHeard);
        PortableServer::ObjectId_var id = mLinks->activate_object(link);
        link->_remove_ref();
        CORBA::Object_var obj = mLinks->id_to_reference(id);
        return Talon::EventLink::_narrow(obj);
    }
    void LostConnection() override { mHeard.Add("LostConnection"); }

private:
    Heard& mHeard;
    PortableServer::POA_var mLinks;
};

// The POA and object id a corbaloc key ("/" and "%ff" escapes) names below omniINSPOA:
// ff "omniINSPOA" ff POA 00 ID.
bool SplitKey(const std::string& escaped, std::string& poa, std::string& id) {
    std::string key;
    for (std::size_t i = 1; i < escaped.size(); ++i) {
        bool hex = escaped[i] == '%' && i + 2 < escaped.size();
        key.push_back(hex ? static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16))
                          : escaped[i]);
        i += hex ? 2 : 0;
    }
    const std::string head = '\xff' + std::string("omniINSPOA") + '\xff';
    auto zero = key.find('\0');
    if (key.rfind(head, 0) != 0 || zero == std::string::npos) return false;
    poa = key.substr(head.size(), zero - head.size());
    id = key.substr(zero + 1);
    return true;
}

}  // namespace

TEST(ContractOrb, AddressesAndTheHubConversationAreAsDocumented) {
    std::string service = Example(kProtocol, "service-address").at(0);
    ASSERT_EQ(service.rfind("corbaloc::127.0.0.1:50004/", 0), 0u) << service;
    EXPECT_EQ(DidoraRezaraApp::kOrbPort, 50004);
    std::string poa, id;
    ASSERT_TRUE(SplitKey(service.substr(service.find('/')), poa, id));
    EXPECT_EQ(poa + "/" + id,
              std::string(DidoraRezaraApp::kPOAName) + "/" + DidoraRezaraApp::kObjectId);

    std::string hubAddress = Example(kProtocol, "hub-address").at(0);
    const std::string prefix = "corbaloc::HOST:PORT";
    ASSERT_EQ(hubAddress.rfind(prefix, 0), 0u) << hubAddress;
    EXPECT_EQ(hubAddress.substr(prefix.size()), Talon::ComponentBaseThread::kEventHubKey);
    ASSERT_TRUE(SplitKey(hubAddress.substr(prefix.size()), poa, id));

    // The hub is served where the document says, by a POA built from the key alone.
    unsigned short port = testutil::FreePort();
    std::string endpoint = "giop:tcp:127.0.0.1:" + std::to_string(port);
    char a0[] = "contract", a1[] = "-ORBendPoint", a3[] = "-ORBclientCallTimeOutPeriod",
         a4[] = "20000";
    char* argv[] = {a0, a1, endpoint.data(), a3, a4};
    int argc = 5;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var ins = orb->resolve_initial_references("omniINSPOA");
    PortableServer::POA_var insPOA = PortableServer::POA::_narrow(ins);
    CORBA::Object_var rootObj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(rootObj);
    CORBA::PolicyList policies;
    policies.length(2);
    policies[0] = insPOA->create_lifespan_policy(PortableServer::PERSISTENT);
    policies[1] = insPOA->create_id_assignment_policy(PortableServer::USER_ID);
    PortableServer::POAManager_var insManager = insPOA->the_POAManager();
    PortableServer::POA_var hubPOA = insPOA->create_POA(poa.c_str(), insManager, policies);
    Heard heard;
    auto* hub = new Hub(heard, root);
    PortableServer::ObjectId_var oid = PortableServer::string_to_ObjectId(id.c_str());
    hubPOA->activate_object_with_id(oid, hub);
    hub->_remove_ref();
    insManager->activate();
    PortableServer::POAManager_var rootManager = root->the_POAManager();
    rootManager->activate();

    std::map<std::string, Units> documented;
    for (const auto& row : Example(kFormats, "compressed-strings"))
        documented[Cells(row).at(0)] = HexUnits(Cells(row).at(1));
    {
        DBSConnector connector(orb);
        // The service registers long after its connector's thread runs; so does this test.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (connector.GetStatus() != TalonTypes::kCS_ServicingRequests &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(connector.ConnectToServer("127.0.0.1", port));
        ASSERT_TRUE(heard.WaitFor("SendComponentInfo 14 DBSConnector 4 pid"));
        Talon::ServerComponent_var peer;
        {
            std::lock_guard<std::mutex> g(heard.m);
            EXPECT_EQ(heard.calls, (Lines{"ConnectComponent 14 DBSConnector", "Subscribe 8/2",
                                          "SendComponentInfo 14 DBSConnector 4 pid"}));
            peer = Talon::ServerComponent::_duplicate(heard.peer);
        }
        ASSERT_FALSE(CORBA::is_nil(peer));
        EXPECT_FALSE(peer->RequestStop());
        EXPECT_TRUE(peer->Ping());
        peer->DeliverEvent(8, 2, Talon::CompressedStringSeq());
        EXPECT_TRUE(heard.WaitFor("SendStoppingNotice 7"));

        // Texts arrive at the hub as the documented units.
        ASSERT_TRUE(connector.WriteInfo(0x41000328, {u"/srv/backup", u"db1"}, false, nullptr).OK());
        ASSERT_TRUE(heard.WaitFor("WriteEvent " + std::to_string(0x41000328)));
        TalonTypes::DebugOperation op;
        op.mTargets.length(1);
        Talon::EventHelper::ToCompressedString(unistring::FromUTF8(UuidText()), op.mTargets[0]);
        CORBA::Any any;
        any <<= op;
        ASSERT_TRUE(connector.SendNotification(21, 0, 0, any, 0).OK());
        ASSERT_TRUE(heard.WaitFor("SendNotification 21 0 0"));
        {
            std::lock_guard<std::mutex> g(heard.m);
            EXPECT_EQ(heard.eventTexts,
                      (std::vector<Units>{documented.at("/srv/backup"), documented.at("db1")}));
            EXPECT_EQ(heard.targets, std::vector<Units>{documented.at(UuidText())});
            heard.peer = Talon::ServerComponent::_nil();
        }
        // As the service does before it exits: the thread ends before the object goes.
        connector.AbortMain();
        connector.Join();
    }
    orb->destroy();
}
