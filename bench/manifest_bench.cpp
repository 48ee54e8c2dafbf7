// Row P9 of the benchmark table, and the manifest alone (P8's cost at its source):
//
//   P8 manifest alone:  a last-good folder whose databases are half carried forward by hard
//                       links (their lines come from the previous manifest) and half changed;
//                       against reading the changed half and computing its CRC-32C (with
//                       the manifest's own routine), the least its checksums can cost
//   P8 points kept:     the manifest of 1,000 small databases, 5% changed, with 26 restore
//                       points beside it against the same with 2
//   P9 verify:          `ibsdb verify` of a last-good folder against `cat` of its files
//   P9 restore:         `ibsdb restore` of it (copy, checksum, sync) against `cp` + `sync`
//
// 8 databases of 32 MiB (4 MiB with --quick), written once. Costs: our time / baseline time.
// The points row's databases are two pages each (200 of them with --quick);
// `manifest_bench points` runs that row alone.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/Bench.h"
#include "platform/engine/Formats.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Directory.h"
#include "tools/ibsdb/Commands.h"
#include "tools/sim/ServerWriters.h"

namespace {

void Check(const Mirel::Error& e, const char* what) {
    if (!e.OK()) bench::Fail(std::string(what) + " failed: error " + std::to_string(e.GetError()));
}

Mirel::Directory Dir(const std::string& p) {
    return Mirel::Directory(Mirel::UniversalPath::Folder(p));
}

// With `sum`, each file's CRC-32C as it is read, by the same routine the manifest uses.
double ReadAll(const std::vector<std::string>& files, bool sum = false) {
    auto t0 = bench::Clock::now();
    std::unique_ptr<char[]> buf(new char[1 << 20]);
    std::uint32_t crc = 0;
    for (const auto& f : files) {
        int fd = ::open(f.c_str(), O_RDONLY);
        if (fd < 0) bench::Fail("cannot read " + f);
        for (ssize_t n; (n = ::read(fd, buf.get(), 1 << 20)) > 0;)
            if (sum) crc = Mirel::Format::Crc32c(buf.get(), static_cast<std::size_t>(n), crc);
        ::close(fd);
    }
    const double s = bench::Secs(t0);
    if (sum && crc == 0x12345678) std::printf(" ");  // the sum is used: never optimised away
    return s;
}

// A backup folder of `points` last-good folders of `databases` small databases each, every
// folder but the first carrying most copies forward by hard links, as the service leaves
// them, and an in-progress folder of the next interval. Returns the in-progress folder.
std::string MakePoints(const std::string& backup, int points, int databases) {
    const std::uint32_t page = 4096;
    auto write = [&](const std::string& path, int d, std::uint64_t msn) {
        sim::PageMap m;
        sim::PageImage img(page);
        for (std::size_t i = 0; i < page; i += 8)
            img[i] = static_cast<std::uint8_t>(msn * 7 + static_cast<std::uint64_t>(d) + i);
        m[0] = m[1] = img;
        Mirel::Format::Uuid u{};
        u[0] = static_cast<std::uint8_t>(d);
        u[1] = static_cast<std::uint8_t>(d >> 8);
        Check(sim::WriteDatabaseFile(Mirel::UniversalPath::FromNative(path), u, page, msn, m),
              "write database");
    };
    const std::uint64_t base = 1767268800000000ull, minute = 60000000ull;
    std::string prev;
    for (int k = 0; k <= points; ++k) {
        char name[64];
        std::snprintf(name, sizeof name, "/LastGood_2026-01-01_%02d%02d", k / 60, k % 60);
        const std::string folder = k == points ? backup + "/InProgress" : backup + name;
        Check(Dir(folder).CreateIfNotExists(), "create folder");
        for (int d = 0; d < databases; ++d) {
            const std::string file = "/db" + std::to_string(d) + ".vdb";
            // One in twenty changes each interval; the others are links of the newest copy.
            if (prev.empty() || (d + k) % 20 == 0)
                write(folder + file, d, 1000 + static_cast<std::uint64_t>(k));
            else if (::link((prev + file).c_str(), (folder + file).c_str()) != 0)
                bench::Fail("cannot link " + prev + file);
        }
        if (k < points)
            Check(
                Talon::Manifest::Write(Dir(folder), base + static_cast<std::uint64_t>(k) * minute),
                "write manifest");
        prev = folder;
    }
    return prev;
}

void PointsRow() {
    const int databases = bench::Quick() ? 200 : 1000;
    bench::Scratch dir("manifest-points");
    const std::string two = MakePoints(dir / "two", 2, databases);
    const std::string many = MakePoints(dir / "many", 26, databases);
    auto write = [](const std::string& folder) {
        return [folder] {
            ::unlink((folder + "/manifest.tsv").c_str());
            bench::Settle();
            auto t0 = bench::Clock::now();
            Check(Talon::Manifest::Write(Dir(folder), 1767268800000000ull + 27 * 60000000ull),
                  "write manifest");
            return bench::Secs(t0);
        };
    };
    bench::Row row;
    row.id = "P8";
    row.what =
        "manifest of " + std::to_string(databases) + " databases, 5% changed, 26 points kept vs 2";
    row.goal = bench::Goal::kAtMost;
    row.target = 1.1;
    {
        const auto pairs = bench::Interleave(bench::Rounds(), write(many), write(two), row.load);
        row.values = bench::Cost(pairs);
        row.note = bench::Times(pairs);
    }
    bench::Print(row);
}

}  // namespace

int main(int argc, char** argv) {
    // "points": that row alone.
    if (argc > 1 && std::string(argv[1]) == "points") {
        PointsRow();
        return 0;
    }
    const int databases = 8;
    const std::uint64_t mib = bench::Quick() ? 4 : 32;
    bench::Scratch dir("manifest-bench");
    const std::string backup = dir / "backup";
    const std::string previous = backup + "/LastGood_2026-01-01_1200";
    const std::string current = backup + "/LastGood_2026-01-01_1201";
    Check(Dir(previous).CreateIfNotExists(), "create folder");
    Check(Dir(current).CreateIfNotExists(), "create folder");

    const std::uint32_t page = 4096;
    const std::uint64_t pages = (mib << 20) / page;
    std::vector<std::string> files, changed;
    std::string fileList;
    for (int d = 0; d < databases; ++d) {
        sim::PageMap m;
        sim::PageImage img(page);
        for (std::uint64_t p = 0; p < pages; ++p) {
            for (std::size_t i = 0; i < page; i += 8)
                img[i] = static_cast<std::uint8_t>(p * 31 + static_cast<std::uint64_t>(d) + i);
            m[p] = img;
        }
        Mirel::Format::Uuid u{};
        u[0] = static_cast<std::uint8_t>(d + 1);
        const std::string name = "/db" + std::to_string(d) + ".vdb";
        Check(sim::WriteDatabaseFile(Mirel::UniversalPath::FromNative(previous + name), u, page,
                                     1000, m),
              "write database");
        files.push_back(previous + name);
        fileList += " " + previous + name;
        // The next interval: even databases carried forward by links, odd ones changed
        // (private copies, here copies of the same size).
        if (d % 2 == 0) {
            bench::Shell("ln " + previous + name + " " + current + name);
        } else {
            bench::Shell("cp " + previous + name + " " + current + name);
            changed.push_back(current + name);
        }
    }
    Check(Talon::Manifest::Write(Dir(previous), 1767268800000000ull), "write manifest");
    ReadAll(files);  // every side reads from the page cache, as the service's copies are

    {
        auto ours = [&] {
            ::unlink((current + "/manifest.tsv").c_str());
            bench::Settle();
            auto t0 = bench::Clock::now();
            Check(Talon::Manifest::Write(Dir(current), 1767268860000000ull), "write manifest");
            return bench::Secs(t0);
        };
        bench::Row row;
        row.id = "P8";
        row.what = "manifest alone, half the folder linked, vs reading + CRC of the changed half";
        row.goal = bench::Goal::kAtMost;
        row.target = 1.1;
        {
            const auto pairs = bench::Interleave(
                bench::Rounds(), ours, [&] { return ReadAll(changed, true); }, row.load);
            row.values = bench::Cost(pairs);
            row.note = bench::Times(pairs);
        }
        bench::Print(row);
    }
    Check(Dir(current).DeleteAll(), "remove folder");
    {
        auto ours = [&] {
            ibsdb::VerifyOptions o;
            o.path = previous;
            std::ostringstream out;
            auto t0 = bench::Clock::now();
            if (ibsdb::Verify(o, out) != 0) bench::Fail("verify failed:\n" + out.str());
            return bench::Secs(t0);
        };
        bench::Row row;
        row.id = "P9";
        row.what = "ibsdb verify vs cat of the same bytes";
        row.goal = bench::Goal::kAtMost;
        row.target = 1.2;
        {
            const auto pairs = bench::Interleave(
                bench::Rounds(), ours,
                [&] { return bench::Shell("cat" + fileList + " > /dev/null"); }, row.load);
            row.values = bench::Cost(pairs);
            row.note = bench::Times(pairs);
        }
        bench::Print(row);
    }
    {
        auto ours = [&] {
            ibsdb::RestoreOptions o;
            o.backup = backup;
            o.to = dir / "restored";
            std::ostringstream out;
            auto t0 = bench::Clock::now();
            if (ibsdb::Restore(o, out) != 0) bench::Fail("restore failed:\n" + out.str());
            const double s = bench::Secs(t0);
            bench::Shell("rm -rf " + o.to);
            return s;
        };
        auto cp = [&] {
            const std::string to = dir / "cp";
            const double s = bench::Shell("mkdir -p " + to + " && cp" + fileList + " " + to +
                                          "/ && sync " + to + "/*");
            bench::Shell("rm -rf " + to);
            return s;
        };
        bench::Row row;
        row.id = "P9";
        row.what = "ibsdb restore vs cp+sync";
        row.goal = bench::Goal::kAtMost;
        row.target = 1.1;
        {
            const auto pairs = bench::Interleave(bench::Rounds(), ours, cp, row.load);
            row.values = bench::Cost(pairs);
            row.note = bench::Times(pairs);
        }
        bench::Print(row);
    }
    PointsRow();
    return 0;
}
