// ibsdb status: is the backup current, what is waiting, what was set aside.
#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>

#include "platform/support/Error.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {
struct DbRow {
    std::string uuid;
    std::string name;
    const LastGoodFolder* folder = nullptr;
    std::uint64_t msn = 0;
    std::int64_t lag = 0;
    bool inNewest = false;
    bool held = false;
    bool replaced = false;  // dropped by the server: another database owns its name
    const FailedDatabase* failed = nullptr;
    const Copy* copy = nullptr;
};

bool Replaced(const FailedDatabase* f) {
    return f && f->error == Mirel::kErrReplaced;
}

std::string Pad(const std::string& s, std::size_t w) {
    return s.size() >= w ? s : s + std::string(w - s.size(), ' ');
}

Json TimeJson(std::uint64_t utc) {
    return Json{{"utc", utc}, {"text", IsoTime(utc)}};
}

// Set-aside files counted by reason: the number and its words (as the line gives them, or
// the table's for an older service's line), oldest and newest.
struct RejectedGroup {
    int error = 0;
    std::string words;
    std::size_t count = 0;
    std::uint64_t oldest = 0, newest = 0;
};

std::vector<RejectedGroup> GroupRejected(const std::vector<RejectedFile>& files) {
    std::map<std::pair<int, std::string>, RejectedGroup> groups;
    for (const auto& r : files) {
        const std::string words = !r.error         ? "no reason recorded"
                                  : !r.why.empty() ? r.why
                                                   : Mirel::ErrorWords(r.error);
        RejectedGroup& g = groups[{r.error, words}];
        g.error = r.error;
        g.words = words;
        ++g.count;
        if (r.when && (!g.oldest || r.when < g.oldest)) g.oldest = r.when;
        if (r.when > g.newest) g.newest = r.when;
    }
    std::vector<RejectedGroup> out;
    for (auto& [key, g] : groups) out.push_back(g);
    std::stable_sort(out.begin(), out.end(), [](const RejectedGroup& a, const RejectedGroup& b) {
        return a.count > b.count;
    });
    return out;
}

}  // namespace

int Status(const StatusOptions& o, std::ostream& out) {
    const std::uint64_t now = o.now ? o.now : NowUTC();
    BackupView v;
    int code = kOk;
    std::vector<std::string> reasons;
    auto raise = [&](int c, const std::string& why) {
        code = std::max(code, c);
        reasons.push_back(why);
    };
    auto unknown = [&](const std::string& why) {
        if (o.json)
            out << Json{{"version", kJsonVersion},
                        {"backup", o.backup},
                        {"state", "UNKNOWN"},
                        {"exit_code", kUnknown},
                        {"reasons", {why}}}
                       .dump(2)
                << "\n";
        else
            out << "UNKNOWN: " << why << "\n";
        return kUnknown;
    };
    if (std::string why = v.LoadBackupFolder(o.backup); !why.empty()) return unknown(why);
    // What the service says it waits for: a warning at once, critical past --crit-wait.
    const ServiceStateFile& st = v.state;
    auto waited = [&](std::uint64_t since, const std::string& what) {
        const std::int64_t age = since && now > since ? static_cast<std::int64_t>(now - since) : 0;
        const bool crit = age >= static_cast<std::int64_t>(o.critWait);
        raise(crit ? kCritical : kWarning,
              what + ", for " + DurationText(age) +
                  (crit ? " (critical at " : " (warning at once, critical at ") +
                  DurationText(static_cast<std::int64_t>(o.critWait)) + ")");
    };
    if (!st.problem.empty()) raise(kWarning, st.problem);
    if (st.waits)
        waited(st.waitSince,
               "interval " + TimeText(st.waitEnd) +
                   " UTC waits: " + Mirel::DescribeWait(st.error, st.what, st.words) +
                   (!st.running         ? ", and the service stopped"
                    : st.nextRetry == 0 ? ", retried when the server closes "
                                          "its next interval"
                                        : ", retried (next " + TimeText(st.nextRetry) + " UTC)"));
    // The service's copier: a store that fails holds up nothing here, but the copies off the
    // host fall behind; the lag below says how far.
    if (st.offsite && st.offState == "failing" && st.running)
        raise(kWarning, "copies off the host fail since " + TimeText(st.offSince) +
                            " UTC: " + st.offCause + " (" + st.offError +
                            "); the service keeps its points here and tries again (next " +
                            TimeText(st.offRetry) + " UTC)");
    if (st.stale)
        waited(st.staleSince, "nothing completes: the interval-done file " + st.staleFile +
                                  " ends " + TimeText(st.staleEnd) + " UTC, not after " +
                                  TimeText(st.stalePassed) +
                                  " UTC already published or started (the server's clock went "
                                  "back?); set the clock right");
    // A closed interval the service has not taken up: it is stopped, hangs or is gone.
    if (st.present && st.problem.empty() && !st.waits && !st.stale && st.applying == 0 &&
        v.pending.oldestDoneEnd != 0 && v.pending.oldestDoneWritten + o.startGrace <= now)
        waited(
            v.pending.oldestDoneWritten,
            "interval " + TimeText(v.pending.oldestDoneEnd) + " UTC was closed and " +
                (st.running ? "the service has not started it (it last wrote its state at " +
                                  TimeText(st.written) + " UTC): is it running?"
                            : "the service is stopped (since " + TimeText(st.written) + " UTC)"));

    const LastGoodFolder* newest = v.NewestFolder();
    auto newestCopies = v.NewestCopies();
    std::vector<DbRow> rows;
    for (const auto& [uuid, n] : newestCopies) {
        DbRow r;
        r.uuid = uuid;
        r.name = n.copy->path;
        r.folder = n.folder;
        r.msn = n.copy->msn;
        r.lag = static_cast<std::int64_t>(now) - static_cast<std::int64_t>(n.folder->intervalEnd);
        r.inNewest = n.folder == newest;
        r.held = n.copy->held;
        r.failed = v.FindFailed(uuid);
        r.replaced = Replaced(r.failed);
        r.copy = n.copy;
        rows.push_back(r);
    }
    std::sort(rows.begin(), rows.end(), [](const DbRow& a, const DbRow& b) {
        return a.name != b.name ? a.name < b.name : a.uuid < b.uuid;
    });

    std::int64_t newestLag =
        newest ? static_cast<std::int64_t>(now) - static_cast<std::int64_t>(newest->intervalEnd)
               : 0;
    if (!newest) raise(kCritical, "no last-good folder: nothing can be restored yet");
    const DbRow* worst = nullptr;
    for (const auto& r : rows)
        if (!r.replaced && (!worst || r.lag > worst->lag)) worst = &r;
    if (worst) {
        std::int64_t lag = std::max(worst->lag, newestLag);
        std::string what =
            worst->lag > newestLag
                ? "the newest copy of " + worst->name + " is " + DurationText(worst->lag) + " old"
                : "the newest last-good folder is " + DurationText(newestLag) + " old";
        if (lag >= static_cast<std::int64_t>(o.critLag))
            raise(kCritical, what + " (critical at " +
                                 DurationText(static_cast<std::int64_t>(o.critLag)) + ")");
        else if (lag >= static_cast<std::int64_t>(o.warnLag))
            raise(kWarning, what + " (warning at " +
                                DurationText(static_cast<std::int64_t>(o.warnLag)) + ")");
    }
    // A newest copy that a look finds damaged or gone is no restore point (verify reads the
    // bytes as well; restore falls back to an older copy only with a warning).
    for (const auto& r : rows) {
        if (r.copy->state == Copy::kOk) continue;
        std::string why = "the newest copy of " + r.name + " (" + r.uuid + ") in " +
                          r.folder->name + " is " + Copy::Word(r.copy->state) + ": " +
                          r.copy->detail;
        auto older = v.OlderIntactCopies(r.uuid, r.folder->intervalEnd);
        why += older.empty() ? "; no older copy"
                             : "; an older copy is in " + older.front().folder->name;
        raise(kCritical, why);
    }
    for (const auto& c : newest ? newest->copies : std::vector<Copy>())
        if (c.uuid.empty())
            raise(kCritical,
                  newest->name + "/" + c.path + " is no database anyone can name: " + c.detail);
    std::size_t awaiting = 0;
    for (const auto& f : v.failed) {
        if (Replaced(&f)) continue;
        ++awaiting;
        if (!newestCopies.count(f.uuid))
            raise(kCritical,
                  "database " + f.uuid + " failed and has no copy in any last-good folder");
    }
    if (awaiting)
        raise(kWarning,
              std::to_string(awaiting) + " database(s) failed and await a new full upload");
    if (!v.failedWhy.empty()) raise(kWarning, v.failedWhy);
    // Off the host: how far the newest point there is behind the newest here, by what the
    // last push recorded (no record: nothing is pushed from here).
    OffsiteRecord off;
    const bool offsite = ReadOffsiteRecord(v.backup, off);
    std::int64_t offLag = 0;
    if (offsite && newest && newest->intervalEnd > off.intervalEnd)
        offLag = static_cast<std::int64_t>(newest->intervalEnd - off.intervalEnd);
    if (offsite && offLag >= static_cast<std::int64_t>(o.warnOffsiteLag))
        raise(kWarning, "the newest restore point off the host (" + off.folder + ") is " +
                            DurationText(offLag) + " behind the newest here (warning at " +
                            DurationText(static_cast<std::int64_t>(o.warnOffsiteLag)) + ")");
    if (newest && newest->manifestState == LastGoodFolder::kNoManifest)
        raise(kWarning, "the newest last-good folder has no manifest");
    for (const auto& f : v.folders) {
        if (f.manifestState == LastGoodFolder::kDamaged)
            raise(kWarning,
                  f.name + ": manifest damaged (" + f.manifestWhy + "); run ibsdb verify");
        if (!f.nameMatches)
            raise(kWarning, f.name + ": the name does not match its interval end " +
                                TimeText(f.intervalEnd) + " (renamed?)");
    }

    if (o.json) {
        Json j;
        j["version"] = kJsonVersion;
        j["backup"] = v.backup;
        j["now"] = TimeJson(now);
        j["state"] = ExitName(code);
        j["exit_code"] = code;
        j["reasons"] = reasons;
        j["thresholds"] = {{"warn_lag_seconds", o.warnLag / 1000000},
                           {"crit_lag_seconds", o.critLag / 1000000},
                           {"crit_wait_seconds", o.critWait / 1000000},
                           {"warn_offsite_lag_seconds", o.warnOffsiteLag / 1000000}};
        j["offsite"] = offsite ? Json{{"folder", off.folder},
                                      {"interval_end", TimeJson(off.intervalEnd)},
                                      {"pushed", off.pushed ? TimeJson(off.pushed) : Json(nullptr)},
                                      {"where", off.where},
                                      {"lag_seconds", offLag / 1000000}}
                               : Json(nullptr);
        if (st.present) {
            Json s{{"state_file", st.problem.empty() ? "ok" : st.problem},
                   {"written", TimeJson(st.written)},
                   {"running", st.running},
                   {"pid", st.pid},
                   {"applying", st.applying ? TimeJson(st.applying) : Json(nullptr)},
                   {"applying_since", st.applying ? TimeJson(st.applyingSince) : Json(nullptr)}};
            s["waits"] = st.waits ? Json{{"interval_end", TimeJson(st.waitEnd)},
                                         {"since", TimeJson(st.waitSince)},
                                         {"next_retry", TimeJson(st.nextRetry)},
                                         {"error", st.error},
                                         {"words", st.words},
                                         {"what", st.what.empty() ? Json(nullptr) : Json(st.what)}}
                                  : Json(nullptr);
            s["stale_interval_done"] = st.stale ? Json{{"file", st.staleFile},
                                                       {"interval_end", TimeJson(st.staleEnd)},
                                                       {"passed_end", TimeJson(st.stalePassed)},
                                                       {"since", TimeJson(st.staleSince)}}
                                                : Json(nullptr);
            s["offsite"] =
                st.offsite
                    ? Json{{"state", st.offState},
                           {"newest", st.offNewest.empty() ? Json(nullptr) : Json(st.offNewest)},
                           {"newest_interval_end",
                            st.offNewestEnd ? TimeJson(st.offNewestEnd) : Json(nullptr)},
                           {"pushing", st.offPushing.empty() ? Json(nullptr) : Json(st.offPushing)},
                           {"files_done", st.offDone},
                           {"files", st.offFiles},
                           {"failing_since", st.offSince ? TimeJson(st.offSince) : Json(nullptr)},
                           {"next_retry", st.offRetry ? TimeJson(st.offRetry) : Json(nullptr)},
                           {"cause", st.offCause.empty() ? Json(nullptr) : Json(st.offCause)},
                           {"error", st.offError.empty() ? Json(nullptr) : Json(st.offError)}}
                    : Json(nullptr);
            j["service"] = s;
        } else {
            j["service"] = nullptr;
        }
        if (newest)
            j["newest_last_good"] = {{"folder", newest->name},
                                     {"path", newest->path},
                                     {"interval_end", TimeJson(newest->intervalEnd)},
                                     {"interval_end_exact", newest->endExact},
                                     {"lag_seconds", newestLag / 1000000},
                                     {"manifest", newest->ManifestWord()}};
        else
            j["newest_last_good"] = nullptr;
        j["last_good_folders"] = Json::array();
        for (const auto& f : v.folders)
            j["last_good_folders"].push_back({{"folder", f.name},
                                              {"interval_end", TimeJson(f.intervalEnd)},
                                              {"interval_end_exact", f.endExact},
                                              {"databases", f.copies.size()},
                                              {"manifest", f.ManifestWord()},
                                              {"name_matches", f.nameMatches}});
        j["databases"] = Json::array();
        for (const auto& r : rows) {
            Json d{{"uuid", r.uuid},
                   {"name", r.name},
                   {"folder", r.folder->name},
                   {"msn", r.msn},
                   {"interval_end", TimeJson(r.folder->intervalEnd)},
                   {"lag_seconds", r.lag / 1000000},
                   {"in_newest_folder", r.inNewest},
                   {"held", r.held},
                   {"replaced", r.replaced},
                   {"failed", r.failed != nullptr && !r.replaced},
                   {"copy", Copy::Word(r.copy->state)},
                   {"copy_problem", r.copy->detail}};
            j["databases"].push_back(d);
        }
        j["failed"] = Json::array();
        for (const auto& f : v.failed) {
            Json x{{"uuid", f.uuid},
                   {"error", f.error},
                   {"words", Mirel::ErrorWords(f.error)},
                   {"since", TimeJson(f.since)}};
            auto it = newestCopies.find(f.uuid);
            if (it != newestCopies.end())
                x["newest_copy"] = {{"folder", it->second.folder->name},
                                    {"name", it->second.copy->path},
                                    {"msn", it->second.copy->msn},
                                    {"held", it->second.copy->held},
                                    {"interval_end", TimeJson(it->second.folder->intervalEnd)}};
            else
                x["newest_copy"] = nullptr;
            j["failed"].push_back(x);
        }
        j["pending"] = {{"redo_folders", v.pending.redoFolders},
                        {"redo_logs", v.pending.redoLogs},
                        {"redo_bytes", v.pending.redoBytes},
                        {"applied_logs_kept", v.pending.appliedLogs},
                        {"applied_bytes_kept", v.pending.appliedBytes},
                        {"interval_done_files", v.pending.intervalDoneFiles},
                        {"uploads", v.pending.uploads},
                        {"in_progress", v.pending.inProgress},
                        {"in_progress_databases", v.pending.inProgressDatabases}};
        j["rejected_by_reason"] = Json::array();
        for (const auto& g : GroupRejected(v.rejected))
            j["rejected_by_reason"].push_back(
                {{"error", g.error},
                 {"words", g.words},
                 {"count", g.count},
                 {"oldest", g.oldest ? TimeJson(g.oldest) : Json(nullptr)},
                 {"newest", g.newest ? TimeJson(g.newest) : Json(nullptr)}});
        j["rejected"] = Json::array();
        for (const auto& r : v.rejected) {
            Json x{{"name", r.name}, {"error", r.error}};
            x["words"] = r.error ? (r.why.empty() ? Mirel::ErrorWords(r.error) : r.why) : "";
            x["when"] = r.when ? TimeJson(r.when) : Json(nullptr);
            x["original_path"] = r.originalPath;
            j["rejected"].push_back(x);
        }
        j["notes"] = v.notes;
        out << j.dump(2) << "\n";
        return code;
    }

    // The first line stands alone for monitoring systems; the part after '|' is performance
    // data in the usual form.
    out << ExitName(code) << ": ";
    if (reasons.empty()) {
        out << newest->name << ", interval end " << TimeText(newest->intervalEnd) << " UTC, lag "
            << DurationText(newestLag) << ", " << rows.size() << " database(s)";
    } else {
        for (std::size_t i = 0; i < reasons.size(); ++i) out << (i ? "; " : "") << reasons[i];
    }
    out << " | lag=" << newestLag / 1000000 << "s;" << o.warnLag / 1000000 << ";"
        << o.critLag / 1000000 << " databases=" << rows.size() << " failed=" << awaiting
        << " pending_logs=" << v.pending.redoLogs << " pending_bytes=" << v.pending.redoBytes
        << "B rejected=" << v.rejected.size();
    if (offsite) out << " offsite_lag=" << offLag / 1000000 << "s;" << o.warnOffsiteLag / 1000000;
    out << "\n";

    out << "Backup folder: " << v.backup << "\n";
    if (st.present && st.problem.empty()) {
        out << "Service: " << (st.running ? "running" : "stopped") << " (process " << st.pid
            << ", state written " << TimeText(st.written) << " UTC)";
        if (st.waits)
            out << ", interval " << TimeText(st.waitEnd) << " UTC waits since "
                << TimeText(st.waitSince)
                << " UTC: " << Mirel::DescribeWait(st.error, st.what, st.words);
        else if (st.applying)
            out << ", applying interval " << TimeText(st.applying) << " UTC since "
                << TimeText(st.applyingSince) << " UTC";
        else
            out << ", idle";
        out << "\n";
        if (st.offsite) {
            out << "Copier off the host: ";
            if (st.offState == "failing")
                out << "the store fails since " << TimeText(st.offSince) << " UTC: " << st.offCause
                    << " (" << st.offError << "), next try " << TimeText(st.offRetry) << " UTC";
            else if (st.offState == "pushing")
                out << "pushing " << st.offPushing << " (" << st.offDone << " of " << st.offFiles
                    << " files)";
            else
                out << "idle";
            out << "; newest off the host " << (st.offNewest.empty() ? "none" : st.offNewest)
                << "\n";
        }
    } else if (!st.present) {
        out << "Service: no State.tsv (the service has not written its state here)\n";
    }
    if (newest)
        out << "Newest last-good folder: " << newest->name << "\n  interval end "
            << TimeText(newest->intervalEnd) << " UTC" << (newest->endExact ? "" : " (minute)")
            << ", lag " << DurationText(newestLag) << ", manifest " << newest->ManifestWord()
            << "\n";
    else
        out << "Newest last-good folder: none\n";
    if (offsite)
        out << "Newest off the host: " << off.folder << " (" << off.where << "), "
            << DurationText(offLag) << " behind the newest here"
            << (off.pushed ? ", pushed " + TimeText(off.pushed) + " UTC" : std::string()) << "\n";
    out << "Last-good folders: " << v.folders.size();
    if (!v.folders.empty()) out << " (oldest " << v.folders.front().name << ")";
    out << "\n";

    out << "Databases: " << rows.size() << "\n";
    if (!rows.empty()) {
        std::size_t wName = 4, wFolder = 6, wMsn = 3;
        for (const auto& r : rows) {
            wName = std::max(wName, r.name.size());
            wFolder = std::max(wFolder, r.folder->name.size());
            wMsn = std::max(wMsn, std::to_string(r.msn).size());
        }
        out << "  " << Pad("NAME", wName) << "  " << Pad("UUID", 36) << "  " << Pad("MSN", wMsn)
            << "  " << Pad("FOLDER", wFolder) << "  INTERVAL END (UTC)          LAG\n";
        for (const auto& r : rows) {
            out << "  " << Pad(r.name, wName) << "  " << r.uuid << "  "
                << Pad(std::to_string(r.msn), wMsn) << "  " << Pad(r.folder->name, wFolder) << "  "
                << Pad(TimeText(r.folder->intervalEnd), 26) << "  " << DurationText(r.lag);
            if (!r.inNewest) out << "  (older: not in the newest folder)";
            if (r.held) out << "  HELD (its newest good copy, older than the folder's end)";
            if (r.copy->state != Copy::kOk)
                out << "  " << Copy::Word(r.copy->state) << ": " << r.copy->detail;
            if (r.replaced)
                out << "  REPLACED (another database owns its name)";
            else if (r.failed)
                out << "  FAILED";
            out << "\n";
        }
    }

    out << "Failed databases (await a new full upload): " << awaiting << "\n";
    for (const auto& f : v.failed) {
        out << "  " << f.uuid << "  error " << Mirel::ErrorText(f.error) << "  since "
            << TimeText(f.since) << " UTC";
        if (Replaced(&f)) out << "  (replaced: no upload awaited)";
        auto it = newestCopies.find(f.uuid);
        if (it != newestCopies.end())
            out << "  newest copy " << it->second.folder->name << "/" << it->second.copy->path
                << " MSN " << it->second.copy->msn << (it->second.copy->held ? " (held)" : "");
        else
            out << "  no copy";
        out << "\n";
    }

    out << "Not yet applied: " << v.pending.redoLogs << " redo log(s), "
        << SizeText(v.pending.redoBytes) << ", in " << v.pending.redoFolders << " redo folder(s); "
        << v.pending.intervalDoneFiles << " closed interval(s) without a last-good folder";
    if (v.pending.appliedLogs)
        out << "; " << v.pending.appliedLogs << " applied log(s) kept ("
            << SizeText(v.pending.appliedBytes) << ")";
    if (v.pending.uploads) out << "; " << v.pending.uploads << " upload(s) waiting";
    if (v.pending.inProgress)
        out << "; an interval in progress (" << v.pending.inProgressDatabases << " database(s))";
    out << "\n";

    // By reason, not by file: a folder may hold thousands (prune-rejected clears old ones).
    out << "Set aside in Rejected/: " << v.rejected.size() << "\n";
    for (const auto& g : GroupRejected(v.rejected)) {
        out << "  " << g.count << "  ";
        if (g.error) out << "error " << g.error << " ";
        out << g.words;
        if (g.oldest)
            out << "  ("
                << (g.count > 1 ? "oldest " + TimeText(g.oldest) + " UTC, newest " : std::string())
                << TimeText(g.newest) << " UTC)";
        out << "\n";
    }
    for (const auto& n : v.unreadableNames)
        out << "Note: " << n << " is not a last-good folder name; ignored\n";
    for (const auto& n : v.notes) out << "Note: " << n << "\n";
    return code;
}

}  // namespace ibsdb
