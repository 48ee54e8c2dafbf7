#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/support/unistring.h"

namespace Talon {

// Numbered event records and their wording. Each known event has its own priority: a
// database that failed, a file set aside or an operation that could not be carried out is
// a warning, a backup that can no longer progress an error. An unknown number takes its
// severity from its top two bits (00 success, 01 information, 10 warning, 11 error).
//
// Where a record goes:
//   under systemd (INVOCATION_ID set)  the journal, with the fields below; syslog when the
//                                      journal cannot be reached
//   otherwise                          syslog (ident talonib, facility daemon) and one
//                                      line on standard error
// Journal fields: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER=talonib, VELLUMARK_EVENT (0x%08x),
// VELLUMARK_TEXT1..4 (the record's texts), VELLUMARK_PATH (each text that is an absolute
// path), and for a record about a database VELLUMARK_DATABASE_UUID and
// VELLUMARK_DATABASE_NAME: as the caller names the database, else read from the first
// database or redo log among the paths, when it can be read.
//
// Every record is written here, whether or not the database server's event hub is linked:
// the hub gets its own copy (ComponentBaseThread::QueueInfo).
class Logger {
public:
    // The database a record is about.
    struct Database {
        std::string uuid;
        std::string name;  // its file name
    };

    // `echo`: also the line on standard error in the foreground.
    static void WriteSysLog(std::int32_t code, const std::vector<Mirel::unistring>& texts,
                            bool echo = true, const Database* database = nullptr);

    // A line of the service's own that is no event record (the start banner, an interval
    // published): the journal under systemd, with SYSLOG_IDENTIFIER=talonib and `fields`
    // ("NAME=value" each), else syslog; and standard error in the foreground.
    static void WriteLine(int priority, const std::string& message,
                          const std::vector<std::string>& fields = {});

    // The record's text: the event's wording with %1..%4 replaced by the texts.
    static std::string FormatEvent(std::int32_t code, const std::vector<Mirel::unistring>& texts);
    // The record's priority (LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO).
    static int SyslogPriority(std::int32_t code);
    // Every record the service knows, with its wording (%1... for its texts).
    static std::vector<std::pair<std::uint32_t, std::string>> EventTable();

    // The journal entry's fields, "NAME=value" each, in the order they are sent.
    static std::vector<std::string> JournalFields(std::int32_t code,
                                                  const std::vector<Mirel::unistring>& texts,
                                                  const Database* database = nullptr);

    // Every record written is also handed to the observer (tests; null to remove).
    using Observer = std::function<void(std::int32_t, const std::vector<Mirel::unistring>&)>;
    static void SetObserver(Observer observer);
};

}  // namespace Talon
