#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/support/unistring.h"

namespace Talon {

// Numbered event records and their wording. An event number's top two bits give its
// severity (00 success, 01 information, 10 warning, 11 error), as event logs number them.
class Logger {
public:
    // Writes the event to the system log (syslog, so journald keeps it).
    static void WriteSysLog(std::int32_t code, const std::vector<Mirel::unistring>& texts);

    // The record's text: the event's wording with %1..%4 replaced by the texts.
    static std::string FormatEvent(std::int32_t code, const std::vector<Mirel::unistring>& texts);
    static int SyslogPriority(std::int32_t code);

    // Every record written is also handed to the observer (tests; null to remove).
    using Observer = std::function<void(std::int32_t, const std::vector<Mirel::unistring>&)>;
    static void SetObserver(Observer observer);
};

}  // namespace Talon
