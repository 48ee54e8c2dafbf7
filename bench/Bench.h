// The rows of the benchmark table (bench/run): each row sets our side against a baseline
// measured in the same run, interleaved in ABBA order (ours first in even rounds, the
// baseline first in odd ones) with a sync and a pause between any two sides, so that neither
// side always inherits the other's dirty pages or a warmer cache.
//
// Every binary prints its rows as table lines; bench/run prints the heading. Set-up happens
// inside a side's function but outside the seconds it returns.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Secs(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Quick mode (IBS_BENCH_QUICK=1, `bench/run --quick`): a smoke run with small sizes and
// two rounds; its figures are not the table's.
inline bool Quick() {
    const char* q = std::getenv("IBS_BENCH_QUICK");
    return q && *q && *q != '0';
}

inline int Rounds() {
    if (const char* r = std::getenv("IBS_BENCH_ROUNDS"); r && std::atoi(r) > 0) return std::atoi(r);
    return Quick() ? 2 : 5;
}

// The machine's 1-minute load average: figures taken under load are marked by it.
inline double Load() {
    double l = 0;
    std::ifstream("/proc/loadavg") >> l;
    return l;
}

// Between two sides: the dirty pages of one go to the disk before the other starts.
inline void Settle() {
    ::sync();
    int ms = 300;
    if (const char* p = std::getenv("IBS_BENCH_PAUSE_MS")) ms = std::atoi(p);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The seconds `f` takes.
inline double Time(const std::function<void()>& f) {
    const auto t0 = Clock::now();
    f();
    return Secs(t0);
}

// Runs a program without a shell (a secret among its arguments stays out of any quoting),
// its standard output discarded; true when it exits 0.
inline bool RunQuietly(const std::vector<std::string>& argv) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs a shell command and answers its seconds; a failure ends the benchmark.
inline double Shell(const std::string& cmd) {
    auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        std::exit(1);
    }
    return Secs(t0);
}

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

// How a row's figure meets its goal.
enum class Goal { kAtLeast, kAtMost, kBelow };

struct Row {
    std::string id, what, unit = "x";  // "x": a ratio; otherwise the unit of an absolute figure
    Goal goal = Goal::kAtLeast;
    double target = 1.0;
    std::vector<double> values;  // one per round
    double load = 0;             // the highest load seen while the row ran
    std::string note;
};

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    if (n == 0) return 0;
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline void Print(const Row& r) {
    const double med = Median(r.values);
    const auto [lo, hi] = std::minmax_element(r.values.begin(), r.values.end());
    const bool met = r.goal == Goal::kAtLeast  ? med >= r.target
                     : r.goal == Goal::kAtMost ? med <= r.target
                                               : med < r.target;
    const char* op = r.goal == Goal::kAtLeast ? ">=" : r.goal == Goal::kAtMost ? "<=" : "<";
    const bool ratio = r.unit == "x";
    char goal[48], median[48], spread[64];
    std::snprintf(goal, sizeof goal, "%s %.2f%s", op, r.target,
                  ratio ? "x" : (" " + r.unit).c_str());
    std::snprintf(median, sizeof median, "%.2f%s", med, ratio ? "x" : (" " + r.unit).c_str());
    if (r.values.empty())
        std::snprintf(spread, sizeof spread, "-");
    else
        std::snprintf(spread, sizeof spread, "%.2f-%.2f (n=%zu)", *lo, *hi, r.values.size());
    std::printf("| %-4s | %-58s | %-9s | %-9s | %-20s | %5.1f | %-4s |%s\n", r.id.c_str(),
                r.what.c_str(), goal, median, spread, r.load, met ? "met" : "MISS",
                r.note.empty() ? "" : (" " + r.note).c_str());
    std::fflush(stdout);
}

// One round's sides: each answers the seconds it measured.
using Side = std::function<double()>;

// Runs `rounds` rounds of both sides in ABBA order and answers each round's pair of times
// (ours, baseline). The load is the highest seen.
struct Pair {
    double ours, base;
};
inline std::vector<Pair> Interleave(int rounds, const Side& ours, const Side& base, double& load) {
    std::vector<Pair> out;
    for (int r = 0; r < rounds; ++r) {
        Pair p{};
        load = std::max(load, Load());
        Settle();
        if (r % 2 == 0) {
            p.ours = ours();
            Settle();
            p.base = base();
        } else {
            p.base = base();
            Settle();
            p.ours = ours();
        }
        load = std::max(load, Load());
        out.push_back(p);
    }
    return out;
}

// Speed against the baseline: baseline time / our time (1.0: as fast, above: faster).
inline std::vector<double> Speed(const std::vector<Pair>& pairs) {
    std::vector<double> v;
    for (const Pair& p : pairs) v.push_back(p.base / p.ours);
    return v;
}

// Cost against the baseline: our time / baseline time (1.0: as cheap, above: dearer).
inline std::vector<double> Cost(const std::vector<Pair>& pairs) {
    std::vector<double> v;
    for (const Pair& p : pairs) v.push_back(p.ours / p.base);
    return v;
}

// The median seconds of each side, for the row's note: a ratio alone hides which side moved.
inline std::string Times(const std::vector<Pair>& pairs) {
    std::vector<double> a, b;
    for (const Pair& p : pairs) {
        a.push_back(p.ours);
        b.push_back(p.base);
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "(ours %.3f s, baseline %.3f s)", Median(a), Median(b));
    return buf;
}

// A scratch folder below the benchmark's base folder, removed whatever happens to the run
// short of a crash.
class Scratch {
public:
    explicit Scratch(const std::string& name) {
        const char* base = std::getenv("IBS_BENCH_DIR");
        std::string tmpl =
            std::string(base && *base ? base : "/var/tmp") + "/ibs-" + name + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) Fail("cannot make a folder from " + tmpl);
        mPath = buf.data();
    }
    ~Scratch() { Remove(); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    void Remove() {
        if (!mPath.empty()) std::system(("rm -rf '" + mPath + "'").c_str());
        mPath.clear();
    }
    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& rel) const { return mPath + "/" + rel; }

private:
    std::string mPath;
};

}  // namespace bench
