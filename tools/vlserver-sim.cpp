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
//                                    interval-done files, outlives restarts of the service, and
//                                    after every interval checks what a user would restore
//                                    (docs/simulator.md)
//   vlserver-sim demo [options]      writes a database and a chain of redo logs as the
//                                    database server would, applies them with the service's
//                                    engine and verifies every page
#include <signal.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "ibs_version.h"
#include "tools/sim/Demo.h"
#include "tools/sim/EventHub.h"
#include "tools/sim/Server.h"
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
    } catch (const std::logic_error&) {  // a number that is none (std::stoi)
        std::cerr << op << ": an argument is not a number\n";
        return 2;
    } catch (const CORBA::Exception& e) {
        std::cerr << "call failed: " << e._name() << "\n";
        return 1;
    }
    orb->destroy();
    return 0;
}

int Run(const std::string& host, unsigned short port, const sim::ServerOptions& o, bool commands) {
    // SIGUSR1 is taken by one thread of ours: blocked before the ORB starts threads of its
    // own, which inherit the mask (one of them would otherwise die of it, and the process).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    CORBA::ORB_var orb = InitOrb("giop:tcp:127.0.0.1:" + std::to_string(o.hubPort));
    auto* hub = new sim::EventHubServer(orb, [](const std::string& line) {
        if (line.rfind("notification", 0) == 0 || line.rfind("event", 0) == 0) Say("hub: " + line);
    });
    hub->_remove_ref();
    sim::ServiceClient client(orb, host, port);
    sim::Report report(Say);
    int rc;
    {
        sim::Server server(o, client, *hub, report);
        // SIGUSR1, or "finish" on standard input: end after the interval under way.
        std::thread([set, &server]() mutable {
            int sig = 0;
            if (sigwait(&set, &sig) == 0) server.RequestFinish();
        }).detach();
        if (commands)
            std::thread([&server] {
                for (std::string line; std::getline(std::cin, line);) {
                    if (line == "finish")
                        server.RequestFinish();
                    else if (line == "upload")
                        server.RequestUpload();
                    else if (line == "restart-server")
                        server.RequestServerRestart();
                    else if (line == "late")
                        server.RequestLate();
                }
            }).detach();
        rc = server.Run();
    }
    orb->shutdown(true);
    orb->destroy();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The database server's side of the Vellumark backup service"};
    app.set_version_flag("--version", std::string("vlserver-sim ") + IBS_VERSION);
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
    sim::ServerOptions ro;
    std::string profile = "plain", pageSizes;
    bool commands = false;
    auto* run =
        app.add_subcommand("run", "drive a running service and check what a user would restore");
    // The last of an option given twice wins: scripts add their own after the defaults.
    run->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    run->add_option("--backup", ro.backup, "backup folder to name")->capture_default_str();
    run->add_option("--work", ro.work, "the server's own folder (default: <backup>.sim)");
    run->add_option("--hub-port", ro.hubPort, "port of this program's event hub")
        ->capture_default_str();
    run->add_option("--host", host, "the service's host")->capture_default_str();
    run->add_option("--port", servicePort, "the service's port")->capture_default_str();
    run->add_option("--profile", profile, "plain, or demanding (every option below on)")
        ->check(CLI::IsMember({"plain", "demanding"}))
        ->capture_default_str();
    run->add_option("--intervals", ro.intervals, "0: until told to finish")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    run->add_option("--databases", ro.databases)->check(CLI::PositiveNumber);
    run->add_option("--pages", ro.maxPagesPerLog, "page images per redo log, at most");
    run->add_option("--logs", ro.maxLogsPerInterval, "redo logs per database and interval, at most")
        ->check(CLI::PositiveNumber);
    run->add_option("--initial-pages", ro.initialPages);
    run->add_option("--max-pages", ro.maxPages, "databases grow up to this many pages");
    run->add_option("--page-sizes", pageSizes, "MIN-MAX, powers of two from 512 to 65536");
    // Flags take =false too, to turn off what the demanding profile turns on.
    run->add_flag("--high-msn", ro.highMsn, "MSNs start just below 2^32");
    run->add_option("--idle", ro.idle, "chance that a database rests for 2 to 4 intervals");
    run->add_option("--grow", ro.grow, "chance that a page lies past the end");
    run->add_option("--repeat", ro.repeat, "chance that a page repeats one of the same log");
    run->add_option("--uploads", ro.uploads, "chance per interval of a new full upload");
    run->add_option("--same-minute", ro.sameMinute,
                    "chance that an interval ends in the minute of the one before");
    run->add_option("--server-restarts", ro.serverRestarts,
                    "chance per interval that the server restarts");
    run->add_option("--quiet-intervals", ro.quiet,
                    "chance that an interval has uploads and no redo logs");
    run->add_option("--early-logs", ro.earlyLogs,
                    "chance that a log of the next interval comes before the interval-done file");
    run->add_option("--slow-logs", ro.slowLogs, "chance that writing a log takes up to 150 ms");
    run->add_option(
        "--reupload-after", ro.reuploadAfter,
        "seconds from notification 21 to the new full upload (an administrator's time)");
    run->add_option("--bad-every", ro.badEvery,
                    "a round of bad input every N intervals, the first one included (0: none)");
    std::vector<std::string> badParts;
    run->add_option("--bad", badParts,
                    "what a bad round holds (default all): header cut other done dup hostile "
                    "folder flip flip2")
        ->delimiter(',')
        ->check(CLI::IsMember(
            {"header", "cut", "other", "done", "dup", "hostile", "folder", "flip", "flip2"}));
    run->add_flag("--mixed-case", ro.mixedCase, "file extensions and names in any case");
    bool realWorld = false;
    std::string realWorldClasses;
    run->add_flag("--real-world", realWorld,
                  "a server that breaks its rules and a host that changes under the service "
                  "(every class below)");
    run->add_option("--real-world-classes", realWorldClasses,
                    "only these, comma-separated: setup xdev shared recreate longname late "
                    "clockback race bitrot firstlog redolink (implies --real-world)");
    run->add_option("--real-world-rate", ro.realWorldRate,
                    "chance per interval of each real-world class (0.4 for one or two)")
        ->capture_default_str();
    run->add_option("--seed", ro.seed)->capture_default_str();
    bool clockNow = false;
    run->add_flag("--clock-now", clockNow,
                  "the server's clock starts now, less 5 minutes for each interval, so that "
                  "the last one ends in the past (else on 2026-01-01, the same for every run "
                  "of a seed)");
    run->add_option("--timeout", ro.timeoutSecs, "seconds to wait for an interval")
        ->capture_default_str();
    run->add_option("--retry-for", ro.patienceSecs, "seconds a call may keep failing")
        ->capture_default_str();
    run->add_flag("--markers", ro.markers, "print \"@step\" lines before each step");
    run->add_option("--system-log", ro.systemLog,
                    "the service's standard error: event records no hub took");
    run->add_flag("--commands", commands,
                  "read finish, upload, restart-server and late from standard input");
    run->add_flag("--keep-going", ro.keepGoing, "go on after an interval that did not complete");
    run->add_flag("--stop-at-end", ro.stopAtEnd, "stop the service and look for leftovers");
    std::string demoDir = "/tmp/vellumark-demo";
    int demoLogs = 20, demoPages = 256, demoPageSize = 4096;
    std::uint64_t demoSeed = 1;
    auto* demo = app.add_subcommand(
        "demo", "write, apply and verify a chain of redo logs, without a service");
    demo->add_option("--dir", demoDir, "working folder")->capture_default_str();
    demo->add_option("--logs", demoLogs, "redo logs to write")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    demo->add_option("--pages", demoPages, "page images per log")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    demo->add_option("--page-size", demoPageSize, "bytes per page")->capture_default_str();
    demo->add_option("--seed", demoSeed, "random seed")->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version exit 0; a command line not understood exits 2, as in every
        // program of the package.
        return app.exit(e) == 0 ? 0 : 2;
    }
    try {
        if (*hub) return Hub(hubPort);
        if (*demo) return sim::Demo(demoDir, demoLogs, demoPages, demoPageSize, demoSeed);
        if (*run && clockNow) {
            // An interval moves the clock by four minutes at most.
            const std::uint64_t minute = 60000000ull;
            const std::uint64_t now =
                static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
            ro.startUtc =
                (now - static_cast<std::uint64_t>(std::max(ro.intervals, 0)) * 5 * minute) /
                minute * minute;
        }
        if (*run) {
            if (profile == "demanding") {
                sim::ServerOptions given = ro;
                ro.Demanding();
                // What the command line said explicitly stays.
                for (auto* opt : run->get_options()) {
                    if (opt->count() == 0) continue;
                    const std::string n = opt->get_name();
                    if (n == "--databases") ro.databases = given.databases;
                    if (n == "--pages") ro.maxPagesPerLog = given.maxPagesPerLog;
                    if (n == "--logs") ro.maxLogsPerInterval = given.maxLogsPerInterval;
                    if (n == "--initial-pages") ro.initialPages = given.initialPages;
                    if (n == "--max-pages") ro.maxPages = given.maxPages;
                    if (n == "--idle") ro.idle = given.idle;
                    if (n == "--grow") ro.grow = given.grow;
                    if (n == "--repeat") ro.repeat = given.repeat;
                    if (n == "--uploads") ro.uploads = given.uploads;
                    if (n == "--same-minute") ro.sameMinute = given.sameMinute;
                    if (n == "--server-restarts") ro.serverRestarts = given.serverRestarts;
                    if (n == "--bad-every") ro.badEvery = given.badEvery;
                    if (n == "--quiet-intervals") ro.quiet = given.quiet;
                    if (n == "--early-logs") ro.earlyLogs = given.earlyLogs;
                    if (n == "--slow-logs") ro.slowLogs = given.slowLogs;
                    if (n == "--reupload-after") ro.reuploadAfter = given.reuploadAfter;
                    if (n == "--mixed-case") ro.mixedCase = given.mixedCase;
                    if (n == "--high-msn") ro.highMsn = given.highMsn;
                }
            }
            if (!pageSizes.empty()) {
                auto dash = pageSizes.find('-');
                try {
                    ro.minPageSize =
                        static_cast<std::uint32_t>(std::stoul(pageSizes.substr(0, dash)));
                    ro.maxPageSize =
                        dash == std::string::npos
                            ? ro.minPageSize
                            : static_cast<std::uint32_t>(std::stoul(pageSizes.substr(dash + 1)));
                } catch (const std::logic_error&) {
                    std::cerr << "vlserver-sim: --page-sizes: MIN-MAX, powers of two from 512 "
                                 "to 65536\n";
                    return 2;
                }
            }
            if (!badParts.empty()) ro.bad = {badParts.begin(), badParts.end()};
            if (realWorld || !realWorldClasses.empty()) {
                std::string bad;
                if (!sim::ParseRealWorld(realWorldClasses.empty() ? "all" : realWorldClasses,
                                         ro.realWorld, &bad)) {
                    std::cerr << "--real-world-classes: unknown class " << bad << "\n";
                    return 2;
                }
                // One or two classes alone: each comes more often.
                if (ro.realWorld.size() <= 2 && run->get_option("--real-world-rate")->count() == 0)
                    ro.realWorldRate = 0.4;
            }
            return Run(host, servicePort, ro, commands);
        }
        return Call(host, servicePort, callArgs);
    } catch (const CORBA::Exception& e) {
        std::cerr << "vlserver-sim: " << e._name() << "\n";
        return 1;
    }
}
