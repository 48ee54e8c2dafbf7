#include "tools/sim/Verify.h"

#include "platform/support/ErrorCodes.h"
#include "platform/support/TextUtil.h"
#include "tools/sim/RealWorld.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr std::uint64_t kMinute = 60000000;

bool Digits(const std::string& s, std::size_t at, std::size_t n) {
    if (at + n > s.size()) return false;
    for (std::size_t i = at; i < at + n; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}
int Num(const std::string& s, std::size_t at, std::size_t n) {
    return std::stoi(s.substr(at, n));
}
std::vector<std::string> Split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : line) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}
std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() &&
            std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}
bool IsRegular(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() == fs::file_type::regular;
}

}  // namespace

bool ParseLastGoodName(const std::string& name, std::uint64_t& utc, bool& exact) {
    const std::string prefix = "LastGood_";
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    std::string s = name.substr(prefix.size());
    // YYYY-MM-DD_HHMM[_SS.ffffff]
    if (s.size() != 15 && s.size() != 25) return false;
    if (!Digits(s, 0, 4) || s[4] != '-' || !Digits(s, 5, 2) || s[7] != '-' || !Digits(s, 8, 2) ||
        s[10] != '_' || !Digits(s, 11, 4))
        return false;
    std::tm t{};
    t.tm_year = Num(s, 0, 4) - 1900;
    t.tm_mon = Num(s, 5, 2) - 1;
    t.tm_mday = Num(s, 8, 2);
    t.tm_hour = Num(s, 11, 2);
    t.tm_min = Num(s, 13, 2);
    if (t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59)
        return false;
    time_t secs = ::timegm(&t);
    if (secs < 0) return false;
    utc = static_cast<std::uint64_t>(secs) * 1000000;
    exact = s.size() == 25;
    if (exact) {
        if (s[15] != '_' || !Digits(s, 16, 2) || s[18] != '.' || !Digits(s, 19, 6)) return false;
        int sec = Num(s, 16, 2);
        if (sec > 59) return false;
        utc += static_cast<std::uint64_t>(sec) * 1000000 + std::stoull(s.substr(19, 6));
    }
    return true;
}

std::vector<LastGoodFolder> ListLastGood(const std::string& backup) {
    std::vector<LastGoodFolder> out;
    std::error_code ec;
    for (fs::directory_iterator it(backup, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        LastGoodFolder f;
        if (it->symlink_status(ec).type() != fs::file_type::directory ||
            !ParseLastGoodName(name, f.utc, f.exact))
            continue;
        f.name = name;
        f.path = it->path().string();
        out.push_back(f);
    }
    std::sort(out.begin(), out.end(), [](const LastGoodFolder& a, const LastGoodFolder& b) {
        return a.utc != b.utc ? a.utc < b.utc : (!a.exact && b.exact);
    });
    return out;
}

namespace {
// The intervals whose end a folder's name can stand for, oldest first.
std::vector<int> Candidates(const Ledger& l, const LastGoodFolder& f) {
    std::vector<int> out;
    for (const auto& i : l.intervals)
        if (f.exact ? i.end == f.utc : i.end - i.end % kMinute == f.utc) out.push_back(i.k);
    return out;
}

// Of two intervals ending in one minute, the folder named by the minute is the first's that
// has a folder: the first may have none (quiet, or every database failed). The exact end
// in its manifest says which; the copies are judged against that interval after all.
int FolderInterval(const Ledger& l, const LastGoodFolder& f) {
    auto c = Candidates(l, f);
    if (c.empty()) return 0;
    if (c.size() > 1) {
        const std::uint64_t end = ReadManifestLines(f.path).intervalEnd;
        for (int k : c)
            if (l.Interval(k)->end == end) return k;
    }
    return c.front();
}
}  // namespace

int NewestInterval(const Ledger& ledger) {
    auto folders = ListLastGood(ledger.backup);
    return folders.empty() ? 0 : FolderInterval(ledger, folders.back());
}

std::map<std::string, SetAside> ReadRejected(const std::string& backup) {
    std::map<std::string, SetAside> out;
    std::string folder = backup + "/Rejected";
    std::set<std::string> present, named;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        present.insert(it->path().filename().string());
    present.erase("reasons.tsv");
    // A line is written before its move: one whose file is not there names a move that did
    // not happen.
    std::ifstream in(folder + "/reasons.tsv");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        auto f = Split(line, '\t');
        if (f.size() < 4 || !present.count(f[0])) continue;
        SetAside s;
        s.name = f[0];
        s.reason = std::atoi(f[1].c_str());
        s.withItsDatabase =
            f.size() > 4 && Unescape(f[4]).find("set aside with its database") != std::string::npos;
        out[Unescape(f[3])] = s;
        named.insert(s.name);
    }
    for (const auto& name : present)
        if (!named.count(name)) out["?" + name] = SetAside{name, 0};
    return out;
}

namespace {
// Failed.tsv's lines as fields, the UUID in lower case.
std::vector<std::vector<std::string>> FailedLines(const std::string& backup) {
    std::vector<std::vector<std::string>> out;
    std::ifstream in(backup + "/Failed.tsv");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        auto f = Split(line, '\t');
        f[0] = Mirel::AsciiLower(f[0]);
        out.push_back(std::move(f));
    }
    return out;
}
}  // namespace

std::map<std::string, int> ReadFailedList(const std::string& backup) {
    std::map<std::string, int> out;
    for (const auto& f : FailedLines(backup))
        if (f.size() >= 2) out[f[0]] = std::atoi(f[1].c_str());
    return out;
}

std::map<std::string, std::uint64_t> ReadFailedSince(const std::string& backup) {
    std::map<std::string, std::uint64_t> out;
    for (const auto& f : FailedLines(backup))
        if (f.size() >= 3) out[f[0]] = std::strtoull(f[2].c_str(), nullptr, 10);
    return out;
}

bool FailedForLink(const Ledger& ledger, int d) {
    if (ledger.links.empty() || d < 0) return false;
    auto failed = ReadFailedList(ledger.backup);
    auto it =
        failed.find(Mirel::AsciiLower(ledger.dbs[static_cast<std::size_t>(d)].model->UuidText()));
    return it != failed.end() && expect::LinkFailure(it->second);
}

namespace {
// Whether a whole database file under `folder` is database d.
bool FolderHolds(const fs::path& folder, const DbRec& r) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!IsRegular(it->path())) continue;
        DbFile file = ReadDbFile(it->path().string());
        if (file.ok && file.state.uuid == r.model->Uuid()) return true;
    }
    return false;
}
}  // namespace

bool KeptOutsideFolders(const Ledger& ledger, int d) {
    const DbRec& r = ledger.dbs[static_cast<std::size_t>(d)];
    for (const FileRec& f : ledger.files)
        if (f.kind == FileKind::kUpload && f.db == d && f.accepted && !f.settled &&
            IsRegular(f.path))
            return true;
    return FolderHolds(ledger.backup + "/Kept", r);
}

bool AnyCopyOf(const Ledger& ledger, int d) {
    if (KeptOutsideFolders(ledger, d)) return true;
    const DbRec& r = ledger.dbs[static_cast<std::size_t>(d)];
    std::error_code ec;
    for (fs::directory_iterator it(ledger.backup, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind("LastGood_", 0) == 0 && FolderHolds(it->path(), r))
            return true;
    return false;
}

bool EveryDatabaseFailed(const Ledger& ledger, int k) {
    bool any = false;
    for (const DbRec& r : ledger.dbs) {
        if (r.retired && !r.replacementPending) continue;
        // Failed for a link, its notification come after its next upload: interval k may
        // lack it, though its failure is gone.
        if (!r.reportedFailed && !r.needsUpload && r.linkExcusedUntil < k) return false;
        any = true;
    }
    return any;
}

bool InProgressHolds(const Ledger& ledger, int d) {
    return FolderHolds(ledger.backup + "/InProgress", ledger.dbs[static_cast<std::size_t>(d)]);
}

std::vector<std::string> FindLeftovers(const Ledger& ledger, bool intervalRunning) {
    std::vector<std::string> out;
    std::set<std::string> pending;
    // A replaced database's accepted upload stays where the server wrote it, out of the
    // catalogue, as a failed database's does (docs/service.md, "A database replaced under its
    // file name").
    auto replaced = [&](const FileRec& f) {
        return f.accepted && f.db >= 0 && ledger.dbs[static_cast<std::size_t>(f.db)].retired;
    };
    for (const auto& f : ledger.files)
        if ((f.kind == FileKind::kUpload && (!f.settled || replaced(f))) ||
            f.kind == FileKind::kForeign)
            pending.insert(f.path);
    std::error_code ec;
    const std::string inProgress = ledger.backup + "/InProgress",
                      copies = ledger.backup + "/Copies";
    for (fs::recursive_directory_iterator it(ledger.backup, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string p = it->path().string();
        std::string name = it->path().filename().string();
        bool regular = it->symlink_status(ec).type() == fs::file_type::regular;
        if (Mirel::EndsWith(name, ".part") || name.find(".tmp") != std::string::npos) {
            out.push_back(p + " (temporary)");
        } else if (regular && !intervalRunning &&
                   p.compare(0, inProgress.size() + 1, inProgress + "/") == 0) {
            out.push_back(p + " (in-progress copy while no interval runs)");
        } else if (regular && p.compare(0, copies.size() + 1, copies + "/") == 0 &&
                   !pending.count(p)) {
            out.push_back(p + " (in the copies folder, no pending upload)");
        }
    }
    return out;
}

std::vector<Checker::Copy> Checker::ReadFolder(const std::string& folder) {
    std::vector<Copy> out;
    std::error_code ec;
    // "database <TAB> path <TAB> ... <TAB> held" (docs/formats.md, manifest version 2).
    std::set<std::string> held;
    std::ifstream manifest(folder + "/manifest.tsv");
    for (std::string line; std::getline(manifest, line);) {
        auto f = Split(line, '\t');
        if (f.size() == 9 && f[0] == "database" && f[8] == "held") held.insert(f[1]);
    }
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!Mirel::EndsWith(Mirel::AsciiLower(name), ".vdb")) continue;
        if (it->symlink_status(ec).type() == fs::file_type::directory) continue;
        Copy c;
        c.path = it->path().string();
        c.held = held.count(c.path.substr(folder.size() + 1)) != 0;
        // A file read before is read again only when its inode says it may have changed: a
        // write through any hard link moves the change time.
        struct stat st;
        std::string key;
        if (::lstat(c.path.c_str(), &st) == 0) {
            std::ostringstream k;
            k << st.st_dev << ":" << st.st_ino << ":" << st.st_size << ":" << st.st_mtim.tv_sec
              << "." << st.st_mtim.tv_nsec << ":" << st.st_ctim.tv_sec << "." << st.st_ctim.tv_nsec;
            key = k.str();
        }
        auto cached = mRead.find(c.path);
        if (!key.empty() && cached != mRead.end() && cached->second.first == key) {
            c.file = cached->second.second;
        } else {
            c.file = ReadDbFile(c.path);
            if (!key.empty() && c.file.ok) mRead[c.path] = {key, c.file};
        }
        out.push_back(std::move(c));
    }
    return out;
}

std::string Checker::Where(const FileRec& f) const {
    std::ostringstream o;
    o << f.path;
    if (f.db >= 0) o << " (" << mL.DbLabel(f.db) << ", MSN " << f.startMSN << "->" << f.msn;
    if (f.db >= 0) o << ", interval " << f.interval << ")";
    return o.str();
}

bool Checker::CheckCopy(const Copy& c, int interval, const std::string& where, bool newest,
                        const LastGoodFolder& folder) {
    ++mCopies;
    if (const Ledger::Damaged* x = mL.DamagedFile(c.path)) {
        // Bytes the host changed: no manifest may certify them; otherwise not the service's
        // doing (ibsdb verify and restore are checked on them elsewhere).
        if (ManifestCertifies(ReadManifestLines(folder.path), c.path.substr(folder.path.size() + 1),
                              c.file.fileCrc32c, c.file.size) &&
            mReported.insert("certified:" + c.path).second)
            mR.Fail("manifest", folder.name + "/manifest.tsv certifies " + c.path +
                                    ", whose bytes changed on disk after it was written (" +
                                    x->path + ")");
        return false;
    }
    if (c.file.ok) {
        int d = mL.DbOf(c.file.state.uuid);
        const DbRec* r = d >= 0 ? &mL.dbs[static_cast<std::size_t>(d)] : nullptr;
        if (r && r->heldInterval == interval && c.file.state == r->heldState) {
            // The upload no log changed, kept as its database's newest good copy.
            if (!ManifestMarksHeld(ReadManifestLines(folder.path),
                                   c.path.substr(folder.path.size() + 1)) &&
                mReported.insert("held:" + c.path).second)
                mR.Fail("manifest", folder.name + "/manifest.tsv does not mark " + c.path + " " +
                                        expect::kHeldMark +
                                        " (an upload no log changed, not the interval's state)");
            return true;
        }
    }
    if (!c.file.ok) {
        // An older folder is pruned while we read it; what is gone cannot be restored wrongly.
        if (c.file.missing && !newest) return true;
        mR.Fail("mismatch", c.path + " (" + where + "): not a whole database: " + c.file.error);
        return true;
    }
    int d = mL.DbOf(c.file.state.uuid);
    if (d < 0) {
        mR.Fail("stray", c.path + " (" + where + "): database " + UuidString(c.file.state.uuid) +
                             " is not one of the server's");
        return true;
    }
    if (c.held) {
        if (HeldStateExists(d, c.file.state)) return true;
        if (!mReported.insert("held:" + c.path).second) return true;
        mR.Fail("mismatch", c.path + " (" + where + "): " + mL.DbLabel(d) +
                                " is held, but at no whole state the server had (" +
                                c.file.state.Describe() + ")");
        return true;
    }
    const IntervalRec* rec = mL.Interval(interval);
    auto s = rec->states.find(d);
    if (s == rec->states.end()) {
        if (!mReported.insert("stray:" + c.path).second) return true;
        mR.Fail("stray", c.path + " (" + where + "): " + mL.DbLabel(d) +
                             " had no copy in the service at that interval's end: a state the "
                             "server never had there (" +
                             c.file.state.Describe() + ")");
        return true;
    }
    if (c.file.state == s->second) return true;
    // An older folder is checked after every interval: each wrong copy is named once.
    std::ostringstream seenKey;
    seenKey << "copy:" << c.path << ":" << c.file.state.msn << ":" << c.file.state.digest;
    if (!mReported.insert(seenKey.str()).second) return true;
    const DatabaseModel& m = *mL.dbs[static_cast<std::size_t>(d)].model;
    // Page by page when the model still holds that state; else the summary says enough.
    const PageImages* pages = nullptr;
    if (interval == static_cast<int>(mL.intervals.size()) && m.MSN() == s->second.msn &&
        StateOf(m.Uuid(), m.PageSize(), m.MSN(), m.Pages()) == s->second)
        pages = &m.Pages();
    std::string diff = DescribeDifferences(c.path, s->second, pages);
    mR.Fail("mismatch", c.path + " (" + where + "): " + mL.DbLabel(d) +
                            " is not the server's "
                            "state at that interval's end: " +
                            diff + " expected " + s->second.Describe() + ", found " +
                            c.file.state.Describe());
    return true;
}

bool Checker::HeldStateExists(int db, const DbState& state) const {
    const DbRec& r = mL.dbs[static_cast<std::size_t>(db)];
    auto up = r.uploaded.find(state.msn);
    if (up != r.uploaded.end() && up->second == state) return true;
    for (const IntervalRec& i : mL.intervals) {
        auto s = i.states.find(db);
        if (s != i.states.end() && s->second == state) return true;
    }
    return false;
}

void Checker::CheckManifest(const LastGoodFolder& f, const std::vector<Copy>& copies) {
    if (!mManifestChecked.insert(f.name).second) return;
    std::ifstream in(f.path + "/manifest.tsv");
    if (!in) {
        mR.Fail("manifest", f.name + " has no manifest.tsv");
        return;
    }
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(Split(line, '\t'));
    for (const auto& c : copies) {
        // Bytes the host changed are judged by CheckCopy: the line must not fit them.
        if (!c.file.ok || mL.DamagedFile(c.path)) continue;
        std::string rel = c.path.substr(f.path.size() + 1);
        std::string base = fs::path(c.path).filename().string();
        // "database <TAB> path <TAB> fields...", as docs/formats.md has it.
        const std::vector<std::string>* found = nullptr;
        for (const auto& l : lines)
            if (l.size() > 1 && l[0] == "database" && (l[1] == rel || l[1] == base)) found = &l;
        if (!found) {
            mR.Fail("manifest", f.name + "/manifest.tsv does not list " + rel);
            continue;
        }
        // The fields are found by value, so the check does not depend on their order.
        std::set<std::string> values;
        for (std::size_t i = 2; i < found->size(); ++i)
            values.insert(Mirel::AsciiLower((*found)[i]));
        const std::string hex = Mirel::Hex32(c.file.fileCrc32c), hex0x = "0x" + hex;
        std::vector<std::pair<std::string, std::vector<std::string>>> want = {
            {"UUID", {UuidString(c.file.state.uuid)}},
            {"MSN", {std::to_string(c.file.state.msn)}},
            {"page size", {std::to_string(c.file.state.pageSize)}},
            {"page count", {std::to_string(c.file.state.pageCount)}},
            {"size", {std::to_string(c.file.size)}},
            {"CRC-32C", {std::to_string(c.file.fileCrc32c), hex, hex0x}},
        };
        for (const auto& [what, forms] : want) {
            bool ok = false;
            for (const auto& v : forms) ok = ok || values.count(v);
            if (!ok)
                mR.Fail("manifest", f.name + "/manifest.tsv: the line of " + rel + " lacks its " +
                                        what + " " + forms.front());
        }
    }
}

void Checker::VerifyInterval(int k, const std::function<bool(int)>& awaitNotice) {
    auto folders = ListLastGood(mL.backup);
    const IntervalRec* rec = mL.Interval(k);
    if (folders.empty() && rec && EveryDatabaseFailed(mL, k)) {
        // Every database failed before the first folder (a link hid the logs of each, say):
        // there is nothing to publish and no older folder.
        Account(k, false);
        return;
    }
    if (folders.empty() || !rec) {
        mR.Fail("missing", "interval " + std::to_string(k) + ": no last-good folder at all");
        return;
    }
    // Which database copies of which interval were found exact, for the failed-database check.
    std::set<std::pair<int, int>> exact;      // (interval, db)
    std::set<std::pair<int, int>> changed;    // (interval, db): bytes the host changed
    std::set<std::pair<int, int>> heldExact;  // (interval, db): an upload no log changed
    std::map<int, std::map<int, int>> seen;   // interval -> db -> copies
    int newestInterval = 0;
    for (std::size_t fi = 0; fi < folders.size(); ++fi) {
        const auto& f = folders[fi];
        bool newest = fi + 1 == folders.size();
        auto cands = Candidates(mL, f);
        if (cands.empty()) {
            if (mReported.insert("folder:" + f.name).second)
                mR.Fail("stray", f.name + " stands for no interval end of the server");
            continue;
        }
        auto copies = ReadFolder(f.path);
        // Two intervals ending in one minute: the folder is the one whose states it holds
        // (its manifest's end decides a tie: an idle database is the same state in both).
        const int recorded = FolderInterval(mL, f);
        int interval = recorded;
        if (cands.size() > 1) {
            std::size_t best = 0;
            for (int c : cands) {
                std::size_t match = 0;
                const IntervalRec* r = mL.Interval(c);
                for (const auto& cp : copies) {
                    // A held copy is an upload's state, which may equal an older interval's
                    // end (an upload after a failure): it tells no interval.
                    if (cp.held) continue;
                    int d = cp.file.ok ? mL.DbOf(cp.file.state.uuid) : -1;
                    auto s = d >= 0 ? r->states.find(d) : r->states.end();
                    if (s != r->states.end() && s->second == cp.file.state) ++match;
                }
                if (match > best || (match == best && c == recorded)) {
                    best = match;
                    interval = c;
                }
            }
        }
        if (newest) newestInterval = interval;
        std::string where = f.name + ", interval " + std::to_string(interval);
        for (const auto& c : copies) {
            bool judged = CheckCopy(c, interval, where, newest, f);
            const Ledger::Damaged* rot = judged ? nullptr : mL.DamagedFile(c.path);
            int d = rot ? rot->db : c.file.ok ? mL.DbOf(c.file.state.uuid) : -1;
            if (d < 0) continue;
            if (++seen[interval][d] == 2)
                mR.Fail("mismatch", f.name + " holds more than one copy of " + mL.DbLabel(d));
            if (!judged) {
                changed.insert({interval, d});
                continue;
            }
            const DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
            auto s = mL.Interval(interval)->states.find(d);
            // A held copy that is a whole state is the database's newest good copy.
            const bool held = (c.held && HeldStateExists(d, c.file.state)) ||
                              (r.heldInterval == interval && r.heldState == c.file.state);
            if ((s != mL.Interval(interval)->states.end() && s->second == c.file.state) || held)
                exact.insert({interval, d});
            if (held) heldExact.insert({interval, d});
        }
        if (newest) CheckManifest(f, copies);
    }
    // An interval whose every database failed has nothing to publish: no folder is made
    // (the older ones still hold the newest good copies, checked below).
    if (newestInterval != k && !(newestInterval < k && EveryDatabaseFailed(mL, k))) {
        mR.Fail("missing", "the newest last-good folder " + folders.back().name +
                               " does not stand for interval " + std::to_string(k));
        Account(k - 1, false);
        return;
    }
    for (const auto& [d, state] : rec->states) {
        DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
        bool expectFailure = r.badPending && r.badInterval <= k;
        // A held upload is published before its failing log is recorded: a restart in
        // between brings the failure with the next interval, so its notice is awaited then.
        // Any upload whose first log fails is held so, not only the ones made to.
        if (expectFailure && !r.reportedFailed && r.badInterval == k && heldExact.count({k, d})) {
            r.badInterval = k + 1;
            expectFailure = false;
        }
        if (expectFailure && !r.reportedFailed && !awaitNotice(d))
            mR.Fail("notify", "no notification 21 for " + mL.DbLabel(d) + ", whose " + r.badLog);
        const bool forLink = r.linkFailed || FailedForLink(mL, d);
        if (r.heldInterval == k) {
            // The upload no log changed is the database's newest good copy, published as held
            // (a database failed for a link owes nothing of the kind).
            if (exact.count({k, d}))
                r.lastGood = k;
            else if (!forLink)
                mR.Fail("missing", folders.back().name + " (interval " + std::to_string(k) +
                                       ") lacks " + mL.DbLabel(d) +
                                       " as uploaded: the upload no log changed is its newest "
                                       "good copy (" +
                                       r.heldState.Describe() + ")");
        }
        if (r.reportedFailed || expectFailure) {
            // Its newest good copy stays where it is until a new upload replaces it.
            // A copy whose bytes the host changed since stays as it is: not the service's loss.
            // One no folder ever held has its accepted upload as its only copy, unless the host
            // spoilt it.
            bool kept = r.lastGood == 0 && (!r.known || r.hostFault);
            for (const auto& [i, db] : exact) kept = kept || (db == d && i >= r.lastGood);
            for (const auto& [i, db] : changed) kept = kept || (db == d && i >= r.lastGood);
            // Failed for a link, or before any folder held it, it may have a newer one: a
            // waiting upload, or one in Kept/.
            if (!kept && (forLink || r.lastGood == 0)) kept = KeptOutsideFolders(mL, d);
            if (!kept && r.lastGood == 0)
                mR.Fail("missing", mL.DbLabel(d) +
                                       " failed before any folder held it; its only copy (its "
                                       "upload, perhaps rolled on) is neither waiting in Copies/ "
                                       "nor in Kept/");
            else if (!kept)
                mR.Fail("missing", mL.DbLabel(d) + " failed; its newest good copy (interval " +
                                       std::to_string(r.lastGood) + ") is gone");
            continue;
        }
        if (exact.count({k, d})) {
            r.lastGood = k;
            continue;
        }
        if (seen[k].count(d)) continue;  // present but wrong: reported above
        if (r.needsUpload && r.hostFault) {
            mR.Say(folders.back().name + " lacks " + mL.DbLabel(d) +
                   ": the host took away or spoilt its newest upload, and the next is owed");
            continue;
        }
        if (mL.StartSpoilt(d, k)) {
            mR.Say(folders.back().name + " lacks " + mL.DbLabel(d) +
                   ": its starting copy changed on disk, and its next upload already waits");
            continue;
        }
        // Perhaps the service failed it: the notification says so, and is judged there. One
        // that came stale, after its new upload, excuses a link's interval (before the wait
        // or during it).
        if (k > r.linkExcusedUntil && awaitNotice(d)) continue;
        if (k <= r.linkExcusedUntil) {
            mR.Say(folders.back().name + " lacks " + mL.DbLabel(d) +
                   ": it failed for a link where a redo folder was");
            continue;
        }
        mR.Fail("missing", folders.back().name + " (interval " + std::to_string(k) + ") lacks " +
                               mL.DbLabel(d) + "; a restore from it loses that database");
    }
    // A database the server dropped and created again under its name keeps its newest copy.
    for (std::size_t d = 0; d < mL.dbs.size(); ++d) {
        const DbRec& r = mL.dbs[d];
        if (!r.retired || !r.known || r.lastGood == 0) continue;
        // As for a failed database, a copy whose bytes the host changed since still counts.
        bool kept = false;
        for (const auto& [i, db] : exact)
            kept = kept || (db == static_cast<int>(d) && i >= r.lastGood);
        for (const auto& [i, db] : changed)
            kept = kept || (db == static_cast<int>(d) && i >= r.lastGood);
        if (!kept)
            mR.Fail("missing", mL.DbLabel(static_cast<int>(d)) +
                                   " was replaced under its name; its newest good copy "
                                   "(interval " +
                                   std::to_string(r.lastGood) + ") is gone");
    }
    for (const auto& [uuid, number] : ReadFailedList(mL.backup)) {
        int d = mL.DbOf(uuid);
        if (d < 0) continue;
        const DbRec& r = mL.dbs[static_cast<std::size_t>(d)];
        if (r.retired && !r.replacementPending) {
            // A database replaced under its file name stays listed (its logs are refused);
            // the new upload under the name is another database's. One that was failing
            // when it was dropped keeps the number it failed with, and so does one a scan
            // failed for a link before the replacement was seen.
            bool failing = r.reportedFailed || r.badPending || r.needsUpload ||
                           (!mL.links.empty() && expect::LinkFailure(number));
            if (r.known && !failing && expect::kReplacedDatabaseLog != 0 &&
                number != expect::kReplacedDatabaseLog &&
                mReported.insert("failed-list:" + uuid).second)
                mR.Fail("folder", "Failed.tsv lists the replaced " + mL.DbLabel(d) + " with " +
                                      std::to_string(number) + ", expected " +
                                      std::to_string(expect::kReplacedDatabaseLog));
            continue;
        }
        // A scan that finds a link fails uploads since too.
        if (!r.reportedFailed && !r.badPending && r.known && r.uploadInterval < k &&
            !FailedForLink(mL, d))
            mR.Fail("folder", "Failed.tsv lists " + mL.DbLabel(d) + " (" + std::to_string(number) +
                                  ") after its new upload was taken");
    }
    Account(k, false);
}

bool Checker::Superseded(const FileRec& f) const {
    for (const auto& u : mL.files)
        if (u.kind == FileKind::kUpload && u.accepted && u.db == f.db && &u != &f &&
            u.msn >= f.msn && (&u > &f))
            return true;
    return false;
}

bool Checker::InvalidFileInPlace() const {
    for (const FileRec& f : mL.files)
        if (f.kind == FileKind::kBogus && f.accepted && !f.settled && IsRegular(f.path))
            return true;
    return false;
}

void Checker::Account(int upTo, bool final) {
    auto rejected = ReadRejected(mL.backup);
    std::set<std::string> explained;
    // A file of ours in Rejected/: by its reasons.tsv line, else by name and content.
    auto findSetAside = [&](const FileRec& f, SetAside& out) {
        auto it = rejected.find(f.path);
        if (it != rejected.end()) {
            out = it->second;
            return true;
        }
        std::string base = fs::path(f.path).filename().string();
        for (const auto& [key, s] : rejected) {
            if (key[0] != '?' || (s.name != base && s.name.rfind(base + ".", 0) != 0)) continue;
            std::uint64_t digest = 0, size = 0;
            if (FileDigest(mL.backup + "/Rejected/" + s.name, digest, size) && digest == f.digest &&
                size == f.size) {
                out = s;
                return true;
            }
        }
        return false;
    };
    for (auto& f : mL.files) {
        SetAside sa;
        bool inRejected = findSetAside(f, sa);
        if (inRejected) explained.insert(sa.name);
        if (f.kind == FileKind::kUpload && f.accepted && !f.settled &&
            !mReported.count("changed:" + f.path) && IsRegular(f.path)) {
            // The service moves an upload; it never writes to one where it lies.
            std::uint64_t digest = 0, size = 0;
            if (FileDigest(f.path, digest, size) && (digest != f.digest || size != f.size)) {
                mReported.insert("changed:" + f.path);
                mR.Fail("changed", Where(f) +
                                       ": the accepted upload changed where the server "
                                       "left it (applied outside InProgress/)");
            }
        }
        if (f.settled || !f.answered || f.kind == FileKind::kForeign) continue;
        // An interval under way holds its uploads in the in-progress folder.
        if (!final && f.interval > upTo && f.kind == FileKind::kUpload) continue;
        if (f.kind == FileKind::kDone) {
            // Until its interval has a last-good folder, nothing can take its place.
            if (f.interval <= upTo || !f.accepted) {
                f.settled = true;
            } else if (!IsRegular(f.path) && !inRejected && EveryDatabaseFailed(mL, f.interval)) {
                f.settled = true;
                f.fate = "its interval had nothing to publish: every database failed";
            } else if (!IsRegular(f.path) && !inRejected) {
                mR.Fail("lost", f.path + " (the interval-done file of interval " +
                                    std::to_string(f.interval) +
                                    ") vanished before its interval reached a last-good folder");
                f.settled = true;
            }
            continue;
        }
        auto settle = [&](const std::string& fate) {
            f.settled = true;
            f.fate = fate;
        };
        // The service writes the reason line just after the move: a file met in between is
        // judged at a later look, unless it stays without its line.
        auto reasonDue = [&] {
            if (sa.reason != 0 || final) return true;
            auto seen = mNoReasonSince.emplace(sa.name, std::chrono::steady_clock::now()).first;
            return std::chrono::steady_clock::now() - seen->second >= mReasonGrace;
        };
        auto checkReason = [&] {
            if (!reasonDue()) return false;
            auto ev = mL.setAsideEvents.find(mL.backup + "/Rejected/" + sa.name);
            if (ev != mL.setAsideEvents.end() && !f.reasons.empty() &&
                std::find(f.reasons.begin(), f.reasons.end(), ev->second) == f.reasons.end())
                mR.Fail("reasons", Where(f) + ": event 0x41000328 for Rejected/" + sa.name +
                                       " gives reason " + std::to_string(ev->second) +
                                       ", expected " + std::to_string(f.reasons.front()));
            if (sa.reason == 0)
                mR.Fail("reasons", Where(f) + " was set aside as Rejected/" + sa.name +
                                       " without a line in Rejected/reasons.tsv");
            else if (!f.reasons.empty() &&
                     std::find(f.reasons.begin(), f.reasons.end(), sa.reason) == f.reasons.end())
                mR.Fail("reasons", Where(f) + " was set aside with reason " +
                                       std::to_string(sa.reason) + ", expected " +
                                       std::to_string(f.reasons.front()));
            return true;
        };
        bool present = IsRegular(f.path);
        const DbRec* r = f.db >= 0 ? &mL.dbs[static_cast<std::size_t>(f.db)] : nullptr;
        bool failing = r && (r->badPending || r->reportedFailed || r->needsUpload || r->linkFailed);
        if (f.kind == FileKind::kBogus) {
            if (inRejected) {
                if (checkReason()) settle("set aside");
            } else if (!present && f.accepted && Superseded(f)) {
                settle("superseded");
            } else if (!present && !failing) {
                mR.Fail("setaside", Where(f) +
                                        " (an invalid file) vanished without being set "
                                        "aside in Rejected/");
                settle("vanished");
            } else if (final && present) {
                mR.Fail("setaside", Where(f) +
                                        " (an invalid file) was neither set aside nor "
                                        "refused");
                settle("left");
            }
            continue;
        }
        // A log or an upload of the chain, valid.
        if (!f.accepted) {
            if (inRejected) {
                // Refused with a number: the set-aside reason is that number.
                if (f.reasons.empty()) f.reasons = {f.answer};
                if (checkReason()) settle("refused and set aside");
            }
            continue;
        }
        if (r && r->lastGood >= f.interval) {
            settle("applied");
            continue;
        }
        if (present) continue;
        if (inRejected) {
            if (!checkReason()) continue;
            // A database due to fail in this interval (the host took its upload's move away,
            // say) has its logs of it set aside, even before its notification is taken.
            const bool dueToFail = r && ((r->badPending && f.interval >= r->badInterval) ||
                                         (r->hostFault && f.interval == r->badInterval));
            const bool linkExcused = r && f.interval <= r->linkExcusedUntil;
            if (!f.afterBreak && !dueToFail && !linkExcused && !mL.StartSpoilt(f.db, f.interval) &&
                !FailedForLink(mL, f.db))
                mR.Fail("setaside", Where(f) + " is valid but was set aside as Rejected/" +
                                        sa.name + " (reason " + std::to_string(sa.reason) + ")");
            settle("set aside");
            continue;
        }
        if (Superseded(f)) {
            settle("superseded");
            continue;
        }
        if (f.kind == FileKind::kUpload && r && r->lastGood > 0) {
            // A restart's scan takes every upload it finds; one whose state a last-good copy
            // already holds brings nothing and may go.
            const IntervalRec* held = mL.Interval(r->lastGood);
            auto s = held ? held->states.find(f.db) : std::map<int, DbState>::const_iterator{};
            if (held && s != held->states.end() && s->second.msn >= f.msn) {
                settle("redundant");
                continue;
            }
        }
        if (failing && !final) continue;
        mR.Fail("lost", Where(f) +
                            " was accepted and has vanished: not applied (newest exact "
                            "copy: interval " +
                            std::to_string(r ? r->lastGood : 0) +
                            "), not in Rejected/, not superseded by an upload");
        settle("lost");
    }
    for (const auto& [key, s] : rejected) {
        if (explained.count(s.name) || mReported.count("rejected:" + s.name)) continue;
        // The .rc folder of a set-aside log goes with it.
        if (Mirel::EndsWith(s.name, ".rc")) continue;
        mReported.insert("rejected:" + s.name);
        std::string from = key[0] == '?' ? "no reasons.tsv line" : "from " + key;
        mR.Fail("moved", "Rejected/" + s.name + " (" + from + ", reason " +
                             std::to_string(s.reason) +
                             "): the service set aside something the server never gave up");
    }
}

}  // namespace sim
