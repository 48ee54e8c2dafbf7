// A server's uploads, logs and interval ends, and what the newest last-good folders hold.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "tests/manager/Files.h"
#include "tests/manager/ManagerFixture.h"

namespace testutil {

inline constexpr std::uint64_t kStart = 1800000000000000ull;
using Msns = std::map<std::string, std::uint64_t>;

class CycleFixture : public ManagerTest {
protected:
    ShortRetries shortRetries{mgr};

    void Upload(const std::string& uuid, std::uint64_t msn) {
        std::string path = WriteDb(
            backup() + "/Copies/u" + std::to_string(++seq) + "/" + uuid.substr(0, 4) + ".vdb", uuid,
            msn);
        ASSERT_TRUE(Up(path, uuid));
        msns[uuid] = msn;
    }
    std::string UploadAt(const std::string& path, const std::string& uuid, std::uint64_t msn) {
        WriteDb(path, uuid, msn);
        EXPECT_TRUE(Up(path, uuid)) << path;
        msns[uuid] = msn;
        return path;
    }
    std::string Read(const std::string& name) const { return ReadFile(backup() + "/" + name); }
    bool InBackup(const std::string& name) const { return Exists(backup() + "/" + name); }
    // The database's next log (`damage`d behind a sound header), ending at `end` (by default a
    // millisecond after the last); its MSN moves on when a sound log is taken.
    std::int32_t LogAt(const std::string& uuid, std::uint64_t end = 0, std::string* path = nullptr,
                       bool damage = false) {
        const std::uint64_t from = msns[uuid];
        if (end == 0) end = clock += 1000;
        std::string file =
            WriteLog(Redo(), "l" + std::to_string(++seq) + ".vrl", uuid, from, from + 1, end);
        if (path) *path = file;
        if (damage) FlipByte(file, 128 + 16 + 5, 1);
        const std::int32_t rc = Ready(file, uuid);
        if (rc == 0 && !damage) msns[uuid] = from + 1;
        return rc;
    }
    std::int32_t Log(const std::string& uuid, bool damage = false) {
        return LogAt(uuid, 0, nullptr, damage);
    }
    // One log of each database, then the interval closed and the cycle run.
    std::uint64_t Interval(std::initializer_list<std::string> uuids) {
        for (const auto& uuid : uuids) EXPECT_EQ(Log(uuid), 0) << uuid;
        return Close();
    }
    // Closes the interval at `end` (by default in the next minute) and runs the cycle.
    std::uint64_t Close(std::uint64_t end = 0, bool settle = true) {
        if (end == 0) end = (clock / kMinute + 1) * kMinute + 1234;
        EXPECT_EQ(Ready(WriteDone(Redo(), end, {})), 0);
        states[end] = msns;
        clock = end;
        redo = 0;
        if (settle) SettleWithRetries();
        return end;
    }
    void SettleWithRetries() {
        for (int i = 0; i < 1000; ++i) {
            Settle();
            // A retry that fired after Settle looked has posted its check: taken below.
            if (!mgr->RetryPending() && Queue().Size() == 0) return;
            if (auto m = Queue().GetMsg(5000))
                if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
        }
    }
    std::string Redo() {
        if (redo == 0) redo = clock + 1;
        std::string f = backup() + "/Changes/Redo_" + std::to_string(redo);
        testutil::MakeDirs(f);
        return f;
    }
    // The newest last-good folder and the MSN of each database in it.
    std::map<std::string, std::uint64_t> Newest(std::string* name = nullptr) {
        std::map<std::string, std::uint64_t> out;
        Mirel::Directory latest;
        if (!Talon::BackupFolder(u"LastGood")
                 .GetLatest(Mirel::UniversalPath::Folder(backup()), latest))
            return out;
        if (name) *name = latest.GetChildName().ToUTF8();
        for (const auto& file : List(latest.GetPath().Native())) {
            const DbId id = DbInfo(file);
            if (!id.uuid.empty()) out[id.uuid.ToUTF8()] = id.msn;
        }
        return out;
    }
    std::string NewestFolder() { return NewestLastGood(backup()); }
    std::vector<std::string> AllFolders() {
        std::vector<std::string> out;
        for (const auto& d :
             Talon::BackupFolder(u"LastGood").GetList(Mirel::UniversalPath::Folder(backup())))
            out.push_back(d.GetPath().Native());
        return out;
    }
    int Folders() { return static_cast<int>(AllFolders().size()); }
    // How many last-good folders hold a copy of the database.
    int CopiesOf(const std::string& uuid) {
        int n = 0;
        for (const auto& f : AllFolders()) n += IsFile(CopyOf(f, uuid));
        return n;
    }
    static std::uint64_t MsnOf(const std::string& file) { return DbInfo(file).msn; }
    static std::string CopyOf(const std::string& folder, const std::string& uuid) {
        return folder + "/" + uuid.substr(0, 4) + ".vdb";
    }
    // Every copy in every last-good folder has the MSN its interval ended with.
    void ExpectEveryFolderExact() {
        for (const auto& d :
             Talon::BackupFolder(u"LastGood").GetList(Mirel::UniversalPath::Folder(backup()))) {
            Talon::Manifest m;
            ASSERT_TRUE(Talon::Manifest::Read(d, m).OK()) << d.GetPath().Native();
            for (const auto& file : List(d.GetPath().Native())) {
                const DbId id = DbInfo(file);
                ASSERT_FALSE(id.uuid.empty()) << file.Native();
                EXPECT_EQ(id.msn, states.at(m.intervalEnd).at(id.uuid.ToUTF8())) << file.Native();
            }
        }
    }

    std::map<std::string, std::uint64_t> msns;
    std::map<std::uint64_t, std::map<std::string, std::uint64_t>> states;
    std::uint64_t clock = kStart, redo = 0;
    int seq = 0;
};

}  // namespace testutil
