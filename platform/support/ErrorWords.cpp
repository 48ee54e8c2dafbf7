#include "platform/support/ErrorCodes.h"

namespace Mirel {

const char* ErrorWords(int e) {
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
            return "unknown error";
    }
}

std::string ErrorText(int e) {
    return std::to_string(e) + " " + ErrorWords(e);
}

}  // namespace Mirel
