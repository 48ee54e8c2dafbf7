// What the service needs from its machine before it starts, judged the same way by the
// service and by the operator's pre-flight (ibsdb check): its preferences as a whole (a file
// that parses can still name no usable backup folder), the place of the backup folder, and
// the single-instance lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/framework/Retention.h"

namespace Talon {

// The preferences the service reads: 67 (a backup folder is configured when not 0), 68
// (that folder's absolute path), 80 (who may drive the service besides root), 81 (the
// most bytes the set-aside folder may hold), 82 (how many restore points are kept whole) and
// 83 (for how many hours they are kept whole).
inline constexpr int kPrefFolderConfigured = 67;
inline constexpr int kPrefBackupFolder = 68;
inline constexpr int kPrefAllowedCallers = 80;
inline constexpr int kPrefRejectedLimit = 81;
inline constexpr int kPrefKeepRestorePoints = 82;
inline constexpr int kPrefKeepHours = 83;
// 84: the credentials file of the off-host repository (docs/offsite.md); set, the service
// pushes each new last-good folder there. 85: the prefix of its keys there.
inline constexpr int kPrefOffsiteCredentials = 84;
inline constexpr int kPrefOffsitePrefix = 85;
// 86: the most bytes per second the copier sends (and receives); 0 or unset, no limit.
inline constexpr int kPrefOffsiteBytesPerSecond = 86;

struct ServicePrefs {
    bool present = false;            // false: no file, an empty store
    bool configured = false;         // preference 67 is not 0
    std::string backupFolder;        // preference 68 without surrounding blanks, when configured
    Retention retention;             // preferences 82 and 83, or their defaults
    std::string offsiteCredentials;  // preference 84 (empty: no copies off the host)
    std::string offsitePrefix;       // preference 85
    std::int64_t offsiteBytesPerSecond = 0;  // preference 86 (0: no limit)
};

// 0 when the service can start with the preference file `file`; otherwise
// kErrPrefsMalformed and `problem` holds "FILE[:LINE]: what is wrong", one line.
// Refused: a file that does not parse, a preference the service does not know, 67 set
// without a 68 that holds an absolute path, an 80 that is not text, an 81 that is not an int
// of 0 or more, an 82 that is not an int of 2 to 100000, an 83 that is not an int of 0 to
// 876000 (100 years), an 84 that is not an absolute path of type text, an 85 that is not text,
// an 86 that is not an int of 0 or more.
int ReadServicePrefs(const std::string& file, ServicePrefs& prefs, std::string& problem);

// 0 when the service may set up `folder`: it is a folder, or its parent is (the service
// creates only the last folder of the path). Otherwise kErrPathNotFound or
// kErrNotADirectory, and `problem` says what is wrong and what to do.
int CheckBackupFolderPlace(const std::string& folder, std::string& problem);

// The single-instance lock ($VELLUMARK_RUN_DIR, else /run/vellumark, + "/talonib.lock"),
// and the process id the instance holding it wrote into it (0 when there is none to read).
std::string InstanceLockPath();
long InstanceLockPid();

}  // namespace Talon
