// The catalogue, in-process, against baselines measured in the same run.
//   catalogue_bench memory   bytes per redo log in a catalogue of 100,000 logs
//   catalogue_bench links    MakeInProgressHardLinks for 1,000 databases against cp -al
//   catalogue_bench scan     the folder scan of 1,000 databases and 100,000 redo logs
//                            against listing the same files and reading the same headers
//   catalogue_bench interval W   interval turnaround for 50 databases with 10 logs each
//                            with W workers, against the same applications done directly
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "app/DidoraRezaraApp.h"
#include "catalogue/IBSMgr.h"
#include "platform/engine/Formats.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Debug.h"
#include "platform/support/Listing.h"
#include "tests/TestUtil.h"
#include "tools/sim/Workload.h"

using Clock = std::chrono::steady_clock;
using Mirel::UniversalPath;

namespace {

double Secs(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double Shell(const std::string& cmd) {
    auto t = Clock::now();
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    return Secs(t);
}

// A redo log header alone (no records), written without syncing: benchmark set-up only.
void QuickLog(const std::string& path, const Mirel::Format::Uuid& uuid, std::uint64_t start,
              std::uint64_t end) {
    Mirel::Format::LogHeader h;
    h.uuid = uuid;
    h.startMSN = start;
    h.msn = start + 1;
    h.endUTC = end;
    std::uint8_t buf[Mirel::Format::kLogHeaderSize];
    Mirel::Format::EncodeLogHeader(h, buf);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<char*>(buf), sizeof buf);
}

class Direct : public sim::Announcer {
public:
    bool Upload(const std::string& p, const std::string& u) override {
        return IBSMgr::GetInstance()->FullDBBackupIsUploaded(Mirel::unistring::FromUTF8(p),
                                                             Mirel::unistring::FromUTF8(u));
    }
    std::int32_t RedoLogReady(const std::string& p, const std::string& u) override {
        return IBSMgr::GetInstance()->RedoLogIsReady(Mirel::unistring::FromUTF8(p),
                                                     Mirel::unistring::FromUTF8(u), true);
    }
};

void Settle(IBSMgr* mgr) {
    auto& q = GetDidoraRezaraApp()->GetMainMsgQ();
    for (;;) {
        auto m = q.GetMsg(2000);
        if (!m) return;  // nothing more reported: the cycle is done
        if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "memory";
    Mirel::gDebugger.SetCategories(0);
    auto* instance = new DidoraRezaraAppInstance;
    instance->CreateInstance();
    IBSMgr* mgr = IBSMgr::GetInstance();
    testutil::TempDir tmp;
    std::string backup = tmp / "backup";
    mgr->SetupFolders(Mirel::Directory(UniversalPath::Folder(backup)));
    mgr->ScanFullBackupDB();

    if (what == "memory") {
        const int n = 100000;
        std::size_t pathChars = 0;
        std::size_t before = mallinfo2().uordblks;
        for (int i = 0; i < n; ++i) {
            std::string p = backup + "/Changes/Redo_1767225600000000/" + std::to_string(i) + "-db" +
                            std::to_string(i % 1000) + ".vrl";
            pathChars += p.size();
            mgr->InsertRedoLog(UniversalPath::FromNative(p),
                               Mirel::unistring::FromUTF8("00000000-0000-4000-8000-" +
                                                          std::to_string(100000000000 + i % 1000)),
                               static_cast<std::uint64_t>(i + 1), static_cast<std::uint64_t>(i),
                               1000 + i, false, true);
        }
        std::size_t used = mallinfo2().uordblks - before;
        double perLog = static_cast<double>(used) / n;
        double text = 2.0 * static_cast<double>(pathChars) / n;
        std::printf(
            "catalogue of %d redo logs: %.0f bytes a log, %.0f of them path text (UTF-16); "
            "%.0f bytes beyond the path text\n",
            n, perLog, text, perLog - text);
    } else if (what == "links") {
        std::string lg = backup + "/LastGood_2026-01-01_0000";
        testutil::MakeDirs(lg);
        const int n = 1000;
        std::vector<DatabaseItem> items;
        for (int i = 0; i < n; ++i) {
            std::string name = "d" + std::to_string(i / 100) + "/db" + std::to_string(i) + ".vdb";
            testutil::MakeDirs(lg + "/d" + std::to_string(i / 100));
            Mirel::WriteDatabaseFile(UniversalPath::FromNative(lg + "/" + name),
                                     Mirel::UuidText::Generate(), 4096, 1,
                                     {{0, Mirel::PageImage(4096, 1)}});
            items.emplace_back(UniversalPath::FromNative(name), u"x", 1, false, true);
        }
        bool fatal = false;
        auto t = Clock::now();
        for (auto& item : items)
            mgr->MakeInProgressHardLinks(item, UniversalPath::Folder(lg), fatal, true);
        double ours = Secs(t);
        double cp = Shell("cp -al " + lg + " " + backup + "/cp-al");
        // Links are made durable with the folder when it is renamed: that sync, against sync(1).
        Mirel::Directory ip = Mirel::Directory(UniversalPath::Folder(backup + "/InProgress"));
        auto r = Clock::now();
        ip.Rename(u"LastGood_2026-01-01_0001");
        double rename = Secs(r);
        double cpSync = Shell("sync -f " + backup + "/cp-al");
        std::printf(
            "MakeInProgressHardLinks for %d databases: %.3f s (+ %.3f s durable rename); "
            "cp -al: %.3f s (+ %.3f s sync); ratio %.2f (%.2f with the syncs)\n",
            n, ours, rename, cp, cpSync, ours / cp, (ours + rename) / (cp + cpSync));
    } else if (what == "scan") {
        const int dbs = 1000, logsPerDb = 100;
        std::string lg = backup + "/LastGood_2026-01-01_0000";
        testutil::MakeDirs(lg);
        std::vector<Mirel::Format::Uuid> uuids;
        for (int i = 0; i < dbs; ++i) {
            uuids.push_back(Mirel::UuidText::Generate());
            Mirel::WriteDatabaseFile(
                UniversalPath::FromNative(lg + "/db" + std::to_string(i) + ".vdb"), uuids.back(),
                4096, 1000, {});
        }
        const std::uint64_t base = 1767225600000000ull;  // the last-good folder's minute
        for (int f = 0; f < 10; ++f) {
            std::uint64_t end = base + static_cast<std::uint64_t>(f + 1) * 600000000ull;
            std::string folder = backup + "/Changes/Redo_" + std::to_string(end - 600000000ull + 1);
            testutil::MakeDirs(folder);
            for (int d = 0; d < dbs; ++d)
                for (int k = 0; k < logsPerDb / 10; ++k) {
                    std::uint64_t start =
                        1000 + static_cast<std::uint64_t>(f * (logsPerDb / 10) + k);
                    QuickLog(
                        folder + "/" + std::to_string(d) + "-" + std::to_string(start) + ".vrl",
                        uuids[static_cast<std::size_t>(d)], start,
                        end - 1000 + static_cast<std::uint64_t>(k));
                }
            Talon::IBS_Config::WriteIntervalDone(
                UniversalPath::FromNative(folder + "/IntervalDone.vid"), end, {});
        }
        Shell("sync");
        // Baseline: list the same files and read the same headers.
        auto b = Clock::now();
        std::size_t headers = 0;
        std::uint8_t buf[Mirel::Format::kLogHeaderSize];
        for (const std::string& dir : {lg, backup + "/Changes"}) {
            std::vector<std::string> stack = {dir};
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
        }
        double baseline = Secs(b);
        std::size_t before = mallinfo2().uordblks;
        auto s = Clock::now();
        mgr->ScanFullBackupDB();
        double scan = Secs(s);
        std::size_t mem = mallinfo2().uordblks - before;
        std::printf(
            "scan of %d databases and %d redo logs: %.2f s; baseline (list + %zu headers): %.2f s; "
            "ratio %.2f; catalogue %.1f MiB\n",
            dbs, dbs * logsPerDb, scan, headers, baseline, scan / baseline,
            static_cast<double>(mem) / (1 << 20));
    } else if (what == "interval") {
        int workers = argc > 2 ? std::atoi(argv[2]) : 2;
        mgr->CreateWorkers(workers);
        Direct announcer;
        sim::WorkloadOptions opt;
        opt.databases = 50;
        opt.initialPages = 512;
        opt.maxLogsPerInterval = 1;  // exactly one log per call below
        opt.maxPagesPerLog = 400;
        opt.seed = 9;
        sim::Workload server(backup, opt, announcer);
        server.Upload();
        for (int i = 0; i < 10; ++i) server.WriteIntervalLogs();
        // The same applications done directly, in one thread, on copies of the uploads.
        double direct = 0;
        {
            std::vector<UniversalPath> logs;
            Mirel::BuildPathListExtensionFunctor f(logs, u".vrl", false);
            Mirel::Directory(UniversalPath::Folder(backup + "/Changes")).ProcessFiles(f, 2);
            Shell("cp -r " + backup + "/Copies " + tmp / "direct");
            std::map<std::string, std::vector<UniversalPath>> byDb;
            for (auto& l : logs) {
                std::string name = l.GetName().ToUTF8();
                byDb[name.substr(name.find("-db") + 1, name.size() - name.find("-db") - 5)]
                    .push_back(l);
            }
            for (auto& [db, list] : byDb) {
                std::sort(
                    list.begin(), list.end(), [](const UniversalPath& a, const UniversalPath& b) {
                        return std::stoi(a.GetName().ToUTF8()) < std::stoi(b.GetName().ToUTF8());
                    });
                std::string copy;
                for (int u = 1; u <= 50 && copy.empty(); ++u) {
                    std::string p =
                        tmp / ("direct/upload-9-" + std::to_string(u) + "/" + db + ".vdb");
                    if (testutil::IsFile(p)) copy = p;
                }
                auto t = Clock::now();
                Mirel::HBFile file(UniversalPath::FromNative(copy));
                file.SetOpeningFlags(0x110);
                file.Open(3);
                for (auto& l : list) {
                    Mirel::HBLogFile log(l);
                    std::atomic<std::int32_t> abort{0};
                    Talon::IBS_Config::ProcessRedoLogFile(file, log, abort);
                }
                file.Close();
                direct += Secs(t);
            }
        }
        auto t = Clock::now();
        server.CloseInterval();
        Settle(mgr);
        double turnaround = Secs(t) - 2.0;  // Settle waits 2 s for silence at the end
        std::printf(
            "interval of 50 databases x 10 logs with %d worker(s): %.2f s; direct applications "
            "in one thread: %.2f s; ratio %.2f; verify: %s\n",
            workers, turnaround, direct, turnaround / direct,
            server.VerifyAll().empty() ? "ok" : "MISMATCH");
    }
    std::fflush(stdout);
    std::_Exit(0);  // the workers live until the process ends
}
