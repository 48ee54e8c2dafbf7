#include "platform/framework/ArgumentHandler.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "ibs_install.h"

#include "platform/framework/AppBase.h"
#include "platform/support/Directory.h"
#include "platform/support/Os.h"

namespace Talon {

namespace {

std::string SelfPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = '\0';
    return buf;
}

std::string WantsLink(const std::string& folder) {
    return folder + "/multi-user.target.wants/" + ServiceUnit::kUnitName;
}

// Only the real unit folder of a running systemd needs to hear about the change.
void ReloadSystemd(const std::string& folder) {
    if (folder != "/etc/systemd/system") return;
    if (!Mirel::Os::Stat("/run/systemd/system").isDir) return;
    if (std::system("systemctl daemon-reload >/dev/null 2>&1") != 0)
        std::cerr << "systemctl daemon-reload failed\n";
}

void Refuse(const std::string& keyword, const std::string& what) {
    std::cerr << "talonib " << keyword << ": " << what << std::endl;
}

// The unit runs the service with the group vellumark, and systemd refuses to start a unit
// whose group does not exist. Only for the real unit folder: a unit written elsewhere is
// for another root, whose groups are not this system's.
bool EnsureServiceGroup(const std::string& keyword, const std::string& folder) {
    if (folder != "/etc/systemd/system" || ::getgrnam(ServiceUnit::kGroupName) != nullptr)
        return true;
    std::string command = std::string("groupadd --system ") + ServiceUnit::kGroupName;
    if (std::system(command.c_str()) != 0) {
        Refuse(keyword, std::string("cannot create the group ") + ServiceUnit::kGroupName +
                            " that the unit runs the service with (" + command +
                            " failed): create it, then run talonib " + keyword + " again");
        return false;
    }
    std::cout << "Created the system group " << ServiceUnit::kGroupName << "\n";
    return true;
}

// The unit folder must exist (a mistyped VELLUMARK_UNIT_DIR must not create folders) and
// be writable by us.
bool UnitFolderUsable(const std::string& keyword, const std::string& folder) {
    Mirel::Os::Info info = Mirel::Os::Stat(folder);
    if (!info.exists) {
        Refuse(keyword, "the unit folder " + folder +
                            " does not exist; is systemd installed? (VELLUMARK_UNIT_DIR "
                            "names another folder)");
        return false;
    }
    if (!info.isDir) {
        Refuse(keyword, folder + " is not a folder");
        return false;
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        Refuse(keyword, ::geteuid() != 0
                            ? "cannot write the unit folder " + folder + ": run it as root"
                            : "cannot write the unit folder " + folder + " (read-only?)");
        return false;
    }
    return true;
}

void Replace(std::string& text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

}  // namespace

ArgumentHandler::eResults ArgumentHandler::ProcessNext(const Mirel::unistring&) {
    return kNotHandled;
}

std::string ServiceUnit::UnitFolder() {
    const char* env = std::getenv("VELLUMARK_UNIT_DIR");
    return env && *env ? env : "/etc/systemd/system";
}

std::string ServiceUnit::UnitText(const std::string& executable, const std::string& description) {
    std::string text = kIbsUnitTemplate;
    Replace(text, "@TALONIB@", executable);
    Replace(text, "@DESCRIPTION@", description);
    return text;
}

std::string ServiceUnit::InstalledExecutable(std::string& problem) {
    std::string self = SelfPath();
    std::string build = IBS_BUILD_DIR;
    build += "/";
    if (!self.empty() && self.compare(0, build.size(), build) != 0) return self;
    // The build tree's binary is not what a service should run: the installed one is.
    if (Mirel::Os::Stat(IBS_INSTALLED_TALONIB).isFile) return IBS_INSTALLED_TALONIB;
    problem = (self.empty() ? std::string("this talonib") : self) +
              " is the build tree's and " IBS_INSTALLED_TALONIB
              " does not exist: install talonib first (cmake --install, or the package)";
    return std::string();
}

ArgumentHandler::eResults InstallArgHandler::InstallService(int startType) {
    const std::string keyword = startType == 2 ? "install" : "installm";
    std::string problem;
    std::string executable = ServiceUnit::InstalledExecutable(problem);
    if (executable.empty()) {
        Refuse(keyword, problem);
        return kFailed;
    }
    std::string folder = ServiceUnit::UnitFolder();
    if (!UnitFolderUsable(keyword, folder)) return kFailed;
    if (!EnsureServiceGroup(keyword, folder)) return kFailed;
    std::string unit = folder + "/" + ServiceUnit::kUnitName;
    std::string description = mApp ? mApp->GetDisplayName() : "Vellumark Corrivane Backup";
    std::string text = ServiceUnit::UnitText(executable, description);
    std::string tmp = unit + ".tmp";
    int fd = -1;
    int rc = Mirel::Os::OpenWrite(tmp, true, true, fd);
    if (rc == 0) rc = Mirel::Os::PWriteAll(fd, text.data(), text.size(), 0, tmp);
    if (rc == 0) rc = Mirel::Os::SyncFile(fd, tmp);
    if (fd >= 0) Mirel::Os::Close(fd);
    if (rc == 0) rc = Mirel::Os::ReplaceDurable(tmp, unit);
    if (rc != 0) {
        Mirel::Os::DeleteFile(tmp);
        Refuse(keyword, "cannot write " + unit + " (" + AppBase::DescribeError(rc) + ")");
        return kFailed;
    }
    std::string link = WantsLink(folder);
    Mirel::Os::DeleteFile(link);
    if (startType == 2) {
        // The wants folder is systemd's own convention inside the unit folder.
        Mirel::Directory(Mirel::UniversalPath::Folder(folder + "/multi-user.target.wants"))
            .CreateIfNotExists();
        if (::symlink(unit.c_str(), link.c_str()) != 0) {
            Refuse(keyword, "cannot enable " + unit + ": " + std::strerror(errno));
            return kFailed;
        }
    }
    ReloadSystemd(folder);
    std::cout << "Installed " << unit << " running " << executable
              << (startType == 2 ? " (starts automatically)" : " (starts on demand)") << "\n";
    return kHandled;
}

ArgumentHandler::eResults RemoveArgHandler::Process() {
    std::string folder = ServiceUnit::UnitFolder();
    std::string unit = folder + "/" + ServiceUnit::kUnitName;
    if (!UnitFolderUsable("remove", folder)) return kFailed;
    Mirel::Os::DeleteFile(WantsLink(folder));
    int rc = Mirel::Os::DeleteFile(unit);
    if (rc != 0 && rc != Mirel::kErrPathNotFound) {
        Refuse("remove", "cannot remove " + unit + " (" + AppBase::DescribeError(rc) + ")");
        return kFailed;
    }
    ReloadSystemd(folder);
    std::cout << "Removed " << unit << "\n";
    return kHandled;
}

}  // namespace Talon
