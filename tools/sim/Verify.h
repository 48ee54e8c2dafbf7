// The checks of what a user restores, made against the server's ledger after every interval:
// the newest last-good folder holds every database at the interval's end, no copy anywhere
// holds a state the server never had, and every accepted file was applied, set aside or
// superseded.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/sim/Ledger.h"
#include "tools/sim/Report.h"

namespace sim {

// "LastGood_YYYY-MM-DD_HHMM" (the start of that minute) or
// "LastGood_YYYY-MM-DD_HHMM_SS.ffffff" (exactly); false for anything else.
bool ParseLastGoodName(const std::string& name, std::uint64_t& utc, bool& exact);

struct LastGoodFolder {
    std::string path, name;
    std::uint64_t utc = 0;
    bool exact = false;
};
// Oldest first.
std::vector<LastGoodFolder> ListLastGood(const std::string& backup);
// The interval the newest last-good folder stands for (0 when there is none or it matches
// no interval end of the ledger).
int NewestInterval(const Ledger& ledger);

// A file set aside by the service, as Rejected/ and reasons.tsv show it.
struct SetAside {
    std::string name;  // in Rejected/
    int reason = 0;    // 0: no reasons.tsv line
    // Taken first, then set aside because its database failed or was replaced meanwhile.
    bool withItsDatabase = false;
};
// Original path -> where it went; files without a reasons.tsv line are keyed "?<name>".
std::map<std::string, SetAside> ReadRejected(const std::string& backup);
// Failed.tsv: UUID -> error number.
std::map<std::string, int> ReadFailedList(const std::string& backup);
// Failed.tsv: UUID -> since when it is failed (UTC microseconds, the service's clock).
std::map<std::string, std::uint64_t> ReadFailedSince(const std::string& backup);

// Database d failed (Failed.tsv) with 20307 or 10721 since a link stood where a redo folder
// was: a scan that finds the link fails every database the next folders would hold.
bool FailedForLink(const Ledger& ledger, int d);
// Database d's newest good copy outside the last-good folders, as a database failed for a
// link, or before any folder held it, may have it: an accepted upload still in Copies/, or a
// copy in Kept/<uuid>/.
bool KeptOutsideFolders(const Ledger& ledger, int d);
// Any copy of database d at all: in a last-good folder, whatever its MSN, or as above.
bool AnyCopyOf(const Ledger& ledger, int d);
// Whether InProgress/ holds a copy of the database: a failed database's held upload waits there
// until its folder is published, the failure recorded first.
// Every database the server keeps has failed, or may be missing from interval k (failed for
// a link and uploaded again before its notification came): nothing to publish up to k.
bool EveryDatabaseFailed(const Ledger& ledger, int k);
bool InProgressHolds(const Ledger& ledger, int d);

// Temporary files (*.part, *.tmp*) anywhere, files left in the in-progress folder while no
// interval runs, and files in the copies folder that no pending upload explains.
std::vector<std::string> FindLeftovers(const Ledger& ledger, bool intervalRunning);

class Checker {
public:
    Checker(Ledger& ledger, Report& report) : mL(ledger), mR(report) {}
    // How long a set-aside file may wait for its reasons.tsv line (the service writes it
    // beside the move) before it counts as unexplained.
    void SetReasonGrace(std::chrono::milliseconds grace) { mReasonGrace = grace; }

    // Everything after interval k completed. `awaitNotice(db)` waits a while for
    // notification 21 about a database and says whether it came.
    void VerifyInterval(int k, const std::function<bool(int)>& awaitNotice);
    // The fate of every accepted file of intervals up to `upTo`; with `final`, of all, and
    // nothing may stay undecided.
    void Account(int upTo, bool final);
    // An invalid file the service took is still where the server wrote it. Right after a
    // publication the service may still be recording a failure and setting files aside.
    bool InvalidFileInPlace() const;

    int CopiesChecked() const { return mCopies; }

private:
    struct Copy {
        std::string path;
        DbFile file;
        bool held = false;  // its manifest line says held: a failed database's newest good copy
    };
    std::vector<Copy> ReadFolder(const std::string& folder);
    void CheckManifest(const LastGoodFolder& f, const std::vector<Copy>& copies);
    // False when the copy is not the service's to judge (the host changed its bytes).
    bool CheckCopy(const Copy& c, int interval, const std::string& where, bool newest,
                   const LastGoodFolder& folder);
    // A held copy must be a whole state the server had: an upload, or an interval's end.
    bool HeldStateExists(int db, const DbState& state) const;
    // Every database the server still has failed: an interval may end without a folder.
    bool CopyOfStateExists(int db, int fromInterval);
    bool Superseded(const FileRec& f) const;
    std::string Where(const FileRec& f) const;

    Ledger& mL;
    Report& mR;
    int mCopies = 0;
    std::set<std::string> mManifestChecked, mReported;
    std::map<std::string, std::chrono::steady_clock::time_point> mNoReasonSince;
    std::chrono::steady_clock::duration mReasonGrace = std::chrono::seconds(5);
    std::map<std::string, std::pair<std::string, DbFile>> mRead;  // path -> (inode key, result)
};

}  // namespace sim
