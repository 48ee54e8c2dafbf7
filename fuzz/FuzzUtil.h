// Shared by the fuzz targets: a scratch folder for the files a reader is given, and a check
// that stops the run with a message libFuzzer keeps beside the input that broke it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/support/Directory.h"
#include "platform/support/UniversalPath.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "FUZZ CHECK FAILED %s:%d: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::Fail(#cond, __FILE__, __LINE__))

// The readers' folder: $IBS_FUZZ_SCRATCH, else a new one in /dev/shm (cheap syncs) or /tmp.
class Scratch {
public:
    static Scratch& Get() {
        static Scratch s;
        return s;
    }
    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }
    Mirel::UniversalPath File(const std::string& name) const {
        return Mirel::UniversalPath::FromNative(mPath + "/" + name);
    }
    Mirel::UniversalPath Folder() const { return Mirel::UniversalPath::Folder(mPath); }

    void Clear() const { Mirel::Directory(Folder()).DeleteContents(); }

private:
    Scratch() {
        const char* env = std::getenv("IBS_FUZZ_SCRATCH");
        if (env && *env) {
            mPath = env;
            Mirel::Directory(Folder()).CreateIfNotExists();
            return;
        }
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        mPath = std::string(base) + "/ibs-fuzz-XXXXXX";
        if (!::mkdtemp(mPath.data())) Fail("mkdtemp", __FILE__, __LINE__);
        mOwned = true;
    }
    ~Scratch() {
        if (mOwned) Mirel::Directory(Folder()).DeleteAll();
    }

    std::string mPath;
    bool mOwned = false;
};

inline void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size)) ||
        !out.flush())
        Fail("write", __FILE__, __LINE__);
}

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace fuzz
