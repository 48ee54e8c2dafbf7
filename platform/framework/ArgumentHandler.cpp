#include "platform/framework/ArgumentHandler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "platform/framework/AppBase.h"
#include "platform/support/Directory.h"
#include "platform/support/Os.h"

namespace Talon {

namespace {

std::string SelfPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "/usr/local/bin/talonib";
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

}  // namespace

ArgumentHandler::eResults ArgumentHandler::ProcessNext(const Mirel::unistring&) {
    return kNotHandled;
}

std::string ServiceUnit::UnitFolder() {
    const char* env = std::getenv("VELLUMARK_UNIT_DIR");
    return env && *env ? env : "/etc/systemd/system";
}

std::string ServiceUnit::UnitText(const std::string& executable, const std::string& description) {
    return "[Unit]\n"
           "Description=" +
           description +
           "\n"
           "After=network.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           executable +
           "\n"
           "Restart=on-failure\n"
           "KillSignal=SIGTERM\n"
           "TimeoutStopSec=60\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

ArgumentHandler::eResults InstallArgHandler::InstallService(int startType) {
    std::string folder = ServiceUnit::UnitFolder();
    std::string unit = folder + "/" + ServiceUnit::kUnitName;
    std::string description = mApp ? mApp->GetDisplayName() : "Vellumark Corrivane Backup";
    if (!Mirel::Directory(Mirel::UniversalPath::Folder(folder)).CreateIfNotExists().OK()) {
        std::cerr << "Cannot create the unit folder " << folder << "\n";
        return kFailed;
    }
    {
        std::ofstream out(unit + ".tmp", std::ios::trunc);
        out << ServiceUnit::UnitText(SelfPath(), description);
        out.close();
        if (!out || std::rename((unit + ".tmp").c_str(), unit.c_str()) != 0) {
            std::cerr << "Cannot write " << unit << "\n";
            return kFailed;
        }
    }
    std::string link = WantsLink(folder);
    ::unlink(link.c_str());
    if (startType == 2) {
        Mirel::Directory(Mirel::UniversalPath::Folder(folder + "/multi-user.target.wants"))
            .CreateIfNotExists();
        if (::symlink(unit.c_str(), link.c_str()) != 0) {
            std::cerr << "Cannot enable " << unit << "\n";
            return kFailed;
        }
    }
    ReloadSystemd(folder);
    std::cout << "Installed " << unit
              << (startType == 2 ? " (starts automatically)" : " (starts on demand)") << "\n";
    return kHandled;
}

ArgumentHandler::eResults RemoveArgHandler::Process() {
    std::string folder = ServiceUnit::UnitFolder();
    std::string unit = folder + "/" + ServiceUnit::kUnitName;
    ::unlink(WantsLink(folder).c_str());
    if (::unlink(unit.c_str()) != 0 && errno != ENOENT) {
        std::cerr << "Cannot remove " << unit << "\n";
        return kFailed;
    }
    ReloadSystemd(folder);
    std::cout << "Removed " << unit << "\n";
    return kHandled;
}

}  // namespace Talon
