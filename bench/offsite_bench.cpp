// What copies off the host cost, against plain tools moving the same bytes to and from the
// same store, in one run, interleaved sample by sample (ABBA order):
//
//   push:        ibsdb's push (the service's copier runs the same) of a last-good folder of
//                real database files to a fresh prefix, against `curl -T` of each of its
//                files (unsigned payload: nothing hashed or checked), one after the other;
//   incremental: bytes the push sends for the next interval when --changed-pct of the
//                databases changed (the rest carried forward by hard links), against the
//                first interval's;
//   restore:     ibsdb restore --from-remote of that point into a fresh folder (each file
//                checked as it arrives), against `curl -o` of each object then `cp` into
//                place.
//
// "ratio" is the baseline's time / ours: above 1 is faster than the baseline.
//
//   offsite_bench CREDENTIALS [--databases N] [--db-mib N] [--samples N] [--work FOLDER]
//                 [--changed-pct N]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/Bench.h"
#include "platform/framework/BackupFolder.h"
#include "platform/framework/Manifest.h"
#include "platform/objectstore/Client.h"
#include "platform/support/Directory.h"
#include "platform/support/Os.h"
#include "tools/ibsdb/Common.h"
#include "tools/ibsdb/Offsite.h"
#include "tools/sim/DatabaseModel.h"

using Clock = std::chrono::steady_clock;

namespace {

void Die(const std::string& what) {
    std::fprintf(stderr, "offsite_bench: %s\n", what.c_str());
    std::exit(1);
}

void Run(const std::vector<std::string>& argv) {
    if (!bench::RunQuietly(argv)) Die("failed: " + argv[0]);
}

void Row(const std::string& label, const std::vector<double>& v, const char* unit,
         const std::string& goal = "") {
    std::printf("| %-44s | %8.2f | %8.2f | %8.2f | %-6s | %s\n", label.c_str(), bench::Median(v),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()), unit,
                goal.c_str());
}

std::string Folder(const std::string& backup, std::uint64_t end,
                   const std::function<void(const std::string&)>& fill) {
    const std::string name = "LastGood_" + Talon::BackupFolder::MakeTimestamp(end).ToUTF8();
    const std::string path = backup + "/" + name;
    Mirel::Directory(Mirel::UniversalPath::Folder(path)).CreateIfNotExists();
    fill(path);
    if (!Talon::Manifest::Write(Mirel::Directory(Mirel::UniversalPath::Folder(path)), end, {}).OK())
        Die("cannot write the manifest of " + path);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-')
        Die("usage: offsite_bench CREDENTIALS [--databases N] [--db-mib N] [--samples N] "
            "[--work FOLDER] [--changed-pct N]");
    const std::string credentials = argv[1];
    ObjectStore::Config config;
    if (const auto s = ObjectStore::LoadCredentials(credentials, config); !s.ok())
        Die(s.ToString());
    int databases = 20, dbMib = 4, samples = 3, changedPct = 5;
    std::string work = "/var/tmp";
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        const int n = std::atoi(value.c_str());
        if (flag == "--databases")
            databases = std::max(n, 1);
        else if (flag == "--db-mib")
            dbMib = std::max(n, 1);
        else if (flag == "--samples")
            samples = std::max(n, 1);
        else if (flag == "--work")
            work = value;
        else if (flag == "--changed-pct")
            changedPct = std::clamp(n, 1, 100);
        else
            Die("unknown option " + flag);
    }
    if (std::system("command -v curl >/dev/null 2>&1") != 0) Die("curl is not installed");

    const std::string root = work + "/offsite-bench-" + std::to_string(::getpid());
    const std::string backup = root + "/backup";
    Mirel::Directory(Mirel::UniversalPath::Folder(backup)).CreateIfNotExists();
    constexpr std::uint32_t kPage = 16384;
    const std::uint64_t pages = static_cast<std::uint64_t>(dbMib) * (1 << 20) / kPage;
    std::vector<sim::DatabaseModel> models;
    for (int d = 0; d < databases; ++d) models.emplace_back(100 + d, kPage, pages);
    const std::uint64_t end1 = ibsdb::NowUTC() - 2 * 3600ull * 1000000;
    const std::string first = Folder(backup, end1, [&](const std::string& f) {
        for (int d = 0; d < databases; ++d)
            if (!models[d]
                     .WriteFullCopy(
                         Mirel::UniversalPath::FromNative(f + "/db" + std::to_string(d) + ".vdb"))
                     .OK())
                Die("cannot write a database");
    });
    std::vector<std::string> files;
    std::uint64_t bytes = 0;
    for (int d = 0; d < databases; ++d) {
        files.push_back(backup + "/" + first + "/db" + std::to_string(d) + ".vdb");
        bytes += Mirel::Os::Stat(files.back()).size;
    }
    const double mib = static_cast<double>(bytes) / (1 << 20);

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
    const std::string run = "offsite-bench-" + std::to_string(::getpid());
    auto push = [&](const std::string& prefix, std::uint64_t* sent) {
        // A fresh push each time: the records of the last one would spare the hashing.
        ::unlink((backup + "/" + ibsdb::kOffsiteHashesName).c_str());
        ::unlink((backup + "/" + ibsdb::kOffsiteRecordName).c_str());
        ibsdb::PushOptions o;
        o.backup = backup;
        o.remote.credentials = credentials;
        o.remote.prefix = prefix;
        o.json = true;
        std::ostringstream out;
        if (ibsdb::OffsitePush(o, out) != 0) Die("push failed: " + out.str());
        if (sent)
            *sent = ibsdb::Json::parse(out.str())["summary"]["bytes_sent"].get<std::uint64_t>();
    };

    std::vector<double> ours, theirs, restoreOurs, restoreTheirs;
    std::uint64_t firstSent = 0;
    for (int i = 0; i <= samples; ++i) {  // the first round warms up and is not counted
        const std::string p = run + "/s" + std::to_string(i);
        const std::string c = run + "/c" + std::to_string(i) + "/";
        auto a = [&] { return bench::Time([&] { push(p, i == 0 ? &firstSent : nullptr); }); };
        auto b = [&] {
            return bench::Time([&] {
                for (const auto& f : files)
                    Run({curl[0], curl[1], curl[2], curl[3], curl[4], curl[5], curl[6], curl[7],
                         curl[8], "-T", f, url + c + f.substr(f.rfind('/') + 1)});
            });
        };
        double ta = 0, tb = 0;
        if (i % 2 == 0) {
            ta = a();
            tb = b();
        } else {
            tb = b();
            ta = a();
        }
        // Restores: ours from the point just pushed, theirs from curl's objects.
        const std::string to = root + "/restore-" + std::to_string(i);
        const std::string fetched = root + "/fetched-" + std::to_string(i);
        auto ra = [&] {
            return bench::Time([&] {
                ibsdb::RemoteRestoreOptions o;
                o.remote.credentials = credentials;
                o.remote.prefix = p;
                o.backup = backup;
                o.to = to + "-ours";
                std::ostringstream out;
                if (ibsdb::RestoreRemote(o, out) != 0) Die("restore failed: " + out.str());
            });
        };
        auto rb = [&] {
            return bench::Time([&] {
                Mirel::Directory(Mirel::UniversalPath::Folder(fetched)).CreateIfNotExists();
                Mirel::Directory(Mirel::UniversalPath::Folder(to + "-curl")).CreateIfNotExists();
                for (const auto& f : files) {
                    const std::string name = f.substr(f.rfind('/') + 1);
                    Run({curl[0], curl[1], curl[2], curl[3], curl[4], curl[5], curl[6], curl[7],
                         curl[8], "-o", fetched + "/" + name, url + c + name});
                    Run({"cp", fetched + "/" + name, to + "-curl/" + name});
                }
            });
        };
        double rta = 0, rtb = 0;
        if (i % 2 == 0) {
            rta = ra();
            rtb = rb();
        } else {
            rtb = rb();
            rta = ra();
        }
        if (i > 0) {
            ours.push_back(ta);
            theirs.push_back(tb);
            restoreOurs.push_back(rta);
            restoreTheirs.push_back(rtb);
        }
        Mirel::Directory(Mirel::UniversalPath::Folder(to + "-ours")).DeleteAll();
        Mirel::Directory(Mirel::UniversalPath::Folder(to + "-curl")).DeleteAll();
        Mirel::Directory(Mirel::UniversalPath::Folder(fetched)).DeleteAll();
    }

    // The next interval: a few databases changed, the rest carried forward by hard links.
    const int changed = std::max(1, databases * changedPct / 100);
    const std::string scratch = root + "/scratch.vrl";
    Folder(backup, end1 + 3600ull * 1000000, [&](const std::string& f) {
        for (int d = 0; d < databases; ++d) {
            const std::string path = f + "/db" + std::to_string(d) + ".vdb";
            if (d < changed) {
                ::unlink(scratch.c_str());
                if (!models[d]
                         .WriteRedoLog(Mirel::UniversalPath::FromNative(scratch), pages / 20 + 1,
                                       ibsdb::NowUTC(), false)
                         .OK() ||
                    !models[d].WriteFullCopy(Mirel::UniversalPath::FromNative(path)).OK())
                    Die("cannot change a database");
            } else if (::link(files[d].c_str(), path.c_str()) != 0) {
                Die("cannot link " + path);
            }
        }
    });
    // Onto the last sample's prefix, where the first point is already.
    ibsdb::PushOptions o;
    o.backup = backup;
    o.remote.credentials = credentials;
    o.remote.prefix = run + "/s" + std::to_string(samples);
    o.json = true;
    std::ostringstream out;
    if (ibsdb::OffsitePush(o, out) != 0) Die("second push failed: " + out.str());
    const std::uint64_t secondSent =
        ibsdb::Json::parse(out.str())["summary"]["bytes_sent"].get<std::uint64_t>();

    std::printf(
        "offsite_bench: %d databases of %d MiB (%.0f MiB), %d samples after one warm-up, "
        "interleaved; %s; payload signed (SHA-256 and MD5 checked)\n",
        databases, dbMib, mib, samples, config.endpoint.c_str());
    std::printf("| %-44s | %8s | %8s | %8s | %-6s | %s\n", "", "median", "min", "max", "", "goal");
    std::vector<double> rate, curlRate, ratio, rRate, rCurlRate, rRatio;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        rate.push_back(mib / ours[i]);
        curlRate.push_back(mib / theirs[i]);
        ratio.push_back(theirs[i] / ours[i]);
        rRate.push_back(mib / restoreOurs[i]);
        rCurlRate.push_back(mib / restoreTheirs[i]);
        rRatio.push_back(restoreTheirs[i] / restoreOurs[i]);
    }
    Row("push: a last-good folder (ibsdb, the copier)", rate, "MiB/s");
    Row("curl -T of each file, unchecked", curlRate, "MiB/s");
    Row("ratio push vs curl -T", ratio, "x", ">= 0.8");
    Row("restore --from-remote (checked)", rRate, "MiB/s");
    Row("curl -o of each object, cp", rCurlRate, "MiB/s");
    Row("ratio restore vs curl -o + cp", rRatio, "x");
    std::printf(
        "| %-44s | %8.4f |          |          | %-6s | <= 0.10 (%d of %d databases "
        "changed; %llu of %llu bytes)\n",
        "second interval's bytes sent / first's",
        static_cast<double>(secondSent) / static_cast<double>(firstSent), "x", changed, databases,
        static_cast<unsigned long long>(secondSent), static_cast<unsigned long long>(firstSent));

    // The store keeps nothing of the run.
    ObjectStore::Client client(config);
    std::vector<ObjectStore::ObjectInfo> objects;
    if (client.ListAll(run + "/", objects).ok())
        for (const auto& x : objects) client.DeleteObject(x.key);
    Mirel::Directory(Mirel::UniversalPath::Folder(root)).DeleteAll();
    return 0;
}
