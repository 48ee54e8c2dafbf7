#include "platform/framework/Prefs.h"

#include <tinyxml2.h>

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/support/Os.h"

namespace Talon {

namespace {
struct Store {
    std::map<int, std::int64_t> ints;
    std::map<int, Mirel::unistring> texts;
};

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
    std::lock_guard<std::mutex> g(mM);
    return mOverride.empty() ? DefaultDesignation() : mOverride;
}

void PrefKeys::SetDesignation(const std::string& path) {
    std::lock_guard<std::mutex> g(mM);
    mOverride = path;
}

Error XMLPrefs::Open(PrefsHandle& handle, const std::string& designation) {
    handle.reset();
    if (!Mirel::Os::Stat(designation).isFile) return Error(Mirel::kErrPathNotFound);
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(designation.c_str()) != tinyxml2::XML_SUCCESS)
        return Error(Mirel::kErrPrefsMalformed);
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (root == nullptr || std::string(root->Name()) != "preferences")
        return Error(Mirel::kErrPrefsMalformed);
    auto store = std::make_shared<Store>();
    for (auto* e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (std::string(e->Name()) != "pref") return Error(Mirel::kErrPrefsMalformed);
        int id = 0;
        const char* type = e->Attribute("type");
        if (e->QueryIntAttribute("id", &id) != tinyxml2::XML_SUCCESS || type == nullptr)
            return Error(Mirel::kErrPrefsMalformed);
        const char* text = e->GetText() ? e->GetText() : "";
        if (std::string(type) == "int") {
            std::int64_t v;
            if (!ParseInt(text, v)) return Error(Mirel::kErrPrefsMalformed);
            store->ints[id] = v;
        } else if (std::string(type) == "text") {
            store->texts[id] = Mirel::unistring::FromUTF8(text);
        } else {
            return Error(Mirel::kErrPrefsMalformed);
        }
    }
    handle = store;
    return Error();
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
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewDeclaration());
    auto* root = doc.NewElement("preferences");
    doc.InsertEndChild(root);
    for (auto& [id, v] : ints) {
        auto* e = root->InsertNewChildElement("pref");
        e->SetAttribute("id", id);
        e->SetAttribute("type", "int");
        e->SetText(static_cast<int64_t>(v));
    }
    for (auto& [id, v] : texts) {
        auto* e = root->InsertNewChildElement("pref");
        e->SetAttribute("id", id);
        e->SetAttribute("type", "text");
        e->SetText(v.ToUTF8().c_str());
    }
    std::string tmp = path + ".tmp";
    if (doc.SaveFile(tmp.c_str()) != tinyxml2::XML_SUCCESS) return Error(Mirel::kErrIO);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) return Error(Mirel::Os::MapErrno(errno));
    return Error(Mirel::Os::SyncDir(Mirel::Os::ParentOf(path)));
}

}  // namespace Talon
