// The service's component towards the database server: links to its event hub when the
// server registers, answers the server's stop notice, and carries the manager's
// notifications and event records (the manager's event sink).
#pragma once

#include "catalogue/Ports.h"
#include "platform/framework/ComponentBaseThread.h"

class DBSConnector : public Talon::ComponentBaseThread, public EventSink {
public:
    explicit DBSConnector(CORBA::ORB_ptr orb);
    // Its thread runs this object's Main: it ends before the object does.
    ~DBSConnector() override;

    const char* GetName() const override { return "DBSConnector"; }
    void Main() override;
    void OnEvent(Talon::EventHelper& event) override;
    void OnEventProcessed() override {}
    bool OnStopRequest() override;
    void OnDeactivate() override {}
    void OnPrefsChanged() override {}

    // True when the connector has a link to the server's event hub.
    bool ConnectToServer(const char* addr, unsigned short port);

    // The manager's sink: the remote calls are made on this object's thread.
    void Event(std::int32_t code, const std::vector<Mirel::unistring>& texts) override;
    void DatabaseFailed(const Mirel::unistring& uuid) override;
    bool LinkServer(const std::string& address, unsigned short port) override {
        return ConnectToServer(address.c_str(), port);
    }
    void EndLink() override { AbortMain(); }
    void Join() override { Talon::ComponentBaseThread::Join(); }

private:
    void OnServerStopped();
};
