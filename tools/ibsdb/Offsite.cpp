// ibsdb offsite push, and the remote side of list and verify. Files go to the store under the
// SHA-256 of their bytes, so a copy carried forward by a hard link is stored once; a point
// exists off the host once its index is written, and that is written last.
#include "tools/ibsdb/Offsite.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <tuple>

#include "platform/engine/Formats.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/Manifest.h"
#include "platform/framework/Retention.h"
#include "platform/framework/TsvField.h"
#include "platform/objectstore/Digest.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/BackupView.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

using ObjectStore::Cause;
using ObjectStore::Client;
using ObjectStore::Status;

std::string RemoteOptions::Prefix() const {
    if (prefix.empty() || prefix.back() == '/') return prefix;
    return prefix + "/";
}

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr const char* kIndexName = "index.tsv";
constexpr const char* kIndexTitle = "# Vellumark off-host restore point index";

std::string CrcHex(std::uint32_t crc) {
    char b[9];
    std::snprintf(b, sizeof b, "%08x", crc);
    return b;
}

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

std::string PointKey(const RemoteOptions& r, const std::string& folder, const char* name) {
    return r.Prefix() + "points/" + folder + "/" + name;
}

std::string ObjectKey(const RemoteOptions& r, const std::string& sha) {
    return r.Prefix() + "objects/" + sha;
}

}  // namespace

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

namespace {

// The credentials, the caller's settings, and a client.
std::unique_ptr<Client> MakeClient(const RemoteOptions& r, std::string& error) {
    ObjectStore::Config config;
    const Status s = ObjectStore::LoadCredentials(r.credentials, config);
    if (!s.ok()) {
        error = s.ToString();
        return nullptr;
    }
    if (r.configure) r.configure(config);
    return std::make_unique<Client>(config);
}

std::string Where(const Client& c, const RemoteOptions& r) {
    return c.config().endpoint + "/" + c.config().bucket + "/" + r.Prefix();
}

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

struct PointResult {
    std::string folder;
    std::string result;  // pushed, refused, failed
    int files = 0, absent = 0, sent = 0, present = 0, hashed = 0, fromRecord = 0;
    std::uint64_t bytesSent = 0;
    std::vector<std::string> problems;
};

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

int OffsitePush(const PushOptions& o, std::ostream& out) {
    const RemoteOptions& r = o.remote;
    std::vector<PointResult> results;
    std::vector<std::string> reasons;
    std::string storeError, storeCause;
    Cause storeStatusCause = Cause::kNone;
    int code = kOk, already = 0;
    struct Detach {
        const RemoteOptions& r;
        bool attached = false;
        ~Detach() {
            if (attached && r.attach) r.attach(nullptr);
        }
    } detach{r};

    auto finish = [&]() {
        int pushed = 0, refused = 0, sent = 0, present = 0, hashed = 0, fromRecord = 0;
        std::uint64_t bytes = 0;
        for (const auto& p : results) {
            pushed += p.result == "pushed";
            refused += p.result == "refused";
            sent += p.sent;
            present += p.present;
            hashed += p.hashed;
            fromRecord += p.fromRecord;
            bytes += p.bytesSent;
        }
        if (o.report) {
            o.report->code = code;
            o.report->pushed = pushed;
            o.report->refused = refused;
            o.report->storeFailed = !storeError.empty();
            o.report->storeError = storeError;
            o.report->cause = storeStatusCause;
            o.report->reasons = reasons;
        }
        const std::string summary = std::to_string(pushed) + " restore point(s) pushed, " +
                                    std::to_string(refused) + " refused, " +
                                    std::to_string(already) + " off the host already; " +
                                    std::to_string(sent) + " object(s) sent (" + SizeText(bytes) +
                                    "), " + std::to_string(present) + " stored already";
        if (o.json) {
            Json j;
            j["version"] = kJsonVersion;
            j["backup"] = o.backup;
            j["prefix"] = r.Prefix();
            j["state"] = ExitName(code);
            j["exit_code"] = code;
            j["reasons"] = reasons;
            j["store_error"] = storeError.empty()
                                   ? Json(nullptr)
                                   : Json{{"cause", storeCause}, {"text", storeError}};
            j["points"] = Json::array();
            for (const auto& p : results)
                j["points"].push_back({{"folder", p.folder},
                                       {"result", p.result},
                                       {"files", p.files},
                                       {"absent", p.absent},
                                       {"objects_sent", p.sent},
                                       {"objects_stored_already", p.present},
                                       {"bytes_sent", p.bytesSent},
                                       {"files_hashed", p.hashed},
                                       {"files_from_record", p.fromRecord},
                                       {"problems", p.problems}});
            j["summary"] = {{"pushed", pushed},
                            {"refused", refused},
                            {"off_host_already", already},
                            {"objects_sent", sent},
                            {"objects_stored_already", present},
                            {"bytes_sent", bytes},
                            {"files_hashed", hashed},
                            {"files_from_record", fromRecord},
                            {"text", summary}};
            out << j.dump(2) << "\n";
        } else {
            for (const auto& p : results) {
                out << p.folder << "  " << p.result << "  " << p.files << " file(s), " << p.sent
                    << " sent, " << p.present << " stored already";
                if (p.absent) out << ", " << p.absent << " removed here before the push";
                out << "\n";
                for (const auto& w : p.problems) out << "    " << w << "\n";
            }
            if (!storeError.empty())
                out << "store: " << storeError << "\n";
            else if (results.empty())
                for (const auto& w : reasons) out << w << "\n";
            out << ExitName(code) << ": " << summary << "\n";
        }
        return code;
    };
    auto unknown = [&](const std::string& why) {
        code = kUnknown;
        reasons.push_back(why);
        return finish();
    };

    BackupView v;
    if (std::string why = v.LoadBackupFolder(o.backup); !why.empty()) return unknown(why);
    std::string error;
    std::unique_ptr<Client> client = MakeClient(r, error);
    if (!client) {
        storeError = error;
        storeCause = CauseToken(Cause::kConfig);
        storeStatusCause = Cause::kConfig;
        return unknown("the credentials cannot be used: " + error);
    }
    if (r.attach) {
        r.attach(client.get());
        detach.attached = true;
    }
    auto storeFailed = [&](const Status& s, PointResult* p) {
        storeError = s.ToString();
        storeCause = CauseToken(s.cause);
        storeStatusCause = s.cause;
        if (p) {
            p->result = "failed";
            p->problems.push_back("the store failed: " + storeError);
        }
        code = kUnknown;
        reasons.push_back("the store failed, the push stopped: " + storeError);
    };
    std::set<std::string> remote;
    if (Status s = RemoteNames(*client, r, remote); !s.ok()) {
        storeFailed(s, nullptr);
        return finish();
    }

    std::map<Identity, KnownHash> known = ReadHashes(o.backup);
    std::map<Identity, KnownHash> used;  // kept in the record: files of folders still here
    for (const auto& f : v.folders)
        for (const auto& e : f.manifest.entries) {
            Mirel::Os::Info i;
            if (Mirel::Os::Stat(f.path + "/" + e.path, i) != 0 || !i.isFile) continue;
            auto k = known.find(IdentityOf(i));
            if (k != known.end()) used.insert(*k);
        }
    auto saveHashes = [&] {
        // Only hashing again is lost when it cannot be written.
        if (int e = WriteHashes(o.backup, used); e != 0)
            std::cerr << "ibsdb: note: the record of hashes could not be written: error "
                      << Mirel::ErrorText(e) << "\n";
    };

    // The newest point off the host, for status: never moved back to an older one.
    OffsiteRecord record;
    ReadOffsiteRecord(o.backup, record);
    if (record.present && record.where != Where(*client, r)) record = OffsiteRecord();
    auto note = [&](const std::string& folder, std::uint64_t end, std::uint64_t when) {
        if (record.present && record.intervalEnd >= end) return 0;
        record.present = true;
        record.folder = folder;
        record.intervalEnd = end;
        record.pushed = when;
        record.where = Where(*client, r);
        return WriteRecord(o.backup, record);
    };

    for (const auto& f : v.folders) {
        if (remote.count(f.name)) {
            ++already;
            note(f.name, f.intervalEnd, 0);  // pushed before the record was (re)started
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
        std::vector<Talon::ManifestEntry> entries;
        std::string why;
        if (!Talon::DecodeManifest(manifestText, index.intervalEnd, entries, &why)) {
            refuse("its manifest is damaged (" + why + ")");
            continue;
        }
        bool stop = false, refused = false;
        int done = 0;
        for (const auto& e : entries) {
            if (o.progress) o.progress(f.name, done++, static_cast<int>(entries.size()));
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
            auto matches = [&](const Hashed& x) {
                if (x.size == e.size && x.crc == e.crc) return true;
                refuse(e.path + ": does not match its manifest line (size " +
                       std::to_string(x.size) + ", CRC-32C " + CrcHex(x.crc) + "; listed " +
                       std::to_string(e.size) + ", " + CrcHex(e.crc) + ")");
                return false;
            };
            if (!matches(h)) {
                refused = true;
                break;
            }
            if (fresh) {
                KnownHash kh{h.crc, h.sha256};
                known[IdentityOf(h.info)] = kh;
                used[IdentityOf(h.info)] = kh;
            }
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
            if (!fresh) {
                // From the record: read again, for the MD5 the store is to check the bytes by.
                const std::string sha = h.sha256;
                h = HashFile(path, partSize);
                if (h.error != 0) {
                    refuse(e.path + ": reading it failed: error " + Mirel::ErrorText(h.error));
                    refused = true;
                    break;
                }
                ++p.hashed;
                if (!matches(h)) {
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
            if (partSize == 0) {
                po.expectedMd5 = h.md5;
                // Both digests of the checked pass: the client need not read the file twice.
                po.knownSha256 = h.sha256;
            }
            ObjectStore::PutResult put;
            s = ObjectStore::Retry(r.retry, [&] { return client->PutFile(key, path, po, &put); });
            if (s.ok() && partSize != 0 && put.etag != h.multipartEtag) {
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

        // The manifest, then the index: a point is there once its index is.
        index.manifestSize = manifestText.size();
        index.manifestCrc = Mirel::Format::Crc32c(manifestText.data(), manifestText.size());
        index.manifestSha256 = ObjectStore::Sha256HexOf(manifestText);
        index.pushed = NowUTC();
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

bool ListRemotePoints(const RemoteOptions& r, std::map<std::string, OffsiteIndex>& points,
                      std::vector<std::string>& problems, std::string& error) {
    std::unique_ptr<Client> client = MakeClient(r, error);
    if (!client) return false;
    std::set<std::string> names;
    if (Status s = RemoteNames(*client, r, names); !s.ok()) {
        error = s.ToString();
        return false;
    }
    for (const auto& name : names) {
        std::string text;
        if (Status s = GetText(*client, r, PointKey(r, name, kIndexName), text); !s.ok()) {
            if (s.cause == Cause::kNotFound) continue;  // removed meanwhile
            error = s.ToString();
            return false;
        }
        OffsiteIndex x;
        std::string why;
        if (!DecodeOffsiteIndex(text, x, &why) || x.folder != name) {
            problems.push_back(name + ": its index off the host is damaged (" +
                               (why.empty() ? "names another folder" : why) + ")");
            continue;
        }
        points[name] = x;
    }
    return true;
}

int VerifyRemote(const RemoteVerifyOptions& o, std::ostream& out) {
    const RemoteOptions& r = o.remote;
    int code = kOk;
    std::vector<std::string> reasons;
    Json folders = Json::array();
    std::uint64_t bytes = 0;
    int checked = 0, bad = 0;
    auto report = [&]() {
        if (o.json) {
            Json j;
            j["version"] = kJsonVersion;
            j["path"] = o.path;
            j["where"] = "remote";
            j["state"] = ExitName(code);
            j["exit_code"] = code;
            j["reasons"] = reasons;
            j["folders"] = folders;
            j["summary"] = {{"folders", folders.size()},
                            {"files_checked", checked},
                            {"bytes_read", bytes},
                            {"problems", bad}};
            out << j.dump(2) << "\n";
            return code;
        }
        for (const auto& f : folders) {
            out << f["folder"].get<std::string>() << "  off the host  "
                << f["state"].get<std::string>() << "\n";
            for (const auto& p : f["problems"]) out << "  " << p.get<std::string>() << "\n";
            for (const auto& x : f["files"])
                if (x["result"] != "ok")
                    out << "  " << x["result"].get<std::string>() << "  "
                        << x["path"].get<std::string>() << ": " << x["detail"].get<std::string>()
                        << "\n";
        }
        for (const auto& w : reasons)
            if (folders.empty()) out << "  " << w << "\n";
        out << ExitName(code) << ": " << folders.size() << " restore point(s) off the host, "
            << checked << " file(s) read back, " << SizeText(bytes) << "; " << bad
            << " problem(s)\n";
        return code;
    };
    std::string error;
    std::unique_ptr<Client> client = MakeClient(r, error);
    if (!client) {
        code = kUnknown;
        reasons.push_back("the credentials cannot be used: " + error);
        return report();
    }
    std::set<std::string> names;
    if (Status s = RemoteNames(*client, r, names); !s.ok()) {
        code = kUnknown;
        reasons.push_back("the store failed: " + s.ToString());
        return report();
    }
    if (!o.folder.empty()) {
        if (!names.count(o.folder)) {
            code = kUnknown;
            reasons.push_back(o.folder + " is not off the host (no index under " +
                              PointKey(r, o.folder, kIndexName) + ")");
            return report();
        }
        names = {o.folder};
    } else if (names.empty()) {
        code = kUnknown;
        reasons.push_back("no restore point off the host under " + Where(*client, r));
        return report();
    }

    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        Json jf{{"folder", *name}, {"problems", Json::array()}, {"files", Json::array()}};
        int severity = kOk;
        auto raise = [&](int s, const std::string& why) {
            severity = std::max(severity, s);
            jf["problems"].push_back(why);
            if (s >= kCritical) {
                ++bad;
                reasons.push_back(*name + ": " + why);
            }
        };
        auto done = [&] {
            jf["state"] = ExitName(severity);
            code = std::max(code, severity);
            folders.push_back(jf);
        };
        std::string indexText, manifestText;
        Status s = GetText(*client, r, PointKey(r, *name, kIndexName), indexText);
        if (s.ok())
            s = GetText(*client, r, PointKey(r, *name, Talon::Manifest::sFileName), manifestText);
        if (!s.ok()) {
            if (s.cause == Cause::kNotFound) {
                raise(kCritical, "its index or manifest is gone: " + s.ToString());
                done();
                continue;
            }
            code = kUnknown;
            reasons.push_back("the store failed: " + s.ToString());
            return report();
        }
        OffsiteIndex x;
        std::string why;
        if (!DecodeOffsiteIndex(indexText, x, &why)) {
            raise(kCritical, "its index is damaged (" + why + ")");
            done();
            continue;
        }
        if (x.folder != *name) raise(kCritical, "its index names another folder: " + x.folder);
        const std::uint32_t mcrc = Mirel::Format::Crc32c(manifestText.data(), manifestText.size());
        if (manifestText.size() != x.manifestSize || mcrc != x.manifestCrc ||
            ObjectStore::Sha256HexOf(manifestText) != x.manifestSha256)
            raise(kCritical, "its manifest is not the one its index was written with");
        std::uint64_t end = 0;
        std::vector<Talon::ManifestEntry> entries;
        if (!Talon::DecodeManifest(manifestText, end, entries, &why)) {
            raise(kCritical, "its manifest is damaged (" + why + ")");
            entries.clear();
        } else {
            jf["interval_end"] = {{"utc", end}, {"text", IsoTime(end)}};
            if (end != x.intervalEnd)
                raise(kCritical, "its index and its manifest name other interval ends");
        }
        // Every line of the manifest is a stored file of the same size and CRC, or was gone
        // here before the push; nothing is stored that the manifest does not list.
        std::map<std::string, const OffsiteIndex::File*> byPath;
        for (const auto& f : x.files) byPath[f.path] = &f;
        std::set<std::string> absent(x.absent.begin(), x.absent.end());
        for (const auto& e : entries) {
            auto it = byPath.find(e.path);
            if (it == byPath.end()) {
                if (!absent.count(e.path))
                    raise(kCritical, e.path + ": listed in the manifest, not in the index");
                continue;
            }
            if (it->second->size != e.size || it->second->crc != e.crc)
                raise(kCritical, e.path + ": the index's size or CRC-32C is not the manifest's");
            byPath.erase(it);
        }
        if (!entries.empty())
            for (const auto& [path, f] : byPath)
                raise(kCritical, path + ": in the index, not in the manifest");
        if (!x.absent.empty())
            jf["problems"].push_back(std::to_string(x.absent.size()) +
                                     " file(s) listed in the manifest were removed here before "
                                     "the push: it cannot be restored in full");

        for (const auto& f : x.files) {
            std::uint64_t size = 0;
            std::uint32_t crc = 0;
            std::unique_ptr<ObjectStore::Digests> d;
            s = ObjectStore::Retry(r.retry, [&] {
                size = 0;
                crc = 0;
                d = std::make_unique<ObjectStore::Digests>(true);
                return client->GetObject(ObjectKey(r, f.sha256), [&](const char* b, std::size_t n) {
                    size += n;
                    crc = Mirel::Format::Crc32c(b, n, crc);
                    d->Update(b, n);
                    return true;
                });
            });
            Json jx{{"path", f.path}, {"key", ObjectKey(r, f.sha256)}, {"size", size}};
            if (!s.ok() && s.cause != Cause::kNotFound) {
                code = kUnknown;
                reasons.push_back("the store failed: " + s.ToString());
                return report();
            }
            ++checked;
            bytes += size;
            std::string result = "ok", detail;
            if (!s.ok()) {
                result = "missing";
                detail = "no object under its key";
            } else {
                d->Finish();
                const std::string sha = ObjectStore::Hex(d->Sha256());
                if (size != f.size || crc != f.crc || sha != f.sha256) {
                    result = "differs";
                    detail = "size " + std::to_string(size) + ", CRC-32C " + CrcHex(crc) +
                             ", SHA-256 " + sha + "; listed " + std::to_string(f.size) + ", " +
                             CrcHex(f.crc) + ", " + f.sha256;
                }
            }
            jx["result"] = result;
            jx["detail"] = detail;
            if (result != "ok") raise(kCritical, f.path + " " + result + ": " + detail);
            jf["files"].push_back(jx);
        }
        done();
    }
    return report();
}

namespace {

int MakeParents(const std::string& root, const std::string& rel) {
    std::size_t slash = 0;
    while ((slash = rel.find('/', slash)) != std::string::npos) {
        const int e = Mirel::Os::CreateDir(root + "/" + rel.substr(0, slash));
        if (e != 0 && e != Mirel::kErrAlreadyExists) return e;
        ++slash;
    }
    return 0;
}

}  // namespace

int RestoreRemote(const RemoteRestoreOptions& o, std::ostream& out) {
    const RemoteOptions& r = o.remote;
    int code = kOk;
    std::vector<std::string> reasons;
    Json files = Json::array();
    std::string folder;
    std::uint64_t bytes = 0;
    auto report = [&]() {
        if (o.json) {
            Json j;
            j["version"] = kJsonVersion;
            j["to"] = o.to;
            j["from"] = "remote";
            j["folder"] = folder.empty() ? Json(nullptr) : Json(folder);
            j["state"] = ExitName(code);
            j["exit_code"] = code;
            j["reasons"] = reasons;
            j["files"] = files;
            j["summary"] = {{"files", files.size()}, {"bytes", bytes}};
            out << j.dump(2) << "\n";
            return code;
        }
        for (const auto& f : files)
            out << f["result"].get<std::string>() << "  " << f["path"].get<std::string>() << "  "
                << SizeText(f["size"].get<std::uint64_t>())
                << (f["detail"].get<std::string>().empty() ? std::string()
                                                           : ": " + f["detail"].get<std::string>())
                << "\n";
        for (const auto& w : reasons) out << "  " << w << "\n";
        out << ExitName(code) << ": " << files.size() << " file(s) of "
            << (folder.empty() ? std::string("no point") : folder) << " off the host, "
            << SizeText(bytes) << " restored into " << o.to << "\n";
        return code;
    };
    auto refuse = [&](const std::string& why) {
        code = kUnknown;
        reasons.push_back(why);
        return report();
    };

    if (!o.backup.empty() &&
        (o.to == o.backup || o.to.compare(0, o.backup.size() + 1, o.backup + "/") == 0))
        return refuse(o.to + " is inside the backup folder");
    const Mirel::Os::Info target = Mirel::Os::Stat(o.to);
    if (target.exists && !target.isDir) return refuse(o.to + " exists and is not a folder");
    if (target.exists && !o.force &&
        !Mirel::Directory(Mirel::UniversalPath::Folder(o.to)).IsEmpty())
        return refuse(o.to +
                      " is not empty (--force restores into it, replacing files of the same "
                      "names)");

    std::map<std::string, OffsiteIndex> points;
    std::vector<std::string> problems;
    std::string error;
    if (!ListRemotePoints(r, points, problems, error)) return refuse("the store failed: " + error);
    const OffsiteIndex* x = nullptr;
    for (const auto& [name, index] : points) {
        if (!o.folder.empty() ? name == o.folder : index.intervalEnd <= o.at)
            if (!x || index.intervalEnd > x->intervalEnd) x = &index;
    }
    if (!x) {
        for (const auto& p : problems) reasons.push_back(p);
        return refuse(o.folder.empty()
                          ? "no restore point off the host ended at or before that"
                          : o.folder + " is not off the host (or its index is damaged)");
    }
    folder = x->folder;

    std::unique_ptr<Client> client = MakeClient(r, error);
    if (!client) return refuse("the credentials cannot be used: " + error);
    // The paths come from the manifest, whose reader refuses any that could leave the target.
    std::string manifestText;
    if (Status s =
            GetText(*client, r, PointKey(r, folder, Talon::Manifest::sFileName), manifestText);
        !s.ok())
        return refuse("the store failed: " + s.ToString());
    std::uint64_t end = 0;
    std::vector<Talon::ManifestEntry> entries;
    std::string why;
    if (manifestText.size() != x->manifestSize ||
        ObjectStore::Sha256HexOf(manifestText) != x->manifestSha256 ||
        !Talon::DecodeManifest(manifestText, end, entries, &why))
        return refuse(folder + ": its manifest off the host is damaged or not its index's" +
                      (why.empty() ? std::string() : " (" + why + ")"));
    std::map<std::string, const OffsiteIndex::File*> byPath;
    for (const auto& f : x->files) byPath[f.path] = &f;
    if (Mirel::Os::CreateDir(o.to) != 0 && !Mirel::Os::Stat(o.to).isDir)
        return refuse("cannot create " + o.to);

    // A database with its container files: staged, checked, then placed container files
    // first, so a database's name in the target is only ever a whole checked copy.
    struct Staged {
        std::string stage, final;
    };
    std::size_t i = 0;
    while (i < entries.size()) {
        std::size_t groupEnd = i + 1;
        while (groupEnd < entries.size() &&
               entries[groupEnd].kind == Talon::ManifestEntry::kContainer)
            ++groupEnd;
        std::vector<Staged> staged;
        const std::size_t groupFiles = files.size();
        bool failed = false;
        for (std::size_t k = i; k < groupEnd && !failed; ++k) {
            const Talon::ManifestEntry& e = entries[k];
            Json jf{{"path", e.path}, {"size", e.size}, {"detail", ""}};
            auto it = byPath.find(e.path);
            if (it == byPath.end()) {
                jf["result"] = "absent";
                jf["detail"] = "removed here before the point was pushed";
                code = std::max(code, static_cast<int>(kWarning));
                reasons.push_back(e.path + ": not off the host (removed before the push)");
                files.push_back(jf);
                if (e.kind == Talon::ManifestEntry::kDatabase) failed = true;
                continue;
            }
            const OffsiteIndex::File& f = *it->second;
            const std::string dst = o.to + "/" + e.path;
            int err = MakeParents(o.to, e.path);
            const std::string stage = Mirel::Os::TempNameBeside(dst);
            int fd = -1;
            if (err == 0) err = Mirel::Os::OpenWrite(stage, true, true, fd);
            std::uint64_t size = 0;
            std::uint32_t crc = 0;
            std::unique_ptr<ObjectStore::Digests> d;
            Status s;
            if (err == 0) {
                s = ObjectStore::Retry(r.retry, [&] {
                    size = 0;
                    crc = 0;
                    d = std::make_unique<ObjectStore::Digests>(true);
                    if ((err = Mirel::Os::Truncate(fd, 0, stage)) != 0) return Status();
                    return client->GetObject(
                        ObjectKey(r, f.sha256), [&](const char* b, std::size_t n) {
                            // What is checked is what was written.
                            if ((err = Mirel::Os::PWriteAll(fd, b, n, size, stage)) != 0)
                                return false;
                            size += n;
                            crc = Mirel::Format::Crc32c(b, n, crc);
                            d->Update(b, n);
                            return true;
                        });
                });
                if (err == 0 && s.ok()) err = Mirel::Os::SyncFile(fd, stage);
                Mirel::Os::Close(fd);
            }
            std::string detail;
            if (err != 0) {
                detail = "writing " + stage + " failed: error " + Mirel::ErrorText(err);
            } else if (!s.ok()) {
                if (s.cause != Cause::kNotFound && s.cause != Cause::kLocal) {
                    Mirel::Os::DeleteFile(stage);
                    for (const auto& st : staged) Mirel::Os::DeleteFile(st.stage);
                    return refuse("the store failed: " + s.ToString());
                }
                detail = s.ToString();
            } else {
                d->Finish();
                if (size != e.size || crc != e.crc || ObjectStore::Hex(d->Sha256()) != f.sha256)
                    detail = "what came is not what its manifest lists (size " +
                             std::to_string(size) + ", CRC-32C " + CrcHex(crc) + "; listed " +
                             std::to_string(e.size) + ", " + CrcHex(e.crc) + ")";
                else if (e.kind == Talon::ManifestEntry::kDatabase) {
                    Talon::ManifestEntry h;
                    if (!Talon::Manifest::ReadDatabaseHeader(stage, h).OK() || h.uuid != e.uuid ||
                        h.msn != e.msn)
                        detail = "its header does not carry the listed UUID and MSN";
                }
            }
            if (!detail.empty()) {
                Mirel::Os::DeleteFile(stage);
                jf["result"] = "failed";
                jf["detail"] = detail;
                code = std::max(code, static_cast<int>(kCritical));
                reasons.push_back(e.path + ": " + detail);
                files.push_back(jf);
                failed = true;
                continue;
            }
            staged.push_back({stage, dst});
            jf["result"] = "restored";
            files.push_back(jf);
            bytes += size;
        }
        if (failed) {
            for (const auto& st : staged) Mirel::Os::DeleteFile(st.stage);
            for (std::size_t k = groupFiles; k < files.size(); ++k)
                if (files[k]["result"] == "restored") {
                    files[k]["result"] = "not-placed";
                    files[k]["detail"] = "its database could not be restored";
                    bytes -= files[k]["size"].get<std::uint64_t>();
                }
        } else {
            // Container files first, the database (the group's first) last.
            for (std::size_t k = 1; k <= staged.size(); ++k) {
                const auto& st = staged[k % staged.size()];
                if (int e = Mirel::Os::ReplaceDurable(st.stage, st.final); e != 0) {
                    code = std::max(code, static_cast<int>(kCritical));
                    reasons.push_back(st.final + ": putting it in place failed: error " +
                                      Mirel::ErrorText(e));
                    Mirel::Os::DeleteFile(st.stage);
                }
            }
        }
        i = groupEnd;
    }
    return report();
}

int ExpireRemote(const RemoteExpireOptions& o, std::ostream& out) {
    const RemoteOptions& r = o.remote;
    int code = kOk;
    std::vector<std::string> reasons;
    struct PointOutcome {
        std::string folder;
        std::uint64_t end = 0;
        bool kept = false;
        std::string why;  // why it stays
        bool removed = false;
        std::string error;
    };
    std::vector<PointOutcome> outcomes;
    int objectsRemoved = 0;
    std::uint64_t objectBytes = 0;
    auto finish = [&] {
        int gone = 0, kept = 0;
        for (const auto& p : outcomes) {
            gone += p.removed || (o.dryRun && !p.kept);
            kept += p.kept;
        }
        const std::string verb = o.dryRun ? "would remove " : "removed ";
        const std::string summary =
            verb + std::to_string(gone) + " restore point(s) off the host and " +
            std::to_string(objectsRemoved) + " object(s) (" + SizeText(objectBytes) + "); " +
            std::to_string(kept) + " kept (keep " + std::to_string(o.keep) + ", keep-hours " +
            std::to_string(o.keepHours) + ")";
        if (o.json) {
            Json j;
            j["version"] = kJsonVersion;
            j["prefix"] = r.Prefix();
            j["state"] = ExitName(code);
            j["exit_code"] = code;
            j["reasons"] = reasons;
            j["dry_run"] = o.dryRun;
            j["keep"] = o.keep;
            j["keep_hours"] = o.keepHours;
            j["points"] = Json::array();
            for (const auto& p : outcomes)
                j["points"].push_back({{"folder", p.folder},
                                       {"interval_end", p.end},
                                       {"interval_end_text", TimeText(p.end)},
                                       {"kept", p.kept},
                                       {"why", p.kept ? Json(p.why) : Json(nullptr)},
                                       {"removed", p.removed},
                                       {"error", p.error.empty() ? Json(nullptr) : Json(p.error)}});
            j["removed_objects"] = objectsRemoved;
            j["removed_object_bytes"] = objectBytes;
            j["summary"] = summary;
            out << j.dump(2) << "\n";
        } else {
            for (auto p = outcomes.rbegin(); p != outcomes.rend(); ++p) {
                out << (p->kept ? "kept    " : "expired ") << p->folder << "  interval end "
                    << TimeText(p->end) << " UTC";
                if (p->kept) out << "  (" << p->why << ")";
                if (!p->error.empty()) out << "  NOT removed: " << p->error;
                out << "\n";
            }
            for (const auto& w : reasons) out << w << "\n";
            out << ExitName(code) << ": " << summary << "\n";
        }
        return code;
    };

    std::string error;
    std::unique_ptr<Client> client = MakeClient(r, error);
    if (!client) {
        code = kUnknown;
        reasons.push_back("the credentials cannot be used: " + error);
        return finish();
    }
    std::map<std::string, OffsiteIndex> points;
    std::vector<std::string> problems;
    if (!ListRemotePoints(r, points, problems, error)) {
        code = kUnknown;
        reasons.push_back("the store failed, nothing removed: " + error);
        return finish();
    }
    // A damaged index hides which objects it needs: nothing may go while one is there.
    if (!problems.empty()) {
        code = kCritical;
        for (const auto& p : problems) reasons.push_back(p);
        reasons.push_back(
            "nothing removed: an index off the host is damaged (ibsdb verify --remote)");
        return finish();
    }

    // Each point's databases, from its manifest off the host: UUIDs whose copy it holds.
    std::map<std::string, std::set<std::string>> holds;
    std::set<std::string> unreadable;
    for (const auto& [name, index] : points) {
        std::string text;
        const Status s = GetText(*client, r, PointKey(r, name, Talon::Manifest::sFileName), text);
        std::uint64_t end = 0;
        std::vector<Talon::ManifestEntry> entries;
        if (!s.ok() || !Talon::DecodeManifest(text, end, entries, nullptr)) {
            if (!s.ok() && s.cause != Cause::kNotFound) {
                code = kUnknown;
                reasons.push_back("the store failed, nothing removed: " + s.ToString());
                return finish();
            }
            unreadable.insert(name);
            continue;
        }
        const std::set<std::string> absent(index.absent.begin(), index.absent.end());
        for (const auto& e : entries)
            if (e.kind == Talon::ManifestEntry::kDatabase && !e.uuid.empty() &&
                !absent.count(e.path))
                holds[name].insert(e.uuid);
    }

    std::vector<std::uint64_t> ends;
    for (const auto& [name, index] : points) ends.push_back(index.intervalEnd);
    const std::uint64_t newestEnd = ends.empty() ? 0 : *std::max_element(ends.begin(), ends.end());
    const std::set<std::uint64_t> kept =
        Talon::KeptRestorePoints(ends, o.keep, o.keepHours, newestEnd);

    // Oldest first. A database's newest copy off the host is in the newest point that
    // holds it; a point goes only when a newer one holds each of its databases.
    std::vector<const OffsiteIndex*> order;
    for (const auto& [name, index] : points) order.push_back(&index);
    std::sort(order.begin(), order.end(), [](const OffsiteIndex* a, const OffsiteIndex* b) {
        return a->intervalEnd != b->intervalEnd ? a->intervalEnd < b->intervalEnd
                                                : a->folder < b->folder;
    });
    std::set<std::string> going;
    for (const OffsiteIndex* x : order) {
        PointOutcome p;
        p.folder = x->folder;
        p.end = x->intervalEnd;
        if (kept.count(x->intervalEnd)) {
            p.kept = true;
            p.why = x->intervalEnd == newestEnd ? "the newest" : "the policy keeps it";
        } else if (unreadable.count(x->folder)) {
            p.kept = true;
            p.why = "its manifest off the host cannot be read: left as it is";
        } else {
            for (const auto& uuid : holds[x->folder]) {
                bool newer = false;
                for (const OffsiteIndex* y : order)
                    if (y->intervalEnd > x->intervalEnd && holds[y->folder].count(uuid))
                        newer = true;
                if (!newer) {
                    p.kept = true;
                    p.why = "the newest copy off the host of database " + uuid;
                    break;
                }
            }
        }
        if (!p.kept) going.insert(x->folder);
        outcomes.push_back(p);
    }
    if (o.dryRun || going.empty()) {
        // What would go with them: objects no staying point names.
        std::set<std::string> staying, candidates;
        for (const auto& [name, index] : points)
            for (const auto& f : index.files)
                (going.count(name) ? candidates : staying).insert(f.sha256);
        if (o.dryRun)
            for (const auto& sha : candidates)
                if (!staying.count(sha)) ++objectsRemoved;
        return finish();
    }

    // The index first: from then on the point is not there, and nothing restores from it.
    std::set<std::string> candidates;
    for (auto& p : outcomes) {
        if (!going.count(p.folder)) continue;
        Status s = ObjectStore::Retry(
            r.retry, [&] { return client->DeleteObject(PointKey(r, p.folder, kIndexName)); });
        if (s.ok() || s.cause == Cause::kNotFound)
            s = ObjectStore::Retry(r.retry, [&] {
                return client->DeleteObject(PointKey(r, p.folder, Talon::Manifest::sFileName));
            });
        if (!s.ok() && s.cause != Cause::kNotFound) {
            p.error = s.ToString();
            code = kUnknown;
            reasons.push_back("the store failed: " + p.error);
            break;
        }
        p.removed = true;
        for (const auto& f : points[p.folder].files) candidates.insert(f.sha256);
    }
    // Then the objects those points named and no point left names, read again now: a push
    // that finished meanwhile may name them.
    std::map<std::string, OffsiteIndex> left;
    problems.clear();
    if (!ListRemotePoints(r, left, problems, error) || !problems.empty()) {
        code = std::max(code, static_cast<int>(kUnknown));
        reasons.push_back("the points left could not be read again, no object removed: " +
                          (error.empty() ? problems.front() : error));
        return finish();
    }
    for (const auto& [name, index] : left)
        for (const auto& f : index.files) candidates.erase(f.sha256);
    for (const auto& sha : candidates) {
        ObjectStore::ObjectInfo info;
        const std::string key = ObjectKey(r, sha);
        Status s = ObjectStore::Retry(r.retry, [&] { return client->HeadObject(key, info); });
        if (s.cause == Cause::kNotFound) continue;
        if (s.ok()) s = ObjectStore::Retry(r.retry, [&] { return client->DeleteObject(key); });
        if (!s.ok() && s.cause != Cause::kNotFound) {
            code = std::max(code, static_cast<int>(kWarning));
            reasons.push_back("object " + key + " not removed: " + s.ToString());
            continue;
        }
        ++objectsRemoved;
        objectBytes += info.size;
    }
    return finish();
}

}  // namespace ibsdb
