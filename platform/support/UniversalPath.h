#pragma once

#include <memory>
#include <string>

#include "platform/support/Error.h"
#include "platform/support/unistring.h"

namespace Mirel {

// A path that names a folder and, optionally, a file in it (its name).
//
// The command-line form is an absolute POSIX path; the user-entry form is the display
// form of the same path (here the same text). A text ending in '/' or naming an existing
// folder becomes a folder path (empty name); otherwise its last element is the name.
// Relative paths exist only as the result of SetRelativeTo.
class UniversalPath {
public:
    UniversalPath() = default;
    // A trusted absolute or relative text (no validation): tests, constants, joins.
    static UniversalPath FromNative(const std::string& utf8);
    static UniversalPath Folder(const std::string& utf8);

    // Accepts an absolute path without NUL and without "." or ".." elements. Without a
    // trailing separator the last element is a file name, unless `mayBeFolder` and the path
    // is a folder on disk (which costs a look).
    bool SetCommandLineFormat(const unistring& text, bool mayBeFolder = true);
    // As above, but "." elements and repeated or trailing separators are tolerated.
    bool SetUserEntryFormat(const unistring& text);
    unistring GetUserEntryFormat() const;
    unistring GetCommandLineFormat() const { return GetUserEntryFormat(); }
    std::string Native() const;  // UTF-8, for the OS

    const unistring& GetName() const { return mName; }
    void SetName(const unistring& name) { mName = name; }
    unistring GetBasename() const;   // name without its last extension
    unistring GetExtension() const;  // ".ext" or empty
    const unistring& GetFolderText() const { return Folder(); }
    // Makes this path use the same stored folder text as `other` when the texts are equal;
    // a catalogue of many files in few folders then keeps each folder's text once.
    void ShareFolder(const UniversalPath& other) {
        if (other.mFolder && mFolder != other.mFolder && Folder() == *other.mFolder)
            mFolder = other.mFolder;
    }

    int CountPathElements() const;
    unistring GetPathElement(int index) const;  // empty when out of range
    void DeletePathElement(int index);

    // The whole path (folder and name) becomes the folder; the name is empty.
    void MakeFolder();
    // Folder path of this path's child `name`, or its file `name` when asFile is set.
    UniversalPath Child(const unistring& name, bool asFile) const;

    Error SetAbsoluteFrom(const UniversalPath& base);
    Error SetRelativeTo(const UniversalPath& base);
    bool IsRelative() const { return !IsClear() && (Folder().empty() || Folder()[0] != u'/'); }
    // True when `other` lies strictly below this path.
    bool IsMyChild(const UniversalPath& other) const;

    bool IsClear() const { return Folder().empty() && mName.empty(); }
    void Clear() {
        mFolder.reset();
        mName.clear();
    }

    bool Exists() const;
    // Deletes a file or symbolic link, never a folder; nothing there is success.
    Error Delete() const;
    // Moves the file into `destFolder` under the same name; never replaces a file there.
    Error MoveTo(const UniversalPath& destFolder) const;

    // Rewrites a rendered DateTime ("YYYY-MM-DD HH:MM:SS[.ffffff]") as the last-good stamp
    // "YYYY-MM-DD_HHMM" (the minute the time falls in). False for anything else.
    static bool FormatBackupTimestamp(unistring& stamp);

    bool operator==(const UniversalPath& o) const {
        return Folder() == o.Folder() && mName == o.mName;
    }
    bool operator!=(const UniversalPath& o) const { return !(*this == o); }
    bool operator<(const UniversalPath& o) const {
        return Folder() != o.Folder() ? Folder() < o.Folder() : mName < o.mName;
    }

private:
    bool Parse(const unistring& text, bool strict, bool mayBeFolder = true);
    unistring Full() const;

    const unistring& Folder() const {
        static const unistring kEmpty;
        return mFolder ? *mFolder : kEmpty;
    }
    void SetFolder(unistring text) {
        mFolder = text.empty() ? nullptr : std::make_shared<const unistring>(std::move(text));
    }

    // "/a/b", "/", "a/b" (relative) or none; shared between copies, never changed in place.
    std::shared_ptr<const unistring> mFolder;
    unistring mName;
};

}  // namespace Mirel
