// The server's side played step by step for the manager in-process: uploads at an MSN, one
// log at a time with its end, interval-done files, and a catalogue rebuilt as at a restart.
#pragma once

#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "tests/manager/Files.h"
#include "tests/manager/ManagerFixture.h"

namespace testutil {

constexpr std::uint64_t kStepStart = 1800000000000000ull;

class StepTest : public ManagerTest {
protected:
    ShortRetries shortRetries{mgr};

    void Upload(const std::string& uuid, std::uint64_t msn) {
        std::string path = WriteDb(
            backup() + "/Copies/u" + std::to_string(++seq) + "/" + uuid.substr(0, 4) + ".vdb", uuid,
            msn);
        ASSERT_TRUE(mgr->FullDBBackupIsUploaded(U(path), U(uuid)));
        msns[uuid] = msn;
    }
    // The database's next log, ending at `end` (by default a millisecond after the last). Its
    // one page is page 0, every byte the low byte of the MSN it reaches.
    std::int32_t Log(const std::string& uuid, std::uint64_t end = 0, std::string* path = nullptr) {
        std::uint64_t from = msns[uuid];
        if (end == 0) end = clock += 1000;
        std::string file =
            WriteLog(Redo(), "l" + std::to_string(++seq) + ".vrl", uuid, from, from + 1, end);
        if (path) *path = file;
        std::int32_t rc = mgr->RedoLogIsReady(U(file), U(uuid), true);
        if (rc == 0) msns[uuid] = from + 1;
        return rc;
    }
    // Closes the interval (by default in the next minute); `settle` runs the cycle.
    std::uint64_t Close(bool settle = true) {
        std::uint64_t end = (clock / kMinute + 1) * kMinute + 1234;
        EXPECT_EQ(mgr->RedoLogIsReady(U(WriteDone(Redo(), end, {})), u"", true), 0);
        clock = end;
        redo = 0;
        if (settle) SettleWithRetries();
        return end;
    }
    void SettleWithRetries() {
        for (int i = 0; i < 1000; ++i) {
            Settle();
            if (!mgr->RetryPending()) return;
            if (auto m = Queue().GetMsg(5000))
                if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
        }
    }
    // What a restart does: the catalogue rebuilt from the backup folder.
    void Rebuild() {
        mgr->RegisterServer(u"127.0.0.1", 1);
        ASSERT_EQ(mgr->SetBackupFolder(U(backup())), 1);
    }
    std::string Redo() {
        if (redo == 0) redo = clock + 1;
        std::string f = backup() + "/Changes/Redo_" + std::to_string(redo);
        MakeDirs(f);
        return f;
    }
    std::string NewestFolder() {
        Mirel::Directory latest;
        if (!Talon::BackupFolder(u"LastGood")
                 .GetLatest(Mirel::UniversalPath::Folder(backup()), latest))
            return "";
        return latest.GetPath().Native();
    }
    std::vector<std::string> AllFolders() {
        std::vector<std::string> out;
        for (const auto& d :
             Talon::BackupFolder(u"LastGood").GetList(Mirel::UniversalPath::Folder(backup())))
            out.push_back(d.GetPath().Native());
        return out;
    }
    int Folders() { return static_cast<int>(AllFolders().size()); }
    // The MSN in a database file's header (0 when it is none).
    static std::uint64_t MsnOf(const std::string& file) {
        Mirel::unistring uuid;
        std::uint64_t msn = 0;
        Talon::IBS_Config::GetDBInfo(Mirel::UniversalPath::FromNative(file), uuid, msn);
        return msn;
    }
    static std::string CopyOf(const std::string& folder, const std::string& uuid) {
        return folder + "/" + uuid.substr(0, 4) + ".vdb";
    }

    std::map<std::string, std::uint64_t> msns;
    std::uint64_t clock = kStepStart, redo = 0;
    int seq = 0;
};

}  // namespace testutil
