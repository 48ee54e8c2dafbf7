// vlserver-sim: the database server's side of the backup service, for tests and operators.
//
//   vlserver-sim hub --port N        serve an event hub; one line per thing it is told.
//                                    Commands on standard input (or signals):
//                                      stop-notice (SIGUSR1)  send the server's stop notice
//                                      drop-links             forget every component link
//                                      quit (SIGTERM, SIGINT) end
//   vlserver-sim call OP ARGS...     call one IBSEvent operation on a running service
#include <signal.h>
#include <CLI/CLI.hpp>

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include "tools/sim/EventHub.h"
#include "tools/sim/ServiceClient.h"

namespace {

std::mutex gOutM;
void Say(const std::string& line) {
    std::lock_guard<std::mutex> g(gOutM);
    std::cout << line << std::endl;
}

CORBA::ORB_ptr InitOrb(const std::string& endpoint) {
    std::vector<std::string> args = {"vlserver-sim", "-ORBclientCallTimeOutPeriod", "15000"};
    if (!endpoint.empty()) {
        args.push_back("-ORBendPoint");
        args.push_back(endpoint);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int argc = static_cast<int>(argv.size());
    return CORBA::ORB_init(argc, argv.data(), "omniORB4");
}

int Hub(unsigned short port) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGUSR1, SIGTERM, SIGINT}) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    CORBA::ORB_var orb = InitOrb("giop:tcp:127.0.0.1:" + std::to_string(port));
    auto* hub = new sim::EventHubServer(orb, Say);
    hub->_remove_ref();  // the POA owns the servant now; destroying the ORB deletes it
    Say("hub listening on 127.0.0.1:" + std::to_string(port));

    std::mutex m;
    std::condition_variable cv;
    bool quit = false;
    auto command = [&](const std::string& c) {
        if (c == "stop-notice")
            Say("stop notices sent: " + std::to_string(hub->SendStopNotice()));
        else if (c == "drop-links")
            hub->DropLinks();
        else if (c == "quit") {
            std::lock_guard<std::mutex> g(m);
            quit = true;
            cv.notify_all();
        } else if (!c.empty())
            Say("unknown command: " + c);
    };
    std::thread signals([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == SIGUSR1)
                command("stop-notice");
            else {
                command("quit");
                return;
            }
        }
    });
    signals.detach();
    std::thread input([&] {
        for (std::string line; std::getline(std::cin, line);) command(line);
    });
    input.detach();
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return quit; });
    }
    Say("hub stopping");
    orb->shutdown(true);
    orb->destroy();
    return 0;
}

int Call(const std::string& host, unsigned short port, const std::vector<std::string>& args) {
    if (args.empty()) {
        std::cerr << "call: name an operation\n";
        return 2;
    }
    CORBA::ORB_var orb = InitOrb("");
    sim::ServiceClient client(orb, host, port);
    const std::string& op = args[0];
    auto need = [&](std::size_t n) {
        if (args.size() != n + 1)
            throw CLI::ValidationError(op + " takes " + std::to_string(n) + " argument(s)");
    };
    auto flag = [](const std::string& s) { return s == "1" || s == "true" || s == "yes"; };
    try {
        if (op == "RegisterServer") {
            need(2);
            std::cout << std::boolalpha
                      << client.RegisterServer(args[1],
                                               static_cast<unsigned short>(std::stoi(args[2])))
                      << "\n";
        } else if (op == "SetBackupFolder") {
            need(1);
            std::cout << std::boolalpha << client.SetBackupFolder(args[1]) << "\n";
        } else if (op == "VerifyFullDBBackup") {
            need(4);
            std::cout << client.VerifyFullDBBackup(args[1], args[2], std::stoull(args[3]),
                                                   flag(args[4]))
                      << "\n";
        } else if (op == "RedoLogIsReady") {
            need(3);
            std::cout << client.RedoLogIsReady(args[1], args[2], flag(args[3])) << "\n";
        } else if (op == "FullDBBackupIsUploaded") {
            need(2);
            std::cout << std::boolalpha << client.FullDBBackupIsUploaded(args[1], args[2]) << "\n";
        } else if (op == "Stop") {
            need(0);
            client.Stop();
            std::cout << "stopped\n";
        } else {
            std::cerr << "unknown operation " << op << "\n";
            return 2;
        }
    } catch (const CLI::ValidationError& e) {
        std::cerr << e.what() << "\n";
        return 2;
    } catch (const CORBA::Exception& e) {
        std::cerr << "call failed: " << e._name() << "\n";
        return 1;
    }
    orb->destroy();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The database server's side of the Vellumark backup service"};
    app.require_subcommand(1);
    unsigned short hubPort = 50003;
    auto* hub = app.add_subcommand("hub", "serve an event hub");
    hub->add_option("--port", hubPort, "port to listen on")->capture_default_str();
    std::string host = "127.0.0.1";
    unsigned short servicePort = 50004;
    std::vector<std::string> callArgs;
    auto* call = app.add_subcommand("call", "call one operation of a running service");
    call->add_option("--host", host)->capture_default_str();
    call->add_option("--port", servicePort)->capture_default_str();
    call->add_option("operation", callArgs, "operation and its arguments")->required();
    call->allow_extras(false);
    CLI11_PARSE(app, argc, argv);
    try {
        if (*hub) return Hub(hubPort);
        return Call(host, servicePort, callArgs);
    } catch (const CORBA::Exception& e) {
        std::cerr << "vlserver-sim: " << e._name() << "\n";
        return 1;
    }
}
