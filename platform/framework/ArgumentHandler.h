// Command-line keywords. "install" and "installm" register the service with systemd as the
// unit vellumark-ibs.service (enabled, or installed only); "remove" takes it away.
// The unit folder is $VELLUMARK_UNIT_DIR, else /etc/systemd/system; it must exist.
#pragma once

#include <string>

#include "platform/framework/TalonError.h"
#include "platform/support/unistring.h"

namespace Talon {

class AppBase;

class ArgumentHandler {
public:
    enum eResults { kNotHandled = 0, kHandled = 1, kFailed = 2 };

    explicit ArgumentHandler(const char16_t* keyword) : mKeyword(keyword) {}
    virtual ~ArgumentHandler() = default;
    virtual eResults Process() = 0;
    // A further command-line argument after the keyword; none are taken by default.
    virtual eResults ProcessNext(const Mirel::unistring& arg);

    const char16_t* GetKeyword() const { return mKeyword; }
    void SetApp(AppBase* app) { mApp = app; }

protected:
    AppBase* mApp = nullptr;

private:
    const char16_t* mKeyword;
};

class InstallArgHandler : public ArgumentHandler {
public:
    using ArgumentHandler::ArgumentHandler;
    // Start type 2: automatic (the unit is enabled); 3: on demand (installed, not enabled).
    eResults InstallService(int startType);
};

class InstallAutoArgHandler : public InstallArgHandler {
public:
    using InstallArgHandler::InstallArgHandler;
    eResults Process() override { return InstallService(2); }
};

class InstallManualArgHandler : public InstallArgHandler {
public:
    using InstallArgHandler::InstallArgHandler;
    eResults Process() override { return InstallService(3); }
};

class RemoveArgHandler : public ArgumentHandler {
public:
    using ArgumentHandler::ArgumentHandler;
    eResults Process() override;
};

struct ServiceUnit {
    static constexpr const char* kUnitName = "vellumark-ibs.service";
    // The group the unit runs the service with (Group=): it owns what the service creates.
    static constexpr const char* kGroupName = "vellumark";
    static std::string UnitFolder();
    static std::string UnitText(const std::string& executable, const std::string& description);
    // The talonib the unit runs: this one when it is installed; from the build tree, the
    // installed one. Empty, with `problem` saying why, when there is none.
    static std::string InstalledExecutable(std::string& problem);
};

}  // namespace Talon
