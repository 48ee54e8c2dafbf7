// Rows P1 and P2 of the benchmark table: the worker's own code against cp of the same bytes.
//
//   P1 redo application: a worker's pass (TalonIBWorker::ProcessRedoLogSet) over 16 logs of
//      random pages, as many bytes of logs as the database holds, on a 16 MiB and a 256 MiB
//      database; against `cp` of the same log files and `sync` of the copies
//   P2 private copy: TalonIBWorker::PrepareDatabase on a hard-linked 256 MiB database (the
//      copy a worker makes before its first write); against `cp` + `sync` of the file
//
// Figures are speeds: cp time / our time (1.0 as fast as cp, above 1.0 faster).
//
//   engine_bench [apply|copy|all]
#include <cstdio>
#include <string>
#include <vector>

#include "app/DidoraRezaraApp.h"
#include "app/IBSMgr.h"
#include "bench/Bench.h"
#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/support/Debug.h"
#include "platform/support/Directory.h"
#include "platform/support/File.h"
#include "tools/sim/DatabaseModel.h"
#include "workers/TalonIBWorker.h"

using Mirel::UniversalPath;

namespace {

constexpr std::uint32_t kPage = 4096;
constexpr int kLogs = 16;

void Check(const Mirel::Error& e, const char* what) {
    if (!e.OK()) bench::Fail(std::string(what) + " failed: error " + std::to_string(e.GetError()));
}

struct Fixture {
    bench::Scratch dir{"engine-bench"};
    std::string backup = dir / "backup";
    std::string ip = backup + "/InProgress/db.vdb";
    IBSMgr manager{Mirel::Env::Default()};
    TalonIBWorker worker{manager.Cat(),
                         Mirel::Env::Default()};  // never started: runs on this thread
};

// A database of `mib` MiB and 16 logs holding as many bytes, written once; each round applies
// them to a fresh copy of the database.
void ApplyRow(Fixture& fx, int mib) {
    const std::uint64_t pages = (static_cast<std::uint64_t>(mib) << 20) / kPage;
    sim::DatabaseModel model(42, kPage, pages);
    const std::string pristine = fx.dir / ("pristine" + std::to_string(mib) + ".vdb");
    Check(model.WriteFullCopy(UniversalPath::FromNative(pristine)), "write database");
    const std::uint64_t startMsn = model.MSN();
    const std::string redo = fx.backup + "/Changes/Redo_1";
    bench::Shell("mkdir -p " + redo);
    std::vector<FileInfo> logs;
    std::string logList;
    std::uint64_t bytes = 0;
    for (int i = 0; i < kLogs; ++i) {
        const std::string p = redo + "/m" + std::to_string(mib) + "-" + std::to_string(i) + ".vrl";
        sim::LogInfo li;
        Check(model.WriteRedoLog(UniversalPath::FromNative(p), pages / kLogs, 1000 + i, false, &li),
              "write log");
        bytes += li.bytes;
        logs.emplace_back(UniversalPath::FromNative(p), li.msn, li.startMSN, li.endUTC, false);
        logList += " " + p;
    }
    bool verified = false;
    auto ours = [&] {
        bench::Shell("cp " + pristine + " " + fx.ip);
        bench::Settle();
        DatabaseItem item(UniversalPath::FromNative("db.vdb"),
                          Mirel::unistring::FromUTF8(model.UuidText()), startMsn, false, true);
        item.logs.insert(logs.begin(), logs.end());
        item.lastLogMSN = UINT64_MAX;
        auto t0 = bench::Clock::now();
        fx.worker.ProcessRedoLogSet(item);
        const double s = bench::Secs(t0);
        if (!item.err.OK() || item.file.msn != model.MSN())
            bench::Fail("the pass failed: error " + std::to_string(item.err.GetError()));
        if (!verified) {
            const std::string diff = model.Compare(UniversalPath::FromNative(fx.ip));
            if (!diff.empty()) bench::Fail("the copy differs: " + diff);
            verified = true;
        }
        return s;
    };
    auto cp = [&] {
        const std::string to = fx.dir / "cp";
        const double s = bench::Shell("mkdir -p " + to + " && cp" + logList + " " + to +
                                      "/ && sync " + to + "/*");
        bench::Shell("rm -rf " + to);
        return s;
    };
    bench::Row row;
    row.id = "P1";
    char what[96];
    std::snprintf(what, sizeof what, "redo pass, %d MiB database, %.0f MiB of logs, vs cp+sync",
                  mib, static_cast<double>(bytes) / (1 << 20));
    row.what = what;
    row.target = 0.8;
    {
        const auto pairs = bench::Interleave(bench::Rounds(), ours, cp, row.load);
        row.values = bench::Speed(pairs);
        row.note = bench::Times(pairs);
    }
    bench::Print(row);
    for (const auto& l : logs) l.path.Delete();
    UniversalPath::FromNative(fx.ip).Delete();
}

void CopyRow(Fixture& fx, int mib) {
    const std::uint64_t pages = (static_cast<std::uint64_t>(mib) << 20) / kPage;
    sim::DatabaseModel model(7, kPage, pages);
    const std::string lg = fx.dir / "lastgood.vdb";
    Check(model.WriteFullCopy(UniversalPath::FromNative(lg)), "write database");
    auto ours = [&] {
        UniversalPath ip = UniversalPath::FromNative(fx.ip);
        ip.Delete();
        Mirel::File link(ip);
        Check(link.MakeHardLink(UniversalPath::FromNative(lg)), "hard link");
        bench::Settle();
        auto t0 = bench::Clock::now();
        Mirel::HBFile db(ip);
        DatabaseItem item;  // no manifest line to check against: the plain private copy
        Check(fx.worker.PrepareDatabase(item, db), "private copy");
        Check(db.Close(), "close");
        const double s = bench::Secs(t0);
        if (Mirel::File(ip).GetHardLinkCount() != 1) bench::Fail("the copy is still linked");
        ip.Delete();
        return s;
    };
    auto cp = [&] {
        const std::string to = fx.dir / "cp.vdb";
        const double s = bench::Shell("cp " + lg + " " + to + " && sync " + to);
        bench::Shell("rm -f " + to);
        return s;
    };
    bench::Row row;
    row.id = "P2";
    row.what = "private copy of a hard-linked " + std::to_string(mib) + " MiB database vs cp+sync";
    row.target = 0.9;
    {
        const auto pairs = bench::Interleave(bench::Rounds(), ours, cp, row.load);
        row.values = bench::Speed(pairs);
        row.note = bench::Times(pairs);
    }
    bench::Print(row);
    UniversalPath::FromNative(lg).Delete();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "all";
    Mirel::gDebugger.SetCategories(0);
    auto* instance = new DidoraRezaraAppInstance;
    instance->CreateInstance();
    Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);
    {
        Fixture fx;
        fx.manager.In().SetupFolders(Mirel::Directory(UniversalPath::Folder(fx.backup)));
        const bool quick = bench::Quick();
        if (what == "apply" || what == "all") {
            ApplyRow(fx, 16);
            if (!quick) ApplyRow(fx, 256);
        }
        if (what == "copy" || what == "all") CopyRow(fx, quick ? 16 : 256);
    }
    std::fflush(stdout);
    std::_Exit(0);  // the manager lives until the process ends
}
