// What a last-good folder's manifest costs at the end of an interval, and what a checked
// restore costs, against reading or copying the same bytes in the same run.
//
//   manifest, all read:     every database changed in the interval (each is read and its
//                           CRC-32C computed), against a plain read loop over the same files
//                           and against `cat` of them to /dev/null
//   manifest, half linked:  half the databases carried forward by hard links (their lines
//                           are taken from the previous manifest), the other half read
//   restore:                `ibsdb restore` of the folder (copy, CRC, check, sync) against
//                           `cp` of the same files followed by `sync`
//   starting copy, checked: the worker's private copy of a hard-linked copy, checked against
//                           its line while it is copied, against the plain copy it replaced
//   older copy, checked:    an older copy read and checked before it is written in place,
//                           against the plain read loop (before, it was not read at all)
//
// The files were just written, as the service's copies were, so all runs read from the page
// cache. "cost" is our time / the baseline's time: 1.0 is as cheap as only reading the bytes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/engine/Writers.h"
#include "platform/framework/CopyCheck.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Directory.h"
#include "platform/support/File.h"
#include "tools/ibsdb/Commands.h"

using Clock = std::chrono::steady_clock;

namespace {

double Secs(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Run(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        std::exit(1);
    }
}

void Check(const Mirel::Error& e, const char* what) {
    if (!e.OK()) {
        std::fprintf(stderr, "%s failed: error %d\n", what, e.GetError());
        std::exit(1);
    }
}

Mirel::Directory Dir(const std::string& p) {
    return Mirel::Directory(Mirel::UniversalPath::Folder(p));
}

// A plain read of every byte: the least any checksum of the files can cost.
std::uint64_t ReadAll(const std::vector<std::string>& files) {
    std::unique_ptr<char[]> buf(new char[1 << 20]);
    std::uint64_t total = 0;
    for (const auto& f : files) {
        int fd = ::open(f.c_str(), O_RDONLY);
        if (fd < 0) std::exit(1);
        for (ssize_t n; (n = ::read(fd, buf.get(), 1 << 20)) > 0;)
            total += static_cast<std::uint64_t>(n);
        ::close(fd);
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : "/tmp";
    int mib = argc > 2 ? std::atoi(argv[2]) : 256;
    const int rounds = 5, databases = 8;
    const std::string dir = base + "/ibs-manifest-bench-" + std::to_string(::getpid());
    const std::string previous = dir + "/backup/LastGood_2026-01-01_1200";
    const std::string current = dir + "/backup/InProgress";
    Check(Dir(previous).CreateIfNotExists(), "create folder");
    Check(Dir(current).CreateIfNotExists(), "create folder");

    const std::uint32_t page = 4096;
    const std::uint64_t pages = (static_cast<std::uint64_t>(mib) << 20) / databases / page;
    std::vector<std::string> files;
    std::string fileList;
    for (int d = 0; d < databases; ++d) {
        Mirel::PageMap m;
        Mirel::PageImage img(page);
        for (std::uint64_t p = 0; p < pages; ++p) {
            for (std::size_t i = 0; i < page; i += 8)
                img[i] = static_cast<std::uint8_t>(p * 31 + d + i);
            m[p] = img;
        }
        Mirel::Format::Uuid u{};
        u[0] = static_cast<std::uint8_t>(d + 1);
        std::string f = previous + "/db" + std::to_string(d) + ".vdb";
        Check(Mirel::WriteDatabaseFile(Mirel::UniversalPath::FromNative(f), u, page, 1000, m),
              "write database");
        files.push_back(f);
        fileList += " " + f;
    }
    const double total = static_cast<double>(ReadAll(files)) / (1 << 20);

    std::vector<double> ours, reads, cats, linked;
    for (int r = 0; r < rounds; ++r) {
        ::unlink((previous + "/manifest.tsv").c_str());
        auto t0 = Clock::now();
        Check(Talon::Manifest::Write(Dir(previous), 1767268800000000ull), "write manifest");
        ours.push_back(Secs(t0));
        t0 = Clock::now();
        ReadAll(files);
        reads.push_back(Secs(t0));
        t0 = Clock::now();
        Run("cat" + fileList + " > /dev/null");
        cats.push_back(Secs(t0));

        // The next interval: half the databases linked from the previous folder, half changed
        // (private copies, here fresh files of the same size).
        Check(Dir(current).DeleteContents(), "clear in-progress folder");
        for (int d = 0; d < databases; ++d) {
            std::string to = current + "/db" + std::to_string(d) + ".vdb";
            if (d % 2 == 0)
                Run("ln " + files[static_cast<std::size_t>(d)] + " " + to);
            else
                Run("cp " + files[static_cast<std::size_t>(d)] + " " + to);
        }
        t0 = Clock::now();
        Check(Talon::Manifest::Write(Dir(current), 1767268860000000ull), "write manifest");
        linked.push_back(Secs(t0));
    }
    const double a = Median(ours), rd = Median(reads), ct = Median(cats), l = Median(linked);
    std::printf(
        "manifest, all read:    %.0f MiB in %.3f s (%.0f MiB/s); read loop %.3f s, cat %.3f s; "
        "cost %.2f x read loop, %.2f x cat\n",
        total, a, total / a, rd, ct, a / rd, a / ct);
    std::printf("manifest, half linked: %.3f s; cost %.2f x reading all the bytes\n", l, l / rd);

    // The worker's private copies: checked against the line while copied, or plainly.
    {
        Talon::Manifest listed;
        Check(Talon::Manifest::Read(Dir(previous), listed), "read manifest");
        std::vector<double> checkedCopies, plainCopies, checks;
        for (int r = 0; r < rounds; ++r) {
            auto t0 = Clock::now();
            for (const auto& f : files) {
                const Talon::ManifestEntry* e = listed.Find(f.substr(previous.size() + 1));
                Talon::CopyCheck check;
                check.size = e->size;
                check.crc = e->crc;
                if (Talon::CopyChecked(f, f + ".tmp", check) != 0) std::exit(1);
                ::unlink((f + ".tmp").c_str());
            }
            checkedCopies.push_back(Secs(t0));
            t0 = Clock::now();
            for (const auto& f : files) {
                Check(Mirel::File(Mirel::UniversalPath::FromNative(f))
                          .Copy(Mirel::UniversalPath::FromNative(f + ".tmp")),
                      "copy");
                ::unlink((f + ".tmp").c_str());
            }
            plainCopies.push_back(Secs(t0));
            t0 = Clock::now();
            for (const auto& f : files) {
                const Talon::ManifestEntry* e = listed.Find(f.substr(previous.size() + 1));
                Talon::CopyCheck check;
                check.size = e->size;
                check.crc = e->crc;
                if (Talon::CheckCopy(f, check) != 0) std::exit(1);
            }
            checks.push_back(Secs(t0));
        }
        const double cc = Median(checkedCopies), pc = Median(plainCopies), ck = Median(checks);
        std::printf(
            "starting copy, checked: %.0f MiB in %.3f s; plain copy %.3f s; cost %.2f x plain "
            "copy\n",
            total, cc, pc, cc / pc);
        std::printf("older copy, checked:   %.3f s; cost %.2f x read loop\n", ck, ck / rd);
    }

    // A checked restore of the whole folder against cp and sync of the same files.
    Check(Dir(current).DeleteAll(), "remove in-progress folder");
    std::vector<double> restores, cps;
    for (int r = 0; r < 3; ++r) {
        ibsdb::RestoreOptions o;
        o.backup = dir + "/backup";
        o.to = dir + "/restored";
        std::ostringstream out;
        auto t0 = Clock::now();
        if (ibsdb::Restore(o, out) != 0) {
            std::fprintf(stderr, "restore failed:\n%s", out.str().c_str());
            return 1;
        }
        restores.push_back(Secs(t0));
        Run("rm -rf " + o.to);
        t0 = Clock::now();
        Run("mkdir -p " + dir + "/cp && cp" + fileList + " " + dir + "/cp/ && sync " + dir +
            "/cp/*");
        cps.push_back(Secs(t0));
        Run("rm -rf " + dir + "/cp");
    }
    const double rs = Median(restores), cp = Median(cps);
    std::printf(
        "restore:               %.0f MiB in %.3f s (%.0f MiB/s); cp+sync %.3f s; cost %.2f x cp\n",
        total, rs, total / rs, cp, rs / cp);
    Dir(dir).DeleteAll();
    return 0;
}
