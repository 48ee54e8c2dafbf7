#include "tools/sim/Demo.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "platform/engine/HBEngine.h"
#include "platform/engine/HBFile.h"
#include "platform/engine/HBLogFile.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/Directory.h"
#include "tools/sim/DatabaseModel.h"

using Mirel::UniversalPath;

namespace sim {

int Demo(const std::string& dir, int logs, int pages, int pageSize, std::uint64_t seed) {
    Mirel::HBEngine::Startup(true, 65536, nullptr, nullptr);
    Mirel::Directory folder(UniversalPath::Folder(dir));
    if (Mirel::Error e = folder.CreateIfNotExists(); !e.OK()) {
        std::cerr << "cannot create " << dir << ": error " << e.Text() << "\n";
        return 1;
    }
    DatabaseModel model(seed, static_cast<std::uint32_t>(pageSize), 64);
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
        LogInfo li;
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

}  // namespace sim
