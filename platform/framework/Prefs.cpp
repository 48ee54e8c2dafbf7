#include "platform/framework/Prefs.h"

#include <tinyxml2.h>

#include <cerrno>
#include <cstdlib>

#include "platform/support/Debug.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"

namespace Talon {

namespace {
struct Store {
    std::map<int, std::int64_t> ints;
    std::map<int, Mirel::unistring> texts;
    std::map<int, int> lines;  // where each preference is, for messages
};

// The whole preference file, read through the OS layer.
Error ReadWhole(const std::string& path, std::string& text) {
    Mirel::Os::Info info = Mirel::Os::Stat(path);
    if (!info.isFile) return Error(Mirel::kErrPathNotFound);
    if (info.size > (16u << 20)) return Error(Mirel::kErrPrefsMalformed);
    int fd = -1;
    if (int rc = Mirel::Os::OpenRead(path, fd)) return Error(rc);
    text.resize(static_cast<std::size_t>(info.size));
    std::size_t got = 0;
    int rc = Mirel::Os::PReadAll(fd, text.data(), text.size(), 0, got, path);
    Mirel::Os::Close(fd);
    text.resize(got);
    return Error(rc);
}

bool ParseInt(const char* s, std::int64_t& out) {
    if (s == nullptr || *s == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 10);
    while (end && (*end == ' ' || *end == '\n' || *end == '\t' || *end == '\r')) ++end;
    if (errno != 0 || end == s || *end != '\0') return false;
    out = v;
    return true;
}
// A character reference must name a character: the XML library turns one of 0 into the end
// of the text and drops one above its range, so a text would silently lose characters.
// Anything else that starts with "&#" is kept as it stands, and so is harmless.
bool HasBadCharacterReference(const std::string& xml) {
    for (std::size_t at = xml.find("&#"); at != std::string::npos; at = xml.find("&#", at + 2)) {
        std::size_t i = at + 2;
        const bool hex = i < xml.size() && xml[i] == 'x';
        if (hex) ++i;
        const std::size_t end = xml.find(';', i);
        if (end == std::string::npos) return false;
        std::uint64_t v = 0;
        bool number = true;
        for (std::size_t k = i; number && k < end; ++k) {
            const char c = xml[k];
            const int d = hex ? Mirel::HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
            number = d >= 0;
            if (number) v = std::min<std::uint64_t>(v * (hex ? 16 : 10) + d, 0x110000);
        }
        if (number && (v == 0 || v > 0x10FFFF)) return true;
    }
    return false;
}

// Text content that reads back as written: markup characters as entities, CR (which a
// reader turns into LF) as a reference, and whitespace-only text (which a reader drops)
// wholly as references.
std::string EscapeText(const std::string& text) {
    std::string out;
    if (!text.empty() && text.find_first_not_of(" \t\n\r\v\f") == std::string::npos) {
        for (char c : text) out += "&#" + std::to_string(static_cast<int>(c)) + ";";
        return out;
    }
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string XmlFault(tinyxml2::XMLError id) {
    switch (id) {
        case tinyxml2::XML_ERROR_PARSING_ELEMENT:
            return "a malformed element";
        case tinyxml2::XML_ERROR_PARSING_ATTRIBUTE:
            return "a malformed attribute";
        case tinyxml2::XML_ERROR_MISMATCHED_ELEMENT:
            return "a closing tag that does not match its element";
        case tinyxml2::XML_ERROR_PARSING_TEXT:
            return "malformed text";
        case tinyxml2::XML_ERROR_PARSING_COMMENT:
            return "a malformed comment";
        case tinyxml2::XML_ERROR_PARSING_DECLARATION:
            return "a malformed declaration";
        default:
            return "an element that is not closed, or text outside the elements";
    }
}
}  // namespace

PrefKeys& PrefKeys::Instance() {
    static PrefKeys keys;
    return keys;
}

std::string PrefKeys::DefaultDesignation() {
    const char* env = std::getenv("VELLUMARK_PREFS");
    return env && *env ? env : "/etc/vellumark/talonib.xml";
}

std::string PrefKeys::GetDesignation() const {
    return DefaultDesignation();
}

Error XMLPrefs::Open(PrefsHandle& handle, const std::string& designation) {
    handle.reset();
    mProblem.clear();
    auto fail = [&](int line, const std::string& what) {
        mProblem =
            designation + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what;
        MIREL_DEBUG(57, "Prefs: " << mProblem);
        return Error(Mirel::kErrPrefsMalformed);
    };
    Mirel::Os::Info info = Mirel::Os::Stat(designation);
    if (!info.exists) {
        // A store nobody has written yet is empty: the service then runs without a backup
        // folder until the server names one.
        MIREL_DEBUG(57, "Prefs: no preference file " << designation
                                                     << ", an empty store: no backup folder "
                                                        "until SetBackupFolder");
        handle = std::make_shared<Store>();
        return Error();
    }
    if (!info.isFile) return fail(0, "not a regular file");
    // Read through the OS layer, so its fault seam and power-loss model see it too.
    std::string text;
    if (Error e = ReadWhole(designation, text); !e.OK()) return fail(0, "cannot be read");
    // A NUL byte would end the document early for the XML library.
    if (text.find('\0') != std::string::npos) return fail(0, "a NUL byte in the file");
    if (HasBadCharacterReference(text))
        return fail(0, "a character reference that names no character");
    tinyxml2::XMLDocument doc;
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
        if (doc.ErrorID() == tinyxml2::XML_ERROR_EMPTY_DOCUMENT)
            return fail(1, "the file is empty; it needs a <preferences> element");
        return fail(doc.ErrorLineNum(), "not well-formed XML: " + XmlFault(doc.ErrorID()));
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (root == nullptr || std::string(root->Name()) != "preferences")
        return fail(root ? root->GetLineNum() : 1, "the root element must be <preferences>, not <" +
                                                       std::string(root ? root->Name() : "") + ">");
    auto store = std::make_shared<Store>();
    for (auto* e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        int line = e->GetLineNum();
        if (std::string(e->Name()) != "pref")
            return fail(line, "unexpected element <" + std::string(e->Name()) + ">; only <pref>");
        int id = 0;
        const char* type = e->Attribute("type");
        if (e->QueryIntAttribute("id", &id) != tinyxml2::XML_SUCCESS)
            return fail(line, "<pref> needs a numeric id attribute");
        if (type == nullptr)
            return fail(line, "<pref id=\"" + std::to_string(id) + "\"> has no type");
        // Listed twice (also as "67" and "067"), a preference would have two values.
        if (store->ints.count(id) || store->texts.count(id))
            return fail(line, "preference " + std::to_string(id) + " is listed twice");
        const char* text = e->GetText() ? e->GetText() : "";
        store->lines[id] = line;
        if (std::string(type) == "int") {
            std::int64_t v;
            if (!ParseInt(text, v))
                return fail(line, "preference " + std::to_string(id) +
                                      " is of type int but holds \"" + text + "\"");
            store->ints[id] = v;
        } else if (std::string(type) == "text") {
            // Bytes that are not UTF-8 would read as other characters (U+FFFD, or NUL for an
            // overlong form), and the text would name another folder than the file does.
            Mirel::unistring t = Mirel::unistring::FromUTF8(text);
            if (t.ToUTF8() != text)
                return fail(line, "preference " + std::to_string(id) + " is not UTF-8 text");
            store->texts[id] = std::move(t);
        } else {
            return fail(line, "preference " + std::to_string(id) + " has the unknown type \"" +
                                  type + "\" (int or text)");
        }
    }
    handle = store;
    return Error();
}

std::map<int, int> XMLPrefs::Listed(const PrefsHandle& handle) const {
    auto* store = static_cast<const Store*>(handle.get());
    return store ? store->lines : std::map<int, int>();
}

Error XMLPrefs::GetPref(const PrefsHandle& handle, int number, std::int64_t& value) const {
    auto* store = static_cast<const Store*>(handle.get());
    if (!store) return Error(Mirel::kErrNotOpen);
    auto it = store->ints.find(number);
    if (it != store->ints.end()) {
        value = it->second;
        return Error();
    }
    return Error(store->texts.count(number) ? Mirel::kErrPrefWrongType : Mirel::kErrPrefNotFound);
}

Error XMLPrefs::GetPref(const PrefsHandle& handle, int number, Mirel::unistring& value) const {
    auto* store = static_cast<const Store*>(handle.get());
    if (!store) return Error(Mirel::kErrNotOpen);
    auto it = store->texts.find(number);
    if (it != store->texts.end()) {
        value = it->second;
        return Error();
    }
    return Error(store->ints.count(number) ? Mirel::kErrPrefWrongType : Mirel::kErrPrefNotFound);
}

Error XMLPrefs::Write(const std::string& path, const std::map<int, std::int64_t>& ints,
                      const std::map<int, Mirel::unistring>& texts) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<preferences>\n";
    for (auto& [id, v] : ints)
        xml += "    <pref id=\"" + std::to_string(id) + "\" type=\"int\">" + std::to_string(v) +
               "</pref>\n";
    for (auto& [id, v] : texts) {
        // XML has no way to write U+0000.
        if (v.find(u'\0') != Mirel::unistring::npos) return Error(Mirel::kErrPrefsMalformed);
    }
    for (auto& [id, v] : texts)
        xml += "    <pref id=\"" + std::to_string(id) + "\" type=\"text\">" +
               EscapeText(v.ToUTF8()) + "</pref>\n";
    xml += "</preferences>\n";
    std::string tmp = path + ".tmp";
    int fd = -1;
    int rc = Mirel::Os::OpenWrite(tmp, true, true, fd);
    if (rc == 0) rc = Mirel::Os::PWriteAll(fd, xml.data(), xml.size(), 0, tmp);
    if (rc == 0) rc = Mirel::Os::SyncFile(fd, tmp);
    Mirel::Os::Close(fd);
    // Renamed over the old file once synced: a crash leaves the old preferences or the new.
    if (rc == 0) rc = Mirel::Os::ReplaceDurable(tmp, path);
    if (rc != 0) Mirel::Os::DeleteFile(tmp);
    return Error(rc);
}

}  // namespace Talon
