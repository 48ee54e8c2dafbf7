#include "platform/framework/Codecs.h"

#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "platform/engine/Formats.h"
#include "platform/engine/Uuid.h"
#include "platform/framework/IBS_Config.h"
#include "platform/framework/TsvField.h"
#include "platform/support/DateTime.h"
#include "platform/support/TextUtil.h"

namespace Talon {

namespace {

constexpr char kDoneMagic[8] = {'V', 'L', 'M', 'K', 'I', 'D', 'N', '1'};

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        out.push_back(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

// Decimal digits only, at most 20 of them, within 64 bits.
bool ParseU64(const std::string& s, std::uint64_t& v) {
    if (s.empty() || s.size() > 20) return false;
    std::uint64_t out = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (out > (UINT64_MAX - d) / 10) return false;
        out = out * 10 + d;
    }
    v = out;
    return true;
}

// An optional '-' and decimal digits, within 31 bits.
bool ParseInt(const std::string& s, int& v) {
    const bool neg = !s.empty() && s[0] == '-';
    std::uint64_t u = 0;
    if (!ParseU64(neg ? s.substr(1) : s, u) || u > 2147483647u) return false;
    v = neg ? -static_cast<int>(u) : static_cast<int>(u);
    return true;
}

bool AllDigits(const std::string& t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
}

void DropCR(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

bool NothingToRead(const std::string& line) {
    return line.empty() || line[0] == '#';
}

}  // namespace

bool EncodeIntervalDone(std::uint64_t endUTC, const std::vector<Mirel::unistring>& uuids,
                        std::vector<std::uint8_t>& out) {
    using namespace Mirel::Format;
    std::vector<std::uint8_t> buf(kIntervalDoneFixed + 16 * uuids.size() + 4);
    std::memcpy(buf.data(), kDoneMagic, 8);
    Put32(buf.data() + 8, kVersion);
    Put32(buf.data() + 12, static_cast<std::uint32_t>(uuids.size()));
    Put64(buf.data() + 16, endUTC);
    for (std::size_t i = 0; i < uuids.size(); ++i) {
        Uuid u;
        if (!Mirel::UuidText::FromText(uuids[i], u)) return false;
        std::memcpy(buf.data() + kIntervalDoneFixed + 16 * i, u.data(), 16);
    }
    Put32(buf.data() + buf.size() - 4, Crc32c(buf.data(), buf.size() - 4));
    out = std::move(buf);
    return true;
}

bool DecodeIntervalDone(const std::uint8_t* data, std::size_t size, std::uint64_t& endUTC,
                        std::vector<Mirel::unistring>* uuids) {
    using namespace Mirel::Format;
    if (size < kIntervalDoneMinSize || size > kIntervalDoneMaxSize) return false;
    if (std::memcmp(data, kDoneMagic, 8) != 0 || Get32(data + 8) != kVersion) return false;
    const std::uint32_t count = Get32(data + 12);
    if (size != kIntervalDoneFixed + 16ull * count + 4) return false;
    const std::size_t crcAt = size - 4;
    if (Get32(data + crcAt) != Crc32c(data, crcAt)) return false;
    // An end no last-good folder name can hold would stop every later interval.
    const std::uint64_t end = Get64(data + 16);
    if (end == 0 || end >= IBS_Config::kEndOfTime) return false;
    endUTC = end;
    if (uuids) {
        uuids->clear();
        for (std::uint32_t i = 0; i < count; ++i) {
            Uuid u;
            std::memcpy(u.data(), data + kIntervalDoneFixed + 16 * i, 16);
            uuids->push_back(Mirel::UuidText::ToText(u));
        }
    }
    return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

const char* const kFailedListHeader = "# uuid\terror\tsince (UTC microseconds)\terror in words\n";

std::string EncodeFailedLine(const FailedLine& l) {
    return l.uuid + "\t" + std::to_string(l.error) + "\t" + std::to_string(l.since) + "\t" +
           l.words + "\n";
}

TsvLine DecodeFailedLine(std::string line, FailedLine& out) {
    out = FailedLine();
    DropCR(line);
    if (NothingToRead(line)) return TsvLine::kNothing;
    const auto f = SplitTabs(line);
    int error = 0;
    if (f.size() >= 3 && f[0].size() == 36 && ParseInt(f[1], error) && ParseU64(f[2], out.since)) {
        out.uuid = f[0];
        out.error = error;
        out.hasSince = true;
        out.words = f.size() > 3 ? f[3] : std::string();
        out.complete = true;
        return TsvLine::kEntry;
    }
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) return TsvLine::kMalformed;
    char* rest = nullptr;
    const long number = std::strtol(line.c_str() + tab + 1, &rest, 10);
    if (number == 0) return TsvLine::kMalformed;
    out.uuid = line.substr(0, tab);
    out.error = static_cast<std::int32_t>(number);
    if (rest && *rest == '\t') {
        out.hasSince = true;
        out.since = std::strtoull(rest + 1, nullptr, 10);
    }
    return TsvLine::kEntry;
}

std::string EncodeReasonLine(const ReasonLine& l) {
    return EscapeTsvField(l.name) + "\t" + std::to_string(l.error) + "\t" + std::to_string(l.when) +
           "\t" + EscapeTsvField(l.originalPath) + "\t" + EscapeTsvField(l.why) + "\n";
}

TsvLine DecodeReasonLine(std::string line, ReasonLine& out) {
    DropCR(line);
    if (NothingToRead(line)) return TsvLine::kNothing;
    const auto f = SplitTabs(line);
    if (f.size() < 4 || f[0].empty() || !ParseInt(f[1], out.error) || !ParseU64(f[2], out.when))
        return TsvLine::kMalformed;
    out.name = f[0];
    if (!UnescapeTsvField(f[3], out.originalPath)) out.originalPath = f[3];
    out.why.clear();
    if (f.size() > 4 && !UnescapeTsvField(f[4], out.why)) out.why = f[4];
    return TsvLine::kEntry;
}

const char* const kPrunedRecordHeader =
    "# when\tset aside before\tentries\tbytes\tnames... (UTC microseconds; docs/formats.md)\n";

std::string EncodePrunedLine(std::uint64_t when, std::uint64_t limit, std::uint64_t entries,
                             std::uint64_t bytes, const std::vector<std::string>& names) {
    std::string line = std::to_string(when) + "\t" + std::to_string(limit) + "\t" +
                       std::to_string(entries) + "\t" + std::to_string(bytes);
    for (const auto& n : names) line += "\t" + EscapeTsvField(n);
    return line + "\n";
}

std::string EncodeFileIdentity(std::uint64_t inode, std::uint64_t size, std::uint64_t mtimeUs,
                               std::uint64_t mtimeNs) {
    return std::to_string(inode) + " " + std::to_string(size) + " " + std::to_string(mtimeUs) +
           "." + std::to_string(mtimeNs);
}

std::string EncodeUnwrittenList(const std::map<std::string, std::string>& copies) {
    if (copies.empty()) return std::string();
    std::string text = "# in-progress copy\tinode size mtime\n";
    for (const auto& [path, id] : copies) text += path + "\t" + id + "\n";
    return text;
}

std::string EncodeUnwrittenForget(const std::string& path) {
    return path + "\t-\n";
}

std::map<std::string, std::string> DecodeUnwrittenList(const std::string& text) {
    std::map<std::string, std::string> out;
    for (const std::string& line : SplitLines(text)) {
        if (NothingToRead(line) || line.find('\0') != std::string::npos) continue;
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        if (line.compare(tab + 1, std::string::npos, "-") == 0)
            out.erase(line.substr(0, tab));
        else
            out[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return out;
}

std::string EncodeUploadsAfter(const std::map<std::string, UploadAfter>& lines) {
    if (lines.empty()) return std::string();
    std::string text =
        "# upload\tinode size mtime\tafter the interval ending\tdatabase\tfailure cleared\n";
    for (const auto& [path, v] : lines)
        text += path + "\t" + v.id + "\t" + std::to_string(v.after) + "\t" + v.uuid.ToUTF8() +
                "\t" + std::to_string(v.cleared) + "\n";
    return text;
}

std::map<std::string, UploadAfter> DecodeUploadsAfter(const std::string& text) {
    std::map<std::string, UploadAfter> out;
    for (const std::string& line : SplitLines(text)) {
        if (NothingToRead(line)) continue;
        const auto f = SplitTabs(line);
        if (f.size() != 5 || !AllDigits(f[2]) || !AllDigits(f[4])) continue;
        out[f[0]] = {f[1], std::strtoull(f[2].c_str(), nullptr, 10),
                     Mirel::unistring::FromUTF8(f[3]),
                     static_cast<std::int32_t>(std::strtol(f[4].c_str(), nullptr, 10))};
    }
    return out;
}

std::string EncodeTakenLine(const TakenLog& log) {
    return EscapeTsvField(log.folder) + "\t" + EscapeTsvField(log.name) + "\t" + log.uuid.ToUTF8() +
           "\t" + std::to_string(log.msn) + "\n";
}

std::vector<TakenLog> DecodeTakenList(const std::string& text) {
    std::vector<TakenLog> out;
    for (const std::string& line : SplitLines(text)) {
        if (NothingToRead(line) || line.find('\0') != std::string::npos) continue;
        const auto f = SplitTabs(line);
        TakenLog log;
        if (f.size() != 4 || !AllDigits(f[3]) || !UnescapeTsvField(f[0], log.folder) ||
            !UnescapeTsvField(f[1], log.name))
            continue;
        log.uuid = Mirel::unistring::FromUTF8(f[2]);
        log.msn = std::strtoull(f[3].c_str(), nullptr, 10);
        out.push_back(std::move(log));
    }
    return out;
}

namespace {

// A path a manifest may name: relative, no empty, "." or ".." element, no NUL.
bool SafeRelativePath(const std::string& p) {
    if (p.empty() || p[0] == '/' || p.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = p.find('/', start);
        std::string el =
            p.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (el.empty() || el == "." || el == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

std::string TimeText(std::uint64_t utc) {
    Mirel::DateTime dt(0);
    dt.SetMicroSecSinceEpoch(utc, 6);
    return dt.AsUnistring(Mirel::Locale(2)).ToUTF8();
}

}  // namespace

std::string EncodeManifest(std::uint64_t intervalEnd, const std::vector<ManifestEntry>& entries) {
    std::string s = "# Vellumark last-good folder manifest\n";
    s += "version\t" + std::to_string(kManifestVersion) + "\n";
    s += "interval-end\t" + std::to_string(intervalEnd) + "\t" + TimeText(intervalEnd) + "\n";
    std::size_t dbs = 0, containers = 0;
    for (const auto& e : entries) {
        if (e.kind == ManifestEntry::kDatabase) {
            ++dbs;
            s += "database\t" + EscapeTsvField(e.path) + "\t" + (e.uuid.empty() ? "-" : e.uuid) +
                 "\t" + std::to_string(e.msn) + "\t" + std::to_string(e.pageSize) + "\t" +
                 std::to_string(e.pageCount) + "\t" + std::to_string(e.size) + "\t" +
                 Mirel::Hex32(e.crc) + "\t" + (e.held ? "held" : "current") + "\n";
        } else {
            ++containers;
            s += "container\t" + EscapeTsvField(e.path) + "\t" + std::to_string(e.size) + "\t" +
                 Mirel::Hex32(e.crc) + "\n";
        }
    }
    std::uint32_t crc = Mirel::Format::Crc32c(s.data(), s.size());
    s += "end\t" + std::to_string(dbs) + "\t" + std::to_string(containers) + "\t" +
         Mirel::Hex32(crc) + "\n";
    return s;
}

bool DecodeManifest(const std::string& text, std::uint64_t& intervalEnd,
                    std::vector<ManifestEntry>& entries, std::string* why) {
    intervalEnd = 0;
    entries.clear();
    auto fail = [&](std::size_t lineNo, const std::string& what) {
        if (why) *why = "line " + std::to_string(lineNo) + ": " + what;
        return false;
    };
    std::size_t pos = 0, lineNo = 0;
    bool haveVersion = false, haveEnd = false, ended = false;
    std::uint64_t version = 0;
    std::uint64_t dbs = 0, containers = 0;
    std::unordered_set<std::string> paths;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) return fail(lineNo + 1, "no line end (cut short?)");
        const std::string line = text.substr(pos, nl - pos);
        const std::size_t lineStart = pos;
        pos = nl + 1;
        ++lineNo;
        if (ended) return fail(lineNo, "text after the end line");
        if (!line.empty() && line[0] == '#') continue;
        std::vector<std::string> f = SplitTabs(line);
        const std::string& kind = f[0];
        if (!haveVersion) {
            if (kind != "version" || f.size() != 2 || !ParseU64(f[1], version))
                return fail(lineNo, "the first line must be the version");
            if (version < 1 || version > static_cast<std::uint64_t>(kManifestVersion))
                return fail(lineNo, "version " + f[1] + " is not known to this program");
            haveVersion = true;
        } else if (kind == "interval-end") {
            if (f.size() != 3 || !ParseU64(f[1], intervalEnd) || haveEnd)
                return fail(lineNo, "bad interval-end line");
            haveEnd = true;
        } else if (kind == "database" || kind == "container") {
            ManifestEntry e;
            e.kind = kind == "database" ? ManifestEntry::kDatabase : ManifestEntry::kContainer;
            const bool stated = e.kind == ManifestEntry::kDatabase && version >= 2;
            std::size_t want = e.kind == ManifestEntry::kDatabase ? (stated ? 9 : 8) : 4;
            if (f.size() != want)
                return fail(lineNo, "a " + kind + " line has " + std::to_string(want) + " fields");
            if (!UnescapeTsvField(f[1], e.path) || !SafeRelativePath(e.path))
                return fail(lineNo, "bad path");
            bool ok;
            if (e.kind == ManifestEntry::kDatabase) {
                std::uint64_t ps = 0;
                e.uuid = f[2] == "-" ? std::string() : f[2];
                ok = (e.uuid.empty() || e.uuid.size() == 36) && ParseU64(f[3], e.msn) &&
                     ParseU64(f[4], ps) && ps <= UINT32_MAX && ParseU64(f[5], e.pageCount) &&
                     ParseU64(f[6], e.size) && Mirel::ParseHex32(f[7], e.crc) &&
                     (!stated || f[8] == "current" || f[8] == "held");
                e.held = stated && f[8] == "held";
                e.pageSize = static_cast<std::uint32_t>(ps);
                ++dbs;
            } else {
                ok = ParseU64(f[2], e.size) && Mirel::ParseHex32(f[3], e.crc);
                ++containers;
            }
            if (!ok) return fail(lineNo, "bad number in a " + kind + " line");
            if (!paths.insert(e.path).second) return fail(lineNo, "a path listed twice");
            entries.push_back(std::move(e));
        } else if (kind == "end") {
            std::uint64_t d = 0, c = 0;
            std::uint32_t crc = 0;
            if (f.size() != 4 || !ParseU64(f[1], d) || !ParseU64(f[2], c) ||
                !Mirel::ParseHex32(f[3], crc))
                return fail(lineNo, "bad end line");
            if (d != dbs || c != containers) return fail(lineNo, "line counts differ");
            if (crc != Mirel::Format::Crc32c(text.data(), lineStart))
                return fail(lineNo, "checksum differs: the manifest was changed or damaged");
            ended = true;
        } else {
            return fail(lineNo, "unknown line '" + kind + "'");
        }
    }
    if (!haveVersion) return fail(lineNo, "empty");
    if (!ended) return fail(lineNo, "no end line (cut short?)");
    if (!haveEnd) return fail(lineNo, "no interval-end line");
    return true;
}

}  // namespace Talon
