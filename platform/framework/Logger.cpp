#include "platform/framework/Logger.h"

#include <syslog.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace Talon {

namespace {

const std::map<std::uint32_t, const char*>& Wording() {
    static const std::map<std::uint32_t, const char*> table = {
        {0x4900030f, "The backup folder %1 could not be set up (error %2)."},
        {0xc1000308,
         "The working folders were cleared; the last-good folders are kept, newest %1."},
        {0xc1000307,
         "The whole content of the backup folder %1 was cleared (it had no last-good folder)."},
        {0x41000309, "The backup folder %1 could not be cleared (error %2)."},
        {0x41000313, "The uploaded full backup %1 (%2) could not be recorded."},
        {0x41000328, "A rejected redo log or interval-done file was moved to %1 (error %2)."},
        {0x8100031e, "The database copy %1 at %2 could not be deleted (error %3)."},
        {0x410003d5, "The database %1 (%2) could not be prepared for redo logs (error %3)."},
        {0x4100031f, "The redo log %1 could not be applied to database %2 (error %3)."},
        {0x41000314, "The old container folder of %1 at %2 could not be deleted (error %3)."},
        {0x41000315, "The container folder of %1 at %2 could not be moved to %3 (error %4)."},
        {0x41000316, "The upload folder %1 could not be deleted (error %2)."},
        {0x41000317, "The database %1 at %2 could not be moved to %3 (error %4)."},
        {0x41000318, "The in-progress folder for %1 could not be created at %2 (error %3)."},
        {0x8100031a, "The in-progress copy of %1 could not be made; failed at %2 (error %3)."},
        {0xc1000600, "The service cannot start: port %1 is already in use by another program."},
        {0x4900031b, "The in-progress folder %1 could not be renamed to %2 (error %3)."},
    };
    return table;
}

std::mutex gObserverM;
Logger::Observer gObserver;

}  // namespace

std::string Logger::FormatEvent(std::int32_t code, const std::vector<Mirel::unistring>& texts) {
    auto it = Wording().find(static_cast<std::uint32_t>(code));
    std::string out;
    if (it == Wording().end()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "Event 0x%08x:", static_cast<std::uint32_t>(code));
        out = buf;
        for (const auto& t : texts) out += " '" + t.ToUTF8() + "'";
        return out;
    }
    for (const char* p = it->second; *p; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '4') {
            std::size_t i = static_cast<std::size_t>(p[1] - '1');
            out += i < texts.size() ? texts[i].ToUTF8() : std::string();
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

int Logger::SyslogPriority(std::int32_t code) {
    switch (static_cast<std::uint32_t>(code) >> 30) {
        case 0:
            return LOG_NOTICE;
        case 1:
            return LOG_INFO;
        case 2:
            return LOG_WARNING;
        default:
            return LOG_ERR;
    }
}

void Logger::WriteSysLog(std::int32_t code, const std::vector<Mirel::unistring>& texts) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog("talonib", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
    std::string line = FormatEvent(code, texts);
    ::syslog(SyslogPriority(code), "[0x%08x] %s", static_cast<std::uint32_t>(code), line.c_str());
    std::lock_guard<std::mutex> g(gObserverM);
    if (gObserver) gObserver(code, texts);
}

void Logger::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> g(gObserverM);
    gObserver = std::move(observer);
}

}  // namespace Talon
