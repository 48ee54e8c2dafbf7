// What an expiry test needs: a kill at a chosen removal, a killed service's state, a tree.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "platform/engine/Formats.h"
#include "platform/framework/Manifest.h"
#include "platform/support/Env.h"
#include "tests/TestUtil.h"

namespace testutil {

// Counts removals of files and folders; ends the process, as a kill would, before the
// `dieAt`th.
class RemovalCounter : public Mirel::EnvWrapper {
public:
    explicit RemovalCounter(int dieAt = 0) : EnvWrapper(Mirel::Env::Default()), mDieAt(dieAt) {}
    Mirel::Error DeleteFile(const std::string& path) override {
        Count();
        return EnvWrapper::DeleteFile(path);
    }
    Mirel::Error RemoveDir(const std::string& path) override {
        Count();
        return EnvWrapper::RemoveDir(path);
    }
    int removals = 0;

private:
    void Count() {
        if (++removals == mDieAt) ::_exit(9);
    }
    int mDieAt;
};

// The exit code of `run()` (true: 0, false: 1) in a child process killed before its `n`th
// removal (9); -1 when the child did not exit.
template <class F>
int ExitCodeKilledAt(int n, F run) {
    const pid_t child = ::fork();
    if (child == 0) {
        RemovalCounter dies(n);
        Mirel::Env::Scope use(dies);
        ::_exit(run() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// State.tsv as a killed service leaves it: "running", by a process that is gone, written at
// `now` (0: the wall clock). `crc` false: torn (its checksum fails).
inline void WriteKilledServiceState(const std::string& backup, std::uint64_t now = 0,
                                    bool crc = true) {
    if (now == 0)
        now = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string state = "version\t1\nwritten\t" + std::to_string(now) +
                              "\nservice\trunning\t" + std::to_string(child) + "\t" +
                              std::to_string(now) + "\ninterval\tidle\n";
    char sum[16];
    std::snprintf(sum, sizeof sum, "%08x",
                  crc ? Mirel::Format::Crc32c(state.data(), state.size()) : 0u);
    WriteFile(backup + "/State.tsv", state + "end\t" + sum + "\n");
}

// Whether every file the folder's manifest lists is there (false without a manifest).
inline bool ListedFilesThere(const std::string& folder) {
    Talon::Manifest m;
    if (!Talon::Manifest::Read(Mirel::Directory(Mirel::UniversalPath::Folder(folder)), m).OK())
        return false;
    for (const auto& e : m.entries)
        if (!IsFile(folder + "/" + e.path)) return false;
    return true;
}

// Every file and folder below `root` (links not followed): relative path -> bytes, "<dir>"
// for a folder, "-> target" for a link. Only below the last-good folders when `lastGood`.
inline std::map<std::string, std::string> TreeOf(const std::string& root, bool lastGood = false) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (lastGood && rel.rfind("LastGood_", 0) != 0) {
            if (it.depth() == 0) it.disable_recursion_pending();
            continue;
        }
        const auto st = it->symlink_status(ec);
        if (fs::is_symlink(st))
            out[rel] = "-> " + fs::read_symlink(it->path(), ec).string();
        else if (fs::is_directory(st))
            out[rel] = "<dir>";
        else
            out[rel] = ReadFile(it->path());
    }
    return out;
}

// "+path" added, "~path" changed, "-path" gone; empty when the same.
inline std::string TreeDiff(const std::map<std::string, std::string>& want,
                            const std::map<std::string, std::string>& got) {
    std::string d;
    for (const auto& [rel, bytes] : got)
        if (!want.count(rel))
            d += " +" + rel;
        else if (want.at(rel) != bytes)
            d += " ~" + rel;
    for (const auto& [rel, bytes] : want)
        if (!got.count(rel)) d += " -" + rel;
    return d;
}

}  // namespace testutil
