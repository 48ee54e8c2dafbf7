#include "app/ManagerInstance.h"

#include "app/IBSMgr.h"

IBSMgr* ManagerInstance::GetInstance() {
    // Never destroyed: remote calls may still arrive while the process ends.
    static IBSMgr* const manager = new IBSMgr(Mirel::Env::Default());
    return manager;
}
