#include "tools/ibsdb/BackupView.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "platform/engine/Formats.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/TsvField.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {

constexpr std::uint64_t kMinute = 60000000;

struct Entry {
    std::string name;
    bool isDir = false;
    bool isFile = false;
    std::uint64_t size = 0;
};

// The entries of a folder, links left out; false when it cannot be read.
bool ListFolder(const std::string& dir, std::vector<Entry>& out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        if (::lstat((dir + "/" + n).c_str(), &st) != 0) continue;  // gone meanwhile
        Entry en;
        en.name = n;
        en.isDir = S_ISDIR(st.st_mode);
        en.isFile = S_ISREG(st.st_mode);
        en.size = static_cast<std::uint64_t>(st.st_size);
        if (en.isDir || en.isFile) out.push_back(en);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return true;
}

bool IsDir(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string x; std::getline(ss, x, '\t');) f.push_back(x);
    if (!line.empty() && line.back() == '\t') f.push_back("");
    return f;
}

bool ToU64(const std::string& s, std::uint64_t& v) {
    if (s.empty() || s.size() > 20) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    try {
        v = std::stoull(s);
    } catch (...) {
        return false;
    }
    return true;
}

bool ToInt(const std::string& s, int& v) {
    std::uint64_t u = 0;
    bool neg = !s.empty() && s[0] == '-';
    if (!ToU64(neg ? s.substr(1) : s, u) || u > 2147483647u) return false;
    v = neg ? -static_cast<int>(u) : static_cast<int>(u);
    return true;
}

// Through the OS layer, which opens nothing but a regular file: a FIFO in the place of a
// list must not hold the command up.
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    std::string text;
    const int rc = Mirel::Os::ReadWholeFile(path, text);
    if (rc != 0 && text.empty()) return false;
    std::stringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l.empty() || l[0] == '#') continue;
        lines.push_back(l);
    }
    return rc == 0;
}

}  // namespace

void ParseServiceState(const std::string& text, ServiceStateFile& out) {
    out = ServiceStateFile();
    out.present = true;
    // Its checksum covers every byte before the "end" line: a file torn by a crash while it
    // was overwritten in place does not pass for the state.
    const std::size_t endAt = text.find("\nend\t");
    const std::string hex = endAt == std::string::npos ? std::string() : text.substr(endAt + 5, 8);
    const bool isHex =
        hex.size() == 8 && hex.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!isHex ||
        std::strtoul(hex.c_str(), nullptr, 16) != Mirel::Format::Crc32c(text.data(), endAt + 1)) {
        out.problem = "State.tsv is cut short or its checksum does not match";
        return;
    }
    std::stringstream in(text.substr(0, endAt + 1));
    bool version = false;
    for (std::string l; std::getline(in, l);) {
        if (l.empty() || l[0] == '#') continue;
        auto f = Fields(l);
        bool ok = true;
        if (f[0] == "version") {
            version = f.size() == 2 && f[1] == "1";
            ok = version;
        } else if (f[0] == "written") {
            ok = f.size() == 2 && ToU64(f[1], out.written);
        } else if (f[0] == "service") {
            std::uint64_t pid = 0;
            ok = f.size() == 4 && (f[1] == "running" || f[1] == "stopped") && ToU64(f[2], pid) &&
                 ToU64(f[3], out.started);
            out.running = f[1] == "running";
            out.pid = static_cast<long>(pid);
        } else if (f[0] == "newest") {
            ok = f.size() == 3 && ToU64(f[2], out.newestEnd);
            if (ok) out.newest = f[1];
        } else if (f[0] == "interval") {
            ok = (f.size() == 2 && f[1] == "idle") ||
                 (f.size() == 4 && f[1] == "applying" && ToU64(f[2], out.applying) &&
                  ToU64(f[3], out.applyingSince));
        } else if (f[0] == "wait" && (f.size() == 7 || f.size() == 8) && f[1] == "environment") {
            ok = ToU64(f[2], out.waitEnd) && ToU64(f[3], out.waitSince) &&
                 ToU64(f[4], out.nextRetry) && ToInt(f[5], out.error);
            out.words = f[6];
            if (f.size() == 8) out.what = f[7];
            out.waits = ok;
        } else if (f[0] == "wait" && f.size() == 6 && f[1] == "stale-done") {
            ok = ToU64(f[2], out.staleEnd) && ToU64(f[3], out.staleSince) &&
                 ToU64(f[4], out.stalePassed);
            out.staleFile = f[5];
            out.stale = ok;
        } else if (f[0] == "offsite" && f.size() == 11) {
            auto field = [&](const std::string& v, std::string& into) {
                into.clear();
                return v == "-" || Talon::UnescapeTsvField(v, into);
            };
            ok = (f[1] == "idle" || f[1] == "pushing" || f[1] == "failing") &&
                 field(f[2], out.offNewest) && ToU64(f[3], out.offNewestEnd) &&
                 field(f[4], out.offPushing) && ToInt(f[5], out.offDone) &&
                 ToInt(f[6], out.offFiles) && ToU64(f[7], out.offSince) &&
                 ToU64(f[8], out.offRetry) && field(f[9], out.offCause) &&
                 field(f[10], out.offError);
            out.offState = f[1];
            out.offsite = ok;
        }
        // Lines of other names are left for newer readers.
        if (!ok) {
            out.problem = "State.tsv has a line that cannot be read: " + l;
            return;
        }
    }
    if (!version) out.problem = "State.tsv is not of version 1";
}

const char* LastGoodFolder::ManifestWord() const {
    switch (manifestState) {
        case kManifest:
            return "present";
        case kDamaged:
            return "damaged";
        default:
            return "missing";
    }
}

const char* Copy::Word(State s) {
    switch (s) {
        case kDiffers:
            return "differs";
        case kNotADatabase:
            return "not-a-database";
        case kMissing:
            return "missing";
        default:
            return "ok";
    }
}

const Copy* LastGoodFolder::FindUuid(const std::string& uuid) const {
    for (const auto& c : copies)
        if (c.uuid == uuid && c.state != Copy::kMissing) return &c;
    return nullptr;
}

const Copy* LastGoodFolder::FindListed(const std::string& uuid) const {
    for (const auto& c : copies)
        if (c.uuid == uuid) return &c;
    return nullptr;
}

LastGoodFolder BackupView::LoadFolder(const std::string& path) {
    LastGoodFolder f;
    f.path = path;
    while (f.path.size() > 1 && f.path.back() == '/') f.path.pop_back();
    f.name = f.path.substr(f.path.find_last_of('/') + 1);
    f.nameTime = LastGoodNameTime(f.name, &f.nameExact);
    Mirel::Directory dir(Mirel::UniversalPath::Folder(f.path));
    Talon::Error e = Talon::Manifest::Read(dir, f.manifest, &f.manifestWhy);
    if (e.OK()) {
        f.manifestState = LastGoodFolder::kManifest;
    } else if (e.GetError() == Mirel::kErrPathNotFound) {
        f.manifestState = LastGoodFolder::kNoManifest;
    } else {
        f.manifestState = LastGoodFolder::kDamaged;
        if (e.GetError() != Mirel::kErrInvalidFile)
            f.manifestWhy = "cannot be read: error " + e.Text();
    }
    if (f.manifestState == LastGoodFolder::kManifest) {
        f.intervalEnd = f.manifest.intervalEnd;
        f.endExact = true;
        if (f.nameTime != 0)
            f.nameMatches =
                f.nameExact ? f.intervalEnd == f.nameTime
                            : f.intervalEnd >= f.nameTime && f.intervalEnd < f.nameTime + kMinute;
    } else {
        f.intervalEnd = f.nameTime;
        f.endExact = f.nameExact;
    }
    // What the file holds now, against its line when it has one.
    auto look = [&](Copy& c, const Talon::ManifestEntry* line) {
        const std::string full = f.path + "/" + c.path;
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0) {
            c.state = Copy::kMissing;
            c.detail = "not there";
            return;
        }
        c.size = static_cast<std::uint64_t>(st.st_size);
        Talon::ManifestEntry h;
        Talon::Error r = Talon::Manifest::ReadDatabaseHeader(full, h);
        if (r.GetError() == Mirel::kErrPathNotFound) {
            c.state = Copy::kMissing;
            c.detail = "not there";
            return;
        }
        if (!line) {
            c.uuid = h.uuid;
            c.msn = h.msn;
        }
        std::string sizes = "size " + std::to_string(c.size) +
                            (line ? ", listed " + std::to_string(line->size) : std::string());
        if (!r.OK()) {
            c.state = Copy::kNotADatabase;
            c.detail = (r.GetError() == Mirel::kErrInvalidFile
                            ? "no valid header, or shorter than its page count says ("
                            : "cannot be read: error " + r.Text() + " (") +
                       sizes + ")";
        } else if (line && (c.size != line->size || h.uuid != line->uuid || h.msn != line->msn)) {
            c.state = Copy::kDiffers;
            c.detail = sizes + "; header UUID " + h.uuid + " MSN " + std::to_string(h.msn) +
                       ", listed " + (line->uuid.empty() ? "-" : line->uuid) + " MSN " +
                       std::to_string(line->msn);
        }
    };
    const bool manifest = f.manifestState == LastGoodFolder::kManifest;
    if (manifest)
        for (const auto& e : f.manifest.entries) {
            if (e.kind != Talon::ManifestEntry::kDatabase) continue;
            Copy c;
            c.path = e.path;
            c.uuid = e.uuid;
            c.msn = e.msn;
            c.held = e.held;
            c.listed = true;
            look(c, &e);
            f.copies.push_back(c);
        }
    Talon::Error walk;
    for (const auto& rel : Talon::Manifest::ListDatabases(dir, &walk)) {
        if (manifest && f.manifest.Find(rel)) continue;
        Copy c;
        c.path = rel;
        look(c, nullptr);
        if (c.state == Copy::kMissing) continue;  // removed since it was listed
        f.copies.push_back(c);
    }
    if (!IsDir(f.path)) {
        f.vanished = true;
        f.copies.clear();
    }
    return f;
}

std::string BackupView::LoadBackupFolder(const std::string& backupFolder) {
    if (int e = Load(backupFolder); e != 0)
        return "cannot read the backup folder " + backupFolder + ": error " + Mirel::ErrorText(e);
    if (!isBackupFolder)
        return "not a backup folder: " + backup +
               " has no Changes/, Copies/, InProgress/ or last-good folder";
    return std::string();
}

int BackupView::Load(const std::string& backupFolder) {
    backup = backupFolder;
    while (backup.size() > 1 && backup.back() == '/') backup.pop_back();
    Mirel::Os::Info info = Mirel::Os::Stat(backup);
    if (!info.exists) return Mirel::kErrPathNotFound;
    if (!info.isDir) return Mirel::kErrNotADirectory;
    std::vector<Entry> top;
    if (!ListFolder(backup, top)) return Mirel::kErrAccessDenied;

    for (const auto& e : top) {
        if (!e.isDir || e.name.compare(0, 9, "LastGood_") != 0) continue;
        if (LastGoodNameTime(e.name) == 0) {
            unreadableNames.push_back(e.name);
            continue;
        }
        LastGoodFolder f = LoadFolder(backup + "/" + e.name);
        if (f.vanished) {
            notes.push_back(e.name +
                            " vanished while it was read (renamed or removed by the "
                            "service)");
            continue;
        }
        folders.push_back(std::move(f));
    }
    // By the manifest's interval end where there is one: a folder renamed by hand keeps its
    // place among the intervals.
    std::stable_sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
        return a.intervalEnd != b.intervalEnd ? a.intervalEnd < b.intervalEnd : a.name < b.name;
    });

    for (const auto& e : top)
        if ((e.isDir && (e.name == "Changes" || e.name == "Copies" || e.name == "InProgress" ||
                         e.name.compare(0, 9, "LastGood_") == 0)) ||
            (e.isFile && (e.name == "State.tsv" || e.name == "Failed.tsv")))
            isBackupFolder = true;
    {
        // Through the OS layer: a FIFO under the state file's name is never opened.
        std::string text;
        const int rc = Mirel::Os::ReadWholeFile(backup + "/State.tsv", text);
        if (rc == 0) {
            ParseServiceState(text, state);
        } else if (rc == Mirel::kErrNotAFile) {
            state = ServiceStateFile();
            state.present = true;
            state.problem =
                "State.tsv is not a regular file (a FIFO, a socket or a device): not read";
        }
    }

    std::vector<std::string> lines;
    if (ReadLines(backup + "/Failed.tsv", lines)) {
        for (const auto& l : lines) {
            Talon::FailedLine line;
            if (Talon::DecodeFailedLine(l, line) == Talon::TsvLine::kEntry && line.complete)
                failed.push_back(
                    {Mirel::AsciiLower(line.uuid), line.error, line.since, line.words});
            else
                failedWhy = "Failed.tsv has a line that is not '<UUID> TAB <error> TAB <UTC>'";
        }
    }

    const std::string rejectedDir = backup + "/Rejected";
    std::vector<Entry> rejectedEntries;
    if (ListFolder(rejectedDir, rejectedEntries)) {
        std::map<std::string, RejectedFile> reasons;
        lines.clear();
        if (ReadLines(rejectedDir + "/reasons.tsv", lines)) {
            for (const auto& l : lines) {
                RejectedFile r;
                if (Talon::DecodeReasonLine(l, r) == Talon::TsvLine::kEntry)
                    reasons[r.name] = r;  // the last line for a name
            }
        }
        for (const auto& e : rejectedEntries) {
            // Not set aside: the reasons, prune's record, a temporary file being written.
            if (!e.isFile || e.name == "reasons.tsv" || e.name == kPrunedRecordName ||
                (e.name.rfind(".ibs-", 0) == 0 && Mirel::EndsWithNoCase(e.name, ".tmp")))
                continue;
            auto it = reasons.find(e.name);
            RejectedFile r = it != reasons.end() ? it->second : RejectedFile{};
            r.name = e.name;
            rejected.push_back(r);
        }
    }

    // A log stays in Changes/ after it was applied while an older copy may still need it;
    // only one that no last-good copy has reached is work still to do.
    const auto newest = NewestCopies();
    const LastGoodFolder* newestFolder = NewestFolder();
    std::vector<Entry> redoFolders;
    if (ListFolder(backup + "/Changes", redoFolders)) {
        for (const auto& rf : redoFolders) {
            if (!rf.isDir || rf.name.compare(0, 5, "Redo_") != 0) continue;
            ++pending.redoFolders;
            const std::string dir = backup + "/Changes/" + rf.name;
            std::vector<Entry> files;
            ListFolder(dir, files);
            for (const auto& f : files) {
                if (!f.isFile) continue;
                const auto path = Mirel::UniversalPath::FromNative(dir + "/" + f.name);
                if (Mirel::EndsWithNoCase(f.name, ".vrl")) {
                    Mirel::unistring uuid;
                    std::uint64_t msn = 0, start = 0, end = 0;
                    bool closed = false;
                    bool applied = false;
                    if (Talon::IBS_Config::GetRedoLogInfo(path, uuid, msn, start, end, closed)
                            .OK()) {
                        auto it = newest.find(uuid.ToUTF8());
                        applied = it != newest.end() && it->second.copy->msn >= msn;
                    }
                    (applied ? pending.appliedLogs : pending.redoLogs) += 1;
                    (applied ? pending.appliedBytes : pending.redoBytes) += f.size;
                } else if (Mirel::AsciiLower(f.name) == "intervaldone.vid") {
                    std::uint64_t end = 0;
                    if (!Talon::IBS_Config::GetIncrementalIntervalDone(path, end, nullptr).OK() ||
                        !newestFolder || end > newestFolder->intervalEnd) {
                        ++pending.intervalDoneFiles;
                        if (end != 0 &&
                            (pending.oldestDoneEnd == 0 || end < pending.oldestDoneEnd)) {
                            pending.oldestDoneEnd = end;
                            pending.oldestDoneWritten = Mirel::Os::Stat(path.Native()).mtimeUs;
                        }
                    }
                }
            }
        }
    }
    const std::string copies = backup + "/Copies";
    if (IsDir(copies))
        pending.uploads = static_cast<int>(
            Talon::Manifest::ListDatabases(Mirel::Directory(Mirel::UniversalPath::Folder(copies)))
                .size());
    const std::string inProgress = backup + "/InProgress";
    if (IsDir(inProgress)) {
        pending.inProgress = true;
        pending.inProgressDatabases =
            static_cast<int>(Talon::Manifest::ListDatabases(
                                 Mirel::Directory(Mirel::UniversalPath::Folder(inProgress)))
                                 .size());
    }
    return 0;
}

std::map<std::string, BackupView::Newest> BackupView::NewestCopies(std::uint64_t at) const {
    std::map<std::string, Newest> out;
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) {
        if (f->intervalEnd > at) continue;
        for (const auto& c : f->copies)
            if (!c.uuid.empty() && !out.count(c.uuid)) out[c.uuid] = Newest{&*f, &c};
    }
    return out;
}

std::vector<BackupView::Newest> BackupView::OlderIntactCopies(const std::string& uuid,
                                                              std::uint64_t before) const {
    std::vector<Newest> out;
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) {
        if (f->intervalEnd >= before) continue;
        for (const auto& c : f->copies)
            if (c.uuid == uuid && c.state == Copy::kOk) out.push_back(Newest{&*f, &c});
    }
    return out;
}

const LastGoodFolder* BackupView::NewestFolder(std::uint64_t at) const {
    for (auto f = folders.rbegin(); f != folders.rend(); ++f)
        if (f->intervalEnd <= at) return &*f;
    return nullptr;
}

const FailedDatabase* BackupView::FindFailed(const std::string& uuid) const {
    for (const auto& f : failed)
        if (f.uuid == uuid) return &f;
    return nullptr;
}

}  // namespace ibsdb
