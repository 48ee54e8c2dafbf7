// ibsdb info, check-log and demo: what one file holds, and the engine at work.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/DateTime.h"
#include "platform/support/Directory.h"
#include "platform/support/FileKinds.h"
#include "tools/ibsdb/Commands.h"
#include "tools/sim/DatabaseModel.h"

using Mirel::UniversalPath;

namespace ibsdb {

int Info(const std::vector<std::string>& files) {
    int rc = 0;
    for (const auto& f : files) {
        UniversalPath p = UniversalPath::FromNative(f);
        Mirel::unistring uuid;
        std::uint64_t msn = 0, start = 0, end = 0;
        bool closed = false;
        std::vector<Mirel::unistring> list;
        Mirel::HBFile db(p);
        if (db.Open(Mirel::HBFile::kPermRead).OK()) {
            std::cout << f << ": database " << db.GetUUID() << " MSN " << db.GetMSN() << ", "
                      << db.GetPageCount() << " pages of " << db.GetPageSize() << " bytes\n";
        } else if (Talon::IBS_Config::GetRedoLogInfo(p, uuid, msn, start, end, closed).OK()) {
            Mirel::HBLogFile log(p);
            log.Open(Mirel::HBLogFile::kPermHeaderOnly);
            std::cout << f << ": redo log of " << uuid << ", MSN " << start << " -> " << msn
                      << ", ends at " << Mirel::UtcText(end, 6) << (closed ? ", closed" : "")
                      << ", " << log.RecordCount() << " page images\n";
        } else if (Talon::IBS_Config::GetIncrementalIntervalDone(p, end, &list).OK()) {
            std::cout << f << ": interval done at " << Mirel::UtcText(end, 6) << ", " << list.size()
                      << " database(s) listed\n";
            for (const auto& u : list) std::cout << "  " << u << "\n";
        } else {
            std::cout << f << ": not a file of the backup service\n";
            rc = 1;
        }
    }
    return rc;
}

int CheckLogs(const std::vector<std::string>& files) {
    int rc = 0;
    for (const auto& f : files) {
        Mirel::HBLogFile log(UniversalPath::FromNative(f));
        Mirel::Error e = log.Open(Mirel::HBLogFile::kPermRead);
        if (e.OK()) e = log.VerifyRecords();
        std::cout << f << ": " << (e.OK() ? "ok" : "INVALID, error " + e.Text()) << "\n";
        if (!e.OK()) rc = 1;
    }
    return rc;
}

int Demo(const std::string& dir, int logs, int pages, int pageSize, std::uint64_t seed) {
    Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);
    Mirel::Directory folder(UniversalPath::Folder(dir));
    if (Mirel::Error e = folder.CreateIfNotExists(); !e.OK()) {
        std::cerr << "cannot create " << dir << ": error " << e.Text() << "\n";
        return 1;
    }
    sim::DatabaseModel model(seed, static_cast<std::uint32_t>(pageSize), 64);
    UniversalPath dbPath = folder.MakeUniversalPath(u"demo.vdb");
    folder.MakeUniversalPath(u"demo.vdb").Delete();
    if (Mirel::Error e = model.WriteFullCopy(dbPath); !e.OK()) {
        std::cerr << "cannot write the database: error " << e.Text() << "\n";
        return 1;
    }
    std::cout << "database " << model.UuidText() << " at MSN " << model.MSN() << " -> "
              << dbPath.Native() << "\n";
    std::uint64_t bytes = 0, utc = 1733443200000000ull;
    double applySecs = 0;
    for (int i = 0; i < logs; ++i) {
        UniversalPath logPath = folder.MakeUniversalPath(
            Mirel::unistring::FromUTF8("demo-" + std::to_string(i) + ".vrl"));
        logPath.Delete();
        sim::LogInfo li;
        utc += 60000000;
        if (Mirel::Error e = model.WriteRedoLog(logPath, static_cast<std::uint64_t>(pages), utc,
                                                i + 1 == logs, &li);
            !e.OK()) {
            std::cerr << "cannot write a redo log: error " << e.Text() << "\n";
            return 1;
        }
        auto t0 = std::chrono::steady_clock::now();
        Mirel::HBFile db(dbPath);
        db.SetOpeningFlags(0x110);
        Mirel::HBLogFile log(logPath);
        std::atomic<std::int32_t> abort{0};
        Mirel::Error e = db.Open(Mirel::HBFile::kPermReadWrite);
        if (e.OK()) e = Talon::IBS_Config::ProcessRedoLogFile(db, log, abort);
        Mirel::Error c = db.Close();
        applySecs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!e.OK() || !c.OK()) {
            std::cerr << "applying " << logPath.Native() << " failed: error "
                      << (e.OK() ? c : e).Text() << "\n";
            return 1;
        }
        bytes += li.bytes;
        std::cout << "applied " << logPath.GetName() << ": MSN " << li.startMSN << " -> " << li.msn
                  << ", " << li.records << " pages\n";
    }
    std::string diff = model.Compare(dbPath);
    std::printf("%d redo logs, %.1f MiB applied in %.3f s (%.0f MiB/s)\n", logs,
                static_cast<double>(bytes) / (1 << 20), applySecs,
                applySecs > 0 ? static_cast<double>(bytes) / (1 << 20) / applySecs : 0.0);
    if (!diff.empty()) {
        std::cout << "VERIFY FAILED: " << diff << "\n";
        return 1;
    }
    std::cout << "verified: every page and the MSN (" << model.MSN()
              << ") match what the server wrote\n";
    return 0;
}

}  // namespace ibsdb
