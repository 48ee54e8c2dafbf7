// The push of restore points off the host, and what it shares with the readers of the store:
// files go to the store under the SHA-256 of their bytes, so a copy carried forward by a hard
// link is stored once; a point exists off the host once its index is written, and that is
// written last.
#include "platform/offsite/Offsite.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <tuple>

#include "platform/engine/Formats.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/Manifest.h"
#include "platform/framework/TsvField.h"
#include "platform/objectstore/Digest.h"
#include "platform/support/DateTime.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"

namespace Offsite {

using ObjectStore::Cause;
using ObjectStore::Client;
using ObjectStore::Status;

std::string RemoteOptions::Prefix() const {
    if (prefix.empty() || prefix.back() == '/') return prefix;
    return prefix + "/";
}

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr const char* kIndexTitle = "# Vellumark off-host restore point index";

bool ParseU64(const std::string& s, std::uint64_t& v) {
    if (s.empty() || s.size() > 20 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    v = std::stoull(s);
    return true;
}

bool ParseCrc(const std::string& s, std::uint32_t& v) {
    if (s.size() != 8 || s.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    v = static_cast<std::uint32_t>(std::stoul(s, nullptr, 16));
    return true;
}

bool IsSha(const std::string& s) {
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return f;
        start = tab + 1;
    }
}

}  // namespace

std::string CrcHex(std::uint32_t crc) {
    char b[9];
    std::snprintf(b, sizeof b, "%08x", crc);
    return b;
}

std::string PointKey(const RemoteOptions& r, const std::string& folder, const char* name) {
    return r.Prefix() + "points/" + folder + "/" + name;
}

std::string ObjectKey(const RemoteOptions& r, const std::string& sha) {
    return r.Prefix() + "objects/" + sha;
}

// A stable word for JSON readers (CauseName's words are for people).
const char* CauseToken(Cause c) {
    switch (c) {
        case Cause::kNone:
            return "none";
        case Cause::kConnect:
            return "connect";
        case Cause::kTimeout:
            return "timeout";
        case Cause::kConnectionLost:
            return "connection-lost";
        case Cause::kServer:
            return "server";
        case Cause::kThrottled:
            return "throttled";
        case Cause::kStoreFull:
            return "store-full";
        case Cause::kBadDigest:
            return "bad-digest";
        case Cause::kCredentials:
            return "credentials";
        case Cause::kCredentialsExpired:
            return "credentials-expired";
        case Cause::kClockSkew:
            return "clock-skew";
        case Cause::kAccessDenied:
            return "access-denied";
        case Cause::kNotFound:
            return "not-found";
        case Cause::kPreconditionFailed:
            return "precondition-failed";
        case Cause::kInvalidRange:
            return "invalid-range";
        case Cause::kRequest:
            return "request";
        case Cause::kTls:
            return "tls";
        case Cause::kIntegrity:
            return "integrity";
        case Cause::kProtocol:
            return "protocol";
        case Cause::kLocal:
            return "local";
        case Cause::kCancelled:
            return "cancelled";
        case Cause::kConfig:
            return "config";
    }
    return "unknown";
}

std::uint64_t StoreSeconds(const std::string& date) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    int n = 0;
    char month[4] = {};
    if (std::sscanf(date.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &n) == 6 &&
        n > 0) {
        t.tm_mon -= 1;
    } else if (std::sscanf(date.c_str(), "%*3s, %2d %3s %4d %2d:%2d:%2d GMT%n", &t.tm_mday, month,
                           &t.tm_year, &t.tm_hour, &t.tm_min, &t.tm_sec, &n) == 6 &&
               n > 0) {
        t.tm_mon = -1;
        for (int m = 0; m < 12; ++m)
            if (std::string(month) == kMonths[m]) t.tm_mon = m;
    } else {
        return 0;
    }
    if (t.tm_year < 1970 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 ||
        t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 60)
        return 0;
    t.tm_year -= 1900;
    const time_t s = ::timegm(&t);
    return s < 0 ? 0 : static_cast<std::uint64_t>(s);
}

std::set<std::string> RecordKeys(const std::string& text) {
    std::set<std::string> keys;
    for (const auto& line : Talon::SplitLines(text))
        if (!line.empty()) keys.insert(line);
    return keys;
}

Status StoreDateOf(Client& c, const RemoteOptions& r, const std::string& key,
                   std::uint64_t& seconds) {
    ObjectStore::ObjectInfo info;
    Status s = ObjectStore::Retry(r.retry, [&] { return c.HeadObject(key, info); });
    if (!s.ok()) return s;
    seconds = StoreSeconds(info.lastModified);
    if (seconds == 0) {
        s.cause = Cause::kProtocol;
        s.operation = "HeadObject";
        s.key = key;
        s.message = "the store's date \"" + info.lastModified + "\" cannot be read";
    }
    return s;
}

bool PastLease(const std::string& date, std::chrono::seconds lease, const Leases& leases,
               std::uint64_t now) {
    const std::uint64_t t = StoreSeconds(date);
    return t != 0 && t + static_cast<std::uint64_t>((lease + leases.margin).count()) <= now;
}

std::unique_ptr<Client> MakeClient(const RemoteOptions& r, std::string& refusal) {
    ObjectStore::Config config;
    const Status s = ObjectStore::LoadCredentials(r.credentials, config);
    if (!s.ok()) {
        refusal = "the credentials cannot be used: " + s.ToString();
        return nullptr;
    }
    if (r.maxSendBytesPerSecond != 0) config.maxSendBytesPerSecond = r.maxSendBytesPerSecond;
    if (r.maxRecvBytesPerSecond != 0) config.maxRecvBytesPerSecond = r.maxRecvBytesPerSecond;
    if (r.configure) r.configure(config);
    return std::make_unique<Client>(config);
}

std::string Where(const Client& c, const RemoteOptions& r) {
    return c.config().endpoint + "/" + c.config().bucket + "/" + r.Prefix();
}

// The names of the points whose index is in the store.
Status RemoteNames(Client& c, const RemoteOptions& r, std::set<std::string>& names) {
    std::vector<ObjectStore::ObjectInfo> objects;
    const std::string under = r.Prefix() + "points/";
    Status s = ObjectStore::Retry(r.retry, [&] {
        objects.clear();
        return c.ListAll(under, objects);
    });
    if (!s.ok()) return s;
    const std::string tail = std::string("/") + kIndexName;
    for (const auto& o : objects) {
        if (o.key.size() <= under.size() + tail.size()) continue;
        if (o.key.compare(o.key.size() - tail.size(), tail.size(), tail) != 0) continue;
        const std::string folder =
            o.key.substr(under.size(), o.key.size() - under.size() - tail.size());
        if (folder.find('/') == std::string::npos) names.insert(folder);
    }
    return s;
}

Status GetText(Client& c, const RemoteOptions& r, const std::string& key, std::string& text) {
    return ObjectStore::Retry(r.retry, [&] {
        text.clear();
        return c.GetObject(key, [&text](const char* d, std::size_t n) {
            if (text.size() + n > (64u << 20)) return false;
            text.append(d, n);
            return true;
        });
    });
}

namespace {

// Size, CRC-32C and SHA-256 of a file in one pass; with partSize, also the ETag a multipart
// upload of it in parts of that size must come to.
struct Hashed {
    int error = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::string sha256;  // hex
    std::string md5;     // hex, of the whole file
    std::string multipartEtag;
    Mirel::Os::Info info;  // as opened
};

Hashed HashFile(const std::string& path, std::uint64_t partSize) {
    Hashed h;
    int fd = -1;
    if ((h.error = Mirel::Os::OpenRead(path, fd, &h.info)) != 0) return h;
    ObjectStore::Digests whole(true);
    std::unique_ptr<ObjectStore::Digests> part;
    std::string partMd5s;
    unsigned parts = 0;
    std::uint64_t inPart = 0;
    std::unique_ptr<char[]> buf(new char[kReadChunk]);
    for (;;) {
        std::size_t want = kReadChunk;
        if (partSize != 0)
            want = static_cast<std::size_t>(std::min<std::uint64_t>(want, partSize - inPart));
        std::size_t n = 0;
        if ((h.error = Mirel::Os::PReadAll(fd, buf.get(), want, h.size, n, path)) != 0 || n == 0)
            break;
        h.crc = Mirel::Format::Crc32c(buf.get(), n, h.crc);
        whole.Update(buf.get(), n);
        if (partSize != 0) {
            if (!part) part = std::make_unique<ObjectStore::Digests>(false);
            part->Update(buf.get(), n);
            inPart += n;
            if (inPart == partSize) {
                part->Finish();
                partMd5s += part->Md5();
                part.reset();
                ++parts;
                inPart = 0;
            }
        }
        h.size += n;
    }
    Mirel::Os::Close(fd);
    if (h.error != 0) return h;
    whole.Finish();
    h.sha256 = ObjectStore::Hex(whole.Sha256());
    h.md5 = ObjectStore::Hex(whole.Md5());
    if (partSize != 0) {
        if (part) {
            part->Finish();
            partMd5s += part->Md5();
            ++parts;
        }
        h.multipartEtag =
            ObjectStore::Hex(ObjectStore::Md5Of(partMd5s)) + "-" + std::to_string(parts);
    }
    return h;
}

// The record of hashes: a file whose device, inode, size and modification time are those
// of a line was hashed before and is not read again.
using Identity = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>;
struct KnownHash {
    std::uint32_t crc = 0;
    std::string sha256;
};

Identity IdentityOf(const Mirel::Os::Info& i) {
    return {static_cast<std::uint64_t>(i.dev), i.ino, i.size,
            i.mtimeUs / 1000000 * 1000000000 + i.mtimeNs};
}

std::map<Identity, KnownHash> ReadHashes(const std::string& backup) {
    std::map<Identity, KnownHash> known;
    std::string text;
    if (Mirel::Os::ReadWholeFile(backup + "/" + kOffsiteHashesName, text) != 0) return known;
    // A garbled line costs that file's hashing, nothing else.
    for (const auto& line : Talon::SplitLines(text)) {
        if (line.empty() || line[0] == '#') continue;
        const auto f = Fields(line);
        std::uint64_t dev, ino, size, mtime;
        KnownHash k;
        if (f.size() != 6 || !ParseU64(f[0], dev) || !ParseU64(f[1], ino) ||
            !ParseU64(f[2], size) || !ParseU64(f[3], mtime) || !ParseCrc(f[4], k.crc) ||
            !IsSha(f[5]))
            continue;
        k.sha256 = f[5];
        known[{dev, ino, size, mtime}] = k;
    }
    return known;
}

int WriteHashes(const std::string& backup, const std::map<Identity, KnownHash>& known) {
    std::string text =
        "# ibsdb offsite push: CRC-32C and SHA-256 of files by device, inode, size and "
        "modification time (ns)\n";
    for (const auto& [id, k] : known)
        text += std::to_string(std::get<0>(id)) + "\t" + std::to_string(std::get<1>(id)) + "\t" +
                std::to_string(std::get<2>(id)) + "\t" + std::to_string(std::get<3>(id)) + "\t" +
                CrcHex(k.crc) + "\t" + k.sha256 + "\n";
    return Mirel::Os::WriteFileDurable(backup + "/" + kOffsiteHashesName, text);
}

int WriteRecord(const std::string& backup, const OffsiteRecord& r) {
    const std::string text =
        "# ibsdb offsite push: the newest restore point off the host\npushed\t" + r.folder + "\t" +
        std::to_string(r.intervalEnd) + "\t" + std::to_string(r.pushed) + "\t" +
        Talon::EscapeTsvField(r.where) + "\n";
    return Mirel::Os::WriteFileDurable(backup + "/" + kOffsiteRecordName, text);
}

}  // namespace

std::string EncodeOffsiteIndex(const OffsiteIndex& x) {
    std::string t = std::string(kIndexTitle) + "\nversion\t1\n";
    t += "point\t" + Talon::EscapeTsvField(x.folder) + "\t" + std::to_string(x.intervalEnd) + "\t" +
         std::to_string(x.pushed) + "\n";
    t += "manifest\t" + std::to_string(x.manifestSize) + "\t" + CrcHex(x.manifestCrc) + "\t" +
         x.manifestSha256 + "\n";
    for (const auto& f : x.files)
        t += "file\t" + Talon::EscapeTsvField(f.path) + "\t" + std::to_string(f.size) + "\t" +
             CrcHex(f.crc) + "\t" + f.sha256 + "\tobjects/" + f.sha256 + "\n";
    for (const auto& a : x.absent) t += "absent\t" + Talon::EscapeTsvField(a) + "\n";
    const std::uint32_t crc = Mirel::Format::Crc32c(t.data(), t.size());
    t += "end\t" + std::to_string(x.files.size()) + "\t" + std::to_string(x.absent.size()) + "\t" +
         CrcHex(crc) + "\n";
    return t;
}

bool DecodeOffsiteIndex(const std::string& text, OffsiteIndex& x, std::string* why) {
    auto fail = [&](int line, const std::string& what) {
        if (why) *why = (line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + what;
        return false;
    };
    x = OffsiteIndex();
    std::size_t pos = 0;
    int number = 0;
    bool sawVersion = false, sawPoint = false, sawManifest = false;
    while (pos < text.size()) {
        const std::size_t lf = text.find('\n', pos);
        if (lf == std::string::npos) return fail(number + 1, "no line end");
        const std::string line = text.substr(pos, lf - pos);
        const std::size_t lineStart = pos;
        pos = lf + 1;
        ++number;
        if (line.empty() || line[0] == '#') continue;
        const auto f = Fields(line);
        if (f[0] == "version") {
            if (f.size() < 2 || f[1] != "1") return fail(number, "unknown version");
            sawVersion = true;
        } else if (!sawVersion) {
            return fail(number, "no version line first");
        } else if (f[0] == "point") {
            if (f.size() < 4 || !Talon::UnescapeTsvField(f[1], x.folder) ||
                !ParseU64(f[2], x.intervalEnd) || !ParseU64(f[3], x.pushed))
                return fail(number, "bad point line");
            sawPoint = true;
        } else if (f[0] == "manifest") {
            if (f.size() < 4 || !ParseU64(f[1], x.manifestSize) || !ParseCrc(f[2], x.manifestCrc) ||
                !IsSha(f[3]))
                return fail(number, "bad manifest line");
            x.manifestSha256 = f[3];
            sawManifest = true;
        } else if (f[0] == "file") {
            OffsiteIndex::File e;
            if (f.size() < 6 || !Talon::UnescapeTsvField(f[1], e.path) || e.path.empty() ||
                !ParseU64(f[2], e.size) || !ParseCrc(f[3], e.crc) || !IsSha(f[4]) ||
                f[5] != "objects/" + f[4])
                return fail(number, "bad file line");
            e.sha256 = f[4];
            x.files.push_back(e);
        } else if (f[0] == "absent") {
            std::string p;
            if (f.size() < 2 || !Talon::UnescapeTsvField(f[1], p))
                return fail(number, "bad absent line");
            x.absent.push_back(p);
        } else if (f[0] == "end") {
            std::uint64_t files = 0, absent = 0;
            std::uint32_t crc = 0;
            if (f.size() < 4 || !ParseU64(f[1], files) || !ParseU64(f[2], absent) ||
                !ParseCrc(f[3], crc))
                return fail(number, "bad end line");
            if (files != x.files.size() || absent != x.absent.size())
                return fail(number, "the counts do not match the lines");
            if (crc != Mirel::Format::Crc32c(text.data(), lineStart))
                return fail(number, "the checksum does not match the lines above");
            if (!sawPoint || !sawManifest) return fail(number, "no point or manifest line");
            if (pos != text.size()) return fail(number + 1, "lines after the end line");
            return true;
        } else {
            return fail(number, "unknown line \"" + f[0] + "\"");
        }
    }
    return fail(0, "no end line (cut short)");
}

bool ReadOffsiteRecord(const std::string& backup, OffsiteRecord& r) {
    r = OffsiteRecord();
    std::string text;
    if (Mirel::Os::ReadWholeFile(backup + "/" + kOffsiteRecordName, text) != 0) return false;
    for (const auto& line : Talon::SplitLines(text)) {
        const auto f = Fields(line);
        if (f.size() < 5 || f[0] != "pushed") continue;
        if (!ParseU64(f[2], r.intervalEnd) || !ParseU64(f[3], r.pushed) ||
            !Talon::UnescapeTsvField(f[4], r.where))
            return false;
        r.folder = f[1];
        r.present = true;
    }
    return r.present;
}

namespace {

// A last-good folder, as the push needs it: where, and the interval it ends.
struct Folder {
    std::string name, path;
    std::uint64_t intervalEnd = 0;
    std::vector<Talon::ManifestEntry> entries;  // of its manifest, when it could be read
};

// The last-good folders, by interval end (the manifest's, else the name's), so a folder
// renamed by hand keeps its place; empty `why` when the folder is a backup folder.
std::vector<Folder> LastGoodFolders(const std::string& backup, std::string& why) {
    std::vector<Folder> folders;
    std::vector<Mirel::Os::DirEntry> top;
    if (int e = Mirel::Os::ListDir(backup, top); e != 0) {
        why = "cannot read the backup folder " + backup + ": error " + Mirel::ErrorText(e);
        return folders;
    }
    std::sort(top.begin(), top.end(), [](const auto& x, const auto& y) { return x.name < y.name; });
    bool isBackup = false;
    for (const auto& e : top) {
        const Mirel::Os::Info i = Mirel::Os::Stat(backup + "/" + e.name);
        if ((i.isDir && (e.name == "Changes" || e.name == "Copies" || e.name == "InProgress")) ||
            (i.isFile && (e.name == "State.tsv" || e.name == "Failed.tsv")))
            isBackup = true;
        if (!i.isDir || e.name.compare(0, 9, "LastGood_") != 0) continue;
        isBackup = true;
        Folder f;
        f.name = e.name;
        f.path = backup + "/" + e.name;
        f.intervalEnd = Talon::BackupFolder::GetUTCFromTimestamp(e.name.substr(9));
        if (f.intervalEnd == 0) continue;
        std::string text;
        std::uint64_t end = 0;
        if (Mirel::Os::ReadWholeFile(f.path + "/" + Talon::Manifest::sFileName, text) == 0 &&
            Talon::DecodeManifest(text, end, f.entries))
            f.intervalEnd = end;
        folders.push_back(std::move(f));
    }
    if (!isBackup)
        why = "not a backup folder: " + backup +
              " has no Changes/, Copies/, InProgress/ or last-good folder";
    std::stable_sort(folders.begin(), folders.end(), [](const auto& x, const auto& y) {
        return x.intervalEnd != y.intervalEnd ? x.intervalEnd < y.intervalEnd : x.name < y.name;
    });
    return folders;
}

using Steady = std::chrono::steady_clock;

// A push's intent for one point (docs/offsite.md, "A push and an expiry at once"): while it
// is in the store no expiry deletes a key it names. Removed when the point is done with,
// pushed or not; one a killed push leaves goes when its lease is over.
class Intent {
public:
    Intent(Client& c, const RemoteOptions& r) : mC(c), mR(r) {}
    ~Intent() {
        if (!mKey.empty()) ObjectStore::Retry(mR.retry, [&] { return mC.DeleteObject(mKey); });
    }
    Intent(const Intent&) = delete;
    Intent& operator=(const Intent&) = delete;

    Status Take(const std::string& folder, const std::set<std::string>& keys) {
        std::string text;
        for (const auto& k : keys) text += k + "\n";
        const std::string key = mR.Prefix() + kPushingFolder + folder + "-" +
                                std::to_string(Mirel::DateTime::NowUTC()) + "-" +
                                std::to_string(::getpid());
        Status s = ObjectStore::Retry(mR.retry,
                                      [&] { return mC.PutObject(key, text.data(), text.size()); });
        if (!s.ok()) return s;
        mKey = key;
        mWritten = Steady::now();
        // The store's own clock, which the expiries' records are dated by.
        return StoreDateOf(mC, mR, key, mStoreSeconds);
    }
    Steady::duration Age() const { return Steady::now() - mWritten; }
    std::uint64_t StoreNow() const {
        return mStoreSeconds + static_cast<std::uint64_t>(
                                   std::chrono::duration_cast<std::chrono::seconds>(Age()).count());
    }

private:
    Client& mC;
    const RemoteOptions& mR;
    std::string mKey;
    Steady::time_point mWritten;
    std::uint64_t mStoreSeconds = 0;
};

// Waits while an expiry that may still be deleting names one of `keys`: once it has ended
// (its record gone) or its lease is over, what the push then finds stored stays.
Status WaitForExpiries(Client& c, const RemoteOptions& r, const std::set<std::string>& keys,
                       const Intent& intent, std::string& waitedFor) {
    auto delay = std::chrono::milliseconds(250);
    for (;;) {
        std::vector<ObjectStore::ObjectInfo> records;
        Status s = ObjectStore::Retry(r.retry, [&] {
            records.clear();
            return c.ListAll(r.Prefix() + kExpiringFolder, records);
        });
        if (!s.ok()) return s;
        std::string blocking;
        for (const auto& record : records) {
            if (PastLease(record.lastModified, r.leases.expiry, r.leases, intent.StoreNow()))
                continue;  // no longer deleting
            std::string text;
            s = GetText(c, r, record.key, text);
            if (s.cause == Cause::kNotFound) continue;  // ended meanwhile
            if (!s.ok()) return s;
            for (const auto& k : RecordKeys(text))
                if (keys.count(k)) blocking = record.key;
            if (!blocking.empty()) break;
        }
        if (blocking.empty()) return Status();
        waitedFor = blocking;
        for (auto until = Steady::now() + delay; Steady::now() < until;) {
            if (c.Cancelled()) {
                s.cause = Cause::kCancelled;
                s.operation = "WaitForExpiries";
                s.key = blocking;
                s.message = "cancelled while an expiry was under way";
                return s;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        delay = std::min(delay * 2, std::chrono::milliseconds(5000));
    }
}

}  // namespace

PushResult Push(const PushOptions& o) {
    const RemoteOptions& r = o.remote;
    PushResult result;
    std::vector<PointResult>& results = result.points;
    std::vector<std::string>& reasons = result.reasons;
    int& code = result.code;
    int& already = result.already;
    struct Detach {
        const RemoteOptions& r;
        bool attached = false;
        ~Detach() {
            if (attached && r.attach) r.attach(nullptr);
        }
    } detach{r};

    auto finish = [&]() -> PushResult {
        result.storeFailed = !result.storeError.empty();
        return result;
    };
    auto unknown = [&](const std::string& why) {
        code = kUnknown;
        reasons.push_back(why);
        return finish();
    };

    std::string backup = o.backup;
    while (backup.size() > 1 && backup.back() == '/') backup.pop_back();
    std::string why;
    const std::vector<Folder> folders = LastGoodFolders(backup, why);
    if (!why.empty()) return unknown(why);
    std::string refusal;
    std::unique_ptr<Client> client = MakeClient(r, refusal);
    if (!client) {
        result.storeError = refusal;
        result.cause = Cause::kConfig;
        return unknown(refusal);
    }
    result.maxSendBytesPerSecond = client->config().maxSendBytesPerSecond;
    result.maxRecvBytesPerSecond = client->config().maxRecvBytesPerSecond;
    if (r.attach) {
        r.attach(client.get());
        detach.attached = true;
    }
    auto storeFailed = [&](const Status& s, PointResult* p) {
        result.storeError = s.ToString();
        result.cause = s.cause;
        if (p) {
            p->result = "failed";
            p->problems.push_back("the store failed: " + result.storeError);
        }
        code = kUnknown;
        reasons.push_back("the store failed, the push stopped: " + result.storeError);
    };
    std::set<std::string> remote;
    if (Status s = RemoteNames(*client, r, remote); !s.ok()) {
        storeFailed(s, nullptr);
        return finish();
    }

    std::map<Identity, KnownHash> known = ReadHashes(backup);
    std::map<Identity, KnownHash> used;  // kept in the record: files of folders still here
    for (const auto& f : folders)
        for (const auto& e : f.entries) {
            Mirel::Os::Info i;
            if (Mirel::Os::Stat(f.path + "/" + e.path, i) != 0 || !i.isFile) continue;
            auto k = known.find(IdentityOf(i));
            if (k != known.end()) used.insert(*k);
        }
    auto saveHashes = [&] {
        // Only hashing again is lost when it cannot be written.
        if (int e = WriteHashes(backup, used); e != 0)
            result.notes.push_back("the record of hashes could not be written: error " +
                                   Mirel::ErrorText(e));
    };

    // The newest point off the host, for status: never moved back to an older one.
    OffsiteRecord record;
    ReadOffsiteRecord(backup, record);
    if (record.present && record.where != Where(*client, r)) record = OffsiteRecord();
    auto note = [&](const std::string& folder, std::uint64_t end, std::uint64_t when) {
        if (record.present && record.intervalEnd >= end) return 0;
        record.present = true;
        record.folder = folder;
        record.intervalEnd = end;
        record.pushed = when;
        record.where = Where(*client, r);
        return WriteRecord(backup, record);
    };

    // A folder older than a point off the host is not pushed again: it is not there because
    // expire --remote removed it (or an earlier push refused it), not because it is new.
    std::size_t newestThere = 0;
    for (std::size_t i = 0; i < folders.size(); ++i)
        if (remote.count(folders[i].name)) newestThere = i + 1;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const Folder& f = folders[i];
        if (remote.count(f.name)) {
            ++already;
            note(f.name, f.intervalEnd, 0);  // pushed before the record was (re)started
            continue;
        }
        if (i < newestThere) {
            ++result.older;
            continue;
        }
        results.push_back({});
        PointResult& p = results.back();
        p.folder = f.name;
        auto refuse = [&](const std::string& why) {
            p.result = "refused";
            p.problems.push_back(why);
            code = std::max(code, static_cast<int>(kCritical));
            reasons.push_back(f.name + ": not pushed: " + why);
        };
        std::string manifestText;
        if (int e =
                Mirel::Os::ReadWholeFile(f.path + "/" + Talon::Manifest::sFileName, manifestText);
            e != 0) {
            if (e == Mirel::kErrPathNotFound && !Mirel::Os::Stat(f.path).exists) {
                results.pop_back();  // removed by the service meanwhile
                continue;
            }
            refuse("its manifest cannot be read: error " + Mirel::ErrorText(e));
            continue;
        }
        OffsiteIndex index;
        index.folder = f.name;
        auto matches = [&](const Talon::ManifestEntry& e, const Hashed& x) {
            if (x.size == e.size && x.crc == e.crc) return true;
            refuse(e.path + ": does not match its manifest line (size " + std::to_string(x.size) +
                   ", CRC-32C " + CrcHex(x.crc) + "; listed " + std::to_string(e.size) + ", " +
                   CrcHex(e.crc) + ")");
            return false;
        };
        std::vector<Talon::ManifestEntry> entries;
        std::string why;
        if (!Talon::DecodeManifest(manifestText, index.intervalEnd, entries, &why)) {
            refuse("its manifest is damaged (" + why + ")");
            continue;
        }
        bool stop = false, refused = false;
        int done = 0;
        // Each file looked at and checked against its manifest line first: the keys the point
        // relies on are known before any is looked for in the store.
        struct Planned {
            const Talon::ManifestEntry* e;
            std::string path;
            Hashed h;
            bool fresh;
            std::uint64_t partSize;
        };
        std::vector<Planned> planned;
        if (o.progress) o.progress(f.name, 0, static_cast<int>(entries.size()));
        for (const auto& e : entries) {
            const std::string path = f.path + "/" + e.path;
            Mirel::Os::Info st;
            const int se = Mirel::Os::Stat(path, st);
            if (se == Mirel::kErrPathNotFound) {
                index.absent.push_back(e.path);
                ++p.absent;
                continue;
            }
            if (se != 0 || !st.isFile) {
                refuse(e.path + ": " +
                       (se != 0 ? "cannot be looked at: error " + Mirel::ErrorText(se)
                                : std::string("not a regular file")));
                refused = true;
                break;
            }
            const std::uint64_t partSize = client->PartSizeFor(e.size);
            Hashed h;
            bool fresh = false;
            auto k = known.find(IdentityOf(st));
            if (k != known.end()) {
                h.size = st.size;
                h.crc = k->second.crc;
                h.sha256 = k->second.sha256;
                ++p.fromRecord;
            } else {
                h = HashFile(path, partSize);
                if (h.error == Mirel::kErrPathNotFound) {
                    index.absent.push_back(e.path);
                    ++p.absent;
                    continue;
                }
                if (h.error != 0) {
                    refuse(e.path + ": reading it failed: error " + Mirel::ErrorText(h.error));
                    refused = true;
                    break;
                }
                fresh = true;
                ++p.hashed;
            }
            if (!matches(e, h)) {
                refused = true;
                break;
            }
            if (fresh) {
                KnownHash kh{h.crc, h.sha256};
                known[IdentityOf(h.info)] = kh;
                used[IdentityOf(h.info)] = kh;
            }
            planned.push_back({&e, path, std::move(h), fresh, partSize});
        }
        if (refused) continue;

        std::set<std::string> keys{PointKey(r, f.name, Talon::Manifest::sFileName),
                                   PointKey(r, f.name, kIndexName)};
        for (const auto& x : planned) keys.insert(ObjectKey(r, x.h.sha256));
        Intent intent(*client, r);
        std::string waitedFor;
        Status taken = intent.Take(f.name, keys);
        if (taken.ok()) taken = WaitForExpiries(*client, r, keys, intent, waitedFor);
        if (!taken.ok()) {
            storeFailed(taken, &p);
            break;
        }
        if (!waitedFor.empty())
            result.notes.push_back(f.name + ": waited for the expiry under way off the host (" +
                                   waitedFor + ")");

        for (auto& x : planned) {
            if (o.progress) o.progress(f.name, done++, static_cast<int>(entries.size()));
            const Talon::ManifestEntry& e = *x.e;
            Hashed& h = x.h;
            const std::string& path = x.path;
            const std::string key = ObjectKey(r, h.sha256);
            ObjectStore::ObjectInfo info;
            Status s = ObjectStore::Retry(r.retry, [&] { return client->HeadObject(key, info); });
            if (s.ok() && info.size == e.size) {
                ++p.present;
                index.files.push_back({e.path, e.size, e.crc, h.sha256});
                continue;
            }
            if (!s.ok() && s.cause != Cause::kNotFound) {
                storeFailed(s, &p);
                stop = true;
                break;
            }
            if (!x.fresh) {
                // From the record: read again, for the MD5 the store is to check the bytes by.
                const std::string sha = h.sha256;
                h = HashFile(path, x.partSize);
                if (h.error != 0) {
                    refuse(e.path + ": reading it failed: error " + Mirel::ErrorText(h.error));
                    refused = true;
                    break;
                }
                ++p.hashed;
                if (!matches(e, h)) {
                    refused = true;
                    break;
                }
                if (h.sha256 != sha) {
                    refuse(e.path + ": its SHA-256 is not what it was when last hashed");
                    refused = true;
                    break;
                }
            }
            ObjectStore::PutOptions po;
            po.metadata["crc32c"] = CrcHex(h.crc);
            po.metadata["sha256"] = h.sha256;
            // The bytes sent must be those just checked: the store refuses others by this MD5,
            // and a multipart upload's ETag must come out as foreseen.
            if (x.partSize == 0) {
                po.expectedMd5 = h.md5;
                // Both digests of the checked pass: the client need not read the file twice.
                po.knownSha256 = h.sha256;
            }
            ObjectStore::PutResult put;
            s = ObjectStore::Retry(r.retry, [&] { return client->PutFile(key, path, po, &put); });
            if (s.ok() && x.partSize != 0 && put.etag != h.multipartEtag) {
                ObjectStore::Retry(r.retry, [&] { return client->DeleteObject(key); });
                refuse(e.path + ": changed while it was sent (ETag " + put.etag + ", expected " +
                       h.multipartEtag + ")");
                refused = true;
                break;
            }
            if (!s.ok()) {
                if (s.cause == Cause::kLocal) {
                    refuse(e.path + ": " + s.ToString());
                    refused = true;
                    break;
                }
                storeFailed(s, &p);
                stop = true;
                break;
            }
            ++p.sent;
            p.bytesSent += e.size;
            index.files.push_back({e.path, e.size, e.crc, h.sha256});
        }
        p.files = static_cast<int>(index.files.size());
        if (stop) break;
        if (refused) continue;

        // Past its lease an expiry may have taken the intent for a killed push's and deleted
        // what it names: the point is pushed again next time, every object looked for anew.
        if (intent.Age() + r.leases.margin >= r.leases.intent) {
            p.result = "failed";
            p.problems.push_back("the push of this point outlasted its lease off the host");
            code = std::max(code, static_cast<int>(kUnknown));
            reasons.push_back(f.name + ": not pushed: it took longer than the lease of " +
                              std::to_string(r.leases.intent.count()) +
                              " s; pushed again next time");
            continue;
        }
        // The manifest, then the index: a point is there once its index is.
        index.manifestSize = manifestText.size();
        index.manifestCrc = Mirel::Format::Crc32c(manifestText.data(), manifestText.size());
        index.manifestSha256 = ObjectStore::Sha256HexOf(manifestText);
        index.pushed = Mirel::DateTime::NowUTC();
        const std::string indexText = EncodeOffsiteIndex(index);
        Status s = ObjectStore::Retry(r.retry, [&] {
            return client->PutObject(PointKey(r, f.name, Talon::Manifest::sFileName),
                                     manifestText.data(), manifestText.size());
        });
        if (s.ok())
            s = ObjectStore::Retry(r.retry, [&] {
                return client->PutObject(PointKey(r, f.name, kIndexName), indexText.data(),
                                         indexText.size());
            });
        if (!s.ok()) {
            storeFailed(s, &p);
            break;
        }
        p.result = "pushed";
        if (o.progress)
            o.progress(f.name, static_cast<int>(entries.size()), static_cast<int>(entries.size()));
        if (int e = note(f.name, index.intervalEnd, index.pushed); e != 0)
            p.problems.push_back("the local record " + std::string(kOffsiteRecordName) +
                                 " could not be written: error " + Mirel::ErrorText(e));
        saveHashes();
    }
    saveHashes();
    return finish();
}

}  // namespace Offsite
