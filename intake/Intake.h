// The intake: the server's announcements (registration, uploads, redo logs, interval-done
// files), the backup folder's set-up and the restart scan, turned into changes of the
// catalogue, under its lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"

class Intake {
public:
    Intake(Catalogue& catalogue, Mirel::Env& env) : mCat(catalogue), mEnv(env) {}
    ~Intake() { ForgetRedoFolder(); }
    Intake(const Intake&) = delete;
    Intake& operator=(const Intake&) = delete;

    // Announcements from the server (the manager forwards them).
    bool RegisterServer(const Mirel::unistring& address, unsigned short port,
                        unsigned short extra1 = 0, unsigned short extra2 = 0);
    std::int32_t VerifyFullDBBackup(const Mirel::unistring& name, const Mirel::unistring& uuid,
                                    std::uint64_t msn, bool requireContainers);
    std::int32_t RedoLogIsReady(const Mirel::unistring& pathText, const Mirel::unistring& uuid,
                                bool hasContainers);
    bool FullDBBackupIsUploaded(const Mirel::unistring& pathText, const Mirel::unistring& uuid);

    // Folder set-up.
    bool SetupFolders(const Mirel::Directory& dir);
    void ClearFolders();
    // Whether a folder can serve as a backup folder; what it had to create for the answer
    // is taken back when it cannot.
    Mirel::Error ProbeFolder(const Mirel::UniversalPath& folder,
                             std::string* failing = nullptr) const;
    // ProbeFolder for a folder the server names, with the reason reported when it cannot be used.
    bool CanTakeFolder(const Mirel::UniversalPath& path);
    // Event 0x49000335 and a debug line: a folder of the backup folder on another file system.
    void ReportOtherFileSystem(const std::string& folder, const std::string& backup);
    // Where an announced file really lies below `root`, a working folder: every folder on
    // the way a real folder and the file a regular file, no symbolic link anywhere; its
    // path is then rewritten onto the service's own path of `root`. False (with the reason
    // in `error`) for anything else.
    bool ResolveInside(const Mirel::Directory& root, const Mirel::UniversalPath& path,
                       Mirel::UniversalPath& canonical, int& error) const;
    // The first half of ResolveInside, without a look at the disk: the service's own path of
    // `root` (`base`), and the path below it, whole (`rest`) and as its elements.
    bool PartsInside(const Mirel::Directory& root, const Mirel::UniversalPath& path,
                     std::string& base, std::string& rest, std::vector<std::string>& parts) const;

    // The restart scan.
    // `resume` finishes an interval start that a stop or crash cut short, before the
    // intervals left with nothing are retired.
    void ScanFullBackupDB(const std::function<void()>& resume);
    IntervalMap::iterator AddIntervalFolder(const Mirel::Directory& dir, std::uint64_t utc);
    IntervalMap::iterator FindIntervalWithLog(const Mirel::unistring& uuid, std::uint64_t msn);
    std::uint64_t DeleteLeadingEmptyIntervals();
    // After the restart scan: a log that continues an upload (starts at or past its MSN) was
    // written after it, whatever its end says (a server clock that stepped back); filed in
    // an interval before the upload's, it moves to the upload's.
    // A log goes no earlier than the log or upload it continues, whatever its end says.
    void KeepChainOrder();
    // An in-progress copy found after a restart: true when the logs that bring it forward
    // are all in the catalogue (older ones merged again as needed).
    bool ChainInProgressCopy(const Mirel::UniversalPath& file, const Mirel::unistring& uuid,
                             std::uint64_t msn, IntervalMap::iterator current);
    bool ShareCheck(const Mirel::UniversalPath& file, const Mirel::unistring& uuid,
                    IntervalMap::iterator current);

    // Uploads.
    std::uint64_t FindDatabase(const Mirel::unistring& uuid, std::uint64_t msn,
                               bool requireContainers);
    // An upload the catalogue does not hold, with its containers and emptied folders.
    Talon::Error DeleteUpload(const Mirel::UniversalPath& path);

    // Redo logs and interval-done files.
    // 0, or why the log was not taken; `placed`: whether an interval took it anew.
    std::int32_t InsertRedoLog(const Mirel::UniversalPath& path, const Mirel::unistring& uuid,
                               std::uint64_t msn, std::uint64_t startMSN, std::uint64_t endUTC,
                               bool closed, bool hasContainers, bool* placed = nullptr);
    void AddInterval(const Mirel::UniversalPath& donePath, std::uint64_t endUTC,
                     const std::vector<Mirel::unistring>* list = nullptr);

private:
    // The restart scan, step by step (Scan.cpp).
    struct ScanState;
    void ReadLastGoodFolders(ScanState& s);
    void TakeRedoFolders(ScanState& s);
    void AddLastGoodIntervals(ScanState& s);
    void PlaceScannedLogs(ScanState& s);
    void ResumeInProgress(ScanState& s);
    void PlaceScannedUploads(ScanState& s);
    void ReleaseOlderLogs(ScanState& s);
    void FindLostLogs(ScanState& s);
    void FailForLinkedRedoFolders(ScanState& s);
    void DropKeptCopies();
    void KeepLeftovers(ScanState& s);
    void RetireEmptyIntervals(ScanState& s);

    // The redo folder `name` below `base` opened as a real folder (never through a link), for
    // opening a log in it: the folder of the last log stays open (`fd` is borrowed), and is
    // used again while both paths still name, unlinked, the folders it was opened as.
    // Under mCat.mLock. 0, or why it cannot be opened.
    int OpenRedoFolder(const std::string& base, const std::string& name, int& fd);
    void ForgetRedoFolder();

    Catalogue& mCat;
    Mirel::Env& mEnv;
    struct KeptFolder {
        std::string base, name;
        int fd = -1;
        std::uint64_t baseDev = 0, baseIno = 0, dev = 0, ino = 0;
    } mRedoFolder;
};
