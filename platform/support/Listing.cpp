#include "platform/support/Listing.h"

#include <fnmatch.h>

#include "platform/support/FileKinds.h"

namespace Mirel {

namespace {

unistring EntryName(const UniversalPath& path, bool isFolder) {
    if (!isFolder) return path.GetName();
    int n = path.CountPathElements();
    return n > 0 ? path.GetPathElement(n - 1) : unistring();
}

bool ExtensionIs(const UniversalPath& path, const unistring& ext, bool ignoreCase) {
    unistring e = path.GetExtension();
    return ignoreCase ? e.CaseInsensitiveEqual(ext) : e == ext;
}

}  // namespace

bool MatchesFilter(const UniversalPath& path, bool isFolder, int filter) {
    switch (filter) {
        case kListDatabaseFiles:
            return !isFolder && ExtensionIs(path, kDatabaseExtension, true);
        case kListFiles:
            return !isFolder;
        case kListFolders:
            return isFolder;
        default:
            return false;
    }
}

bool BuildUniversalPathListFunctor::operator()(const UniversalPath& path, bool isFolder,
                                               int depth) {
    if ((mDescend || depth == 1) && MatchesFilter(path, isFolder, mFilter)) mOut.push_back(path);
    return true;
}

bool BuildPathListExtensionFunctor::operator()(const UniversalPath& path, bool isFolder, int) {
    if (!isFolder && ExtensionIs(path, mExt, mIgnoreCase)) mOut.push_back(path);
    return true;
}

bool FileExtensionEmptyCheckFunctor::operator()(const UniversalPath& path, bool isFolder, int) {
    if (!isFolder && ExtensionIs(path, mExt, true)) mEmpty = false;
    return mEmpty;
}

bool BuildUniversalPathListBasedOnFileNamePatternFunctor::operator()(const UniversalPath& path,
                                                                     bool isFolder, int) {
    if (mFilter != kListFolders && mFilter != kListFiles && mFilter != kListDatabaseFiles)
        return true;
    if (!MatchesFilter(path, isFolder, mFilter)) return true;
    unistring name = EntryName(path, isFolder);
    bool match;
    if (mMatchType == 0) {
        match = ::fnmatch(mPattern.ToUTF8().c_str(), name.ToUTF8().c_str(),
                          mIgnoreCase ? FNM_CASEFOLD : 0) == 0;
    } else {
        match = mIgnoreCase ? name.CaseInsensitiveEqual(mPattern) : name == mPattern;
    }
    if (match) mOut.push_back(path);
    return true;
}

}  // namespace Mirel
