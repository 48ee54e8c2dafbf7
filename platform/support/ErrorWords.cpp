#include <cerrno>
#include <cstring>

#include "platform/support/Error.h"

namespace Mirel {

namespace {
// The words of the numbers of the table; null for any other number.
const char* TableWords(int e) {
    switch (e) {
        case kErrNone:
            return "success";
        case kErrGeneric:
            return "failure";
        case kErrBadPathFormat:
            return "path not in command-line form";
        case kErrNoFullBackup:
            return "no usable full backup";
        case kErrFileNotTaken:
            return "file not taken";
        case kErrFoldersNotReady:
            return "backup folder not set up";
        case kErrInvalidFile:
            return "invalid file";
        case kErrCopyFailed:
            return "the copy could not be made";
        case kErrNoStartingCopy:
            return "no starting copy";
        case kErrLogWrongDatabase:
            return "the redo log belongs to another database";
        case kErrLogChainBreak:
            return "the redo log does not continue the database";
        case kErrDatabaseInvalid:
            return "not a valid database";
        case kErrEngineNotStarted:
            return "database engine not started";
        case kErrAborted:
            return "stopped";
        case kErrShortcutFailed:
            return "an older copy could not be brought forward";
        case kErrReplaced:
            return "replaced by another database";
        case kErrCopyDamaged:
            return "the copy does not match its manifest";
        case kErrStaleIntervalDone:
            return "the interval-done file ends before what is published";
        case kErrRejectedFull:
            return "the set-aside folder is at its limit";
        case kErrPathNotFound:
            return "no such file or folder";
        case kErrAlreadyExists:
            return "already exists";
        case kErrNotEmpty:
            return "folder not empty";
        case kErrCrossDevice:
            return "on another file system";
        case kErrNotADirectory:
            return "not a folder";
        case kErrIsADirectory:
            return "is a folder";
        case kErrIsALink:
            return "is a symbolic link";
        case kErrNotAFile:
            return "not a regular file";
        case kErrAccessDenied:
            return "permission denied or read-only file system";
        case kErrFileLocked:
            return "file locked";
        case kErrNoIntervalDone:
            return "no interval-done file";
        case kErrNoTempName:
            return "no temporary name free";
        case kErrDiskFull:
            return "no space left on the backup volume";
        case kErrIO:
            return "input/output error";
        case kErrLinkNotSupported:
            return "hard links not supported";
        case kErrTooManyLinks:
            return "too many hard links";
        case kErrNameTooLong:
            return "name too long";
        case kErrNotOpen:
            return "file not open";
        case kErrTooManyFiles:
            return "too many open files";
        case kErrNoMemory:
            return "out of memory";
        case kErrOS:
            return "system error";
        case kErrPrefsMalformed:
            return "bad preference file";
        case kErrPrefNotFound:
            return "preference not set";
        case kErrPrefWrongType:
            return "preference of the wrong type";
        case kErrPortInUse:
            return "port in use";
        case kErrHubUnreachable:
            return "event hub unreachable";
        case kErrAnotherInstance:
            return "another instance runs";
        case kErrStartRefused:
            return "start refused";
        case kErrOSUnsuitable:
            return "the machine cannot run the service";
        default:
            return nullptr;
    }
}
}  // namespace

const char* ErrorWords(int e) {
    if (const char* w = TableWords(e)) return w;
    if (int n = SystemErrno(e)) {
        const char* d = ::strerrordesc_np(n);
        return d ? d : "unknown system error";
    }
    return "unknown error";
}

ErrorKind KindOf(int e) {
    switch (e) {
        case kErrNone:
            return ErrorKind::kNone;
        case kErrAccessDenied:  // a read-only file system, as root
        case kErrFileLocked:
        case kErrDiskFull:
        case kErrIO:
        case kErrTooManyFiles:
        case kErrNoMemory:
        case kErrEngineNotStarted:
        case kErrAborted:
        case kErrOS:
            return ErrorKind::kEnvironment;
        case kErrGeneric:
        case kErrNotOpen:
            return ErrorKind::kBug;
        default:
            break;
    }
    if (int n = SystemErrno(e)) {
        switch (n) {
            // Passing states of a network or user-space file system, or of the kernel.
            case EAGAIN:
            case ETIMEDOUT:
            case ESTALE:
            case ENOLCK:
            case ENOBUFS:
            case ECONNRESET:
            case ECONNREFUSED:
            case ECONNABORTED:
            case ENOTCONN:
            case ENETDOWN:
            case ENETUNREACH:
            case EHOSTUNREACH:
                return ErrorKind::kEnvironment;
            default:
                return ErrorKind::kBug;
        }
    }
    // The numbers of the table: a file's or a request's own fault. Anything else is no
    // number of ours.
    return TableWords(e) ? ErrorKind::kData : ErrorKind::kBug;
}

namespace {
std::string Words(int e) {
    if (int n = SystemErrno(e)) {
        const char* name = ::strerrorname_np(n);
        return std::string("system error ") + (name ? name : std::to_string(n).c_str()) + " (" +
               ErrorWords(e) + ")";
    }
    return ErrorWords(e);
}
}  // namespace

std::string ErrorText(int e) {
    return std::to_string(e) + " " + Words(e);
}

std::string DescribeWait(int e, const std::string& what, const std::string& words) {
    if (!what.empty()) return Describe(Error(e, what, std::string()));
    return words.empty() ? "error " + ErrorText(e) : "error " + std::to_string(e) + " " + words;
}

std::string Describe(const Error& e) {
    if (e.Operation().empty()) return ErrorText(e.GetError());
    std::string t = e.Operation();
    if (!e.Path().empty()) t += " " + e.Path();
    return t + " failed: " + Words(e.GetError()) + " (" + std::to_string(e.GetError()) + ")";
}

}  // namespace Mirel
