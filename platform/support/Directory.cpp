#include "platform/support/Directory.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/support/Listing.h"
#include "platform/support/Os.h"

namespace Mirel {

namespace {

struct Entry {
    std::string name;
    Os::DirEntry::Type type;  // kUnknown when the file system does not say
    bool operator<(const Entry& o) const { return name < o.name; }
};

// Entries of a folder, sorted by name.
int ReadEntries(const std::string& dir, std::vector<Entry>& entries) {
    std::vector<Os::DirEntry> raw;
    int rc = Os::ListDir(dir, raw);
    if (rc != 0) return rc;
    entries.reserve(raw.size());
    for (auto& e : raw) entries.push_back({std::move(e.name), e.type});
    std::sort(entries.begin(), entries.end());
    return 0;
}

int ReadNames(const std::string& dir, std::vector<std::string>& names) {
    std::vector<Entry> entries;
    int rc = ReadEntries(dir, entries);
    for (auto& e : entries) names.push_back(std::move(e.name));
    return rc;
}

// Deletes what is inside `dir`; entries that are symbolic links are removed, not followed.
int DeleteTree(const std::string& dir, bool removeSelf) {
    std::vector<std::string> names;
    int rc = ReadNames(dir, names);
    if (rc != 0) return rc;
    for (const auto& n : names) {
        std::string p = dir + "/" + n;
        Os::Info info = Os::Stat(p);
        int r = info.isDir ? DeleteTree(p, true) : Os::DeleteFile(p);
        if (r != 0 && r != kErrPathNotFound && rc == 0) rc = r;
    }
    if (rc == 0 && removeSelf) rc = Os::RemoveDir(dir);
    return rc;
}

int Walk(const std::string& dir, FileFunctor& f, int depth, int level, bool& stop) {
    std::vector<Entry> entries;
    int rc = ReadEntries(dir, entries);
    if (rc != 0) return rc;
    for (const auto& e : entries) {
        std::string p = dir + "/" + e.name;
        // The listing usually says what an entry is; ask the OS only when it does not.
        Os::DirEntry::Type type = e.type;
        if (type == Os::DirEntry::kUnknown) {
            Os::Info info = Os::Stat(p);
            if (!info.exists) continue;  // gone meanwhile
            type = info.isLink   ? Os::DirEntry::kLink
                   : info.isDir  ? Os::DirEntry::kDir
                   : info.isFile ? Os::DirEntry::kFile
                                 : Os::DirEntry::kOther;
        }
        if (type == Os::DirEntry::kLink) continue;  // a listing never leads out of the walked tree
        if (type == Os::DirEntry::kOther) {
            // A FIFO, a socket or a device is never handed on as a file: opening one could
            // block for ever.
            f.LeftOut(UniversalPath::FromNative(p), depth);
            continue;
        }
        bool isDir = type == Os::DirEntry::kDir;
        UniversalPath up = isDir ? UniversalPath::Folder(p) : UniversalPath::FromNative(p);
        if (!f(up, isDir, depth)) {
            stop = true;
            return 0;
        }
        if (isDir && depth < level) {
            int r = Walk(p, f, depth + 1, level, stop);
            if (r != 0 && rc == 0) rc = r;
            if (stop) return rc;
        }
    }
    return rc;
}

}  // namespace

void Directory::Set(const UniversalPath& path) {
    mPath = path;
    mPath.SetName(unistring());
    if (mPath.GetFolderText().empty()) mPath.Clear();
}

unistring Directory::GetChildName() const {
    int n = mPath.CountPathElements();
    return n > 0 ? mPath.GetPathElement(n - 1) : unistring();
}

void Directory::SetToParent() {
    int n = mPath.CountPathElements();
    if (n > 0) mPath.DeletePathElement(n - 1);
}

bool Directory::Exists() const {
    if (IsClear()) return false;
    Os::Info info = Os::Stat(mPath.Native());
    if (info.isLink) return false;
    return info.isDir;
}

bool Directory::IsEmpty() const {
    std::vector<std::string> names;
    if (ReadNames(mPath.Native(), names) != 0) return false;
    return names.empty();
}

bool Directory::IsWriteable(bool quick) const {
    std::string dir = mPath.Native();
    if (quick) return Os::CanWrite(dir);
    std::string probe = dir + "/.ibs-write-probe-" + std::to_string(::getpid());
    int fd = -1;
    if (Os::OpenWrite(probe, true, true, fd) != 0) return false;
    Os::Close(fd);
    return Os::DeleteFile(probe) == 0;
}

Error Directory::CreateIfNotExists() const {
    if (IsClear()) return Error(kErrBadPathFormat);
    std::string full = mPath.Native();
    // Most often it is there: one look instead of one per component.
    if (Os::Info info = Os::Stat(full); info.exists)
        return info.isDir || info.isLink ? Error() : Error(kErrNotADirectory);
    std::string cur;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = full.find('/', pos + 1);
        cur = full.substr(0, pos);
        if (cur.empty()) continue;
        Os::Info info = Os::Stat(cur);
        if (info.exists && !info.isLink && !info.isDir) return Error(kErrNotADirectory);
        if (info.exists) continue;  // a folder, or a link the OS resolves
        int rc = Os::CreateDir(cur);
        if (rc != 0 && rc != kErrAlreadyExists) return Error(rc);
    }
    return Error();
}

Error Directory::CreateRelativePath(const UniversalPath& relDir) {
    UniversalPath rel = relDir;
    rel.MakeFolder();
    int n = rel.CountPathElements();
    if (!Exists()) return Error(kErrPathNotFound);
    for (int i = 0; i < n; ++i) {
        UniversalPath next = mPath.Child(rel.GetPathElement(i), false);
        Os::Info info = Os::Stat(next.Native());
        if (info.exists && !info.isDir) return Error(kErrNotADirectory);
        if (!info.exists) {
            int rc = Os::CreateDir(next.Native());
            if (rc != 0 && rc != kErrAlreadyExists) return Error(rc);
        }
        mPath = next;
    }
    return Error();
}

Error Directory::Delete() const {
    return Error(Os::RemoveDir(mPath.Native()));
}

Error Directory::DeleteAll() const {
    std::string p = mPath.Native();
    Os::Info info = Os::Stat(p);
    if (!info.exists) return Error();
    if (!info.isDir) return Error(Os::DeleteFile(p));  // a link is removed, its target kept
    int rc = DeleteTree(p, true);
    if (rc == 0) rc = Os::SyncDir(Os::ParentOf(p));
    return Error(rc);
}

Error Directory::DeleteContents() const {
    std::string p = mPath.Native();
    Os::Info info = Os::Stat(p);
    if (info.isLink) return Error(kErrNotADirectory);
    if (!info.exists) return Error(kErrPathNotFound);
    int rc = DeleteTree(p, false);
    if (rc == 0) rc = Os::SyncDir(p);
    return Error(rc);
}

namespace {
// Makes every entry of a tree of folders durable (files sync themselves when written).
int SyncTree(const std::string& dir) {
    std::vector<std::string> names;
    int rc = ReadNames(dir, names);
    for (const auto& n : names) {
        std::string p = dir + "/" + n;
        if (Os::Stat(p).isDir && rc == 0) rc = SyncTree(p);
    }
    if (rc == 0) rc = Os::SyncDir(dir);
    return rc;
}
}  // namespace

Error Directory::Rename(const unistring& newName) {
    // What the folder holds must be on disk before it appears under its new name.
    if (int rc = SyncTree(mPath.Native())) return Error(rc);
    Directory target = *this;
    target.SetToParent();
    target.SetToChild(newName);
    int rc = Os::Rename(mPath.Native(), target.mPath.Native());
    if (rc == 0) mPath = target.mPath;
    return Error(rc);
}

bool Directory::SupportHardLink() const {
    std::string dir = mPath.Native();
    std::string tag = std::to_string(::getpid()) + "-" + std::to_string(::gettid());
    std::string a = dir + "/.ibs-link-probe-a-" + tag, b = dir + "/.ibs-link-probe-b-" + tag;
    int fd = -1;
    if (Os::OpenWrite(a, true, true, fd) != 0) return false;
    Os::Close(fd);
    bool ok = Os::HardLink(a, b) == 0;
    Os::DeleteFile(b);
    Os::DeleteFile(a);
    return ok;
}

Error Directory::ProcessFiles(FileFunctor& functor, int level) const {
    if (level < 1) return Error();
    bool stop = false;
    return Error(Walk(mPath.Native(), functor, 1, level, stop));
}

}  // namespace Mirel
