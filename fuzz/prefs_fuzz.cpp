// Preference file reader. Input: the file.
// A file the reader accepts gives each listed preference exactly one type and value, and
// written back by the writer it reads the same.
#include <tinyxml2.h>

#include <map>
#include <set>

#include "fuzz/FuzzUtil.h"
#include "platform/framework/Prefs.h"

using fuzz::Scratch;
using Mirel::unistring;
using Talon::PrefsHandle;
using Talon::XMLPrefs;

namespace {

struct Values {
    std::map<int, std::int64_t> ints;
    std::map<int, unistring> texts;
    bool operator==(const Values& o) const { return ints == o.ints && texts == o.texts; }
};

// The ids the file lists, as the XML library sees them.
std::set<int> ListedIds(const std::string& path) {
    std::set<int> ids;
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS || !doc.RootElement()) return ids;
    for (auto* e = doc.RootElement()->FirstChildElement(); e; e = e->NextSiblingElement()) {
        int id = 0;
        if (e->QueryIntAttribute("id", &id) == tinyxml2::XML_SUCCESS) ids.insert(id);
    }
    return ids;
}

// Reads every listed preference; each has exactly one type.
Values ReadAll(const std::string& path) {
    XMLPrefs prefs;
    PrefsHandle h;
    FUZZ_CHECK(prefs.Open(h, path).OK() && h != nullptr);
    Values v;
    const std::set<int> ids = ListedIds(path);
    for (int id : ids) {
        std::int64_t i = 0;
        unistring t;
        Talon::Error ei = prefs.GetPref(h, id, i);
        Talon::Error et = prefs.GetPref(h, id, t);
        FUZZ_CHECK(ei.OK() != et.OK());
        FUZZ_CHECK(ei.OK() || ei.GetError() == Mirel::kErrPrefWrongType);
        FUZZ_CHECK(et.OK() || et.GetError() == Mirel::kErrPrefWrongType);
        if (ei.OK()) v.ints[id] = i;
        if (et.OK()) v.texts[id] = t;
    }
    // An id the file does not list is not found.
    for (int probe : {67, 68, -1, 0}) {
        if (ids.count(probe)) continue;
        std::int64_t i = 0;
        unistring t;
        FUZZ_CHECK(prefs.GetPref(h, probe, i).GetError() == Mirel::kErrPrefNotFound);
        FUZZ_CHECK(prefs.GetPref(h, probe, t).GetError() == Mirel::kErrPrefNotFound);
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Scratch& s = Scratch::Get();
    s.Clear();
    fuzz::WriteBytes(s / "in.xml", data, size);
    XMLPrefs prefs;
    PrefsHandle h;
    Talon::Error e = prefs.Open(h, s / "in.xml");
    if (!e.OK()) {
        FUZZ_CHECK(e.GetError() == Mirel::kErrPrefsMalformed && h == nullptr);
        return 0;
    }
    const Values v = ReadAll(s / "in.xml");
    FUZZ_CHECK(XMLPrefs::Write(s / "rt.xml", v.ints, v.texts).OK());
    FUZZ_CHECK(ReadAll(s / "rt.xml") == v);
    return 0;
}
