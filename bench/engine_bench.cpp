// Engine throughput against cp of the same bytes, measured in the same run.
//
//   redo application: every redo log applied to its database (open, apply, durable close),
//                     against `cp` of the same log files followed by `sync` of the copies
//   private copy:     a hard-linked database file made private (rename, copy, delete), as a
//                     worker does before its first write, against `cp` + `sync` of the file
//
// Ratios are cp time / our time: 1.0 means as fast as cp, above 1.0 faster.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Directory.h"
#include "platform/support/File.h"
#include "tools/sim/DatabaseModel.h"

using Mirel::UniversalPath;
using Clock = std::chrono::steady_clock;

namespace {

double Secs(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double TimeShell(const std::string& cmd) {
    auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        std::exit(1);
    }
    return Secs(t0);
}

void Check(const Mirel::Error& e, const char* what) {
    if (!e.OK()) {
        std::fprintf(stderr, "%s failed: error %d\n", what, e.GetError());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : "/tmp";
    int mib = argc > 2 ? std::atoi(argv[2]) : 256;
    const int rounds = 3;
    std::string dir = base + "/ibs-bench-" + std::to_string(::getpid());
    Mirel::Directory work(UniversalPath::Folder(dir));
    Check(work.CreateIfNotExists(), "create work folder");
    Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);

    const std::uint32_t page = 4096;
    const int logs = 16;
    const std::uint64_t pagesPerLog = (static_cast<std::uint64_t>(mib) << 20) / logs / (page + 16);

    std::vector<double> ours, theirs;
    double bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        sim::DatabaseModel model(42 + r, page, 4096);
        UniversalPath db = UniversalPath::FromNative(dir + "/db.vdb");
        db.Delete();
        Check(model.WriteFullCopy(db), "write database");
        std::vector<std::string> logPaths;
        bytes = 0;
        for (int i = 0; i < logs; ++i) {
            std::string p = dir + "/log" + std::to_string(i) + ".vrl";
            UniversalPath::FromNative(p).Delete();
            sim::LogInfo li;
            Check(
                model.WriteRedoLog(UniversalPath::FromNative(p), pagesPerLog, 1000 + i, false, &li),
                "write log");
            bytes += static_cast<double>(li.bytes);
            logPaths.push_back(p);
        }
        // As a worker does: the database opened once per pass, the logs applied in turn.
        auto t0 = Clock::now();
        {
            Mirel::HBFile f(db);
            f.SetOpeningFlags(0x110);
            Check(f.Open(Mirel::HBFile::kPermReadWrite), "open database");
            for (const auto& p : logPaths) {
                Mirel::HBLogFile log(UniversalPath::FromNative(p));
                std::atomic<std::int32_t> abort{0};
                Check(Talon::IBS_Config::ProcessRedoLogFile(f, log, abort), "apply");
            }
            Check(f.Close(), "close");
        }
        ours.push_back(Secs(t0));
        if (!model.Compare(db).empty()) {
            std::fprintf(stderr, "verification failed: %s\n", model.Compare(db).c_str());
            return 1;
        }
        std::string cmd = "mkdir -p " + dir + "/cp && cp";
        for (const auto& p : logPaths) cmd += " " + p;
        cmd += " " + dir + "/cp/ && sync " + dir + "/cp/*";
        theirs.push_back(TimeShell(cmd));
        TimeShell("rm -rf " + dir + "/cp");
    }
    double a = Median(ours), c = Median(theirs);
    std::printf("redo application: %.0f MiB in %.3f s (%.0f MiB/s); cp+sync %.3f s; ratio %.2f\n",
                bytes / (1 << 20), a, bytes / (1 << 20) / a, c, c / a);

    // The private copy of a hard-linked database.
    std::vector<double> mine, cps;
    std::string big = dir + "/big.vdb";
    sim::DatabaseModel bigModel(7, page, (static_cast<std::uint64_t>(mib) << 20) / page);
    UniversalPath::FromNative(big).Delete();
    Check(bigModel.WriteFullCopy(UniversalPath::FromNative(big)), "write big database");
    for (int r = 0; r < rounds; ++r) {
        std::string ip = dir + "/ip.vdb", tmp = dir + "/ip.tmp";
        UniversalPath::FromNative(ip).Delete();
        Mirel::File link(UniversalPath::FromNative(ip));
        Check(link.MakeHardLink(UniversalPath::FromNative(big)), "hard link");
        auto t0 = Clock::now();
        Mirel::File f(UniversalPath::FromNative(ip));
        Check(f.Rename(UniversalPath::FromNative(tmp)), "rename");
        Check(f.Copy(UniversalPath::FromNative(ip)), "copy");
        Check(f.Delete(), "delete");
        mine.push_back(Secs(t0));
        cps.push_back(TimeShell("cp " + big + " " + dir + "/cp.vdb && sync " + dir + "/cp.vdb"));
        TimeShell("rm -f " + dir + "/cp.vdb");
    }
    a = Median(mine);
    c = Median(cps);
    std::printf("private copy:     %d MiB in %.3f s (%.0f MiB/s); cp+sync %.3f s; ratio %.2f\n",
                mib, a, mib / a, c, c / a);
    Mirel::Directory(UniversalPath::Folder(dir)).DeleteAll();
    return 0;
}
