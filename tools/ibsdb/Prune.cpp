// ibsdb prune-rejected: removes files the service set aside long ago from Rejected/, with
// their lines of reasons.tsv, and keeps a record of each run in Rejected/pruned.tsv.
#include <algorithm>
#include <map>
#include <ostream>
#include <set>

#include "platform/framework/Codecs.h"
#include "platform/support/Directory.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Commands.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

namespace {

bool IsTempName(const std::string& n) {
    return n.rfind(".ibs-", 0) == 0 && n.size() > 9 && Mirel::EndsWith(n, ".tmp");
}

bool ReadWhole(const std::string& path, std::string& text, int& rc) {
    rc = Mirel::Os::ReadWholeFile(path, text);
    if (rc != Mirel::kErrPathNotFound) return rc == 0;
    rc = 0;
    return false;
}

struct Candidate {
    std::string name;
    Mirel::Os::Info info;
    std::uint64_t setAside = 0;  // when: its reasons.tsv line, else the entry's own time
    const RejectedFile* reason = nullptr;
};

// The bytes below an entry, links not followed.
std::uint64_t Bytes(const std::string& path) {
    Mirel::Os::Info info = Mirel::Os::Stat(path);
    if (!info.isDir) return info.isFile ? info.size : 0;
    std::vector<Mirel::Os::DirEntry> entries;
    std::uint64_t n = 0;
    if (Mirel::Os::ListDir(path, entries) == 0)
        for (const auto& e : entries) n += Bytes(path + "/" + e.name);
    return n;
}

}  // namespace

int PruneRejected(const PruneOptions& o, std::ostream& out) {
    const std::uint64_t now = o.now ? o.now : NowUTC();
    const std::uint64_t cutoff = now > o.olderThan ? now - o.olderThan : 0;
    auto refuse = [&](const std::string& why) {
        out << "UNKNOWN: nothing removed: " << why << "\n";
        return kUnknown;
    };
    std::string backup = o.backup;
    while (backup.size() > 1 && backup.back() == '/') backup.pop_back();
    BackupView view;
    if (std::string why = view.LoadBackupFolder(backup); !why.empty()) return refuse(why);
    const std::string rejected = backup + "/Rejected";
    const Mirel::Os::Info folder = Mirel::Os::Stat(rejected);
    if (!folder.exists) {
        out << "OK: nothing set aside: " << rejected << " does not exist\n";
        return kOk;
    }
    // Only the service's own folder: a link could lead anywhere.
    if (folder.isLink || !folder.isDir)
        return refuse(rejected + " is not a folder of its own (a symbolic link or a file)");

    // The service appends to reasons.tsv under the same lock: no line it writes meanwhile
    // is lost when the file is rewritten.
    int lock = -1;
    if (int rc = Mirel::Os::LockFolder(rejected, lock))
        return refuse("cannot lock " + rejected + ": error " + Mirel::ErrorText(rc));
    struct Unlock {
        int fd;
        ~Unlock() { Mirel::Os::Close(fd); }
    } unlock{lock};

    const std::string reasonsFile = rejected + "/reasons.tsv";
    std::string reasonsText;
    int readRc = 0;
    ReadWhole(reasonsFile, reasonsText, readRc);
    if (readRc != 0)
        return refuse("cannot read " + reasonsFile + ": error " + Mirel::ErrorText(readRc));
    const std::vector<std::string> lines = Talon::SplitLines(reasonsText);
    std::vector<RejectedFile> parsed(lines.size());
    std::vector<bool> isReason(lines.size(), false);
    std::map<std::string, const RejectedFile*> last;  // the last line for a name holds
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (Talon::DecodeReasonLine(lines[i], parsed[i]) == Talon::TsvLine::kEntry) {
            isReason[i] = true;
            last[parsed[i].name] = &parsed[i];
        }
    }

    std::vector<Mirel::Os::DirEntry> entries;
    if (int rc = Mirel::Os::ListDir(rejected, entries))
        return refuse("cannot list " + rejected + ": error " + Mirel::ErrorText(rc));
    std::map<std::string, Candidate> present;
    for (const auto& e : entries) {
        if (e.name == "reasons.tsv" || e.name == kPrunedRecordName || IsTempName(e.name)) continue;
        Candidate c;
        c.name = e.name;
        if (Mirel::Os::Stat(rejected + "/" + e.name, c.info) != 0) continue;  // gone meanwhile
        auto it = last.find(e.name);
        if (it != last.end()) c.reason = it->second;
        // Set aside when its line was written; without one, when it last changed.
        c.setAside = c.reason ? c.reason->when : c.info.mtimeUs;
        present[e.name] = c;
    }
    // A container folder goes with its file, and stays with it: files first, then the
    // containers of the files that went.
    auto fileOf = [&](const Candidate& c) -> const Candidate* {
        const std::string& n = c.name;
        if (!c.info.isDir || n.size() <= 3 || n.compare(n.size() - 3, 3, ".rc") != 0)
            return nullptr;
        auto it = present.find(n.substr(0, n.size() - 3));
        return it == present.end() ? nullptr : &it->second;
    };
    std::vector<const Candidate*> old, containers;
    for (const auto& [name, c] : present) {
        const Candidate* file = fileOf(c);
        if ((file ? file->setAside : c.setAside) < cutoff) (file ? containers : old).push_back(&c);
    }
    old.insert(old.end(), containers.begin(), containers.end());

    std::set<std::string> removed;
    std::uint64_t bytes = 0;
    int failed = 0;
    for (const Candidate* c : old) {
        if (const Candidate* file = fileOf(*c); file && !removed.count(file->name)) continue;
        const std::string path = rejected + "/" + c->name;
        const std::uint64_t size = Bytes(path);
        int rc = 0;
        if (!o.dryRun) {
            // A link is removed as a link, a folder with what is in it (links below it
            // removed as links too): nothing outside Rejected/ is touched.
            rc = c->info.isDir && !c->info.isLink
                     ? Mirel::Directory(Mirel::UniversalPath::Folder(path)).DeleteAll().GetError()
                     : Mirel::Os::DeleteFile(path);
        }
        if (rc != 0 && rc != Mirel::kErrPathNotFound) {
            ++failed;
            out << "NOT removed " << c->name << ": error " << Mirel::ErrorText(rc) << "\n";
            continue;
        }
        removed.insert(c->name);
        bytes += size;
        out << (o.dryRun ? "would remove " : "removed ") << c->name;
        if (c->info.isLink) out << " (a symbolic link)";
        if (c->reason)
            out << "  error " << Mirel::ErrorText(c->reason->error) << "  set aside "
                << TimeText(c->setAside) << " UTC";
        else if (!c->info.isDir || c->name.size() < 4 ||
                 c->name.compare(c->name.size() - 3, 3, ".rc") != 0)
            out << "  (no reason recorded; last changed " << TimeText(c->setAside) << " UTC)";
        out << "\n";
    }

    int code = failed ? kWarning : kOk;
    if (!o.dryRun && !removed.empty()) {
        if (int rc = Mirel::Os::SyncDir(rejected)) {
            out << "WARNING: " << rejected << " could not be synced: error " << Mirel::ErrorText(rc)
                << "\n";
            code = kWarning;
        }
    }
    // The lines of what was removed go, and so do old lines that name no file (moves that
    // never happened); comments, newer lines and lines this version cannot read stay.
    std::string kept;
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i + 1 == lines.size() && lines[i].empty()) break;  // the text's final line end
        const bool drop =
            isReason[i] && (removed.count(parsed[i].name) ||
                            (!present.count(parsed[i].name) && parsed[i].when < cutoff));
        if (drop) {
            ++dropped;
            continue;
        }
        kept += lines[i] + "\n";
    }
    if (!o.dryRun && dropped) {
        if (int rc = Mirel::Os::WriteFileDurable(reasonsFile, kept)) {
            out << "WARNING: " << reasonsFile << " could not be rewritten (error "
                << Mirel::ErrorText(rc) << "): its lines of removed files stay and mean nothing\n";
            code = kWarning;
        }
    }
    if (!o.dryRun && !removed.empty()) {
        // One line per run, appended: when, the limit, how much, and every name removed.
        const std::string record = rejected + "/" + kPrunedRecordName;
        const bool fresh = !Mirel::Os::Stat(record).exists;
        std::string line =
            Talon::EncodePrunedLine(now, cutoff, removed.size(), bytes,
                                    std::vector<std::string>(removed.begin(), removed.end()));
        if (fresh) line = Talon::kPrunedRecordHeader + line;
        int fd = -1;
        int rc = Mirel::Os::OpenAppend(record, fd);
        if (rc == 0) rc = Mirel::Os::Append(fd, line.data(), line.size(), record);
        if (rc == 0) rc = Mirel::Os::SyncFile(fd, record);
        if (fd >= 0) Mirel::Os::Close(fd);
        if (rc == 0 && fresh) rc = Mirel::Os::SyncDir(rejected);
        if (rc != 0) {
            out << "WARNING: the record " << record << " could not be written: error "
                << Mirel::ErrorText(rc) << "\n";
            code = kWarning;
        }
    }
    out << ExitName(code) << ": " << (o.dryRun ? "would remove " : "removed ") << removed.size()
        << " entr" << (removed.size() == 1 ? "y" : "ies") << " (" << SizeText(bytes)
        << ") set aside before " << TimeText(cutoff) << " UTC from " << rejected << "; "
        << present.size() - removed.size() - static_cast<std::size_t>(failed) << " kept";
    if (failed) out << "; " << failed << " could not be removed";
    out << "\n";
    return code;
}

}  // namespace ibsdb
