// Files the server writes, made with the engine's writers, and a recorder of event records.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine/Uuid.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Logger.h"
#include "tests/TestUtil.h"
#include "tests/lib/PowerLoss.h"
#include "tools/sim/ServerWriters.h"

namespace testutil {

inline Mirel::unistring U(const std::string& s) {
    return Mirel::unistring::FromUTF8(s);
}

// A redo folder or log moved out to `moved`, and a link to a copy of it (`lure`) left in its
// place, as the server (or a hostile user) may do after its logs were announced.
inline void SwapForLinkToCopy(const std::string& folder, const std::string& lure,
                              const std::string& moved) {
    EXPECT_EQ(std::system(("cp -a " + folder + " " + lure).c_str()), 0);
    EXPECT_EQ(::rename(folder.c_str(), moved.c_str()), 0);
    EXPECT_EQ(::symlink(lure.c_str(), folder.c_str()), 0);
}

// A log of `uuid` from `start` to `msn` ending at `end`, with a page when the MSN moves or with
// `page`; `closed`: the database's last.
inline std::string WriteLog(const std::string& folder, const std::string& name,
                            const std::string& uuid, std::uint64_t start, std::uint64_t msn,
                            std::uint64_t end, bool closed = false, bool page = false) {
    MakeDirs(folder);
    Mirel::Format::Uuid u;
    Mirel::UuidText::FromText(U(uuid), u);
    sim::RedoLogWriter w;
    std::string path = folder + "/" + name;
    w.Open(Mirel::UniversalPath::FromNative(path), u, 512, start);
    if (msn > start || page) {
        std::vector<std::uint8_t> page(512, static_cast<std::uint8_t>(msn));
        w.AddPage(0, page.data());
    }
    w.Finish(msn, end, closed);
    return path;
}

inline std::string WriteDone(const std::string& folder, std::uint64_t end,
                             const std::vector<Mirel::unistring>& list,
                             const std::string& name = "IntervalDone.vid") {
    MakeDirs(folder);
    std::string path = folder + "/" + name;
    sim::WriteIntervalDone(Mirel::UniversalPath::FromNative(path), end, list);
    return path;
}

// A database file of `uuid` at `msn` with `pages` pages.
inline std::string WriteDb(const std::string& path, const std::string& uuid, std::uint64_t msn,
                           int pages = 2) {
    MakeDirs(path.substr(0, path.rfind('/')));
    Mirel::Format::Uuid u;
    Mirel::UuidText::FromText(U(uuid), u);
    sim::PageMap map;
    for (int i = 0; i < pages; ++i) map[static_cast<std::uint64_t>(i)] = sim::PageImage(512, 7);
    sim::WriteDatabaseFile(Mirel::UniversalPath::FromNative(path), u, 512, msn, map);
    return path;
}

// The identity in a database file's header: an empty UUID and MSN 0 when it is none.
struct DbId {
    Mirel::unistring uuid;
    std::uint64_t msn = 0;
};
inline DbId DbInfo(const Mirel::UniversalPath& file) {
    DbId id;
    if (!Talon::IBS_Config::GetDBInfo(file, id.uuid, id.msn).OK()) id = DbId();
    return id;
}
inline DbId DbInfo(const std::string& file) {
    return DbInfo(Mirel::UniversalPath::FromNative(file));
}

// The newest last-good folder of a backup folder ("" when there is none).
inline std::string NewestLastGood(const std::string& backup) {
    Mirel::Directory latest;
    if (!Talon::BackupFolder(u"LastGood").GetLatest(Mirel::UniversalPath::Folder(backup), latest))
        return "";
    return latest.GetPath().Native();
}

// Every event record reported while it lives (not after a power-loss run's crash).
class Events {
public:
    // `disk`: the disk of a power-loss run, whose crash ends the process.
    explicit Events(Mirel::PowerLoss::Disk* disk = nullptr) {
        Talon::Logger::SetObserver(
            [this, disk](std::int32_t code, const std::vector<Mirel::unistring>& t) {
                if (disk && disk->Crashed()) return;
                std::lock_guard<std::mutex> g(m);
                seen.emplace_back(static_cast<std::uint32_t>(code), t);
            });
    }
    ~Events() { Talon::Logger::SetObserver(nullptr); }
    int Count(std::uint32_t code) {
        std::lock_guard<std::mutex> g(m);
        int n = 0;
        for (auto& e : seen) n += e.first == code;
        return n;
    }
    // The texts of the last record with this code (empty when there is none).
    std::vector<Mirel::unistring> Last(std::uint32_t code) {
        std::lock_guard<std::mutex> g(m);
        for (auto it = seen.rbegin(); it != seen.rend(); ++it)
            if (it->first == code) return it->second;
        return {};
    }
    std::mutex m;
    std::vector<std::pair<std::uint32_t, std::vector<Mirel::unistring>>> seen;
};

}  // namespace testutil
