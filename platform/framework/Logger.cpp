#include "platform/framework/Logger.h"

#include <limits.h>
#include <poll.h>
#include <sys/uio.h>
#include <syslog.h>
#define SD_JOURNAL_SUPPRESS_LOCATION  // the record says where; the source line does not
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/framework/Events.h"
#include "platform/framework/IBS_Config.h"
#include "platform/support/DateTime.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"

namespace Talon {

namespace {

struct EventKind {
    int priority;
    const char* wording;
};

const std::map<Event, EventKind>& Wording() {
    static const std::map<Event, EventKind> table = {
        {Event::kFolderNotSetUp,
         {LOG_ERR, "The backup folder %1 could not be set up (error %e2)."}},
        {Event::kFoldersClearedKeptLastGood,
         {LOG_NOTICE,
          "The working folders were cleared; the last-good folders are kept, newest %1."}},
        {Event::kFoldersCleared,
         {LOG_NOTICE,
          "The working folders of the backup folder %1 were cleared (it has no last-good "
          "folder)."}},
        {Event::kFoldersNotCleared,
         {LOG_WARNING, "The backup folder %1 could not be cleared (error %e2)."}},
        {Event::kUploadNotRecorded,
         {LOG_WARNING, "The uploaded full backup %1 (%2) could not be recorded."}},
        {Event::kSetAside,
         {LOG_WARNING,
          "A rejected redo log or interval-done file was moved to %1 (error %e2){: %3}."}},
        {Event::kCopyNotDeleted,
         {LOG_WARNING, "The database copy %1 at %2 could not be deleted (error %e3)."}},
        {Event::kDatabaseNotPrepared,
         {LOG_WARNING, "The database %1 (%2) could not be prepared for redo logs (error %e3)."}},
        {Event::kLogNotApplied,
         {LOG_WARNING, "The redo log %1 could not be applied to database %2 (error %e3)."}},
        {Event::kContainerNotDeleted,
         {LOG_WARNING, "The old container folder of %1 at %2 could not be deleted (error %e3)."}},
        {Event::kContainerNotMoved,
         {LOG_WARNING, "The container folder of %1 at %2 could not be moved to %3 (error %e4)."}},
        {Event::kUploadContainerNotDeleted,
         {LOG_WARNING,
          "The container folder %1 left by a moved upload could not be deleted "
          "(error %e2)."}},
        {Event::kCopyNotMoved,
         {LOG_WARNING, "The database %1 at %2 could not be moved to %3 (error %e4)."}},
        {Event::kInProgressFolderNotMade,
         {LOG_WARNING, "The in-progress folder for %1 could not be created at %2 (error %e3)."}},
        {Event::kInProgressCopyNotMade,
         {LOG_WARNING, "The in-progress copy of %1 could not be made; failed at %2 (error %e3)."}},
        {Event::kPortTaken,
         {LOG_ERR, "The service cannot start: port %1 is already in use by another program."}},
        {Event::kNotRenamedToLastGood,
         {LOG_ERR, "The in-progress folder %1 could not be renamed to %2 (error %e3)."}},
        {Event::kIntervalRetried,
         {LOG_WARNING,
          "The interval ending %t1 could not be finished: the disk or the system failed it "
          "(error %e2). Nothing is lost; it is tried again in %3 s (0 s: when the server "
          "closes its next interval)."}},
        {Event::kStaleIntervalDone,
         {LOG_WARNING,
          "The interval-done file %1 ends at %T2, not after the interval ending %T3 that is "
          "already announced (did the server's clock go back?); it was set aside."}},
        {Event::kCopyDamaged,
         {LOG_WARNING,
          "The last-good copy %1 does not match its manifest (%2): it does not start an "
          "interval; an older copy does, or its database fails and a new full backup is "
          "asked for."}},
        {Event::kCallerRefused,
         {LOG_WARNING,
          "A call of %2 from %1 was refused: only root and the users and groups of preference "
          "80 may change the service (%3 refused since the previous record)."}},
        {Event::kDatabaseFailed,
         {LOG_WARNING,
          "Database %1 failed (error %e2): its newest last-good copy is kept, and its redo logs "
          "are set aside until a new full backup of it is uploaded."}},
        {Event::kDatabaseReplaced,
         {LOG_WARNING,
          "Database %1 replaced: %2 by %3. The new database owns the file name from this "
          "interval on; the old one's newest copy is kept and its redo logs are set aside."}},
        {Event::kOtherFileSystem,
         {LOG_ERR,
          "The folder %1 is on another file system than the backup folder %2 (error %e3): the "
          "backup folder is not used."}},
        {Event::kSetAsideFull,
         {LOG_WARNING,
          "The set-aside folder %1 is at its limit of %2 bytes (preference 81; it holds %3): "
          "files that were never taken are refused with 10729 and left where they are."}},
        {Event::kOffsiteFailing,
         {LOG_WARNING,
          "Copies off the host: the store failed (%1): %2. Nothing here is removed for it; the "
          "copier tries again in %3 s."}},
        {Event::kOffsiteResumed,
         {LOG_NOTICE,
          "Copies off the host: the store answers again after %1 failed push(es); pushing "
          "resumed."}},
        {Event::kOffsiteRefused,
         {LOG_ERR,
          "Copies off the host: restore point(s) of %1 refused, not pushed (the others are): "
          "%2."}},
    };
    return table;
}

bool UnderSystemd() {
    const char* id = std::getenv("INVOCATION_ID");
    return id && *id;
}

const char* PriorityWord(int priority) {
    switch (priority) {
        case LOG_ERR:
            return "error";
        case LOG_WARNING:
            return "warning";
        case LOG_NOTICE:
            return "notice";
        default:
            return "info";
    }
}

// The database a record is about: the identity in the header of the first database file
// or redo log its texts name, and that file's name. Best effort: a file that is gone or
// unreadable gives none.
Logger::Database DatabaseOf(const std::vector<std::string>& paths) {
    for (const std::string& p : paths) {
        auto ends = [&](const char* ext) {
            std::size_t n = std::strlen(ext);
            return p.size() > n && p.compare(p.size() - n, n, ext) == 0;
        };
        Mirel::unistring uuid;
        std::uint64_t msn = 0, start = 0, end = 0;
        bool closed = false;
        Mirel::UniversalPath path = Mirel::UniversalPath::FromNative(p);
        const std::string name = p.substr(p.rfind('/') + 1);
        if (ends(".vdb") && IBS_Config::GetDBInfo(path, uuid, msn).OK())
            return {uuid.ToUTF8(), name};
        if (ends(".vrl") && IBS_Config::GetRedoLogInfo(path, uuid, msn, start, end, closed).OK())
            return {uuid.ToUTF8(), std::string()};  // a log's name is not its database's
    }
    return {};
}

// Sends the fields to the journal; false when it is not there to take them.
bool SendToJournal(const std::vector<std::string>& fields) {
    // sd_journal_send reports success when the journal's socket is missing: look first.
    if (!UnderSystemd() || !Mirel::Os::Stat("/run/systemd/journal/socket").exists) return false;
    std::vector<iovec> iov;
    for (const auto& f : fields) iov.push_back({const_cast<char*>(f.data()), f.size()});
    return ::sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0;
}

void SendToSyslog(int priority, const std::string& line) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog("talonib", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
    ::syslog(priority, "%s", line.c_str());
}

std::mutex gEchoM;

// In the foreground the operator sees the line where the service runs. Never at the cost of
// the service: a line that standard error cannot take at once (a pipe nobody reads, a
// terminal on hold) is dropped; the journal or syslog has it.
void Echo(int priority, const std::string& line) {
    if (UnderSystemd()) return;
    std::string out = "talonib: " + std::string(PriorityWord(priority)) + ": " + line;
    if (out.size() >= PIPE_BUF) out.resize(PIPE_BUF - 1);  // taken whole or not at all
    out += "\n";
    std::lock_guard<std::mutex> g(gEchoM);
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return;
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, out.data(), out.size());
}

std::mutex gObserverM;
Logger::Observer gObserver;

}  // namespace

namespace {

bool Decimal(const std::string& t, std::int64_t& v) {
    if (t.empty() || t.size() > 19) return false;
    std::size_t i = t[0] == '-' ? 1 : 0;
    if (i == t.size()) return false;
    std::int64_t n = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        n = n * 10 + (t[i] - '0');
    }
    v = t[0] == '-' ? -n : n;
    return true;
}

// One text as the wording asks: %N as it is, %eN an error number with its words, %tN a UTC
// time in microseconds as a date and time (%TN with the second's fraction). A text that is
// not a number stays as it is.
std::string Substitute(char kind, const std::string& text) {
    std::int64_t v = 0;
    if (kind == 0 || !Decimal(text, v)) return text;
    if (kind == 'e') return Mirel::ErrorText(static_cast<int>(v));
    if (v < 0) return text;
    return Mirel::UtcText(static_cast<std::uint64_t>(v), kind == 'T' ? 6 : 0);
}

// The wording from `p` to `end` with the texts put in. A part in braces is left out unless
// every text it names is there and not empty.
std::string Fill(const char* p, const char* end, const std::vector<Mirel::unistring>& texts,
                 bool* missing) {
    std::string out;
    for (; p < end; ++p) {
        if (*p == '{') {
            const char* close = p;
            while (close < end && *close != '}') ++close;
            bool gap = false;
            std::string part = Fill(p + 1, close, texts, &gap);
            if (!gap) out += part;
            p = close;
            continue;
        }
        const bool typed =
            p[0] == '%' && end - p > 2 && (p[1] == 'e' || p[1] == 't' || p[1] == 'T');
        const char* digit = p + (typed ? 2 : 1);
        if (p[0] != '%' || digit >= end || *digit < '1' || *digit > '4') {
            out += *p;
            continue;
        }
        const std::size_t i = static_cast<std::size_t>(*digit - '1');
        const std::string text = i < texts.size() ? texts[i].ToUTF8() : std::string();
        if (text.empty() && missing) *missing = true;
        out += Substitute(typed ? p[1] : 0, text);
        p = digit;
    }
    return out;
}

}  // namespace

std::string Logger::FormatEvent(std::int32_t code, const std::vector<Mirel::unistring>& texts) {
    auto it = Wording().find(static_cast<Event>(static_cast<std::uint32_t>(code)));
    if (it != Wording().end()) {
        const char* w = it->second.wording;
        return Fill(w, w + std::strlen(w), texts, nullptr);
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "Event 0x%08x:", static_cast<std::uint32_t>(code));
    std::string out = buf;
    for (const auto& t : texts) out += " '" + t.ToUTF8() + "'";
    return out;
}

std::vector<std::pair<std::uint32_t, std::string>> Logger::EventTable() {
    std::vector<std::pair<std::uint32_t, std::string>> out;
    for (const auto& [event, kind] : Wording())
        out.emplace_back(static_cast<std::uint32_t>(event), kind.wording);
    return out;
}

int Logger::SyslogPriority(std::int32_t code) {
    auto it = Wording().find(static_cast<Event>(static_cast<std::uint32_t>(code)));
    if (it != Wording().end()) return it->second.priority;
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

std::vector<std::string> Logger::JournalFields(std::int32_t code,
                                               const std::vector<Mirel::unistring>& texts,
                                               const Database* database) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08x", static_cast<std::uint32_t>(code));
    std::vector<std::string> fields = {
        "MESSAGE=[" + std::string(number) + "] " + FormatEvent(code, texts),
        "PRIORITY=" + std::to_string(SyslogPriority(code)),
        "SYSLOG_IDENTIFIER=talonib",
        "VELLUMARK_EVENT=" + std::string(number),
    };
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < texts.size() && i < 4; ++i) {
        std::string t = texts[i].ToUTF8();
        fields.push_back("VELLUMARK_TEXT" + std::to_string(i + 1) + "=" + t);
        if (!t.empty() && t[0] == '/') paths.push_back(t);
    }
    for (const std::string& p : paths) fields.push_back("VELLUMARK_PATH=" + p);
    Database db = database ? *database : DatabaseOf(paths);
    if (!db.uuid.empty()) fields.push_back("VELLUMARK_DATABASE_UUID=" + db.uuid);
    if (!db.name.empty()) fields.push_back("VELLUMARK_DATABASE_NAME=" + db.name);
    return fields;
}

void Logger::WriteSysLog(std::int32_t code, const std::vector<Mirel::unistring>& texts, bool echo,
                         const Database* database) {
    char number[24];
    std::snprintf(number, sizeof number, "[0x%08x] ", static_cast<std::uint32_t>(code));
    const std::string line = number + FormatEvent(code, texts);
    const int priority = SyslogPriority(code);
    if (!SendToJournal(JournalFields(code, texts, database))) SendToSyslog(priority, line);
    if (echo) Echo(priority, line);
    std::lock_guard<std::mutex> g(gObserverM);
    if (gObserver) gObserver(code, texts);
}

void Logger::WriteLine(int priority, const std::string& message,
                       const std::vector<std::string>& fields) {
    std::vector<std::string> all = {"MESSAGE=" + message, "PRIORITY=" + std::to_string(priority),
                                    "SYSLOG_IDENTIFIER=talonib"};
    all.insert(all.end(), fields.begin(), fields.end());
    if (!SendToJournal(all)) SendToSyslog(priority, message);
    Echo(priority, message);
}

void Logger::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> g(gObserverM);
    gObserver = std::move(observer);
}

}  // namespace Talon
