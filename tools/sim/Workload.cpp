#include "tools/sim/Workload.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Directory.h"
#include "platform/support/Listing.h"

namespace sim {

namespace {
constexpr std::uint64_t kMinute = 60000000;
Mirel::UniversalPath File(const std::string& p) {
    return Mirel::UniversalPath::FromNative(p);
}
}  // namespace

Workload::Workload(const std::string& backupFolder, const WorkloadOptions& options,
                   Announcer& announcer)
    : mBackup(backupFolder),
      mOpt(options),
      mAnnouncer(&announcer),
      mRng(options.seed),
      // A fixed start (2026-01-01) keeps runs with one seed identical.
      mClock(1767225600000000ull + (options.seed % 1000) * 60 * kMinute) {
    for (int i = 0; i < options.databases; ++i) {
        mDbs.push_back(
            std::make_unique<DatabaseModel>(options.seed * 1000 + static_cast<std::uint64_t>(i),
                                            options.pageSize, options.initialPages));
        mForgotten.push_back(false);
    }
}

void Workload::Forget(int i) {
    mForgotten[static_cast<std::size_t>(i)] = true;
}

std::string Workload::RedoFolder() {
    if (mRedoStart == 0) {
        mRedoStart = mClock;
        Mirel::Directory(
            Mirel::UniversalPath::Folder(
                mBackup + "/Changes/" + Talon::IBS_Config::MakeRedoFolderName(mRedoStart).ToUTF8()))
            .CreateIfNotExists();
    }
    return mBackup + "/Changes/" + Talon::IBS_Config::MakeRedoFolderName(mRedoStart).ToUTF8();
}

bool Workload::Upload(int which) {
    bool ok = true;
    for (int i = 0; i < Databases(); ++i) {
        if (which >= 0 && i != which) continue;
        std::string folder = mBackup + "/Copies/upload-" + std::to_string(mOpt.seed) + "-" +
                             std::to_string(++mUploads);
        Mirel::Directory(Mirel::UniversalPath::Folder(folder)).CreateIfNotExists();
        std::string path = folder + "/" + DbName(i);
        if (!Db(i).WriteFullCopy(File(path)).OK()) return false;
        mUploaded[DbName(i)][Db(i).MSN()] = Snapshot{Db(i).Uuid(), Db(i).MSN(), Db(i).Pages()};
        mForgotten[static_cast<std::size_t>(i)] = false;
        ok = mAnnouncer->Upload(path, Db(i).UuidText()) && ok;
    }
    return ok;
}

std::int32_t Workload::WriteIntervalLogs(const std::vector<int>& skip) {
    std::int32_t first = 0;
    for (int i = 0; i < Databases(); ++i) {
        if (std::find(skip.begin(), skip.end(), i) != skip.end()) continue;
        int logs =
            1 + static_cast<int>(mRng() % static_cast<std::uint64_t>(mOpt.maxLogsPerInterval));
        for (int k = 0; k < logs; ++k) {
            mClock += 1 + mRng() % 5000000;  // up to five seconds apart
            std::string path =
                RedoFolder() + "/" + std::to_string(++mSeq) + "-db" + std::to_string(i) + ".vrl";
            LogInfo info;
            std::uint64_t pages = mRng() % static_cast<std::uint64_t>(mOpt.maxPagesPerLog + 1);
            if (!Db(i).WriteRedoLog(File(path), pages, mClock, mRng() % 2, &info).OK()) return -1;
            mBytes += info.bytes;
            ++mLogs;
            std::int32_t r = mAnnouncer->RedoLogReady(path, Db(i).UuidText());
            if (r != 0 && first == 0) first = r;
        }
    }
    return first;
}

std::int32_t Workload::WriteCorruptLog(int i) {
    mClock += 1000;
    std::string path =
        RedoFolder() + "/" + std::to_string(++mSeq) + "-db" + std::to_string(i) + "-bad.vrl";
    // The model must not take the log's changes: write it from a copy of the database.
    DatabaseModel copy = Db(i);
    if (!copy.WriteRedoLog(File(path), 4, mClock, false).OK()) return -1;
    // Flip a byte inside the first record's page image.
    FILE* f = std::fopen(path.c_str(), "r+b");
    if (!f) return -1;
    std::fseek(f, 128 + 16 + 10, SEEK_SET);
    int c = std::fgetc(f);
    std::fseek(f, 128 + 16 + 10, SEEK_SET);
    std::fputc(c ^ 0x55, f);
    std::fclose(f);
    ++mLogs;
    return mAnnouncer->RedoLogReady(path, Db(i).UuidText());
}

std::int32_t Workload::CloseInterval() {
    // Interval ends fall in distinct minutes: last-good folders are named by the minute.
    std::uint64_t end = (mClock / kMinute + 1) * kMinute + mRng() % kMinute;
    std::vector<Mirel::unistring> none;
    std::string path = RedoFolder() + "/IntervalDone.vid";
    if (!sim::WriteIntervalDone(File(path), end, none).OK()) return -1;
    auto& snap = mHistory[end - end % kMinute];
    for (int i = 0; i < Databases(); ++i) {
        if (mForgotten[static_cast<std::size_t>(i)]) continue;
        snap[DbName(i)] = Snapshot{Db(i).Uuid(), Db(i).MSN(), Db(i).Pages()};
    }
    mEnds.push_back(end);
    mClock = end + 1;
    mRedoStart = 0;
    return mAnnouncer->RedoLogReady(path, "");
}

std::string Workload::VerifyLastGood(const std::string& folder) const {
    Mirel::Directory dir(Mirel::UniversalPath::Folder(folder));
    Mirel::unistring name = dir.GetChildName();
    std::uint64_t minute = Talon::BackupFolder::GetUTCFromTimestamp(
        name.substr(Talon::IBS_Config::sLastGoodFolderPrefix.size() + 1));
    auto h = mHistory.find(minute);
    if (h == mHistory.end()) return folder + ": no interval ended in that minute";
    std::vector<Mirel::UniversalPath> files;
    Mirel::BuildUniversalPathListFunctor f(files, Mirel::kListDatabaseFiles, true);
    dir.ProcessFiles(f, 3);
    std::ostringstream why;
    Talon::Manifest manifest;
    Talon::Manifest::Read(dir, manifest);
    for (const auto& file : files) {
        const std::string name = file.GetName().ToUTF8();
        const Talon::ManifestEntry* line = manifest.Find(name);
        if (line && line->held) {
            // A failed database's upload that its first log never changed.
            const Snapshot* uploaded = nullptr;
            auto up = mUploaded.find(name);
            if (up != mUploaded.end() && up->second.count(line->msn))
                uploaded = &up->second.at(line->msn);
            if (!uploaded) {
                why << file.Native() << ": held at MSN " << line->msn << ", never uploaded; ";
                continue;
            }
            std::string diff =
                DatabaseModel::Compare(file, uploaded->uuid, uploaded->msn, uploaded->pages);
            if (!diff.empty()) why << file.Native() << ": held: " << diff;
            continue;
        }
        auto s = h->second.find(name);
        if (s == h->second.end()) {
            why << file.Native() << ": not expected there; ";
            continue;
        }
        std::string diff =
            DatabaseModel::Compare(file, s->second.uuid, s->second.msn, s->second.pages);
        if (!diff.empty()) why << file.Native() << ": " << diff;
    }
    return why.str();
}

std::string Workload::VerifyAll(int* checked) const {
    std::string all;
    int n = 0;
    for (const auto& d : Talon::BackupFolder(Talon::IBS_Config::sLastGoodFolderPrefix)
                             .GetList(Mirel::UniversalPath::Folder(mBackup))) {
        std::vector<Mirel::UniversalPath> files;
        Mirel::BuildUniversalPathListFunctor f(files, Mirel::kListDatabaseFiles, true);
        d.ProcessFiles(f, 3);
        n += static_cast<int>(files.size());
        all += VerifyLastGood(d.GetPath().Native());
    }
    if (checked) *checked = n;
    return all;
}

}  // namespace sim

namespace sim {

std::string Workload::NewestLastGood() const {
    Mirel::Directory latest;
    if (!Talon::BackupFolder(Talon::IBS_Config::sLastGoodFolderPrefix)
             .GetLatest(Mirel::UniversalPath::Folder(mBackup), latest))
        return "";
    return latest.GetPath().Native();
}

bool Workload::WaitForLastGood(int timeoutMs) const {
    if (mEnds.empty()) return true;
    std::uint64_t want = mEnds.back() - mEnds.back() % kMinute;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // The service tells the server nothing when an interval completes: look at the folder.
    for (;;) {
        std::string newest = NewestLastGood();
        if (!newest.empty()) {
            Mirel::unistring name =
                Mirel::Directory(Mirel::UniversalPath::Folder(newest)).GetChildName();
            std::uint64_t utc = Talon::BackupFolder::GetUTCFromTimestamp(
                name.substr(Talon::IBS_Config::sLastGoodFolderPrefix.size() + 1));
            if (utc >= want) return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace sim
