// Functors for Directory::ProcessFiles.
//
// Filter values: 0 database files, 1 any file, 2 folders. Extensions are matched without
// regard to case wherever the service decides what a file is.
// A folder in a listing is a folder path (its name is empty).
#pragma once

#include <vector>

#include "platform/support/Error.h"
#include "platform/support/UniversalPath.h"

namespace Mirel {

class FileFunctor {
public:
    virtual ~FileFunctor() = default;
    // depth is 1 for the walked folder's own entries. Returning false ends the walk.
    virtual bool operator()(const UniversalPath& path, bool isFolder, int depth) = 0;
    // An entry the walk left out because it is neither a folder nor a regular file (a FIFO,
    // a socket, a device): it is never handed on as a file. Symbolic links are left out
    // without a call.
    virtual void LeftOut(const UniversalPath& /*path*/, int /*depth*/) {}
};

enum ListFilter { kListDatabaseFiles = 0, kListFiles = 1, kListFolders = 2 };

bool MatchesFilter(const UniversalPath& path, bool isFolder, int filter);

// Collects the entries the filter selects. With `descend` false only the walked folder's
// own entries are collected, whatever the walk's level.
class BuildUniversalPathListFunctor : public FileFunctor {
public:
    BuildUniversalPathListFunctor(std::vector<UniversalPath>& out, int filter, bool descend)
        : mOut(out), mFilter(filter), mDescend(descend) {}
    bool operator()(const UniversalPath& path, bool isFolder, int depth) override;

private:
    std::vector<UniversalPath>& mOut;
    int mFilter;
    bool mDescend;
};

// Collects files with the extension (".vrl"); `ignoreCase` compares it without case.
class BuildPathListExtensionFunctor : public FileFunctor {
public:
    BuildPathListExtensionFunctor(std::vector<UniversalPath>& out, const unistring& ext,
                                  bool ignoreCase)
        : mOut(out), mExt(ext), mIgnoreCase(ignoreCase) {}
    bool operator()(const UniversalPath& path, bool isFolder, int depth) override;

private:
    std::vector<UniversalPath>& mOut;
    unistring mExt;
    bool mIgnoreCase;
};

// Stops at the first file with the extension (in any case).
class FileExtensionEmptyCheckFunctor : public FileFunctor {
public:
    explicit FileExtensionEmptyCheckFunctor(const unistring& ext) : mExt(ext) {}
    bool operator()(const UniversalPath& path, bool isFolder, int depth) override;
    bool IsEmpty() const { return mEmpty; }

private:
    unistring mExt;
    bool mEmpty = true;
};

// Collects entries whose name matches a pattern. Match type 0: shell wildcards
// ('*', '?', '[...]'); 1: the exact name. `ignoreCase` folds case.
class BuildUniversalPathListBasedOnFileNamePatternFunctor : public FileFunctor {
public:
    BuildUniversalPathListBasedOnFileNamePatternFunctor(std::vector<UniversalPath>& out,
                                                        const unistring& pattern, int matchType,
                                                        int filter, bool ignoreCase)
        : mOut(out),
          mPattern(pattern),
          mMatchType(matchType),
          mFilter(filter),
          mIgnoreCase(ignoreCase) {}
    bool operator()(const UniversalPath& path, bool isFolder, int depth) override;

private:
    std::vector<UniversalPath>& mOut;
    unistring mPattern;
    int mMatchType;
    int mFilter;
    bool mIgnoreCase;
};

}  // namespace Mirel
