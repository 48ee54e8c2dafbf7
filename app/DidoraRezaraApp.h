// The service's application object: ORB endpoint, the remote interface's POA and servant,
// and the main-thread message loop (its messages: Talon::MainMsg).
#pragma once

#include <omniORB4/CORBA.h>

#include "catalogue/Ports.h"
#include "idl/Talon.hh"
#include "platform/framework/AppBase.h"
#include "platform/framework/OSInterface.h"

namespace Talon {
class IBSEventImpl;
}

// The manager's cycle trigger is the main queue: it posts the cycle's run and the end.
class DidoraRezaraApp : public Talon::AppBase, public CycleTrigger {
public:
    static constexpr unsigned short kOrbPort = 50004;
    // How often systemd's status line is said again while nothing happens.
    static constexpr unsigned long kStatusRefreshMs = 30000;
    static const char* const kObjectId;  // "ZAVORIdava"
    static const char* const kPOAName;   // "IBSEventPOA"

    DidoraRezaraApp();
    ~DidoraRezaraApp() override;

    bool IsServiceApplication() override { return true; }
    // RequestStop (mark the stop, post 100) and Shutdown (RequestStop) are the frame's own.
    void PrintUsage(const char* programName) override;
    Talon::Error Init() override;
    Talon::Error Cleanup() override;
    Talon::Error Run() override;
    // The start-up line: version, preference file, backup folder, ORB endpoint.
    void Banner();
    Talon::Error OnBeforeUninit() override { return Talon::Error(); }
    Talon::Error OnAfterUninit() override { return Talon::Error(); }
    bool AddOrbEndpointArgs(std::vector<std::string>& args, const std::string& optionName) override;
    bool ActivatePOA() override;
    void StopORB() override;

    // Creates "IBSEventPOA" below the INS POA (single thread, persistent, user ids, bidir).
    void CreateIBSPOA();
    Talon::IBSEvent_ptr CreateIBSObj();
    bool GetEventHub(Talon::EventHub_var& hub);
    bool SendLostConnectionMessageToServer();

    PortableServer::POA_ptr GetIBSPOA() const { return mIBSPOA.in(); }

    void CheckIntervals() override { GetMainMsgQ().PostMsg(Talon::kMsgCheckIntervals); }
    void Stopped() override { GetMainMsgQ().PostMsg(Talon::kMsgShutdown); }

private:
    PortableServer::POA_var mIBSPOA;
    PortableServer::POAManager_var mIBSPOAManager;
    Talon::IBSEventImpl* mServant = nullptr;
    EventSink* mSink = nullptr;  // set once the manager is started
    PortableServer::ObjectId* mObjectId = nullptr;
};

class DidoraRezaraEventFunctor : public Talon::EventFunctor {
public:
    DidoraRezaraEventFunctor(const char* name, DidoraRezaraApp* app)
        : Talon::EventFunctor(name), mApp(app) {}

protected:
    DidoraRezaraApp* mApp;
};

class ExpeditedShutdownFunctor : public DidoraRezaraEventFunctor {
public:
    explicit ExpeditedShutdownFunctor(DidoraRezaraApp* app)
        : DidoraRezaraEventFunctor("Expedited Shutdown Functor", app) {}
    bool operator()() override {
        mApp->Shutdown();
        return true;
    }
};

class DidoraRezaraAppInstance : public Talon::AppInstance {
public:
    ~DidoraRezaraAppInstance() override;
    Talon::AppBase* CreateApp() override { return new DidoraRezaraApp(); }
};

// The process's application object (null before it exists).
DidoraRezaraApp* GetDidoraRezaraApp();
void ResetDidoraRezaraApp();

// Logs a CORBA exception of a guarded step the way every guarded step does.
#define DIDORA_CATCH_CORBA(where, what)                     \
    catch (const CORBA::MARSHAL& e) {                       \
        Mirel::LogCorbaSystemException(where, e, what, 2);  \
    }                                                       \
    catch (const CORBA::SystemException& e) {               \
        Mirel::LogCorbaSystemException(where, e, what, 57); \
    }                                                       \
    catch (const CORBA::Exception& e) {                     \
        Mirel::LogCorbaException(where, e, what, 57);       \
    }                                                       \
    catch (const omniORB::fatalException& e) {              \
        Mirel::LogOmniFatalException(where, e, what, 57);   \
    }
