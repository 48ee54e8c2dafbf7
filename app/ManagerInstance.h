// The process's one backup manager: the application makes it at start and the servant
// reaches it here. Nothing below app/ knows it exists.
#pragma once

class IBSMgr;

class ManagerInstance {
public:
    static IBSMgr* GetInstance();
};
