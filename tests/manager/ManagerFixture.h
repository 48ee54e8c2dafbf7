// The backup manager in-process: this test thread plays the application's main thread,
// taking 1231 from the main queue and running the interval cycle, as the message loop does.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/DidoraRezaraApp.h"
#include "catalogue/IBSMgr.h"
#include "platform/support/Debug.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"
#include "tests/TestUtil.h"
#include "tools/sim/Workload.h"

namespace testutil {

class DirectAnnouncer : public sim::Announcer {
public:
    bool Upload(const std::string& path, const std::string& uuid) override {
        return IBSMgr::GetInstance()->FullDBBackupIsUploaded(Mirel::unistring::FromUTF8(path),
                                                             Mirel::unistring::FromUTF8(uuid));
    }
    std::int32_t RedoLogReady(const std::string& path, const std::string& uuid) override {
        return IBSMgr::GetInstance()->RedoLogIsReady(Mirel::unistring::FromUTF8(path),
                                                     Mirel::unistring::FromUTF8(uuid), true);
    }
};

class ManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static DidoraRezaraAppInstance* instance = [] {
            auto* i = new DidoraRezaraAppInstance;
            i->CreateInstance();
            IBSMgr::GetInstance()->CreateWorkers(2);
            return i;
        }();
        (void)instance;
    }
    void SetUp() override {
        Mirel::gDebugger.SetLogFile(tmp.path(), "talonibDebug.log");
        mgr = IBSMgr::GetInstance();
        ASSERT_EQ(mgr->SetBackupFolder(Mirel::unistring::FromUTF8(backup())), 1);
        Settle();
    }
    void TearDown() override {
        Mirel::Faults::Clear();
        mgr->SetBackupFolder(u"");
        while (Queue().GetMsg(0)) {
        }
    }

    std::string backup() const { return tmp / "backup"; }
    // Failures of the environment are retried after milliseconds rather than seconds.
    struct ShortRetries {
        explicit ShortRetries(IBSMgr* m) : mgr(m) { mgr->SetRetryDelays(2, 20); }
        ~ShortRetries() { mgr->SetRetryDelays(2000, 300000); }
        IBSMgr* mgr;
    };
    Mirel::MsgQ& Queue() { return GetDidoraRezaraApp()->GetMainMsgQ(); }

    // No worker holds or waits for an item of the current interval, and no check a worker
    // asked for on its way out is still to run (seen together, under the catalogue's lock: a
    // worker releases its item and asks for the check in one step).
    bool Idle() {
        bool idle = true;
        mgr->WithCatalogue([&](IntervalMap& intervals) {
            if (mgr->CheckPending() && mgr->FoldersReady() && !mgr->RetryPending()) idle = false;
            auto it = intervals.find(mgr->GetIntervalEnd());
            if (it == intervals.end()) return;
            Mirel::LockReentrant il(it->second.lock);
            for (auto& [uuid, item] : it->second.databases)
                if (item.owned || item.lastLogMSN != 0) idle = false;
        });
        return idle;
    }

    // The ends of the intervals in the catalogue, but the open one, that have no last-good
    // folder ("" when none): once the cycle has settled, an interval nothing will finish.
    std::string UnfinishedIntervals() {
        std::string keys;
        mgr->WithCatalogue([&](IntervalMap& intervals) {
            for (auto& [key, interval] : intervals)
                if (key != kOpenInterval && interval.backup.IsClear())
                    keys += " " + std::to_string(key);
        });
        return keys;
    }

    // Runs the cycle for every 1231 until nothing is left to do.
    void Settle() {
        for (int rounds = 0; rounds < 100000; ++rounds) {
            while (auto m = Queue().GetMsg(0))
                if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
            if (Idle()) return;
            auto m = Queue().GetMsg(60000);
            ASSERT_NE(m, nullptr) << "the workers never reported back";
            if (m->GetMsgCode() == 1231) mgr->CheckIntervals();
        }
    }

    // Count of files with an extension below a folder.
    static int CountFiles(const std::string& folder, const char16_t* ext) {
        std::vector<Mirel::UniversalPath> files;
        Mirel::BuildPathListExtensionFunctor f(files, ext, false);
        Mirel::Directory(Mirel::UniversalPath::Folder(folder)).ProcessFiles(f, 100);
        return static_cast<int>(files.size());
    }

    TempDir tmp;
    IBSMgr* mgr = nullptr;
    DirectAnnouncer announcer;
};

}  // namespace testutil
