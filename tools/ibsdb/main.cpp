// ibsdb: looks inside the backup service's files and backup folders (docs/operations.md).
//
//   ibsdb status BACKUP_DIR        is the backup current; what waits; what was set aside
//   ibsdb verify FOLDER|BACKUP_DIR re-reads copies and compares them with their manifests
//   ibsdb list BACKUP_DIR          every restore point: interval end, databases, sizes, whole
//   ibsdb offsite push BACKUP_DIR --credentials FILE
//                                  copies the restore points not yet off the host to the store
//   ibsdb restore BACKUP_DIR --to DIR   copies the newest good copies out, checked
//   ibsdb prune-rejected BACKUP_DIR --older-than 30d
//                                  removes files set aside long ago, with a record
//   ibsdb expire BACKUP_DIR [--keep N] [--keep-hours H]
//                                  thins out restore points the policy no longer keeps
//   ibsdb expire --remote FILE [--keep N]   the same off the host (no BACKUP_DIR needed)
//   ibsdb check BACKUP_DIR         a pre-flight: the folder, its file system and space, the
//                                  preferences, the port and the unit
//   ibsdb info FILE...             what a database file, redo log or interval-done file holds
//   ibsdb check-log FILE...        verifies every record of redo logs
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "ibs_version.h"
#include "platform/framework/Prefs.h"
#include "platform/framework/Retention.h"
#include "platform/framework/ServiceSetup.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace {

// An absolute path without "." or ".." elements; no link is resolved.
std::string Absolute(const std::string& p) {
    std::string in = p;
    if (in.empty() || in[0] != '/') {
        char buf[4096];
        if (::getcwd(buf, sizeof buf)) in = std::string(buf) + "/" + in;
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= in.size()) {
        std::size_t slash = in.find('/', start);
        if (slash == std::string::npos) slash = in.size();
        std::string el = in.substr(start, slash - start);
        if (el == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!el.empty() && el != ".") {
            parts.push_back(el);
        }
        start = slash + 1;
    }
    std::string out;
    for (const auto& el : parts) out += "/" + el;
    return out.empty() ? "/" : out;
}

// Every program of the package exits with 2 on a command line it does not understand.
constexpr int kUsageError = 2;

int Usage(const std::string& why) {
    std::cerr << "ibsdb: " << why << "\n";
    return kUsageError;
}

// "1048576", "512K", "10M", "1G": bytes per second, the suffixes powers of 1024; above 0.
bool ParseRate(const std::string& text, std::uint64_t& rate) {
    std::size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || text.empty()) return false;
    if (digits == std::string::npos) digits = text.size();
    if (digits > 12) return false;
    std::uint64_t v = std::stoull(text.substr(0, digits));
    const std::string unit = text.substr(digits);
    if (unit == "K" || unit == "k")
        v <<= 10;
    else if (unit == "M" || unit == "m")
        v <<= 20;
    else if (unit == "G" || unit == "g")
        v <<= 30;
    else if (!unit.empty())
        return false;
    rate = v;
    return v > 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Looks inside the Vellumark backup service's files and backup folders"};
    app.set_version_flag("--version", std::string("ibsdb ") + IBS_VERSION);
    app.require_subcommand(1);

    std::string warnLag = "2h", critLag = "1d", critWait = "1h", warnOffsite = "1d";
    ibsdb::StatusOptions so;
    auto* status = app.add_subcommand(
        "status", "is the backup current; failed databases; work waiting; files set aside");
    status->add_option("backup", so.backup, "the backup folder")->required();
    status->add_flag("--json", so.json, "one JSON document (docs/operations.md)");
    status->add_option("--warn-lag", warnLag, "warning when a database's newest copy is older")
        ->capture_default_str();
    status->add_option("--crit-lag", critLag, "critical when a database's newest copy is older")
        ->capture_default_str();
    status
        ->add_option("--crit-wait", critWait,
                     "critical when an interval has waited longer (a warning at once)")
        ->capture_default_str();

    status
        ->add_option("--warn-offsite-lag", warnOffsite,
                     "warning when the newest point off the host is this far behind the newest "
                     "here (once ibsdb offsite push has run)")
        ->capture_default_str();

    ibsdb::VerifyOptions vo;
    auto* verify = app.add_subcommand(
        "verify",
        "re-read the copies of a last-good folder (or all of a backup folder's) and "
        "compare them with the manifest");
    verify->add_option("path", vo.path, "a last-good folder or a backup folder")->required();
    verify->add_flag("--json", vo.json, "one JSON document (docs/operations.md)");
    std::string verifyRemote, verifyPrefix;
    verify->add_option("--remote", verifyRemote,
                       "read the point(s) back from the object store of this credentials file "
                       "instead (docs/offsite.md)");
    verify->add_option("--prefix", verifyPrefix, "with --remote: the keys' prefix, as pushed");

    ibsdb::ListOptions lo;
    auto* list = app.add_subcommand(
        "list",
        "every restore point, newest first: interval end, databases, apparent and unique size, "
        "whether it is whole (sizes and headers only: verify reads every byte)");
    list->add_option("backup", lo.backup, "the backup folder")->required();
    list->add_flag("--json", lo.json, "one JSON document (docs/operations.md)");
    list->add_option("--remote", lo.remote.credentials,
                     "also the points off the host, in the object store of this credentials file");
    list->add_option("--prefix", lo.remote.prefix, "with --remote: the keys' prefix, as pushed");

    ibsdb::PushOptions pu;
    auto* offsite = app.add_subcommand("offsite", "restore points off the host (docs/offsite.md)");
    offsite->require_subcommand(1);
    auto* push = offsite->add_subcommand(
        "push",
        "copy every last-good folder not yet off the host to the object store, oldest first, "
        "each file checked against its manifest line");
    push->add_option("backup", pu.backup, "the backup folder")->required();
    push->add_option("--credentials", pu.remote.credentials,
                     "the object store's credentials file (mode 600)")
        ->required();
    push->add_option("--prefix", pu.remote.prefix,
                     "before every key (one per host sharing a bucket)");
    push->add_flag("--json", pu.json, "one JSON document (docs/offsite.md)");
    std::string pushRate;
    push->add_option("--max-rate", pushRate,
                     "at most this many bytes per second to and from the store, or with K, M or "
                     "G (1024, 1024^2, 1024^3): 512K, 10M (default: no limit)");

    ibsdb::RestoreOptions ro;
    std::string at;
    auto* restore = app.add_subcommand(
        "restore", "copy the newest good copy of each database out of the last-good folders");
    restore->add_option("backup", ro.backup, "the backup folder")->required();
    restore->add_option("--to", ro.to, "the folder to restore into (empty or new)")->required();
    restore->add_option("--database", ro.databases,
                        "only this database: its name, file name or UUID (repeatable)");
    restore->add_option("--at", at,
                        "the newest copies at or before this time (YYYY-MM-DD HH:MM[:SS], UTC "
                        "unless an offset follows: +0100, +01:00, Z) or in this last-good "
                        "folder (LastGood_...)");
    restore->add_flag("--force", ro.force, "restore into a folder that is not empty");
    restore->add_flag("--json", ro.json, "one JSON document (docs/operations.md)");
    std::string fromRemote, restorePrefix;
    restore->add_option("--from-remote", fromRemote,
                        "every file of one point off the host, from the object store of this "
                        "credentials file (the newest, or --at), each checked as it arrives");
    restore->add_option("--prefix", restorePrefix,
                        "with --from-remote: the keys' prefix, as pushed");
    bool resume = false;
    restore->add_flag("--resume", resume,
                      "with --from-remote: continue a restore cut short into the same folder; "
                      "files in place that check whole are kept, partial ones are completed, "
                      "every byte checked");

    ibsdb::PruneOptions po;
    std::string olderThan;
    auto* prune = app.add_subcommand(
        "prune-rejected",
        "remove files set aside in Rejected/ longer ago than --older-than, with their lines "
        "of reasons.tsv; each run is recorded in Rejected/pruned.tsv");
    prune->add_option("backup", po.backup, "the backup folder")->required();
    prune->add_option("--older-than", olderThan, "set aside at least this long ago (30d, 12h, 90m)")
        ->required();
    prune->add_flag("--dry-run", po.dryRun, "say what would be removed, remove nothing");

    ibsdb::ExpireOptions eo;
    auto* expire = app.add_subcommand(
        "expire",
        "keep the newest --keep last-good folders and those younger than --keep-hours whole; "
        "remove from the others every copy a newer good copy makes unnecessary (never a "
        "database's newest good copy). Refused while the service runs on the folder");
    expire->add_option("backup", eo.backup,
                       "the backup folder; with --remote not needed, and not read when given");
    expire
        ->add_option("--keep", eo.keep,
                     "restore points kept whole, 1 or more (default: preference 82, else 2)")
        ->check(CLI::Range(std::int64_t{1}, Talon::Retention::kMaxCount));
    expire
        ->add_option("--keep-hours", eo.keepHours,
                     "also keep those whose interval ended less than this many hours before the "
                     "newest one's (default: preference 83, else 0: none)")
        ->check(CLI::Range(std::int64_t{0}, Talon::Retention::kMaxHours));
    expire->add_flag("--dry-run", eo.dryRun, "say what would be removed, remove nothing");
    std::string expireRemote, expirePrefix;
    expire->add_option("--remote", expireRemote,
                       "apply the policy to the points off the host instead (a credentials "
                       "file, docs/offsite.md)");
    expire->add_option("--prefix", expirePrefix, "with --remote: the prefix of the keys");
    expire->add_flag("--json", eo.json, "one JSON document (docs/operations.md)");

    ibsdb::CheckOptions co;
    auto* check = app.add_subcommand(
        "check",
        "a pre-flight, one line each: the folder and its parts on one file system, writable, "
        "free space, the preference file, port 50004, the unit's ReadWritePaths");
    check->add_option("backup", co.backup, "the backup folder (it need not exist yet)")->required();
    check->add_flag("--json", co.json, "one JSON document (docs/operations.md)");

    std::vector<std::string> files;
    auto* info = app.add_subcommand("info", "describe database, redo log or interval-done files");
    info->add_option("files", files)->required();
    auto* checkLog = app.add_subcommand("check-log", "verify every record of redo logs");
    checkLog->add_option("files", files)->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version exit 0.
        int rc = app.exit(e);
        return rc == 0 ? 0 : kUsageError;
    }

    if (*status) {
        if (!ibsdb::ParseDuration(warnLag, so.warnLag))
            return Usage("--warn-lag: not a duration (for example 90s, 15m, 2h, 1d, 1h30m)");
        if (!ibsdb::ParseDuration(critLag, so.critLag))
            return Usage("--crit-lag: not a duration (for example 90s, 15m, 2h, 1d, 1h30m)");
        if (so.warnLag > so.critLag) return Usage("--warn-lag is above --crit-lag");
        if (!ibsdb::ParseDuration(critWait, so.critWait))
            return Usage("--crit-wait: not a duration (for example 90s, 15m, 2h, 1d, 1h30m)");
        if (!ibsdb::ParseDuration(warnOffsite, so.warnOffsiteLag))
            return Usage(
                "--warn-offsite-lag: not a duration (for example 90s, 15m, 2h, 1d, 1h30m)");
        so.backup = Absolute(so.backup);
        return ibsdb::Status(so, std::cout);
    }
    // Every store failure that will be tried again is said, so a wait is not taken for a hang.
    auto sayRetry = [](const ObjectStore::Status& s, int attempt, std::chrono::milliseconds d) {
        std::cerr << "ibsdb: attempt " << attempt << " failed, again in " << d.count()
                  << " ms: " << s.ToString() << "\n";
    };
    if (*push) {
        if (!pushRate.empty()) {
            std::uint64_t rate = 0;
            if (!ParseRate(pushRate, rate))
                return Usage(
                    "--max-rate: not a number of bytes per second (for example 512K, 10M)");
            pu.remote.maxSendBytesPerSecond = pu.remote.maxRecvBytesPerSecond = rate;
        }
        pu.backup = Absolute(pu.backup);
        pu.remote.retry.onRetry = sayRetry;
        return ibsdb::OffsitePush(pu, std::cout);
    }
    if (*verify && !verifyRemote.empty()) {
        ibsdb::RemoteVerifyOptions rv;
        rv.remote.credentials = verifyRemote;
        rv.remote.prefix = verifyPrefix;
        rv.remote.retry.onRetry = sayRetry;
        rv.path = Absolute(vo.path);
        rv.json = vo.json;
        std::string trimmed = rv.path;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
        const std::string name = trimmed.substr(trimmed.find_last_of('/') + 1);
        if (name.rfind("LastGood_", 0) == 0) rv.folder = name;
        return ibsdb::VerifyRemote(rv, std::cout);
    }
    if (!verifyPrefix.empty()) return Usage("--prefix goes with --remote");
    if (*verify) {
        vo.path = Absolute(vo.path);
        return ibsdb::Verify(vo, std::cout);
    }
    if (*list) {
        if (!lo.remote.prefix.empty() && lo.remote.credentials.empty())
            return Usage("--prefix goes with --remote");
        lo.backup = Absolute(lo.backup);
        lo.remote.retry.onRetry = sayRetry;
        return ibsdb::List(lo, std::cout);
    }
    if (*restore) {
        if (at.rfind("LastGood_", 0) == 0)
            ro.atFolder = at;
        else if (!at.empty() && !ibsdb::ParseTime(at, ro.at))
            return Usage(
                "--at: not a time (YYYY-MM-DD HH:MM[:SS[.ffffff]], UTC or with an offset such "
                "as +0100, +01:00 or Z) nor a last-good folder name");
        ro.backup = Absolute(ro.backup);
        ro.to = Absolute(ro.to);
        if (!fromRemote.empty()) {
            if (!ro.databases.empty())
                return Usage(
                    "--database does not go with --from-remote: a whole point is restored");
            ibsdb::RemoteRestoreOptions rr;
            rr.remote.credentials = fromRemote;
            rr.remote.prefix = restorePrefix;
            rr.remote.retry.onRetry = sayRetry;
            rr.backup = ro.backup;
            rr.to = ro.to;
            rr.folder = ro.atFolder;
            rr.at = ro.at;
            rr.force = ro.force;
            rr.resume = resume;
            rr.json = ro.json;
            return ibsdb::RestoreRemote(rr, std::cout);
        }
        if (!restorePrefix.empty()) return Usage("--prefix goes with --from-remote");
        if (resume) return Usage("--resume goes with --from-remote");
        ro.progress = ::isatty(STDERR_FILENO) != 0;
        return ibsdb::Restore(ro, std::cout);
    }
    if (*prune) {
        // A unit is required: a bare "30" meant as days would remove nearly everything.
        if (olderThan.find_first_not_of("0123456789") == std::string::npos ||
            !ibsdb::ParseDuration(olderThan, po.olderThan) || po.olderThan == 0)
            return Usage(
                "--older-than: not a duration above zero with its unit (for example 30d, 12h, "
                "90m, 1d12h)");
        po.backup = Absolute(po.backup);
        return ibsdb::PruneRejected(po, std::cout);
    }
    if (*expire && !expireRemote.empty()) {
        ibsdb::RemoteExpireOptions ro;
        ro.remote.credentials = expireRemote;
        ro.remote.prefix = expirePrefix;
        ro.remote.retry.onRetry = sayRetry;
        ro.dryRun = eo.dryRun;
        ro.json = eo.json;
        Talon::Retention policy;
        if (eo.keep < 0 || eo.keepHours < 0) {
            Talon::ServicePrefs prefs;
            std::string problem;
            if (Talon::ReadServicePrefs(Talon::PrefKeys::DefaultDesignation(), prefs, problem) !=
                0) {
                std::cout << "UNKNOWN: nothing removed: the preference file cannot be read for "
                             "the defaults ("
                          << problem << "): give --keep and --keep-hours\n";
                return 3;
            }
            policy = prefs.retention;
        }
        ro.keep = eo.keep >= 0 ? eo.keep : policy.count;
        ro.keepHours = eo.keepHours >= 0 ? eo.keepHours : policy.hours;
        return ibsdb::ExpireRemote(ro, std::cout);
    }
    if (*expire) {
        if (eo.backup.empty()) return Usage("expire: BACKUP_DIR is required without --remote");
        eo.backup = Absolute(eo.backup);
        return ibsdb::Expire(eo, std::cout);
    }
    if (*check) {
        co.backup = Absolute(co.backup);
        const char* units = std::getenv("SYSTEMD_UNIT_PATH");
        co.unitPath = units ? units : "";
        const char* host = std::getenv("VELLUMARK_ORB_HOST");
        if (host && *host) co.host = host;
        return ibsdb::Check(co, std::cout);
    }
    if (*info) return ibsdb::Info(files);
    return ibsdb::CheckLogs(files);
}
