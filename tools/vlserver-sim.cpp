// vlserver-sim: the database server's side of the backup service, for tests and operators.
//
//   vlserver-sim hub --port N        serve an event hub; one line per thing it is told.
//                                    Commands on standard input (or signals):
//                                      stop-notice (SIGUSR1)  send the server's stop notice
//                                      drop-links             forget every component link
//                                      quit (SIGTERM, SIGINT) end
//   vlserver-sim call OP ARGS...     call one IBSEvent operation on a running service
//   vlserver-sim run [options]       the database server at work: registers, names the backup
//                                    folder, uploads, writes and announces redo logs and
//                                    interval-done files, and checks every last-good folder
//                                    against what it wrote
#include <signal.h>
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

struct RunOptions {
    std::string backup = "/tmp/vellumark-backup";
    unsigned short hubPort = 50003;
    int intervals = 6;
    int timeoutSecs = 120;
    sim::WorkloadOptions workload;
};

int Run(const std::string& host, unsigned short port, const RunOptions& o) {
    CORBA::ORB_var orb = InitOrb("giop:tcp:127.0.0.1:" + std::to_string(o.hubPort));
    auto* hub = new sim::EventHubServer(orb, [](const std::string& line) {
        if (line.rfind("notification", 0) == 0 || line.rfind("event", 0) == 0) Say("hub: " + line);
    });
    hub->_remove_ref();
    sim::ServiceClient client(orb, host, port);
    sim::CorbaAnnouncer announcer(client);
    auto start = std::chrono::steady_clock::now();
    int failures = 0, verified = 0;
    try {
        if (!client.RegisterServer("127.0.0.1", o.hubPort))
            Say("RegisterServer: the service could not reach the hub");
        if (!client.SetBackupFolder(o.backup)) {
            std::cerr << "SetBackupFolder " << o.backup << " refused\n";
            return 1;
        }
        sim::Workload server(o.backup, o.workload, announcer);
        if (!server.Upload()) {
            std::cerr << "an upload was refused\n";
            return 1;
        }
        Say("uploaded " + std::to_string(server.Databases()) + " databases into " + o.backup);
        for (int i = 1; i <= o.intervals; ++i) {
            if (std::int32_t r = server.WriteIntervalLogs(); r != 0) {
                std::cerr << "a redo log was refused: " << r << "\n";
                ++failures;
            }
            if (std::int32_t r = server.CloseInterval(); r != 0) {
                std::cerr << "the interval-done file was refused: " << r << "\n";
                return 1;
            }
            if (!server.WaitForLastGood(o.timeoutSecs * 1000)) {
                std::cerr << "interval " << i << " did not complete in " << o.timeoutSecs << " s\n";
                return 1;
            }
            int copies = 0;
            std::string diff = server.VerifyAll(&copies);
            verified += copies;
            if (!diff.empty()) {
                std::cerr << "MISMATCH after interval " << i << ": " << diff << "\n";
                ++failures;
            }
            double secs =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            char line[256];
            std::snprintf(line, sizeof line,
                          "interval %d/%d complete: %s (%llu logs, %.1f MiB so far, %.1f s)", i,
                          o.intervals, server.NewestLastGood().c_str(),
                          static_cast<unsigned long long>(server.LogsWritten()),
                          static_cast<double>(server.BytesWritten()) / (1 << 20), secs);
            Say(line);
        }
        double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double mib = static_cast<double>(server.BytesWritten()) / (1 << 20);
        char summary[512];
        std::snprintf(
            summary, sizeof summary,
            "summary: %d intervals completed, %d databases, %llu redo logs, %.1f MiB applied "
            "in %.1f s (%.1f MiB/s), %d last-good copies checked, %d mismatch(es)\n"
            "newest last-good folder: %s",
            o.intervals, server.Databases(), static_cast<unsigned long long>(server.LogsWritten()),
            mib, secs, secs > 0 ? mib / secs : 0.0, verified, failures,
            server.NewestLastGood().c_str());
        Say(summary);
    } catch (const CORBA::Exception& e) {
        std::cerr << "the service did not answer: " << e._name() << "\n";
        return 1;
    }
    orb->shutdown(true);
    orb->destroy();
    return failures == 0 ? 0 : 3;
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
    RunOptions ro;
    auto* run =
        app.add_subcommand("run", "drive a running service and check its last-good folders");
    run->add_option("--backup", ro.backup, "backup folder to name")->capture_default_str();
    run->add_option("--hub-port", ro.hubPort, "port of this program's event hub")
        ->capture_default_str();
    run->add_option("--host", host, "the service's host")->capture_default_str();
    run->add_option("--port", servicePort, "the service's port")->capture_default_str();
    run->add_option("--intervals", ro.intervals)->capture_default_str()->check(CLI::PositiveNumber);
    run->add_option("--databases", ro.workload.databases)
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    run->add_option("--pages", ro.workload.maxPagesPerLog, "page images per redo log, at most")
        ->capture_default_str();
    run->add_option("--logs", ro.workload.maxLogsPerInterval,
                    "redo logs per database and interval, at most")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    run->add_option("--initial-pages", ro.workload.initialPages)->capture_default_str();
    run->add_option("--seed", ro.workload.seed)->capture_default_str();
    run->add_option("--timeout", ro.timeoutSecs, "seconds to wait for an interval")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    try {
        if (*hub) return Hub(hubPort);
        if (*run) return Run(host, servicePort, ro);
        return Call(host, servicePort, callArgs);
    } catch (const CORBA::Exception& e) {
        std::cerr << "vlserver-sim: " << e._name() << "\n";
        return 1;
    }
}
