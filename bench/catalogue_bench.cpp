// Rows P4 to P8 of the benchmark table: the catalogue and the interval cycle, in-process.
//
//   catalogue_bench start     P4: the start of an interval for 1,000 databases (100 with
//                             --quick) from uploads, from hard links of the last-good copies,
//                             and from moves of the older copies; against `cp -al` of the
//                             folder the copies come from
//   catalogue_bench interval  P5: one interval of 50 databases with 10 logs each, 2 workers
//                             against 1 (each side a process of its own), from the interval-
//                             done announcement until the last-good folder is there; and
//                             P8: what writing the manifest adds to that interval
//   catalogue_bench scan      P6: the start-up scan of 100 databases with 1,000 intervals of
//                             logs (100 with --quick), against listing the same folders and
//                             reading every header
//   catalogue_bench memory    P7: catalogue bytes per redo log at 100,000 logs
//   catalogue_bench all       every row
//
// Set-up files are written without syncs (`sync` runs once before any timing), and every
// scratch folder is removed at the end.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/DidoraRezaraApp.h"
#include "app/IBSMgr.h"
#include "bench/Bench.h"
#include "platform/engine/Formats.h"
#include "platform/engine/HBEngine.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Debug.h"
#include "platform/support/Listing.h"
#include "tools/sim/Workload.h"

using Mirel::UniversalPath;
namespace Format = Mirel::Format;

namespace {

constexpr std::uint64_t kBase = 1767225600000000ull;  // 2026-01-01 00:00 UTC
constexpr std::uint64_t kMinuteUs = 60000000ull;

IBSMgr* Mgr() {
    static IBSMgr* const manager = new IBSMgr(Mirel::Env::Default());
    return manager;
}

// Set-up writers: the formats' bytes without the syncs of the real writers.
void QuickDb(const std::string& path, const Format::Uuid& uuid, std::uint64_t msn) {
    Format::DbHeader h;
    h.pageSize = 4096;
    h.uuid = uuid;
    h.msn = msn;
    h.pageCount = 1;
    std::vector<std::uint8_t> buf(2 * 4096, 0x5a);
    std::memset(buf.data(), 0, 4096);
    Format::EncodeDbHeader(h, buf.data());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
}

void QuickLog(const std::string& path, const Format::Uuid& uuid, std::uint64_t start,
              std::uint64_t end) {
    Format::LogHeader h;
    h.uuid = uuid;
    h.startMSN = start;
    h.msn = start + 1;
    h.endUTC = end;
    std::uint8_t buf[Format::kLogHeaderSize];
    Format::EncodeLogHeader(h, buf);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<char*>(buf), sizeof buf);
}

// An interval-done file that lists no database.
void QuickDone(const std::string& path, std::uint64_t end) {
    std::uint8_t buf[28] = {'V', 'L', 'M', 'K', 'I', 'D', 'N', '1'};
    Format::Put32(buf + 8, 1);
    Format::Put32(buf + 12, 0);
    Format::Put64(buf + 16, end);
    Format::Put32(buf + 24, Format::Crc32c(buf, 24));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<char*>(buf), sizeof buf);
}

std::string LastGoodName(int minute) {
    char name[64];
    std::snprintf(name, sizeof name, "LastGood_2026-01-01_%02d%02d", minute / 60, minute % 60);
    return name;
}

std::string RedoName(std::uint64_t start) {
    return "Redo_" + std::to_string(start);
}

// Takes 1231 off the main queue and runs the cycle until `done` holds.
template <class F>
bool RunCycleUntil(F done, int timeoutMs) {
    auto& q = GetDidoraRezaraApp()->GetMainMsgQ();
    auto deadline = bench::Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (bench::Clock::now() > deadline) return false;
        auto m = q.GetMsg(5);
        if (m && m->GetMsgCode() == 1231) Mgr()->CheckIntervals();
    }
    return true;
}

std::size_t CountFiles(const std::string& folder) {
    std::size_t n = 0;
    DIR* d = ::opendir(folder.c_str());
    while (dirent* e = d ? ::readdir(d) : nullptr) n += std::strstr(e->d_name, ".vdb") != nullptr;
    if (d) ::closedir(d);
    return n;
}

// ---- P4: interval starts ----

// A backup folder whose next interval starts every database one way: from uploads, from
// hard links of the newest last-good copies, or from moves of the older copies (the newest
// interval's logs merged). Answers the folder the copies come from.
std::string MakeStartLayout(const std::string& backup, const std::string& kind, int n) {
    bench::Shell("mkdir -p " + backup + "/InProgress " + backup + "/Copies " + backup + "/Changes");
    const std::uint64_t endA = kBase + kMinuteUs + 30000000,
                        endB = kBase + 2 * kMinuteUs + 30000000;
    const std::string lg1 = backup + "/" + LastGoodName(0), lg2 = backup + "/" + LastGoodName(1);
    const std::string redoA = backup + "/Changes/" + RedoName(kBase + 1);
    const std::string redoB = backup + "/Changes/" + RedoName(endA + 1);
    bench::Shell("mkdir -p " + redoB + (kind == "uploads" ? "" : " " + lg2) +
                 (kind == "moves" ? " " + lg1 + " " + redoA : ""));
    for (int i = 0; i < n; ++i) {
        Format::Uuid u = Mirel::UuidText::Generate();
        const std::string name = "db" + std::to_string(i) + ".vdb";
        if (kind == "uploads") {
            QuickDb(backup + "/Copies/" + name, u, 1001);
        } else {
            QuickDb(lg2 + "/" + name, u, 1001);
        }
        if (kind == "moves") {
            QuickDb(lg1 + "/" + name, u, 1000);
            QuickLog(redoA + "/" + std::to_string(i) + "-a.vrl", u, 1000, endA - 1000);
        }
        QuickLog(redoB + "/" + std::to_string(i) + "-b.vrl", u, 1001, endB - 1000);
    }
    if (kind == "moves") QuickDone(redoA + "/IntervalDone.vid", endA);
    // Each last-good folder has its manifest, as the service leaves it: without one no copy
    // may start an interval, and the row would time its databases failing.
    auto manifest = [](const std::string& folder, std::uint64_t end) {
        if (!Talon::Manifest::Write(Mirel::Directory(UniversalPath::Folder(folder)), end).OK())
            bench::Fail("manifest write in " + folder);
    };
    if (kind != "uploads") manifest(lg2, endA);
    if (kind == "moves") manifest(lg1, kBase);
    // The interval to start is closed after the scan, as the server closes it.
    std::ofstream(backup + "/next-done") << redoB << "/IntervalDone.vid " << endB << "\n";
    return kind == "uploads" ? backup + "/Copies" : kind == "links" ? lg2 : lg1;
}

void StartRows() {
    const int n = bench::Quick() ? 100 : 1000;
    bench::Scratch dir("start-bench");
    const char* only = std::getenv("IBS_BENCH_START");  // one kind, for profiling
    for (const std::string kind : {"uploads", "links", "moves"}) {
        if (only && kind != only) continue;
        int round = 0;
        std::string note;
        bench::Row row;
        row.id = "P4";
        row.what =
            "interval start, " + std::to_string(n) + " databases from " + kind + ", vs cp -al";
        row.goal = bench::Goal::kAtMost;
        row.target = 2.0;
        // Each round needs a fresh folder for both sides: the start uses its layout up.
        std::string backup, source;
        auto fresh = [&] {
            backup = dir / (kind + std::to_string(++round));
            source = MakeStartLayout(backup, kind, n);
        };
        auto ours = [&] {
            fresh();
            if (!Mgr()->In().SetupFolders(Mirel::Directory(UniversalPath::Folder(backup))))
                bench::Fail("cannot set up " + backup);
            Mgr()->ScanFullBackupDB();
            std::string done;
            std::uint64_t end = 0;
            std::ifstream(backup + "/next-done") >> done >> end;
            QuickDone(done, end);
            if (Mgr()->RedoLogIsReady(Mirel::unistring::FromUTF8(done), u"", false) != 0)
                bench::Fail("the interval-done file was refused");
            auto& q = GetDidoraRezaraApp()->GetMainMsgQ();
            while (q.GetMsg(0)) {
            }
            bench::Settle();
            auto t0 = bench::Clock::now();
            Mgr()->CheckIntervals();
            const double s = bench::Secs(t0);
            // Every database started the intended way, or the row says so.
            std::size_t started = CountFiles(backup + "/InProgress");
            std::size_t left = CountFiles(source);
            std::size_t linked = 0;
            for (int i = 0; i < n; ++i) {
                struct stat st {};
                if (::stat((backup + "/InProgress/db" + std::to_string(i) + ".vdb").c_str(), &st) ==
                        0 &&
                    st.st_nlink > 1)
                    ++linked;
            }
            // An older copy is linked too: its last-good name goes once a worker has
            // checked its bytes, after the start.
            const bool asIntended = started == static_cast<std::size_t>(n) &&
                                    (kind == "uploads" ? left == 0 : linked == started);
            if (!asIntended)
                note = "(" + std::to_string(started) + " started, " + std::to_string(linked) +
                       " linked, " + std::to_string(left) + " left in the source)";
            Mgr()->Cat().ClearIntervals();
            bench::Shell("rm -rf " + backup);
            return s;
        };
        auto cp = [&] {
            fresh();
            bench::Settle();
            const double s = bench::Shell("cp -al " + source + " " + dir / "cp-al");
            bench::Shell("rm -rf " + dir / "cp-al" + " " + backup);
            return s;
        };
        {
            const auto pairs = bench::Interleave(bench::Rounds(), ours, cp, row.load);
            row.values = bench::Cost(pairs);
            row.note = bench::Times(pairs);
        }
        row.note += note.empty() ? "" : " " + note;
        bench::Print(row);
    }
    Mgr()->In().SetupFolders(Mirel::Directory(UniversalPath::Folder(dir / "idle")));
}

// ---- P5 and P8: one interval, 1 worker against 2 ----

// Announcements as the server made them, recorded so that each side replays them on its own
// copy of the folder.
class Recorder : public sim::Announcer {
public:
    explicit Recorder(const std::string& file) : mOut(file) {}
    bool Upload(const std::string& p, const std::string& u) override {
        mOut << "U\t" << p << "\t" << u << std::endl;
        return true;
    }
    std::int32_t RedoLogReady(const std::string& p, const std::string& u) override {
        mOut << "L\t" << p << "\t" << u << std::endl;
        return 0;
    }

private:
    std::ofstream mOut;
};

// One side, in a process of its own: copies the template, replays the announcements with
// `workers` workers and prints "<interval seconds> <manifest seconds>".
int IntervalSide(int workers, const std::string& tmpl, const std::string& where) {
    Mgr()->CreateWorkers(workers);
    const std::string backup = where + "/backup";
    // An empty folder first, then the server's files, announced one by one below.
    if (!Mgr()->In().SetupFolders(Mirel::Directory(UniversalPath::Folder(backup))))
        bench::Fail("cannot set up " + backup);
    Mgr()->ScanFullBackupDB();
    bench::Shell("cp -a " + tmpl + "/backup/. " + backup + "/");
    bench::Settle();
    std::ifstream in(tmpl + "/announcements.tsv");
    std::string kind, path, uuid;
    bench::Clock::time_point t0{};
    while (std::getline(in, kind, '\t') && std::getline(in, path, '\t') && std::getline(in, uuid)) {
        path = backup + path.substr(tmpl.size() + std::string("/backup").size());
        const auto p = Mirel::unistring::FromUTF8(path), u = Mirel::unistring::FromUTF8(uuid);
        const bool done =
            path.size() > 16 && path.compare(path.size() - 16, 16, "IntervalDone.vid") == 0;
        if (done) t0 = bench::Clock::now();  // the server's side ends here
        const bool ok = kind == "U" ? Mgr()->FullDBBackupIsUploaded(p, u)
                                    : Mgr()->RedoLogIsReady(p, u, true) == 0;
        if (!ok) bench::Fail("refused: " + path);
    }
    std::string lastGood;
    auto published = [&] {
        DIR* d = ::opendir(backup.c_str());
        while (dirent* e = d ? ::readdir(d) : nullptr)
            if (std::strncmp(e->d_name, "LastGood_", 9) == 0) lastGood = backup + "/" + e->d_name;
        if (d) ::closedir(d);
        return !lastGood.empty();
    };
    if (!RunCycleUntil(published, 600000)) bench::Fail("the interval did not complete");
    const double interval = bench::Secs(t0);
    // The manifest of that folder written again, as publishing wrote it (with the lines the
    // workers read): what it added.
    Talon::Manifest m;
    const Mirel::Directory folder(UniversalPath::Folder(lastGood));
    if (!Talon::Manifest::Read(folder, m).OK()) bench::Fail("no manifest in " + lastGood);
    Talon::Manifest::KnownLines known;
    Mgr()->WithCatalogue([&](IntervalMap& intervals) {
        for (const auto& [end, interval] : intervals)
            for (const auto& [uuid, item] : interval.databases)
                if (!item.computedId.empty() && item.file.path.IsRelative())
                    known.emplace(item.file.path.Native(),
                                  std::make_pair(item.computedId, item.computed));
    });
    ::unlink((lastGood + "/manifest.tsv").c_str());
    auto t1 = bench::Clock::now();
    if (!Talon::Manifest::Write(folder, m.intervalEnd, {}, nullptr, &known).OK())
        bench::Fail("manifest write");
    const double manifest = bench::Secs(t1);
    std::printf("%.6f %.6f %s\n", interval, manifest, lastGood.c_str());
    return 0;
}

void IntervalRows(const char* self) {
    bench::Scratch dir("interval-bench");
    const std::string tmpl = dir / "template";
    {
        bench::Shell("mkdir -p " + tmpl);
        Recorder rec(tmpl + "/announcements.tsv");
        sim::WorkloadOptions opt;
        opt.databases = bench::Quick() ? 10 : 50;
        opt.initialPages = 512;
        opt.maxLogsPerInterval = 1;  // exactly one log per call below
        opt.maxPagesPerLog = 100;
        opt.seed = 9;
        sim::Workload server(tmpl + "/backup", opt, rec);
        server.Upload();
        for (int i = 0; i < 10; ++i) server.WriteIntervalLogs();
        server.CloseInterval();
        bench::Settle();
        // Each side's copy is checked page by page against the model.
        std::vector<double> manifestCost;
        auto side = [&](int workers) {
            const std::string where = dir / ("side" + std::to_string(workers));
            bench::Shell("rm -rf " + where + " && mkdir -p " + where);
            const std::string cmd = std::string(self) + " interval-side " +
                                    std::to_string(workers) + " " + tmpl + " " + where;
            FILE* p = ::popen(cmd.c_str(), "r");
            double interval = 0, manifest = 0;
            char folder[4096] = {0};
            if (!p || std::fscanf(p, "%lf %lf %4095s", &interval, &manifest, folder) != 3)
                bench::Fail("side failed: " + cmd);
            if (::pclose(p) != 0) bench::Fail("side failed: " + cmd);
            const std::string diff = server.VerifyLastGood(folder);
            if (!diff.empty()) bench::Fail("a copy differs: " + diff);
            if (workers == 2) manifestCost.push_back(interval / (interval - manifest));
            bench::Shell("rm -rf " + where);
            return interval;
        };
        bench::Row row;
        row.id = "P5";
        row.what = "one interval, " + std::to_string(opt.databases) +
                   " databases x 10 logs, 2 workers vs 1";
        row.goal = bench::Goal::kAtMost;
        row.target = 0.6;
        {
            const auto pairs = bench::Interleave(
                bench::Rounds(), [&] { return side(2); }, [&] { return side(1); }, row.load);
            row.values = bench::Cost(pairs);
            row.note = bench::Times(pairs);
        }
        bench::Print(row);
        bench::Row m;
        m.id = "P8";
        m.what = "that interval (from uploads) with its manifest vs without";
        m.goal = bench::Goal::kAtMost;
        m.target = 1.1;
        m.values = manifestCost;
        m.load = row.load;
        m.note = "(interval / (interval - its manifest written again))";
        bench::Print(m);
    }
}

// ---- P6: the start-up scan ----

void ScanRow() {
    const int dbs = 100, intervals = bench::Quick() ? 100 : 1000;
    bench::Scratch dir("scan-bench");
    const std::string backup = dir / "backup";
    const std::string lg = backup + "/" + LastGoodName(0);
    bench::Shell("mkdir -p " + lg + " " + backup + "/Copies");
    std::vector<Format::Uuid> uuids;
    for (int i = 0; i < dbs; ++i) {
        uuids.push_back(Mirel::UuidText::Generate());
        QuickDb(lg + "/db" + std::to_string(i) + ".vdb", uuids.back(), 1000);
    }
    for (int f = 0; f < intervals; ++f) {
        const std::uint64_t end = kBase + static_cast<std::uint64_t>(f + 1) * kMinuteUs + 30000000;
        const std::string folder = backup + "/Changes/" + RedoName(end - kMinuteUs + 1);
        bench::Shell("mkdir -p " + folder);
        for (int d = 0; d < dbs; ++d)
            QuickLog(folder + "/" + std::to_string(d) + ".vrl", uuids[static_cast<std::size_t>(d)],
                     1000 + static_cast<std::uint64_t>(f), end - 1000);
        QuickDone(folder + "/IntervalDone.vid", end);
    }
    // The copies have their manifest, as the service leaves them.
    if (!Talon::Manifest::Write(Mirel::Directory(UniversalPath::Folder(lg)), kBase).OK())
        bench::Fail("manifest write in " + lg);
    if (!Mgr()->In().SetupFolders(Mirel::Directory(UniversalPath::Folder(backup))))
        bench::Fail("cannot set up " + backup);
    std::size_t logsFound = 0;
    auto ours = [&] {
        // Without an in-progress folder the scan resumes no interval: the row times the scan
        // alone (a resumed start would also take the logs of the first round away).
        ::rmdir((backup + "/InProgress").c_str());
        auto t0 = bench::Clock::now();
        Mgr()->ScanFullBackupDB();
        const double s = bench::Secs(t0);
        logsFound = 0;
        Mgr()->WithCatalogue([&](IntervalMap& m) {
            for (auto& [end, interval] : m)
                for (auto& [uuid, item] : interval.databases) logsFound += item.logs.size();
        });
        // A start-up finds the catalogue empty: the next round's scan must not time taking
        // this one's apart.
        Mgr()->Cat().ClearIntervals();
        return s;
    };
    auto base = [&] {
        auto t0 = bench::Clock::now();
        std::size_t headers = 0;
        std::uint8_t buf[Format::kLogHeaderSize];
        std::vector<std::string> stack = {backup};
        while (!stack.empty()) {
            std::string d = stack.back();
            stack.pop_back();
            DIR* h = ::opendir(d.c_str());
            while (dirent* e = h ? ::readdir(h) : nullptr) {
                std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                std::string p = d + "/" + name;
                if (e->d_type == DT_DIR) {
                    stack.push_back(p);
                    continue;
                }
                int fd = ::open(p.c_str(), O_RDONLY);
                if (fd >= 0 && ::pread(fd, buf, sizeof buf, 0) > 0) ++headers;
                if (fd >= 0) ::close(fd);
            }
            if (h) ::closedir(h);
        }
        return headers > 0 ? bench::Secs(t0) : 0.0;
    };
    bench::Row row;
    row.id = "P6";
    row.what = "start-up scan, " + std::to_string(dbs) + " databases x " +
               std::to_string(intervals) + " intervals, vs list + headers";
    row.goal = bench::Goal::kAtMost;
    row.target = 1.3;
    {
        const auto pairs = bench::Interleave(bench::Rounds(), ours, base, row.load);
        row.values = bench::Cost(pairs);
        row.note = bench::Times(pairs);
    }
    if (logsFound != static_cast<std::size_t>(dbs) * static_cast<std::size_t>(intervals))
        row.note += " (the scan found " + std::to_string(logsFound) + " logs)";
    bench::Print(row);
    Mgr()->Cat().ClearIntervals();
    Mgr()->In().SetupFolders(Mirel::Directory(UniversalPath::Folder(dir / "idle")));
}

// ---- P7: catalogue memory ----

void MemoryRow() {
    bench::Scratch dir("memory-bench");
    const std::string backup = dir / "backup";
    Mgr()->In().SetupFolders(Mirel::Directory(UniversalPath::Folder(backup)));
    Mgr()->ScanFullBackupDB();
    const int n = 100000;
    std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < n; ++i) {
        std::string p = backup + "/Changes/Redo_1767225600000000/" + std::to_string(i) + "-db" +
                        std::to_string(i % 1000) + ".vrl";
        Mgr()->In().InsertRedoLog(
            UniversalPath::FromNative(p),
            Mirel::unistring::FromUTF8("00000000-0000-4000-8000-" +
                                       std::to_string(100000000000 + i % 1000)),
            static_cast<std::uint64_t>(i + 1), static_cast<std::uint64_t>(i),
            1000 + static_cast<std::uint64_t>(i), false, true);
    }
    bench::Row row;
    row.id = "P7";
    row.what = "catalogue memory per redo log, 100,000 logs";
    row.unit = "B";
    row.goal = bench::Goal::kBelow;
    row.target = 200;
    row.values = {static_cast<double>(mallinfo2().uordblks - before) / n};
    row.load = bench::Load();
    row.note = "(one sample: the figure does not vary)";
    bench::Print(row);
    Mgr()->Cat().ClearIntervals();
    Mgr()->In().SetupFolders(Mirel::Directory(UniversalPath::Folder(dir / "idle")));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "all";
    // IBS_BENCH_DEBUG=FOLDER keeps the service's debug log there, to see what a row did.
    if (const char* d = std::getenv("IBS_BENCH_DEBUG"))
        Mirel::gDebugger.SetLogFile(d, "talonibDebug.log");
    else
        Mirel::gDebugger.SetCategories(0);
    auto* instance = new DidoraRezaraAppInstance;
    instance->CreateInstance();
    Mgr()->Connect(GetDidoraRezaraApp(), nullptr);
    Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);
    int rc = 0;
    if (what == "interval-side" && argc == 5) {
        rc = IntervalSide(std::atoi(argv[2]), argv[3], argv[4]);
    } else {
        if (what == "start" || what == "all") StartRows();
        if (what == "interval" || what == "all") {
            char self[4096] = {0};
            if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
                bench::Fail("cannot find this program");
            IntervalRows(self);
        }
        if (what == "scan" || what == "all") ScanRow();
        if (what == "memory" || what == "all") MemoryRow();
    }
    std::fflush(stdout);
    std::_Exit(rc);  // the workers live until the process ends
}
