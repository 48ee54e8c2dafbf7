// make_seeds <root>: the fuzz targets' seeds, written by the project's own writers, as
// <root>/<target>/gen-<what>; the same on every run.
#include <omniORB4/CORBA.h>

#include <cstdio>
#include <string>

#include "fuzz/FuzzUtil.h"
#include "idl/Talon.hh"
#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/EventHelper.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Prefs.h"
#include "tools/sim/ServerWriters.h"

using namespace Mirel;
using sim::PageImage;
using sim::PageMap;
using sim::RedoLogWriter;
using sim::WriteDatabaseFile;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string gRoot;
int gCount = 0;

void Die(const std::string& what) {
    std::fprintf(stderr, "make_seeds: %s\n", what.c_str());
    std::exit(1);
}

void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
    Directory(UniversalPath::Folder(gRoot + "/" + target)).CreateIfNotExists();
    fuzz::WriteBytes(gRoot + "/" + target + "/gen-" + name, bytes.data(), bytes.size());
    ++gCount;
}

// A control byte, then a file the writers made.
void PutFile(const std::string& target, const std::string& name, std::uint8_t ctl,
             const std::string& path) {
    Bytes b = fuzz::ReadBytes(path);
    if (b.empty()) Die("nothing written to " + path);
    b.insert(b.begin(), ctl);
    Put(target, name, b);
}

Format::Uuid MakeUuid(std::uint8_t seed) {
    Format::Uuid u;
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
    u[6] = static_cast<std::uint8_t>((u[6] & 0x0F) | 0x40);  // a version-4 UUID
    u[8] = static_cast<std::uint8_t>((u[8] & 0x3F) | 0x80);
    return u;
}

PageImage Image(std::uint32_t p, std::uint64_t seed) {
    PageImage img(p);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& b : img) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<std::uint8_t>(x);
    }
    return img;
}

void WriteLog(const UniversalPath& path, const Format::Uuid& u, std::uint32_t p,
              std::uint64_t startMSN, std::uint64_t msn, const std::vector<std::uint64_t>& pages,
              bool closed) {
    RedoLogWriter w;
    if (!w.Open(path, u, p, startMSN).OK()) Die("log open");
    for (std::size_t i = 0; i < pages.size(); ++i)
        if (!w.AddPage(pages[i], Image(p, pages[i] * 131 + i).data()).OK()) Die("log page");
    if (!w.Finish(msn, 1767225600000000ull + msn, closed).OK()) Die("log finish");
}

void Apply(const UniversalPath& db, const UniversalPath& log) {
    HBFile f(db);
    f.SetOpeningFlags(HBFile::kOpenExclusive | HBFile::kOpenDurable);
    HBLogFile l(log);
    if (!f.Open(HBFile::kPermReadWrite).OK() || !l.Open(HBLogFile::kPermRead).OK() ||
        !f.ApplyLog(l).OK() || !f.Close().OK())
        Die("apply");
}

void DatabaseSeeds(const std::string& tmp) {
    struct Db {
        const char* name;
        std::uint32_t p;
        std::uint64_t msn;
        std::vector<std::uint64_t> pages;
        int logs;  // redo logs applied after the upload
    };
    const Db dbs[] = {
        {"empty-512", 512, 0, {}, 0},
        {"three-512", 512, 7, {0, 1, 2}, 0},
        {"gap-1024", 1024, 1ull << 33, {0, 4}, 0},
        {"two-4096", 4096, 42, {0, 1}, 0},
        {"empty-65536", 65536, 3, {}, 0},
        {"one-log-512", 512, 100, {0, 1}, 1},
        {"two-logs-512", 512, 100, {0}, 2},
        {"three-logs-2048", 2048, 5, {1}, 3},
    };
    std::uint8_t seed = 1;
    for (const Db& d : dbs) {
        const std::string path = tmp + "/" + d.name + ".vdb";
        PageMap pages;
        for (std::uint64_t n : d.pages) pages[n] = Image(d.p, n + seed);
        const Format::Uuid u = MakeUuid(seed++);
        if (!WriteDatabaseFile(UniversalPath::FromNative(path), u, d.p, d.msn, pages).OK())
            Die("database " + path);
        std::uint64_t msn = d.msn;
        for (int i = 0; i < d.logs; ++i) {
            const std::string log = tmp + "/" + d.name + "-" + std::to_string(i) + ".vrl";
            WriteLog(UniversalPath::FromNative(log), u, d.p, msn, msn + 3,
                     {static_cast<std::uint64_t>(i), static_cast<std::uint64_t>(i + 2)}, true);
            Apply(UniversalPath::FromNative(path), UniversalPath::FromNative(log));
            msn += 3;
        }
        PutFile("db_file", d.name, 0, path);
        if (d.p <= 1024) PutFile("db_file", std::string(d.name) + "-fixcrc", 3, path);
    }
}

void LogSeeds(const std::string& tmp) {
    struct Log {
        const char* name;
        std::uint32_t p;
        std::uint64_t startMSN, msn;
        std::vector<std::uint64_t> pages;
        bool closed;
    };
    const Log logs[] = {
        {"empty-512", 512, 9, 9, {}, false},
        {"repeats-512", 512, 10, 14, {3, 0, 3, 1, 3}, true},
        {"high-msn-1024", 1024, (1ull << 32) + 5, (1ull << 32) + 90, {7, 2}, false},
        {"two-4096", 4096, 0, 1, {0, 1}, true},
        {"far-page-512", 512, 1, 2, {1ull << 40}, true},
    };
    std::uint8_t seed = 40;
    for (const Log& l : logs) {
        const std::string path = tmp + "/" + l.name + ".vrl";
        WriteLog(UniversalPath::FromNative(path), MakeUuid(seed++), l.p, l.startMSN, l.msn, l.pages,
                 l.closed);
        PutFile("redo_log", l.name, 0, path);
        PutFile("redo_log", std::string(l.name) + "-fix", 7, path);
    }
}

void IntervalDoneSeeds(const std::string& tmp) {
    for (std::size_t c : {0u, 1u, 5u}) {
        std::vector<unistring> ids;
        for (std::size_t i = 0; i < c; ++i)
            ids.push_back(UuidText::ToText(MakeUuid(static_cast<std::uint8_t>(70 + i))));
        const std::string path = tmp + "/done-" + std::to_string(c) + ".vid";
        if (!sim::WriteIntervalDone(UniversalPath::FromNative(path), 1767225600000000ull + c, ids)
                 .OK())
            Die("interval-done");
        for (auto [suffix, ctl] : {std::pair{"", 0}, {"-fix", 3}, {"-folder", 4 | 8}})
            PutFile("interval_done", "uuids-" + std::to_string(c) + suffix, ctl, path);
    }
}

Bytes UnitBytes(std::uint8_t ctl, const std::vector<std::uint16_t>& units) {
    Bytes b{ctl};
    for (std::uint16_t u : units) {
        b.push_back(static_cast<std::uint8_t>(u));
        b.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return b;
}

Bytes Cdr(std::uint8_t ctl, cdrMemoryStream& s) {
    Bytes b{ctl};
    const auto* p = static_cast<const std::uint8_t*>(s.bufPtr());
    b.insert(b.end(), p, p + s.bufSize());
    return b;
}

void CompressedStringSeeds() {
    const std::pair<const char*, unistring> texts[] = {
        {"empty", u""},
        {"odd", u"abc"},
        {"even", u"/srv/backup/Changes/Redo_1767225600000000/a.vrl"},
        {"latin1", u"B\u00e4ckup \u00fc\u00df"},
        {"wide", u"\u65e5\u672c\u8a9e/\u0414\u0430"},
        {"surrogates", u"\U0001F600 \xD800 x \xDC00"},
    };
    Talon::CompressedStringSeq all;
    all.length(static_cast<CORBA::ULong>(std::size(texts)));
    CORBA::ULong k = 0;
    for (const auto& [name, text] : texts) {
        const std::vector<std::uint16_t> enc = Talon::EventHelper::Compress(text);
        Put("compressed_string", std::string("units-") + name, UnitBytes(0, enc));
        Put("compressed_string", std::string("text-") + name,
            UnitBytes(3, std::vector<std::uint16_t>(text.begin(), text.end())));
        Talon::CompressedString s;
        Talon::EventHelper::ToCompressedString(text, s);
        cdrMemoryStream out;
        s >>= out;
        Put("compressed_string", std::string("cdr-") + name, Cdr(1, out));
        all[k++] = s;
    }
    cdrMemoryStream out;
    all >>= out;
    Put("compressed_string", "cdr-seq", Cdr(2, out));
}

void PrefsSeeds(const std::string& tmp) {
    struct P {
        const char* name;
        std::map<int, std::int64_t> ints;
        std::map<int, unistring> texts;
    };
    const P prefs[] = {
        {"none", {}, {}},
        {"unset", {{67, 0}}, {}},
        {"folder", {{67, 1}}, {{68, u"/srv/vellumark/backup"}}},
        {"odd-text",
         {{67, 1}, {-5, INT64_MIN}, {9, INT64_MAX}},
         {{68, u"/srv/b\u00e4ckup <&> \"'\u65e5 \U0001F600"}, {70, u"  spaced  "}}},
    };
    for (const P& p : prefs) {
        const std::string path = tmp + "/" + p.name + ".xml";
        if (!Talon::XMLPrefs::Write(path, p.ints, p.texts).OK()) Die("prefs");
        Put("prefs", p.name, fuzz::ReadBytes(path));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) Die("usage: make_seeds <root>");
    gRoot = argv[1];
    HBEngine::Startup(true, 0, nullptr, nullptr);
    fuzz::Scratch& s = fuzz::Scratch::Get();
    s.Clear();
    for (auto seeds : {DatabaseSeeds, LogSeeds, IntervalDoneSeeds, PrefsSeeds}) seeds(s.Path());
    CompressedStringSeeds();
    s.Clear();
    std::printf("make_seeds: %d seeds in %s\n", gCount, gRoot.c_str());
    return 0;
}
