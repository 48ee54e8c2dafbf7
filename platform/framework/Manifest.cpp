#include "platform/framework/Manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

#include "platform/engine/Formats.h"
#include "platform/engine/HBFile.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/FileKinds.h"
#include "platform/support/Listing.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"

namespace Talon {

const char* const Manifest::sFileName = "manifest.tsv";

namespace {

constexpr std::size_t kReadChunk = 256 << 10;

std::string Root(const Mirel::Directory& folder) {
    std::string root = folder.GetPath().Native();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

// Container folders ("x.vdb.rc") hold the database's external files, never databases.
bool InsideContainerFolder(const std::string& rel) {
    std::size_t start = 0;
    for (std::size_t slash; (slash = rel.find('/', start)) != std::string::npos;
         start = slash + 1) {
        if (Mirel::EndsWithNoCase(rel.substr(start, slash - start), ".vdb.rc")) return true;
    }
    return false;
}

class FileCollector : public Mirel::FileFunctor {
public:
    FileCollector(std::string root, bool databasesOnly)
        : mRoot(std::move(root)), mDatabasesOnly(databasesOnly) {}
    bool operator()(const Mirel::UniversalPath& path, bool isFolder, int) override {
        if (isFolder) {
            std::string p = path.Native();
            while (!p.empty() && p.back() == '/') p.pop_back();
            if (p.size() > mRoot.size() + 1 && Mirel::EndsWithNoCase(p, ".vdb.rc"))
                folders.insert(p.substr(mRoot.size() + 1));
            return true;
        }
        std::string p = path.Native();
        if (p.size() <= mRoot.size() + 1) return true;
        std::string rel = p.substr(mRoot.size() + 1);
        if (mDatabasesOnly && (!Mirel::EndsWithNoCase(rel, ".vdb") || InsideContainerFolder(rel)))
            return true;
        files.push_back(rel);
        return true;
    }
    void LeftOut(const Mirel::UniversalPath& path, int) override {
        std::string p = path.Native();
        if (p.size() <= mRoot.size() + 1) return;
        std::string rel = p.substr(mRoot.size() + 1);
        if (!mDatabasesOnly || (Mirel::EndsWithNoCase(rel, ".vdb") && !InsideContainerFolder(rel)))
            special.push_back(rel);
    }
    std::vector<std::string> files;
    std::vector<std::string> special;  // named like one, but no regular file
    std::set<std::string> folders;     // the container folders met

private:
    std::string mRoot;
    bool mDatabasesOnly;
};

}  // namespace

std::vector<std::string> Manifest::ListDatabases(const Mirel::Directory& folder, Error* error,
                                                 std::vector<std::string>* notFiles,
                                                 std::set<std::string>* containers) {
    FileCollector c(Root(folder), true);
    Mirel::Error e = folder.ProcessFiles(c, 3);
    if (error) *error = e;
    if (notFiles) *notFiles = c.special;
    if (containers) *containers = std::move(c.folders);
    std::sort(c.files.begin(), c.files.end());
    return c.files;
}

std::vector<std::string> Manifest::ListContainerFiles(const Mirel::Directory& folder,
                                                      const std::string& database) {
    std::string root = Root(folder);
    Mirel::UniversalPath rc =
        Mirel::ContainerFolderOf(Mirel::UniversalPath::FromNative(root + "/" + database));
    Mirel::Directory dir(rc);
    if (!dir.Exists()) return {};
    FileCollector c(root, false);
    dir.ProcessFiles(c, 100);
    std::sort(c.files.begin(), c.files.end());
    return c.files;
}

Error Manifest::Checksum(const std::string& path, std::uint64_t& size, std::uint32_t& crc,
                         const std::function<void(std::uint64_t)>& bytesRead) {
    size = 0;
    crc = 0;
    int fd = -1;
    if (int rc = Mirel::Os::OpenRead(path, fd)) return Error(rc);
    Mirel::Os::Info info;
    if (int rc = Mirel::Os::FStat(fd, info, path); rc != 0 || !info.isFile) {
        Mirel::Os::Close(fd);
        return Error(rc != 0 ? rc : Mirel::kErrIsADirectory);
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kReadChunk]);
    int rc = 0;
    for (;;) {
        std::size_t n = 0;
        if ((rc = Mirel::Os::PReadAll(fd, buf.get(), kReadChunk, size, n, path)) != 0 || n == 0)
            break;
        crc = Mirel::Format::Crc32c(buf.get(), n, crc);
        size += n;
        if (bytesRead) bytesRead(n);
    }
    Mirel::Os::Close(fd);
    return Error(rc);
}

Error Manifest::ReadDatabaseHeader(const std::string& path, ManifestEntry& entry) {
    Mirel::HBFile db(Mirel::UniversalPath::FromNative(path));
    Mirel::Error e = db.Open(Mirel::HBFile::kPermRead);
    if (!e.OK()) return e;
    entry.uuid = db.GetUUID().ToUTF8();
    entry.msn = db.GetMSN();
    entry.pageSize = db.GetPageSize();
    entry.pageCount = db.GetPageCount();
    return Error();
}

Error Manifest::Compute(const Mirel::Directory& folder, std::uint64_t intervalEnd, Manifest& out,
                        std::vector<ManifestSource>* sources, const KnownLines* known) {
    std::vector<ManifestSource> none;
    std::vector<ManifestSource>& srcs = sources ? *sources : none;
    out = Manifest();
    out.intervalEnd = intervalEnd;
    const std::string root = Root(folder);
    Error walk;
    // The walk meets the container folders too: a database without one costs no look.
    std::set<std::string> containers;
    std::vector<std::string> databases = ListDatabases(folder, &walk, nullptr, &containers);
    if (!walk.OK()) return walk;
    // A folder whose manifest does not read lends no lines, as if it were not there.
    auto readable = [](ManifestSource& src) {
        if (src.state == ManifestSource::kUnread)
            src.state = Read(src.folder, src.manifest).OK() ? ManifestSource::kRead
                                                            : ManifestSource::kUnreadable;
        return src.state == ManifestSource::kRead;
    };
    auto describe = [&](ManifestEntry::Kind kind, const std::string& rel) -> Error {
        ManifestEntry e;
        e.kind = kind;
        e.path = rel;
        const std::string full = root + "/" + rel;
        Mirel::Os::Info info;
        const bool stated = Mirel::Os::Stat(full, info) == 0 && info.isFile;
        // Only a file with another name can be a last-good copy's: the others cost no look
        // at any other folder, and a shared one is nearly always found in the newest.
        if (stated && info.links > 1) {
            bool shared = false;
            for (ManifestSource& src : srcs) {
                Mirel::Os::Info there;
                if (Mirel::Os::Stat(Root(src.folder) + "/" + rel, there) != 0 ||
                    there.dev != info.dev || there.ino != info.ino || !readable(src))
                    continue;
                shared = true;
                const ManifestEntry* old = src.manifest.Find(rel);
                if (old && old->kind == kind) {
                    out.entries.push_back(*old);
                    return Error();
                }
            }
            // Bytes shared with a last-good copy were never read by the service: without a
            // line of their own they are not certified now.
            if (shared) return Error();
        }
        if (kind == ManifestEntry::kDatabase && known && stated) {
            auto k = known->find(rel);
            if (k != known->end() && EncodeFileIdentity(info.ino, info.size, info.mtimeUs,
                                                        info.mtimeNs) == k->second.first) {
                out.entries.push_back(k->second.second);
                out.entries.back().kind = kind;
                out.entries.back().path = rel;
                return Error();
            }
        }
        if (kind == ManifestEntry::kDatabase) {
            Error h = ReadDatabaseHeader(full, e);
            // Listed all the same: a later check then names the file as no database.
            if (!h.OK() && h.GetError() != Mirel::kErrInvalidFile) return h;
        }
        if (Error c = Checksum(full, e.size, e.crc); !c.OK()) return c;
        out.entries.push_back(std::move(e));
        return Error();
    };
    for (const auto& db : databases) {
        if (Error e = describe(ManifestEntry::kDatabase, db); !e.OK()) return e;
        if (!containers.count(db + ".rc")) continue;
        for (const auto& f : ListContainerFiles(folder, db))
            if (Error e = describe(ManifestEntry::kContainer, f); !e.OK()) return e;
    }
    return Error();
}

Error Manifest::Write(const Mirel::Directory& folder, std::uint64_t intervalEnd,
                      const std::set<std::string>& held, Manifest* written,
                      const KnownLines* known) {
    // Every last-good folder beside it, newest first: a carried-forward copy may come from
    // an older one than the newest. A manifest is read only once a file is found shared
    // with its folder, so the cost does not grow with the folders kept.
    std::vector<ManifestSource> sources;
    Mirel::Directory parent = folder;
    parent.SetToParent();
    std::vector<Mirel::Directory> siblings =
        BackupFolder(IBS_Config::sLastGoodFolderPrefix).GetList(parent.GetPath());
    for (auto d = siblings.rbegin(); d != siblings.rend(); ++d)
        if (!(*d == folder)) sources.push_back(ManifestSource{*d, Manifest()});
    Manifest m;
    if (Error e = Compute(folder, intervalEnd, m, &sources, known); !e.OK()) return e;
    // A line taken over from an older folder describes the file, not its state here. A held
    // copy stays held wherever it is carried: its database moved past it (the logs that
    // failed), so it is never the database's state at a later interval's end either.
    for (ManifestEntry& e : m.entries)
        if (e.kind == ManifestEntry::kDatabase) e.held = e.held || held.count(e.path) != 0;
    const std::string text = EncodeManifest(m.intervalEnd, m.entries);
    const std::string final = Root(folder) + "/" + sFileName;
    const std::string temp = final + ".part";
    int fd = -1;
    int rc = Mirel::Os::OpenWrite(temp, true, true, fd);
    if (rc == 0) rc = Mirel::Os::PWriteAll(fd, text.data(), text.size(), 0, temp);
    if (rc == 0) rc = Mirel::Os::SyncFile(fd, temp);
    if (fd >= 0) Mirel::Os::Close(fd);
    if (rc == 0) rc = Mirel::Os::ReplaceDurable(temp, final);  // also syncs the folder
    if (rc != 0) Mirel::Os::DeleteFile(temp);
    if (rc == 0 && written) *written = std::move(m);
    return Error(rc);
}

Error Manifest::DeleteFolderIfOnlyManifest(const Mirel::Directory& folder) {
    const std::string root = Root(folder);
    const std::string manifest = root + "/" + sFileName, temp = manifest + ".part";
    std::vector<Mirel::Os::DirEntry> entries;
    if (int rc = Mirel::Os::ListDir(root, entries)) return Error(rc);
    bool other = false;
    for (const auto& e : entries)
        if (e.name != sFileName && root + "/" + e.name != temp) other = true;
    if (other) return Error(Mirel::kErrNotEmpty);
    for (const std::string& f : {temp, manifest}) {
        int rc = Mirel::Os::DeleteFile(f);
        if (rc != 0 && rc != Mirel::kErrPathNotFound) return Error(rc);
    }
    return folder.Delete();
}

Error Manifest::Read(const Mirel::Directory& folder, Manifest& out, std::string* why) {
    const std::string path = Root(folder) + "/" + sFileName;
    std::string text;
    if (int rc = Mirel::Os::ReadWholeFile(path, text)) return Error(rc);
    out = Manifest();
    if (!DecodeManifest(text, out.intervalEnd, out.entries, why))
        return Error(Mirel::kErrInvalidFile);
    return Error();
}

const ManifestEntry* Manifest::Find(const std::string& path) const {
    if (mIndexed != entries.size()) {
        mIndex.clear();
        for (std::size_t i = 0; i < entries.size(); ++i) mIndex.emplace(entries[i].path, i);
        mIndexed = entries.size();
    }
    auto it = mIndex.find(path);
    return it == mIndex.end() ? nullptr : &entries[it->second];
}

std::vector<ManifestFinding> Manifest::Check(
    const Mirel::Directory& folder,
    const std::function<void(std::uint64_t, const std::string&)>& progress) const {
    const std::string root = Root(folder);
    std::vector<ManifestFinding> out;
    std::uint64_t done = 0;
    auto examine = [&](const ManifestEntry* listed, ManifestEntry::Kind kind,
                       const std::string& rel) {
        ManifestFinding f;
        f.kind = kind;
        f.path = rel;
        if (listed) f.listed = *listed;
        f.found.kind = kind;
        f.found.path = rel;
        const std::string full = root + "/" + rel;
        if (progress) progress(done, rel);
        Error c = Checksum(full, f.found.size, f.found.crc, [&](std::uint64_t n) { done += n; });
        if (!c.OK()) {
            f.error = c.GetError();
            f.result = c.GetError() == Mirel::kErrPathNotFound ? ManifestFinding::kMissing
                                                               : ManifestFinding::kUnreadable;
            f.detail = f.result == ManifestFinding::kMissing ? "not there"
                       : c.GetError() == Mirel::kErrNotAFile
                           ? "not a regular file (a FIFO, a socket or a device): not opened"
                           : "cannot be read: error " + c.Text();
            out.push_back(std::move(f));
            return;
        }
        bool header = true;
        if (kind == ManifestEntry::kDatabase) {
            Error h = ReadDatabaseHeader(full, f.found);
            if (!h.OK() && h.GetError() != Mirel::kErrInvalidFile) {
                f.error = h.GetError();
                f.result = h.GetError() == Mirel::kErrPathNotFound ? ManifestFinding::kMissing
                                                                   : ManifestFinding::kUnreadable;
                f.detail = "cannot be read: error " + h.Text();
                out.push_back(std::move(f));
                return;
            }
            header = h.OK();
        }
        std::string d;
        auto differ = [&](const std::string& what, const std::string& now, const std::string& was) {
            d += (d.empty() ? "" : "; ") + what + " " + now + ", listed " + was;
        };
        if (listed) {
            if (f.found.size != listed->size)
                differ("size", std::to_string(f.found.size), std::to_string(listed->size));
            if (f.found.crc != listed->crc)
                differ("CRC-32C", Mirel::Hex32(f.found.crc), Mirel::Hex32(listed->crc));
            if (kind == ManifestEntry::kDatabase && header) {
                if (f.found.uuid != listed->uuid)
                    differ("UUID", f.found.uuid, listed->uuid.empty() ? "-" : listed->uuid);
                if (f.found.msn != listed->msn)
                    differ("MSN", std::to_string(f.found.msn), std::to_string(listed->msn));
                if (f.found.pageSize != listed->pageSize)
                    differ("page size", std::to_string(f.found.pageSize),
                           std::to_string(listed->pageSize));
                if (f.found.pageCount != listed->pageCount)
                    differ("page count", std::to_string(f.found.pageCount),
                           std::to_string(listed->pageCount));
            }
        }
        if (!header) {
            f.result = ManifestFinding::kNotADatabase;
            f.detail = "not a database (no valid header, or shorter than its page count says)";
            if (!d.empty()) f.detail += "; " + d;
        } else if (!listed) {
            f.result = ManifestFinding::kNotListed;
            f.detail = "not in the manifest";
        } else if (!d.empty()) {
            f.result = ManifestFinding::kDiffers;
            f.detail = d;
        }
        out.push_back(std::move(f));
    };
    std::map<std::string, bool> seen;
    for (const auto& e : entries) {
        seen[e.path] = true;
        examine(&e, e.kind, e.path);
    }
    std::vector<std::string> notFiles;
    for (const auto& db : ListDatabases(folder, nullptr, &notFiles)) {
        if (!seen.count(db)) examine(nullptr, ManifestEntry::kDatabase, db);
        for (const auto& c : ListContainerFiles(folder, db))
            if (!seen.count(c)) examine(nullptr, ManifestEntry::kContainer, c);
    }
    // Reported, never opened: examine finds out without blocking.
    for (const auto& db : notFiles)
        if (!seen.count(db)) examine(nullptr, ManifestEntry::kDatabase, db);
    return out;
}

}  // namespace Talon
