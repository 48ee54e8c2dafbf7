// What the S3 client costs against plain tools that move the same bytes to and from the
// same store, in one run, interleaved sample by sample:
//
//   upload:   PutFile of a file (hashed for Content-MD5 and the signed payload, multipart
//             above the threshold, parts in parallel) against
//             - `curl -T` with an unsigned payload: nothing hashed or checked, one stream;
//             - `openssl dgst` for the MD5 and SHA-256, then `curl -T` sending both, so the
//               store checks the bytes as it does ours;
//             - `s3cmd put`, when installed.
//   restore:  GetObject streamed into a file against `curl -o` into a file then `cp` to the
//             destination, and `s3cmd get` + `cp` when installed.
//
// "ratio" is the baseline's time / ours, so above 1 is faster than the baseline. "client
// CPU" is the processor time of the client's own process (and, for the baselines, of the
// programs run), per GiB moved.
//
//   objectstore_bench CREDENTIALS [--mib N] [--samples N] [--work FOLDER] [--part-mib N]
//                     [--parallel N] [--threshold-mib N] [--unsigned-payload 0|1]
//
// CREDENTIALS is a credentials file (docs/offsite.md); scripts/s3-store writes one for the
// store it starts.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/Bench.h"
#include "platform/objectstore/Client.h"
#include "platform/objectstore/Digest.h"
#include "platform/support/Os.h"

using Clock = std::chrono::steady_clock;
using namespace ObjectStore;

namespace {

void Die(const std::string& what) {
    std::fprintf(stderr, "objectstore_bench: %s\n", what.c_str());
    std::exit(1);
}

void Run(const std::vector<std::string>& argv) {
    if (!bench::RunQuietly(argv)) Die("failed: " + argv[0] + " " + argv[1]);
}

bool Installed(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

struct Series {
    std::string name;
    std::vector<double> seconds, cpu;  // wall; processor time of this process and its children
};

struct Contender {
    std::string name;
    std::function<void()> run;
};

double CpuSeconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        ::getrusage(who, &u);
        total +=
            u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

void Measure(const Contender& c, Series& series, bool counted) {
    series.name = c.name;
    const double cpu0 = CpuSeconds();
    const double wall = bench::Time(c.run);
    if (!counted) return;
    series.seconds.push_back(wall);
    series.cpu.push_back(CpuSeconds() - cpu0);
}

void Row(const std::string& label, const std::vector<double>& v, const char* unit) {
    std::printf("| %-46s | %8.2f | %8.2f | %8.2f | %s\n", label.c_str(), bench::Median(v),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()), unit);
}

// Throughput and client processor time of each, then each baseline's time / ours, sample by
// sample (the first series is ours).
void Report(const std::vector<Series>& all, std::size_t count, double mib) {
    for (std::size_t c = 0; c < count; ++c) {
        std::vector<double> rate, cpu;
        for (std::size_t i = 0; i < all[c].seconds.size(); ++i) {
            rate.push_back(mib / all[c].seconds[i]);
            cpu.push_back(all[c].cpu[i] * 1024 / mib);
        }
        Row(all[c].name, rate, "MiB/s");
        Row("  client CPU", cpu, "s per GiB");
    }
    for (std::size_t c = 1; c < count; ++c) {
        std::vector<double> ratio;
        for (std::size_t i = 0; i < all[0].seconds.size(); ++i) {
            ratio.push_back(all[c].seconds[i] / all[0].seconds[i]);
        }
        Row("ratio vs " + all[c].name.substr(all[c].name.find(':') + 2), ratio, "x");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        Die("usage: objectstore_bench CREDENTIALS [--mib N] [--samples N] [--work FOLDER] "
            "[--part-mib N] [--parallel N] [--threshold-mib N] [--unsigned-payload 0|1]");
    }
    Config config;
    Status s = LoadCredentials(argv[1], config);
    if (!s.ok()) Die(s.ToString());
    int mib = 200, samples = 5;
    std::string work = "/tmp";
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        const unsigned long n = std::strtoul(value.c_str(), nullptr, 10);
        if (flag == "--mib")
            mib = static_cast<int>(n);
        else if (flag == "--samples")
            samples = std::max(static_cast<int>(n), 1);
        else if (flag == "--work")
            work = value;
        else if (flag == "--part-mib")
            config.partSize = n << 20;
        else if (flag == "--parallel")
            config.parallelParts = static_cast<unsigned>(n);
        else if (flag == "--threshold-mib")
            config.multipartThreshold = n << 20;
        else if (flag == "--unsigned-payload")
            config.signPayload = n == 0;
        else
            Die("unknown option " + flag);
    }
    if (!Installed("curl")) Die("curl is not installed");
    const bool s3cmd = Installed("s3cmd");

    // Random bytes, so nothing on the way can compress them.
    const std::string source = work + "/objectstore-bench.src";
    {
        std::mt19937_64 rng(1);
        std::vector<std::uint64_t> block((1 << 20) / 8);
        std::ofstream out(source, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < mib; ++i) {
            for (auto& w : block) w = rng();
            out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
        }
        if (!out) Die("cannot write " + source);
    }
    const std::string fetched = work + "/objectstore-bench.get";
    const std::string restored = work + "/objectstore-bench.out";

    const std::string url = config.endpoint + "/" + config.bucket + "/";
    const std::vector<std::string> curl = {"curl",
                                           "-sS",
                                           "--fail",
                                           "--aws-sigv4",
                                           "aws:amz:" + config.region + ":s3",
                                           "--user",
                                           config.accessKey + ":" + config.secretKey,
                                           "-H",
                                           "x-amz-content-sha256: UNSIGNED-PAYLOAD"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    // s3cmd reads its settings from a file of its own.
    const std::string s3cfg = work + "/objectstore-bench.s3cfg";
    if (s3cmd) {
        std::ofstream cfg(s3cfg);
        const std::string host = config.endpoint.substr(config.endpoint.find("://") + 3);
        cfg << "[default]\naccess_key = " << config.accessKey
            << "\nsecret_key = " << config.secretKey << "\nhost_base = " << host
            << "\nhost_bucket = " << host
            << "\nuse_https = " << (config.endpoint.rfind("https", 0) == 0 ? "True" : "False")
            << "\nsignature_v2 = False\nbucket_location = " << config.region << "\n";
    }
    const std::vector<std::string> s3 = {"s3cmd", "-c", s3cfg, "--no-progress", "--quiet"};

    // Hashes a file with the openssl command, as a script that checks its uploads would.
    auto digest = [&](const char* algorithm) {
        const std::string cmd = std::string("openssl dgst -") + algorithm + " -binary " + source;
        FILE* p = ::popen(cmd.c_str(), "r");
        std::string raw(64, '\0');
        raw.resize(p != nullptr ? std::fread(raw.data(), 1, raw.size(), p) : 0);
        if (p == nullptr || ::pclose(p) != 0) Die("failed: " + cmd);
        return raw;
    };

    Client client(config);
    unsigned parts = 0;
    const std::vector<Contender> uploads = {
        {"upload: PutFile",
         [&] {
             PutResult put;
             const Status st = client.PutFile("bench/ours", source, {}, &put);
             if (!st.ok()) Die(st.ToString());
             parts = put.parts;
         }},
        {"upload: curl -T, unchecked",
         [&] {
             Run(with(curl, {"-T", source, url + "bench/c"}));
         }},
        {"upload: openssl md5+sha256, curl -T checked",
         [&] {
             const std::string md5 = Base64(digest("md5")), sha = Hex(digest("sha256"));
             std::vector<std::string> args = curl;
             args.back() = "x-amz-content-sha256: " + sha;
             Run(with(args, {"-H", "Content-MD5: " + md5, "-T", source, url + "bench/cc"}));
         }},
        {"upload: s3cmd put", [&] {
             if (s3cmd) Run(with(s3, {"put", source, "s3://" + config.bucket + "/bench/s"}));
         }}};
    const std::vector<Contender> restores = {
        {"restore: GetObject to a file",
         [&] {
             int fd = -1;
             if (Mirel::Os::OpenWrite(restored, true, true, fd) != 0) Die("cannot write");
             std::uint64_t at = 0;
             const Status st = client.GetObject("bench/ours", [&](const char* d, std::size_t n) {
                 if (Mirel::Os::PWriteAll(fd, d, n, at, restored) != 0) return false;
                 at += n;
                 return true;
             });
             Mirel::Os::Close(fd);
             if (!st.ok()) Die(st.ToString());
         }},
        {"restore: curl -o, cp",
         [&] {
             Run(with(curl, {"-o", fetched, url + "bench/c"}));
             Run({"cp", fetched, restored});
         }},
        {"restore: s3cmd get, cp", [&] {
             if (!s3cmd) return;
             Run(with(s3, {"get", "--force", "s3://" + config.bucket + "/bench/s", fetched}));
             Run({"cp", fetched, restored});
         }}};

    std::vector<Series> up(uploads.size()), down(restores.size());
    for (int i = 0; i <= samples; ++i) {  // the first round warms up and is not counted
        for (std::size_t c = 0; c < uploads.size(); ++c) Measure(uploads[c], up[c], i > 0);
        for (std::size_t c = 0; c < restores.size(); ++c) Measure(restores[c], down[c], i > 0);
        for (const char* k : {"bench/ours", "bench/c", "bench/cc", "bench/s"}) {
            client.DeleteObject(k);
        }
    }

    std::printf(
        "objectstore_bench: %d MiB of random bytes, %d samples after one warm-up, "
        "interleaved; %s; %u parts of %llu MiB, %u in parallel; payload %s\n",
        mib, samples, config.endpoint.c_str(), parts,
        static_cast<unsigned long long>(config.partSize >> 20), config.parallelParts,
        config.signPayload ? "signed (SHA-256 and MD5 checked)" : "unsigned (MD5 checked)");
    std::printf("| %-46s | %8s | %8s | %8s |\n", "", "median", "min", "max");
    std::printf("|%s|----------|----------|----------|\n", std::string(48, '-').c_str());
    const std::size_t baselines = s3cmd ? uploads.size() : uploads.size() - 1;
    Report(up, baselines, mib);
    Report(down, s3cmd ? restores.size() : restores.size() - 1, mib);
    for (const std::string& f : {source, fetched, restored, s3cfg}) ::unlink(f.c_str());
    return 0;
}
