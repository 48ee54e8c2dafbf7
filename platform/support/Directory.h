#pragma once

#include "platform/support/Error.h"
#include "platform/support/UniversalPath.h"

namespace Mirel {

class FileFunctor;

// A folder. Built on a path, it names that path's folder part: a Directory on a file's
// path is the folder that holds the file; on a folder path, the folder itself.
class Directory {
public:
    Directory() = default;
    explicit Directory(const UniversalPath& path) { Set(path); }

    void Set(const UniversalPath& path);
    void Set(const Directory& other) { *this = other; }
    const UniversalPath& GetPath() const { return mPath; }
    UniversalPath MakeUniversalPath(const unistring& fileName) const {
        return mPath.Child(fileName, true);
    }
    unistring GetChildName() const;  // the folder's own name
    void SetToChild(const unistring& name) { mPath = mPath.Child(name, false); }
    void SetToParent();

    bool IsClear() const { return mPath.IsClear(); }
    void Clear() { mPath.Clear(); }
    bool Exists() const;  // a real folder; a symbolic link does not count
    bool IsEmpty() const;
    // quick: only ask the OS; otherwise create and remove a probe file.
    bool IsWriteable(bool quick) const;

    Error CreateIfNotExists() const;
    // Creates relDir below this folder one element at a time. Afterwards this names the
    // deepest folder reached, so on failure it says how far creation got.
    Error CreateRelativePath(const UniversalPath& relDir);
    Error Delete() const;          // only an empty folder
    Error DeleteAll() const;       // the folder and everything in it
    Error DeleteContents() const;  // everything in it; the folder stays
    // Renames the folder to a sibling called newName; atomic and durable, with everything
    // in it made durable first.
    Error Rename(const unistring& newName);
    // Whether a hard link can be made inside this folder.
    bool SupportHardLink() const;

    // Walks the folder in name order, calling the functor for every entry down to `level`
    // (1: the folder's own entries, 2: also the entries of its sub-folders, and so on).
    // Symbolic links are left out and never followed; FIFOs, sockets and devices are left
    // out too (the functor's LeftOut hears of them).
    Error ProcessFiles(FileFunctor& functor, int level) const;

    bool operator==(const Directory& o) const { return mPath == o.mPath; }
    bool operator!=(const Directory& o) const { return !(*this == o); }

private:
    UniversalPath mPath;  // always a folder path (empty name)
};

}  // namespace Mirel
