// The service's preference store: an XML file of numbered preferences.
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <preferences>
//     <pref id="67" type="int">1</pref>
//     <pref id="68" type="text">/srv/vellumark/backup</pref>
//   </preferences>
//
// Location: $VELLUMARK_PREFS, else /etc/vellumark/talonib.xml.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/framework/TalonError.h"
#include "platform/support/unistring.h"

namespace Talon {

// Where the service's preferences live.
class PrefKeys {
public:
    static PrefKeys& Instance();
    std::string GetDesignation() const;
    static std::string DefaultDesignation();
};

using PrefsHandle = std::shared_ptr<const void>;

class PrefsStorage {
public:
    virtual ~PrefsStorage() = default;
    virtual Error Open(PrefsHandle& handle, const std::string& designation) = 0;
    virtual Error GetPref(const PrefsHandle& handle, int number, std::int64_t& value) const = 0;
    virtual Error GetPref(const PrefsHandle& handle, int number, Mirel::unistring& value) const = 0;
};

class XMLPrefs : public PrefsStorage {
public:
    // A missing file opens as an empty store. kErrPrefsMalformed for a file that cannot be
    // read, does not parse or breaks the layout above; GetProblem() then says where and what.
    Error Open(PrefsHandle& handle, const std::string& designation) override;
    // "FILE:LINE: what is wrong" after a failed Open, else empty.
    const std::string& GetProblem() const { return mProblem; }
    // kErrPrefNotFound, or kErrPrefWrongType when the preference has another type.
    Error GetPref(const PrefsHandle& handle, int number, std::int64_t& value) const override;
    Error GetPref(const PrefsHandle& handle, int number, Mirel::unistring& value) const override;
    // Every preference the file lists, with the line it is on.
    std::map<int, int> Listed(const PrefsHandle& handle) const;

    // Writes a preference file (tools and tests); existing content is replaced.
    static Error Write(const std::string& path, const std::map<int, std::int64_t>& ints,
                       const std::map<int, Mirel::unistring>& texts);

private:
    std::string mProblem;
};

}  // namespace Talon
