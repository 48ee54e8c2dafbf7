// ibsdb offsite push, and the remote side of list, verify, restore and expire. The push
// itself and the object layout are platform/offsite's.
#include "tools/ibsdb/Offsite.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>

#include "platform/engine/Formats.h"
#include "platform/framework/Codecs.h"
#include "platform/framework/Manifest.h"
#include "platform/framework/Retention.h"
#include "platform/objectstore/Digest.h"
#include "platform/support/DateTime.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/Common.h"

namespace ibsdb {

using ObjectStore::Cause;
using ObjectStore::Client;
using ObjectStore::Status;
using Offsite::CrcHex;
using Offsite::GetText;
using Offsite::kExpiringFolder;
using Offsite::kIndexName;
using Offsite::MakeClient;
using Offsite::ObjectKey;
using Offsite::PointKey;
using Offsite::RemoteNames;

int OffsitePush(const PushOptions& o, std::ostream& out) {
    const Offsite::PushResult x = Offsite::Push({o.backup, o.remote, nullptr});
    for (const auto& n : x.notes) std::cerr << "ibsdb: note: " << n << "\n";
    const RemoteOptions& r = o.remote;
    const auto& results = x.points;
    const auto& reasons = x.reasons;
    const std::string& storeError = x.storeError;
    const std::string storeCause = CauseToken(x.cause);
    const int code = x.code, already = x.already;
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
    const std::string summary =
        std::to_string(pushed) + " restore point(s) pushed, " + std::to_string(refused) +
        " refused, " + std::to_string(already) + " off the host already, " +
        std::to_string(x.older) + " older than one there; " + std::to_string(sent) +
        " object(s) sent (" + SizeText(bytes) + "), " + std::to_string(present) + " stored already";
    if (o.json) {
        Json j;
        j["version"] = kJsonVersion;
        j["backup"] = o.backup;
        j["prefix"] = r.Prefix();
        j["state"] = ExitName(code);
        j["exit_code"] = code;
        j["reasons"] = reasons;
        j["max_bytes_per_second"] = x.maxSendBytesPerSecond;
        j["store_error"] =
            storeError.empty() ? Json(nullptr) : Json{{"cause", storeCause}, {"text", storeError}};
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
                        {"older_than_off_host", x.older},
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
        reasons.push_back(error);
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

namespace {

// Reads the first `n` bytes of an open file into the running checks.
int ReadInto(int fd, const std::string& path, std::uint64_t n, std::uint64_t& size,
             std::uint32_t& crc, ObjectStore::Digests& d) {
    std::vector<char> buf(1 << 20);
    while (size < n) {
        std::size_t got = 0;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), n - size));
        if (int e = Mirel::Os::PReadAll(fd, buf.data(), want, size, got, path); e != 0) return e;
        if (got == 0) break;
        crc = Mirel::Format::Crc32c(buf.data(), got, crc);
        d.Update(buf.data(), got);
        size += got;
    }
    return 0;
}

// A file in place that is whole: its size, CRC-32C and SHA-256 those listed, and for a
// database its header's UUID and MSN.
bool Placed(const std::string& path, const Talon::ManifestEntry& e, const std::string& sha256) {
    Mirel::Os::Info i;
    if (Mirel::Os::Stat(path, i) != 0 || !i.isFile || i.size != e.size) return false;
    int fd = -1;
    if (Mirel::Os::OpenRead(path, fd) != 0) return false;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    ObjectStore::Digests d(true);
    const int err = ReadInto(fd, path, e.size, size, crc, d);
    Mirel::Os::Close(fd);
    if (err != 0 || size != e.size || crc != e.crc) return false;
    d.Finish();
    if (ObjectStore::Hex(d.Sha256()) != sha256) return false;
    if (e.kind != Talon::ManifestEntry::kDatabase) return true;
    Talon::ManifestEntry h;
    return Talon::Manifest::ReadDatabaseHeader(path, h).OK() && h.uuid == e.uuid && h.msn == e.msn;
}

}  // namespace

int RestoreRemote(const RemoteRestoreOptions& o, std::ostream& out) {
    const RemoteOptions& r = o.remote;
    int code = kOk;
    std::vector<std::string> reasons;
    Json files = Json::array();
    std::string folder;
    std::uint64_t bytes = 0, fetched = 0;
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
            j["summary"] = {{"files", files.size()}, {"bytes", bytes}, {"bytes_fetched", fetched}};
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
    if (target.exists && !o.force && !o.resume &&
        !Mirel::Directory(Mirel::UniversalPath::Folder(o.to)).IsEmpty())
        return refuse(o.to +
                      " is not empty (--force restores into it, replacing files of the same "
                      "names; --resume continues a restore cut short)");

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
    if (!client) return refuse(error);
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
            if (o.resume && Placed(dst, e, f.sha256)) {
                // Placed by the run cut short, and read whole again just now.
                jf["result"] = "kept";
                jf["fetched"] = 0;
                files.push_back(jf);
                bytes += e.size;
                continue;
            }
            int err = MakeParents(o.to, e.path);
            // Named after the object, so a restore cut short can be continued (--resume).
            const std::string stage = dst + "." + f.sha256.substr(0, 16) + ".ibs-part";
            int fd = -1;
            if (err == 0) err = Mirel::Os::OpenWrite(stage, true, !o.resume, fd);
            std::uint64_t size = 0, came = 0;
            std::uint32_t crc = 0;
            auto d = std::make_unique<ObjectStore::Digests>(true);
            if (err == 0 && o.resume) {
                // What came before is read back and checked with the rest at the end.
                Mirel::Os::Info part;
                if ((err = Mirel::Os::FStat(fd, part, stage)) == 0 && part.size > e.size)
                    err = Mirel::Os::Truncate(fd, 0, stage);
                else if (err == 0)
                    err = ReadInto(fd, stage, part.size, size, crc, *d);
            }
            Status s;
            if (err == 0) {
                s = ObjectStore::Retry(r.retry, [&] {
                    if (size >= f.size) return Status();
                    // Each attempt goes on from what the last one wrote.
                    ObjectStore::GetOptions go;
                    go.offset = size;
                    return client->GetObject(
                        ObjectKey(r, f.sha256),
                        [&](const char* b, std::size_t n) {
                            // What is checked is what was written.
                            if ((err = Mirel::Os::PWriteAll(fd, b, n, size, stage)) != 0)
                                return false;
                            size += n;
                            came += n;
                            crc = Mirel::Format::Crc32c(b, n, crc);
                            d->Update(b, n);
                            return true;
                        },
                        go);
                });
                if (err == 0 && s.ok()) err = Mirel::Os::SyncFile(fd, stage);
                Mirel::Os::Close(fd);
            }
            fetched += came;
            jf["fetched"] = came;
            std::string detail;
            if (err != 0) {
                detail = "writing " + stage + " failed: error " + Mirel::ErrorText(err);
            } else if (!s.ok()) {
                if (s.cause != Cause::kNotFound && s.cause != Cause::kLocal) {
                    // What came stays for --resume; it is checked whole then.
                    return refuse("the store failed: " + s.ToString() +
                                  " (what came is kept: --resume goes on from it)");
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

using Steady = std::chrono::steady_clock;

// A new expiry record's key: this run's, `n` telling apart the ones it takes over.
std::string ExpiryRecordKey(const RemoteOptions& r, int n = 0) {
    return r.Prefix() + kExpiringFolder + std::to_string(Mirel::DateTime::NowUTC()) + "-" +
           std::to_string(::getpid()) + (n ? "-" + std::to_string(n) : std::string());
}

void FinishExpiries(Client& client, const RemoteOptions& r, const std::string& ownKey,
                    Steady::time_point ownWritten, int& objectsRemoved, std::uint64_t& objectBytes,
                    int& code, std::vector<std::string>& reasons);

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
        reasons.push_back(error);
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
        if (o.dryRun) {
            for (const auto& sha : candidates)
                if (!staying.count(sha)) ++objectsRemoved;
        } else {
            FinishExpiries(*client, r, "", Steady::now(), objectsRemoved, objectBytes, code,
                           reasons);
        }
        return finish();
    }

    // What goes after the indexes is written down first: an expiry cut short after an index
    // would otherwise leave its point's manifest and objects that nothing names any more.
    std::string journal;
    for (const auto& folder : going) {
        journal += PointKey(r, folder, Talon::Manifest::sFileName) + "\n";
        for (const auto& f : points[folder].files) journal += ObjectKey(r, f.sha256) + "\n";
    }
    const std::string journalKey = ExpiryRecordKey(r);
    const Steady::time_point journalWritten = Steady::now();
    if (Status s = ObjectStore::Retry(
            r.retry, [&] { return client->PutObject(journalKey, journal.data(), journal.size()); });
        !s.ok()) {
        code = kUnknown;
        reasons.push_back("the store failed, nothing removed: " + s.ToString());
        return finish();
    }
    // The index first: from then on the point is not there, and nothing restores from it.
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
    }
    if (code == kOk)
        FinishExpiries(*client, r, journalKey, journalWritten, objectsRemoved, objectBytes, code,
                       reasons);
    return finish();
}

// Ends every expiry written down under expiring/, this one's too (docs/offsite.md, "A push and
// an expiry at once"). Each record is first made this run's own, so a push waits for it; then
// the pushes' intents are read, then the indexes, both after the records are written: a key
// either is named there or its push, reading the records after writing its intent, waits.
// Each key goes only within the lease of its record, else the next run goes on.
void FinishExpiries(Client& client, const RemoteOptions& r, const std::string& ownKey,
                    Steady::time_point ownWritten, int& objectsRemoved, std::uint64_t& objectBytes,
                    int& code, std::vector<std::string>& reasons) {
    std::vector<ObjectStore::ObjectInfo> listed;
    if (Status s = ObjectStore::Retry(
            r.retry, [&] { return client.ListAll(r.Prefix() + kExpiringFolder, listed); });
        !s.ok()) {
        code = std::max(code, static_cast<int>(kUnknown));
        reasons.push_back("the expiries under way could not be listed: " + s.ToString());
        return;
    }
    if (listed.empty()) return;
    struct Record {
        std::string key, text;
        Steady::time_point written;
    };
    std::vector<Record> records;
    int taken = 0;
    for (const auto& l : listed) {
        Record rec{l.key, "", ownWritten};
        if (Status s = GetText(client, r, l.key, rec.text); !s.ok()) {
            if (s.cause == Cause::kNotFound) continue;  // its expiry ended meanwhile
            code = std::max(code, static_cast<int>(kWarning));
            reasons.push_back("expiry record " + l.key + " not read: " + s.ToString());
            continue;
        }
        if (l.key != ownKey) {
            // Another run's (one cut short, or one at work now): written again under this
            // run's name and lease before anything it lists is deleted.
            rec.key = ExpiryRecordKey(r, ++taken);
            rec.written = Steady::now();
            Status s = ObjectStore::Retry(r.retry, [&] {
                return client.PutObject(rec.key, rec.text.data(), rec.text.size());
            });
            if (!s.ok()) {
                code = std::max(code, static_cast<int>(kUnknown));
                reasons.push_back("expiry record " + l.key + " not taken over: " + s.ToString());
                return;
            }
            ObjectStore::Retry(r.retry, [&] { return client.DeleteObject(l.key); });
        }
        records.push_back(std::move(rec));
    }
    if (records.empty()) return;

    // The store's clock now, for the age of the intents: the date of a record just written.
    std::uint64_t storeNow = 0;
    if (Status s = Offsite::StoreDateOf(client, r, records.back().key, storeNow); !s.ok()) {
        code = std::max(code, static_cast<int>(kUnknown));
        reasons.push_back("the store's date could not be read, no object removed: " + s.ToString());
        return;
    }
    std::set<std::string> named, spared;  // by an index; by a push's intent
    std::vector<std::string> staleIntents;
    {
        std::vector<ObjectStore::ObjectInfo> intents;
        Status s = ObjectStore::Retry(r.retry, [&] {
            intents.clear();
            return client.ListAll(r.Prefix() + Offsite::kPushingFolder, intents);
        });
        for (std::size_t i = 0; s.ok() && i < intents.size(); ++i) {
            if (Offsite::PastLease(intents[i].lastModified, r.leases.intent, r.leases, storeNow)) {
                staleIntents.push_back(intents[i].key);  // its push was killed
                continue;
            }
            std::string text;
            s = GetText(client, r, intents[i].key, text);
            if (s.cause == Cause::kNotFound) {
                s = Status();  // its push ended: its index is read below
                continue;
            }
            for (const auto& k : Offsite::RecordKeys(text)) spared.insert(k);
        }
        if (!s.ok()) {
            code = std::max(code, static_cast<int>(kUnknown));
            reasons.push_back("the pushes under way could not be read, no object removed: " +
                              s.ToString());
            return;
        }
    }
    std::map<std::string, OffsiteIndex> left;
    std::vector<std::string> problems;
    std::string error;
    if (!ListRemotePoints(r, left, problems, error) || !problems.empty()) {
        code = std::max(code, static_cast<int>(kUnknown));
        reasons.push_back("the points left could not be read again, no object removed: " +
                          (error.empty() ? problems.front() : error));
        return;
    }
    for (const auto& [name, index] : left) {
        named.insert(PointKey(r, name, Talon::Manifest::sFileName));
        for (const auto& f : index.files) named.insert(ObjectKey(r, f.sha256));
    }
    for (const auto& record : records) {
        bool all = true;
        for (const auto& key : Offsite::RecordKeys(record.text)) {
            if (named.count(key) || key.compare(0, r.Prefix().size(), r.Prefix())) continue;
            // The record stays for it: should that push not write its index, the next run
            // removes it.
            if (spared.count(key)) {
                all = false;
                continue;
            }
            if (Steady::now() - record.written + r.leases.margin >= r.leases.expiry) {
                all = false;
                code = std::max(code, static_cast<int>(kWarning));
                reasons.push_back("the lease of " + std::to_string(r.leases.expiry.count()) +
                                  " s ran out: what is left of " + record.key +
                                  " goes at the next expire --remote");
                break;
            }
            ObjectStore::ObjectInfo info;
            Status s = ObjectStore::Retry(r.retry, [&] { return client.HeadObject(key, info); });
            if (s.cause == Cause::kNotFound) continue;
            if (s.ok()) s = ObjectStore::Retry(r.retry, [&] { return client.DeleteObject(key); });
            if (!s.ok() && s.cause != Cause::kNotFound) {
                all = false;
                code = std::max(code, static_cast<int>(kWarning));
                reasons.push_back("object " + key + " not removed: " + s.ToString());
                continue;
            }
            if (key.compare(r.Prefix().size(), 8, "objects/") == 0) {
                ++objectsRemoved;
                objectBytes += info.size;
            }
        }
        if (all) ObjectStore::Retry(r.retry, [&] { return client.DeleteObject(record.key); });
    }
    // Only once no object is left to delete: a stale intent spared nothing it should not.
    for (const auto& key : staleIntents)
        ObjectStore::Retry(r.retry, [&] { return client.DeleteObject(key); });
}

}  // namespace ibsdb
