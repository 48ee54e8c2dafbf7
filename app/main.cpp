// Process entry: the OS interface, the service callbacks, the command-line keywords and
// the run-state dispatch.
#include <omniORB4/CORBA.h>

#include <iostream>

#include "app/DidoraRezaraApp.h"
#include "ibs_version.h"
#include "platform/framework/ArgumentHandler.h"
#include "platform/framework/OSInterface.h"
#include "platform/framework/Prefs.h"
#include "platform/framework/ServiceSetup.h"
#include "platform/objectstore/Config.h"
#include "platform/support/Debug.h"
#include "platform/support/Os.h"
#include "platform/support/Thread.h"

namespace {

class VersionArgHandler : public Talon::ArgumentHandler {
public:
    using Talon::ArgumentHandler::ArgumentHandler;
    eResults Process() override {
        std::cout << "talonib " << IBS_VERSION << std::endl;
        return kHandled;
    }
};

// The credentials file the copier would use, read as it will be: a secret others may read is
// refused here rather than at the first push.
bool OffsiteCredentialsUsable(const Talon::ServicePrefs& prefs, std::string& line) {
    ObjectStore::Config config;
    const ObjectStore::Status s = ObjectStore::LoadCredentials(prefs.offsiteCredentials, config);
    if (s.ok()) return true;
    line = "the off-host repository's credentials cannot be used: " + s.message;
    return false;
}

// Preferences the service cannot run with stop the start with one line that names the file
// (and the line) and the fault: a file that does not parse, a preference it does not know,
// allowed callers that are not text, a backup folder configured without a usable path, or
// one whose parent folder is missing.
// A missing file is fine: the store is empty.
bool CheckPreferences(Talon::AppBase& app, Talon::Error& error) {
    std::string designation = Talon::PrefKeys::Instance().GetDesignation();
    Talon::ServicePrefs prefs;
    std::string problem;
    std::string line;
    if (Talon::ReadServicePrefs(designation, prefs, problem) != 0)
        line = "bad preference file " + problem;
    else if (prefs.configured && Talon::CheckBackupFolderPlace(prefs.backupFolder, problem) != 0)
        line = problem + " (" + designation + ")";
    else if (!prefs.offsiteCredentials.empty() && !OffsiteCredentialsUsable(prefs, line))
        line += " (preference 84 of " + designation + ")";
    else
        return true;
    MIREL_DEBUG(57, "main: start refused: " << line);
    app.Refuse(line);
    app.SetRunState(Talon::AppBase::kStartRefused);
    error.Set(Talon::CLIExtError(Mirel::kErrPrefsMalformed, Talon::AppBase::kExitNotConfigured));
    return false;
}

// What was wrong with the command line, for the line after the usage text.
std::string UsageProblem(int argc, char** argv) {
    std::string what =
        argc > 2 ? "too many arguments" : "unknown argument \"" + std::string(argv[1]) + "\"";
    return what +
           ": talonib runs the service without one, or takes install, installm, remove or "
           "--version; see man 8 talonib";
}

void ServiceMain(unsigned long, unsigned short**) {
    omni_thread* self = omni_thread::create_dummy();
    Talon::Error error(-1);
    DidoraRezaraApp* app = GetDidoraRezaraApp();
    error = app->StartApp();
    app->Uninit();
    if (!error.OK() && app->GetOSInterface())
        app->GetOSInterface()->ReportStatus(Talon::OSInterface::kStatusFailed, 0,
                                            Talon::OSInterface::kCodeStartFailed);
    if (self) omni_thread::release_dummy();
}

unsigned long ServiceControlHandler(unsigned long control, unsigned long, void*, void*) {
    DidoraRezaraApp* app = GetDidoraRezaraApp();
    if (!app) return 0;
    switch (control) {
        case Talon::kServiceControlStop:
        case Talon::kServiceControlShutdown:
        case Talon::kServiceControlPreShutdown:
            app->GetMainMsgQ().PostMsg(Talon::kMsgShutdown);
            break;
        case Talon::kServiceControlPowerEvent:
            break;
        default:
            if (Talon::OSInterface* os = app->GetOSInterface())
                os->ReportStatus(os->GetStatus(), Talon::OSInterface::kCheckUnhandledControl, 0);
            break;
    }
    return 0;
}

void SetupOSInterface(Talon::AppBase& app) {
    auto* os = new Talon::WinOSInterface(u"Vellumark IBS");
    os->SetServiceControlHandler(ServiceControlHandler);
    os->SetServiceMainHandler(ServiceMain);
    app.SetOSInterface(os);
    app.AddArgumentHandler(new Talon::InstallAutoArgHandler(u"install"));
    app.AddArgumentHandler(new Talon::InstallManualArgHandler(u"installm"));
    app.AddArgumentHandler(new Talon::RemoveArgHandler(u"remove"));
    app.AddArgumentHandler(new VersionArgHandler(u"--version"));
    app.SetRunState(Talon::AppBase::kRunApplication);
}

void InstallShutdownFunctors(Talon::AppBase& app) {
    Talon::OSInterface* os = app.GetOSInterface();
    if (!os) return;
    auto* self = static_cast<DidoraRezaraApp*>(&app);
    os->SetOSEventFunctor(Talon::kOSEventInterrupt, new ExpeditedShutdownFunctor(self));
    os->SetOSEventFunctor(Talon::kOSEventHangUp, new ExpeditedShutdownFunctor(self));
}

int ExitCode(const Mirel::Error& error) {
    if (error.OK()) return 0;
    if (const Mirel::ExtendedError* ext = error.GetExtended()) {
        auto* cli = dynamic_cast<const Talon::CLIExtError*>(ext);
        return cli ? cli->GetResultCode() : 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Talon::Error error(-1);
    DidoraRezaraAppInstance* instance = nullptr;
    try {
        instance = new DidoraRezaraAppInstance;
        instance->CreateInstance();
        DidoraRezaraApp* app = GetDidoraRezaraApp();
        SetupOSInterface(*app);
        InstallShutdownFunctors(*app);
        app->ProcessArguments(argc, argv);
        bool refused =
            app->GetRunState() == Talon::AppBase::kRunApplication && !CheckPreferences(*app, error);
        if (!refused && app->GetRunState() != Talon::AppBase::kNoOSInit) error = app->InitOS();
        switch (app->GetRunState()) {
            case Talon::AppBase::kRunApplication:
                error = app->StartApp();
                app->Uninit();
                break;
            case Talon::AppBase::kStartRefused:
                if (error.GetError() == Mirel::kErrOSUnsuitable)
                    std::cerr << "Vellumark DidoraRezara requires more RAM or is incompatible with "
                                 "this OS version."
                              << std::endl;
                break;
            case Talon::AppBase::kPrintUsage:
                // The usage text stays the design's own; the line after it says what was wrong.
                app->PrintUsage(argv ? argv[0] : nullptr);
                if (argv && argc > 1) app->Refuse(UsageProblem(argc, argv));
                error.Set(Talon::CLIExtError(Mirel::kErrStartRefused, Talon::AppBase::kExitUsage));
                break;
            case Talon::AppBase::kAnotherInstance: {
                Talon::CLIExtError ext(Mirel::kErrAnotherInstance,
                                       Talon::AppBase::kExitAnotherInstance);
                const long pid = Talon::InstanceLockPid();
                std::cerr << "Another instance of Vellumark DidoraRezara is already running. ("
                          << (pid > 0 ? "process " + std::to_string(pid) + ", " : std::string())
                          << "lock " << Talon::InstanceLockPath() << ")" << std::endl;
                error.Set(ext);
                break;
            }
            case Talon::AppBase::kKeywordFailed:
                error.Set(Mirel::kErrStartRefused);
                break;
            default:
                break;
        }
        delete instance;
        instance = nullptr;
    } catch (...) {
        // The exit code comes from the error value as it stands.
    }
    return ExitCode(error);
}
