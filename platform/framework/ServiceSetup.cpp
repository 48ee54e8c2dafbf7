#include "platform/framework/ServiceSetup.h"

#include <cstdlib>

#include "platform/framework/Prefs.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"
#include "platform/support/UniversalPath.h"

namespace Talon {

int ReadServicePrefs(const std::string& file, ServicePrefs& prefs, std::string& problem) {
    prefs = ServicePrefs();
    problem.clear();
    XMLPrefs store;
    PrefsHandle handle;
    if (!store.Open(handle, file).OK()) {
        problem = store.GetProblem();
        return Mirel::kErrPrefsMalformed;
    }
    prefs.present = Mirel::Os::Stat(file).exists;
    const std::map<int, int> listed = store.Listed(handle);
    auto at = [&](int id) {
        auto it = listed.find(id);
        return file + (it == listed.end() ? std::string() : ":" + std::to_string(it->second));
    };
    for (const auto& [id, line] : listed) {
        if (id == kPrefFolderConfigured || id == kPrefBackupFolder || id == kPrefAllowedCallers ||
            id == kPrefRejectedLimit || id == kPrefKeepRestorePoints || id == kPrefKeepHours ||
            id == kPrefOffsiteCredentials || id == kPrefOffsitePrefix ||
            id == kPrefOffsiteBytesPerSecond)
            continue;
        // A mistyped number would otherwise be ignored and the intended setting lost.
        problem =
            at(id) + ": unknown preference " + std::to_string(id) +
            "; the service reads 67 (1: a backup folder is configured), 68 (its path), "
            "80 (the allowed callers), 81 (the set-aside limit in bytes), 82 (the restore "
            "points to keep), 83 (the hours to keep restore points), 84 (the off-host "
            "repository's credentials file), 85 (the prefix of its keys) and 86 (the bytes per "
            "second the copier may send)";
        return Mirel::kErrPrefsMalformed;
    }
    Mirel::unistring callers;
    Error callersRead = store.GetPref(handle, kPrefAllowedCallers, callers);
    if (!callersRead.OK() && callersRead.GetError() != Mirel::kErrPrefNotFound) {
        // Read as the default instead, it could let in callers the operator meant to keep out.
        problem =
            at(kPrefAllowedCallers) + ": preference 80 (the allowed callers) must be of type text";
        return Mirel::kErrPrefsMalformed;
    }
    std::int64_t limit = 0;
    Error limitRead = store.GetPref(handle, kPrefRejectedLimit, limit);
    if ((!limitRead.OK() && limitRead.GetError() != Mirel::kErrPrefNotFound) || limit < 0) {
        // Read as the default instead, junk could fill the disk the operator meant to spare.
        problem = at(kPrefRejectedLimit) +
                  ": preference 81 (the set-aside limit in bytes) must be a number of type int, "
                  "0 or more";
        return Mirel::kErrPrefsMalformed;
    }
    // Read as the default instead, restore points the operator meant to keep would go.
    std::int64_t keep = Retention::kDefaultCount;
    Error keepRead = store.GetPref(handle, kPrefKeepRestorePoints, keep);
    if ((!keepRead.OK() && keepRead.GetError() != Mirel::kErrPrefNotFound) || keep < 2 ||
        keep > Retention::kMaxCount) {
        problem = at(kPrefKeepRestorePoints) +
                  ": preference 82 (the restore points to keep) must be a number of type int, "
                  "2 to 100000";
        return Mirel::kErrPrefsMalformed;
    }
    std::int64_t hours = 0;
    Error hoursRead = store.GetPref(handle, kPrefKeepHours, hours);
    if ((!hoursRead.OK() && hoursRead.GetError() != Mirel::kErrPrefNotFound) || hours < 0 ||
        hours > Retention::kMaxHours) {
        problem = at(kPrefKeepHours) +
                  ": preference 83 (the hours to keep restore points) must be a number of type "
                  "int, 0 to 876000";
        return Mirel::kErrPrefsMalformed;
    }
    prefs.retention.count = keep;
    prefs.retention.hours = hours;
    Mirel::unistring offsite;
    Error offsiteRead = store.GetPref(handle, kPrefOffsiteCredentials, offsite);
    if (offsiteRead.OK()) {
        prefs.offsiteCredentials = Mirel::TrimBlanks(offsite.ToUTF8());
        if (prefs.offsiteCredentials.empty() || prefs.offsiteCredentials[0] != '/') {
            problem = at(kPrefOffsiteCredentials) +
                      ": preference 84 (the off-host repository's credentials file) must be an "
                      "absolute path of type text";
            return Mirel::kErrPrefsMalformed;
        }
    } else if (offsiteRead.GetError() != Mirel::kErrPrefNotFound) {
        problem = at(kPrefOffsiteCredentials) +
                  ": preference 84 (the off-host repository's credentials file) must be an "
                  "absolute path of type text";
        return Mirel::kErrPrefsMalformed;
    }
    Mirel::unistring prefix;
    Error prefixRead = store.GetPref(handle, kPrefOffsitePrefix, prefix);
    if (prefixRead.OK()) {
        prefs.offsitePrefix = Mirel::TrimBlanks(prefix.ToUTF8());
    } else if (prefixRead.GetError() != Mirel::kErrPrefNotFound) {
        problem = at(kPrefOffsitePrefix) +
                  ": preference 85 (the prefix of the off-host keys) must be of type text";
        return Mirel::kErrPrefsMalformed;
    }
    std::int64_t rate = 0;
    Error rateRead = store.GetPref(handle, kPrefOffsiteBytesPerSecond, rate);
    if ((!rateRead.OK() && rateRead.GetError() != Mirel::kErrPrefNotFound) || rate < 0) {
        problem = at(kPrefOffsiteBytesPerSecond) +
                  ": preference 86 (the bytes per second the copier may send) must be a number "
                  "of type int, 0 or more";
        return Mirel::kErrPrefsMalformed;
    }
    prefs.offsiteBytesPerSecond = rate;
    std::int64_t configured = 0;
    Error e = store.GetPref(handle, kPrefFolderConfigured, configured);
    if (e.GetError() == Mirel::kErrPrefWrongType) {
        problem = at(kPrefFolderConfigured) + ": preference 67 must be of type int (0 or 1)";
        return Mirel::kErrPrefsMalformed;
    }
    prefs.configured = e.OK() && configured != 0;
    if (!prefs.configured) return 0;
    Mirel::unistring text;
    e = store.GetPref(handle, kPrefBackupFolder, text);
    if (e.GetError() == Mirel::kErrPrefNotFound) {
        problem = at(kPrefFolderConfigured) +
                  ": preference 67 says a backup folder is configured but preference 68, its "
                  "path, is not there";
        return Mirel::kErrPrefsMalformed;
    }
    if (!e.OK()) {
        problem = at(kPrefBackupFolder) +
                  ": preference 68 must be of type text (the backup folder's absolute path)";
        return Mirel::kErrPrefsMalformed;
    }
    // The manager trims the value the same way: a pretty-printed file wraps it in blanks.
    std::string path = Mirel::TrimBlanks(text.ToUTF8());
    Mirel::UniversalPath parsed;
    if (path.empty() || path[0] != '/' ||
        !parsed.SetUserEntryFormat(Mirel::unistring::FromUTF8(path))) {
        problem =
            at(kPrefBackupFolder) + ": preference 68 is not an absolute path: \"" + path + "\"";
        return Mirel::kErrPrefsMalformed;
    }
    parsed.MakeFolder();
    prefs.backupFolder = parsed.Native();
    return 0;
}

int CheckBackupFolderPlace(const std::string& folder, std::string& problem) {
    problem.clear();
    Mirel::Os::Info info = Mirel::Os::Stat(folder);
    if (info.exists) {
        if (Mirel::Os::IsFolder(folder)) return 0;
        problem = "the backup folder " + folder + " is not a folder";
        return Mirel::kErrNotADirectory;
    }
    std::string parent = Mirel::Os::ParentOf(folder);
    if (Mirel::Os::IsFolder(parent)) return 0;
    // Creating the whole path could put the backup on the wrong disk (a mount point not
    // mounted yet), so only the last folder is ever created.
    problem = "the parent folder " + parent + " of the backup folder " + folder +
              " does not exist: create it (the service creates only the backup folder itself), "
              "or correct preference 68";
    return Mirel::kErrPathNotFound;
}

std::string InstanceLockPath() {
    const char* env = std::getenv("VELLUMARK_RUN_DIR");
    return std::string(env && *env ? env : "/run/vellumark") + "/talonib.lock";
}

long InstanceLockPid() {
    const std::string path = InstanceLockPath();
    int fd = -1;
    if (Mirel::Os::OpenRead(path, fd) != 0) return 0;
    char text[32] = {};
    std::size_t got = 0;
    Mirel::Os::PReadAll(fd, text, sizeof text - 1, 0, got, path);
    Mirel::Os::Close(fd);
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    return end != text && (*end == '\n' || *end == '\0') && pid > 0 ? pid : 0;
}

}  // namespace Talon
