// Row P3 of the benchmark table: RedoLogIsReady calls per second against a null call
// (_non_existent) of the same ORB on the same connection. The service and this client share
// one processor, so the figure is what a call costs, not how two processors overlap.
//
// Each round announces a fresh set of distinct logs (written beforehand, outside the timing),
// each once, as the server does; the null calls are as many. Speed is null-call time / our
// time (1.0: an announcement costs no more than the ORB's own round trip).
//
//   service_bench [TALONIB]   (run it in a network namespace of its own: scripts/isolated)
#include <sched.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench/Bench.h"
#include "platform/engine/Formats.h"
#include "platform/engine/HBEngine.h"
#include "tests/Process.h"
#include "tools/sim/DatabaseModel.h"
#include "tools/sim/ServiceClient.h"

int main(int argc, char** argv) {
    const std::string talonib = argc > 1 ? argv[1] : "build/talonib";
    // One processor for both sides; the service inherits it.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    if (::sched_setaffinity(0, sizeof one, &one) != 0) bench::Fail("cannot pin to processor 0");

    int argcOrb = 1;
    char a0[] = "service_bench";
    char* argvOrb[] = {a0, nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argcOrb, argvOrb, "omniORB4");
    testutil::ServiceEnv env;
    testutil::NotifySocket notify(env.dir / "notify");
    testutil::Child service({talonib}, env.Env());
    if (!notify.WaitFor("READY=1", 20000)) bench::Fail("the service did not start");
    sim::ServiceClient client(orb);
    const std::string backup = env.dir / "backup";
    if (!client.SetBackupFolder(backup)) bench::Fail("SetBackupFolder failed");
    Mirel::HBEngine::Startup(true, 0, nullptr, nullptr);

    sim::DatabaseModel model(3, 4096, 8);
    const int calls = bench::Quick() ? 200 : 1000;
    int folder = 0;
    std::uint64_t end = 1000, msn = model.MSN();
    auto announce = [&] {
        // Fresh logs in a fresh redo folder: every call takes the whole intake path.
        const std::string redo = backup + "/Changes/Redo_" + std::to_string(++folder);
        bench::Shell("mkdir -p " + redo);
        std::vector<std::string> logs;
        for (int i = 0; i < calls; ++i) {
            // Header-only logs written without a sync: intake reads no more, and the server's
            // durable writer would make the set-up outlast the measurement.
            logs.push_back(redo + "/l" + std::to_string(i) + ".vrl");
            Mirel::Format::LogHeader h;
            h.uuid = model.Uuid();
            h.startMSN = msn;
            h.msn = ++msn;
            h.endUTC = ++end;
            std::uint8_t buf[Mirel::Format::kLogHeaderSize];
            Mirel::Format::EncodeLogHeader(h, buf);
            std::ofstream(logs.back(), std::ios::binary)
                .write(reinterpret_cast<const char*>(buf), sizeof buf);
        }
        bench::Settle();
        const std::string uuid = model.UuidText();
        auto t0 = bench::Clock::now();
        for (const auto& l : logs)
            if (client.RedoLogIsReady(l, uuid, true) != 0) bench::Fail("a log was refused: " + l);
        return bench::Secs(t0);
    };
    auto null = [&] {
        auto t0 = bench::Clock::now();
        for (int i = 0; i < calls; ++i) client.Object()->_non_existent();
        return bench::Secs(t0);
    };
    client.Object()->_non_existent();  // the connection is made before any timing
    bench::Row row;
    row.id = "P3";
    row.what = "RedoLogIsReady calls/s vs a null call, one processor (" + std::to_string(calls) +
               " distinct logs a round)";
    row.target = 0.6;
    {
        const auto pairs = bench::Interleave(bench::Rounds(), announce, null, row.load);
        row.values = bench::Speed(pairs);
        row.note = bench::Times(pairs);
    }
    bench::Print(row);
    client.Stop();
    service.Wait(20000);
    return 0;
}
