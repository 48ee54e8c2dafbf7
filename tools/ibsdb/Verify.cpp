// ibsdb verify: re-reads every copy of one or all last-good folders and compares it with the
// folder's manifest.
#include <sys/stat.h>

#include <algorithm>
#include <ostream>

#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {

bool IsDir(const std::string& p) {
    return Mirel::Os::Stat(p).isDir;
}

std::string Trim(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

struct FileResult {
    Talon::ManifestFinding f;
    std::string word;  // as in the JSON document
    int severity = kOk;
};

struct FolderResult {
    const LastGoodFolder* folder = nullptr;
    std::vector<FileResult> files;
    std::uint64_t bytes = 0;
    int severity = kOk;
    std::vector<std::string> problems;
    bool vanished = false;
};

// The database a container file belongs to: "x.vdb.rc/a/b" -> "x.vdb".
std::string OwnerOf(const std::string& containerPath) {
    std::size_t rc = containerPath.find(".rc/");
    return rc == std::string::npos ? std::string() : containerPath.substr(0, rc);
}

FolderResult CheckFolder(const LastGoodFolder& f, const std::vector<LastGoodFolder>& all) {
    FolderResult r;
    r.folder = &f;
    auto raise = [&](int s, const std::string& why) {
        r.severity = std::max(r.severity, s);
        r.problems.push_back(why);
    };
    const bool listed = f.manifestState == LastGoodFolder::kManifest;
    if (f.manifestState == LastGoodFolder::kNoManifest)
        raise(kWarning,
              "no manifest: databases checked for structure only, pages cannot be "
              "checked");
    else if (f.manifestState == LastGoodFolder::kDamaged)
        raise(kCritical,
              "manifest damaged (" + f.manifestWhy + "): databases checked for structure only");
    if (!f.nameMatches)
        raise(kWarning, "the name does not match the interval end " + TimeText(f.intervalEnd) +
                            " in its manifest (renamed?)");

    // A copy may be gone for a good reason: the service removes an older copy once a newer one
    // exists in a later folder.
    auto superseded = [&](const std::string& uuid) -> const LastGoodFolder* {
        if (uuid.empty()) return nullptr;
        for (const auto& other : all)
            if (other.intervalEnd > f.intervalEnd && other.FindUuid(uuid)) return &other;
        return nullptr;
    };

    Talon::Manifest m = listed ? f.manifest : Talon::Manifest();
    Mirel::Directory dir(Mirel::UniversalPath::Folder(f.path));
    std::vector<Talon::ManifestFinding> findings = m.Check(dir);
    if (!IsDir(f.path)) {
        r.vanished = true;
        r.severity = kOk;
        r.problems = {"vanished while it was verified (renamed or removed by the service)"};
        return r;
    }
    for (auto& finding : findings) {
        FileResult x;
        x.f = finding;
        r.bytes += finding.found.size;
        using F = Talon::ManifestFinding;
        switch (finding.result) {
            case F::kOk:
                x.word = "ok";
                break;
            case F::kDiffers:
                x.word = "differs";
                x.severity = kCritical;
                break;
            case F::kNotADatabase:
                x.word = "not-a-database";
                x.severity = kCritical;
                break;
            case F::kUnreadable:
                x.word = "unreadable";
                x.severity = kCritical;
                break;
            case F::kNotListed:
                x.word = listed ? "not-listed" : "structure-ok";
                x.severity = listed ? kWarning : kOk;
                break;
            case F::kMissing: {
                std::string uuid = finding.listed.uuid;
                if (finding.kind == Talon::ManifestEntry::kContainer) {
                    const Talon::ManifestEntry* owner = m.Find(OwnerOf(finding.path));
                    uuid = owner ? owner->uuid : std::string();
                }
                if (const LastGoodFolder* newer = superseded(uuid)) {
                    x.word = "superseded";
                    x.f.detail = "removed by the service: a newer copy is in " + newer->name;
                } else {
                    x.word = "missing";
                    x.severity = kCritical;
                }
                break;
            }
        }
        r.severity = std::max(r.severity, x.severity);
        r.files.push_back(std::move(x));
    }
    return r;
}

int Count(const FolderResult& r, const std::string& word, bool databases) {
    int n = 0;
    for (const auto& x : r.files)
        if (x.word == word && (x.f.kind == Talon::ManifestEntry::kDatabase) == databases) ++n;
    return n;
}

}  // namespace

int Verify(const VerifyOptions& o, std::ostream& out) {
    const std::string path = Trim(o.path);
    auto unknown = [&](const std::string& why) {
        if (o.json)
            out << Json{{"version", kJsonVersion},
                        {"path", path},
                        {"state", "UNKNOWN"},
                        {"exit_code", kUnknown},
                        {"reasons", {why}}}
                       .dump(2)
                << "\n";
        else
            out << "UNKNOWN: " << why << "\n";
        return kUnknown;
    };
    if (!IsDir(path)) return unknown(path + " is not a folder");

    // A last-good folder, or a backup folder holding last-good folders.
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const bool single = name.compare(0, 9, "LastGood_") == 0 ||
                        Mirel::Os::Stat(path + "/" + Talon::Manifest::sFileName).exists;
    BackupView view;
    std::vector<LastGoodFolder> own;  // the single folder when it is not in the view
    std::vector<const LastGoodFolder*> targets;
    if (single) {
        std::string parent =
            path.find_last_of('/') == 0 ? "/" : path.substr(0, path.find_last_of('/'));
        view.Load(parent);
        for (const auto& f : view.folders)
            if (f.path == path) targets.push_back(&f);
        if (targets.empty()) {
            own.push_back(BackupView::LoadFolder(path));
            if (own.back().vanished) return unknown(path + " vanished while it was read");
            targets.push_back(&own.back());
        }
    } else {
        if (int e = view.Load(path); e != 0)
            return unknown("cannot read " + path + ": error " + Mirel::ErrorText(e));
        for (auto f = view.folders.rbegin(); f != view.folders.rend(); ++f) targets.push_back(&*f);
        if (targets.empty()) return unknown("no last-good folder in " + path);
    }

    std::vector<FolderResult> results;
    int code = kOk;
    std::uint64_t bytes = 0;
    int checked = 0, bad = 0;
    std::vector<std::string> reasons;
    for (const LastGoodFolder* f : targets) {
        results.push_back(CheckFolder(*f, view.folders));
        const FolderResult& r = results.back();
        code = std::max(code, r.severity);
        bytes += r.bytes;
        for (const auto& x : r.files) {
            if (x.f.kind == Talon::ManifestEntry::kDatabase && x.word != "superseded" &&
                x.word != "missing")
                ++checked;
            if (x.severity == kCritical) {
                ++bad;
                reasons.push_back(f->name + "/" + x.f.path + " " + x.word + ": " + x.f.detail);
            }
        }
        for (const auto& p : r.problems)
            if (r.severity > kOk || r.vanished) reasons.push_back(f->name + ": " + p);
        if (!o.json) {
            out << f->name << "  interval end " << TimeText(f->intervalEnd) << " UTC"
                << (f->endExact ? "" : " (minute)") << "\n";
            if (r.vanished) {
                out << "  vanished while it was verified (renamed or removed by the service)\n";
                continue;
            }
            for (const auto& p : r.problems)
                out << "  " << ExitName(r.severity) << ": " << p << "\n";
            for (const auto& x : r.files) {
                if (x.f.listed.held && x.word == "ok")
                    out << "  held  " << x.f.path << ": the newest good copy of a failed database, "
                        << "at MSN " << x.f.listed.msn << ", older than the interval end\n";
                if (x.word == "ok" || x.word == "structure-ok" || x.word == "superseded") continue;
                out << "  " << x.word << "  " << x.f.path << ": " << x.f.detail << "\n";
            }
            out << "  " << Count(r, "ok", true) + Count(r, "structure-ok", true)
                << " database(s) and " << Count(r, "ok", false) + Count(r, "structure-ok", false)
                << " container file(s) as they should be, " << SizeText(r.bytes) << " read";
            if (int gone = Count(r, "superseded", true))
                out << "; " << gone << " older copies removed by the service (newer ones exist)";
            out << "\n";
        }
    }

    if (o.json) {
        Json j;
        j["version"] = kJsonVersion;
        j["path"] = path;
        j["state"] = ExitName(code);
        j["exit_code"] = code;
        j["reasons"] = reasons;
        j["folders"] = Json::array();
        for (const auto& r : results) {
            const LastGoodFolder& f = *r.folder;
            Json jf{{"folder", f.name},
                    {"path", f.path},
                    {"interval_end", {{"utc", f.intervalEnd}, {"text", IsoTime(f.intervalEnd)}}},
                    {"interval_end_exact", f.endExact},
                    {"manifest", f.manifestState == LastGoodFolder::kManifest  ? "present"
                                 : f.manifestState == LastGoodFolder::kDamaged ? "damaged"
                                                                               : "missing"},
                    {"manifest_problem", f.manifestWhy},
                    {"name_matches", f.nameMatches},
                    {"vanished", r.vanished},
                    {"state", ExitName(r.severity)},
                    {"problems", r.problems},
                    {"bytes_read", r.bytes}};
            jf["files"] = Json::array();
            for (const auto& x : r.files) {
                const auto& e = x.f.found;
                Json jx{{"path", x.f.path},
                        {"kind",
                         x.f.kind == Talon::ManifestEntry::kDatabase ? "database" : "container"},
                        {"result", x.word},
                        {"detail", x.f.detail},
                        {"size", e.size}};
                if (x.f.kind == Talon::ManifestEntry::kDatabase) {
                    jx["uuid"] = e.uuid.empty() ? x.f.listed.uuid : e.uuid;
                    jx["msn"] = e.msn;
                    jx["held"] = x.f.listed.held;
                }
                jf["files"].push_back(jx);
            }
            j["folders"].push_back(jf);
        }
        j["summary"] = {{"folders", results.size()},
                        {"databases_checked", checked},
                        {"bytes_read", bytes},
                        {"problems", bad}};
        out << j.dump(2) << "\n";
        return code;
    }
    out << ExitName(code) << ": " << results.size() << " folder(s), " << checked
        << " database copies checked, " << SizeText(bytes) << " read";
    if (bad) out << "; " << bad << " file(s) damaged or missing";
    out << "\n";
    return code;
}

}  // namespace ibsdb
