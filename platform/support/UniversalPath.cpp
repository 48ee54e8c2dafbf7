#include "platform/support/UniversalPath.h"

#include <cstdio>
#include <vector>

#include "platform/support/Os.h"

namespace Mirel {

namespace {

std::vector<unistring> Split(const unistring& s) {
    std::vector<unistring> parts;
    unistring cur;
    for (char16_t c : s) {
        if (c == u'/') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

unistring Join(const std::vector<unistring>& parts, std::size_t n, bool absolute) {
    unistring out = absolute ? unistring(u"/") : unistring();
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out.push_back(u'/');
        out += parts[i];
    }
    return out;
}

}  // namespace

UniversalPath UniversalPath::FromNative(const std::string& utf8) {
    UniversalPath p;
    unistring text = unistring::FromUTF8(utf8);
    // Listings produce clean absolute paths by the hundred thousand: split them directly.
    if (text.size() > 1 && text[0] == u'/' && text.back() != u'/' &&
        text.find(u"//") == unistring::npos) {
        auto slash = text.find_last_of(u'/');
        p.mName = text.substr(slash + 1);
        p.SetFolder(slash == 0 ? unistring(u"/") : text.substr(0, slash));
        return p;
    }
    bool absolute = !text.empty() && text[0] == u'/';
    auto parts = Split(text);
    if (!parts.empty() && !(text.back() == u'/')) {
        p.mName = parts.back();
        parts.pop_back();
    }
    p.SetFolder(Join(parts, parts.size(), absolute));
    return p;
}

UniversalPath UniversalPath::Folder(const std::string& utf8) {
    UniversalPath p = FromNative(utf8);
    p.MakeFolder();
    return p;
}

bool UniversalPath::Parse(const unistring& text, bool strict, bool mayBeFolder) {
    if (text.empty() || text[0] != u'/') return false;
    for (char16_t c : text)
        if (c == 0) return false;
    std::vector<unistring> parts;
    for (auto& part : Split(text)) {
        if (part == u"..") return false;
        if (part == u".") {
            if (strict) return false;
            continue;
        }
        parts.push_back(part);
    }
    bool folderOnly = text.back() == u'/' || parts.empty();
    if (!folderOnly && mayBeFolder) {
        Os::Info info = Os::Stat(Join(parts, parts.size(), true).ToUTF8());
        folderOnly = info.exists && info.isDir;
    }
    if (folderOnly) {
        SetFolder(Join(parts, parts.size(), true));
        mName.clear();
    } else {
        mName = parts.back();
        SetFolder(Join(parts, parts.size() - 1, true));
    }
    return true;
}

bool UniversalPath::SetCommandLineFormat(const unistring& text, bool mayBeFolder) {
    return Parse(text, true, mayBeFolder);
}
bool UniversalPath::SetUserEntryFormat(const unistring& text) {
    return Parse(text, false);
}

unistring UniversalPath::Full() const {
    if (mName.empty()) return Folder();
    if (Folder().empty()) return mName;
    if (Folder() == u"/") return u"/" + mName;
    return Folder() + u"/" + mName;
}

unistring UniversalPath::GetUserEntryFormat() const {
    return Full();
}
std::string UniversalPath::Native() const {
    return Full().ToUTF8();
}

unistring UniversalPath::GetBasename() const {
    auto dot = mName.find_last_of(u'.');
    if (dot == unistring::npos || dot == 0) return mName;
    return mName.substr(0, dot);
}

unistring UniversalPath::GetExtension() const {
    auto dot = mName.find_last_of(u'.');
    if (dot == unistring::npos || dot == 0) return unistring();
    return mName.substr(dot);
}

int UniversalPath::CountPathElements() const {
    return static_cast<int>(Split(Full()).size());
}

unistring UniversalPath::GetPathElement(int index) const {
    auto parts = Split(Full());
    if (index < 0 || index >= static_cast<int>(parts.size())) return unistring();
    return parts[static_cast<std::size_t>(index)];
}

void UniversalPath::DeletePathElement(int index) {
    auto folderParts = Split(Folder());
    int n = static_cast<int>(folderParts.size());
    if (index < 0) return;
    if (index < n) {
        folderParts.erase(folderParts.begin() + index);
        bool absolute = !Folder().empty() && Folder()[0] == u'/';
        SetFolder(Join(folderParts, folderParts.size(), absolute));
    } else if (index == n && !mName.empty()) {
        mName.clear();
    }
}

void UniversalPath::MakeFolder() {
    SetFolder(Full());
    mName.clear();
}

UniversalPath UniversalPath::Child(const unistring& name, bool asFile) const {
    UniversalPath p;
    p.SetFolder(Full());
    if (asFile) {
        p.mName = name;
    } else {
        p.mName = name;
        p.MakeFolder();
    }
    return p;
}

Error UniversalPath::SetAbsoluteFrom(const UniversalPath& base) {
    if (!IsRelative()) return Error();
    if (base.IsRelative() || base.IsClear()) return Error(kErrBadPathFormat);
    unistring root = base.Full();
    if (Folder().empty())
        SetFolder(root);
    else
        SetFolder((root == u"/" ? root : root + u"/") + Folder());
    return Error();
}

Error UniversalPath::SetRelativeTo(const UniversalPath& base) {
    if (IsRelative()) return Error();
    unistring root = base.Full();
    if (root.empty() || root[0] != u'/') return Error(kErrBadPathFormat);
    if (Folder() == root) {
        SetFolder(unistring());
        return Error();
    }
    unistring prefix = root == u"/" ? root : root + u"/";
    if (Folder().compare(0, prefix.size(), prefix) != 0) return Error(kErrBadPathFormat);
    SetFolder(Folder().substr(prefix.size()));
    return Error();
}

bool UniversalPath::IsMyChild(const UniversalPath& other) const {
    unistring root = Full(), o = other.Full();
    if (root.empty()) return false;
    unistring prefix = root == u"/" ? root : root + u"/";
    return o.size() > prefix.size() && o.compare(0, prefix.size(), prefix) == 0;
}

bool UniversalPath::Exists() const {
    return !IsClear() && Os::Stat(Native()).exists;
}

Error UniversalPath::Delete() const {
    Os::Info info = Os::Stat(Native());
    if (info.isDir) return Error(kErrIsADirectory);
    int rc = Os::DeleteFile(Native());
    return Error(rc == kErrPathNotFound ? 0 : rc);
}

Error UniversalPath::MoveTo(const UniversalPath& destFolder) const {
    UniversalPath dest = destFolder;
    dest.MakeFolder();
    dest.mName = mName;
    return Error(Os::Rename(Native(), dest.Native()));
}

bool UniversalPath::FormatBackupTimestamp(unistring& stamp) {
    std::string s = stamp.ToUTF8();
    unsigned y, mo, d, h, mi, sec;
    char tail;
    int n = std::sscanf(s.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &sec, &tail);
    if (n < 6 || s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ') return false;
    if (n == 7 && tail != '.') return false;
    if (y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        sec > 60)
        return false;
    char out[32];
    std::snprintf(out, sizeof out, "%04u-%02u-%02u_%02u%02u", y, mo, d, h, mi);
    stamp = unistring::FromUTF8(out);
    return true;
}

}  // namespace Mirel
