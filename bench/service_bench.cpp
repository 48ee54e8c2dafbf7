// The service process, measured through its remote interface:
//   start-up to the first answered call, and Stop to process exit (median of 10 runs);
//   RedoLogIsReady calls per second against a null call of the same ORB (_non_existent).
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/engine/HBEngine.h"
#include "tests/Process.h"
#include "tools/sim/DatabaseModel.h"
#include "tools/sim/ServiceClient.h"

using Clock = std::chrono::steady_clock;

namespace {
double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}
double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
    std::string talonib = argc > 1 ? argv[1] : "build/talonib";
    int argcOrb = 1;
    char a0[] = "service_bench";
    char* argvOrb[] = {a0, nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argcOrb, argvOrb, "omniORB4");
    testutil::ServiceEnv env;
    std::vector<double> startMs, stopMs;
    for (int run = 0; run < 10; ++run) {
        testutil::NotifySocket notify(env.dir / "notify");
        auto t0 = Clock::now();
        testutil::Child service({talonib}, env.Env());
        sim::ServiceClient client(orb);
        // The first call that is answered: the ORB listens once READY is sent.
        if (!notify.WaitFor("READY=1", 20000)) return 1;
        client.VerifyFullDBBackup("db", "u", 1, false);
        auto t1 = Clock::now();
        startMs.push_back(Ms(t0, t1));
        auto t2 = Clock::now();
        client.Stop();
        if (service.Wait(20000) != 0) return 1;
        stopMs.push_back(Ms(t2, Clock::now()));
    }
    std::printf("start-up to first answered call: median %.1f ms (of 10)\n", Median(startMs));
    std::printf("Stop to process exit:            median %.1f ms (of 10)\n", Median(stopMs));

    // Calls per second on one connection.
    testutil::NotifySocket notify(env.dir / "notify");
    testutil::Child service({talonib}, env.Env());
    if (!notify.WaitFor("READY=1", 20000)) return 1;
    sim::ServiceClient client(orb);
    client.SetBackupFolder(env.dir / "backup");
    Mirel::HBEngine::Startup(true, 0, nullptr, nullptr);
    sim::DatabaseModel model(3, 4096, 8);
    std::string log = env.dir / "backup/Changes/Redo_1/l.vrl";
    testutil::MakeDirs(env.dir / "backup/Changes/Redo_1");
    model.WriteRedoLog(Mirel::UniversalPath::FromNative(log), 4, 1000, false);
    const int n = 5000;
    client.RedoLogIsReady(log, model.UuidText(), true);
    auto r0 = Clock::now();
    for (int i = 0; i < n; ++i) client.RedoLogIsReady(log, model.UuidText(), true);
    double redo = n / (Ms(r0, Clock::now()) / 1000);
    auto n0 = Clock::now();
    for (int i = 0; i < n; ++i) client.Object()->_non_existent();
    double null = n / (Ms(n0, Clock::now()) / 1000);
    std::printf("RedoLogIsReady: %.0f calls/s; null call: %.0f calls/s; ratio %.2f\n", redo, null,
                redo / null);
    client.Stop();
    service.Wait(20000);
    return 0;
}
