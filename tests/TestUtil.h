#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/support/Directory.h"
#include "platform/support/Listing.h"
#include "platform/support/UniversalPath.h"

namespace testutil {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        mPath = std::string(base && *base ? base : "/tmp") + "/ibs-test-XXXXXX";
        if (!::mkdtemp(mPath.data())) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() { Mirel::Directory(Mirel::UniversalPath::Folder(mPath)).DeleteAll(); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& rel) const { return mPath + "/" + rel; }
    Mirel::UniversalPath File(const std::string& rel) const {
        return Mirel::UniversalPath::FromNative(mPath + "/" + rel);
    }
    Mirel::UniversalPath Folder(const std::string& rel = "") const {
        return Mirel::UniversalPath::Folder(rel.empty() ? mPath : mPath + "/" + rel);
    }

private:
    std::string mPath;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool IsFile(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
inline bool IsDir(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
inline bool IsFifo(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}
inline bool Exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

inline sockaddr_in LoopbackAddress(unsigned short port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
// A socket listening on loopback `port` (0: a free one), its address in `at`; -1 on failure.
inline int ListenLoopback(unsigned short port = 0, sockaddr_in* at = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    sockaddr_in a = LoopbackAddress(port);
    socklen_t len = sizeof a;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return ::close(fd), -1;
    if (at) *at = a;
    return fd;
}
// A loopback port nobody listens on right now.
inline unsigned short FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = LoopbackAddress();
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline void MakeDirs(const std::string& p) {
    Mirel::Directory(Mirel::UniversalPath::Folder(p)).CreateIfNotExists();
}

// A TCP connection to the service's port on loopback (or another port); -1 when refused.
inline int ConnectLoopback(unsigned short port = 50004) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// A FIFO: opening it for reading waits for a writer, for writing waits for a reader.
inline bool MakeFifo(const std::string& path) {
    MakeDirs(path.substr(0, path.rfind('/')));
    return ::mkfifo(path.c_str(), 0666) == 0;
}

// Whether `body` ends within `ms`. If not, `fifos` are opened at their other ends until it
// does and the answer is false; a body still held up then stops the test program.
template <class F>
bool FinishesWithin(int ms, const std::vector<std::string>& fifos, F body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready) {
        done.get();
        return true;
    }
    for (int round = 0; done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready;
         ++round) {
        if (round == 1000) {
            std::cerr << "FinishesWithin: still blocked after its FIFOs were opened\n";
            std::abort();
        }
        for (const auto& f : fifos)
            for (int mode : {O_WRONLY, O_RDONLY})
                if (int fd = ::open(f.c_str(), mode | O_NONBLOCK | O_CLOEXEC); fd >= 0) ::close(fd);
    }
    done.get();
    return false;
}

// How often `what` occurs in `text`.
inline std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// One byte of a file changed in place (xor `mask`): damage a file's checks must find.
inline void FlipByte(const std::string& path, std::uint64_t offset, std::uint8_t mask = 0x20) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    std::uint8_t b = 0;
    const bool read = fd >= 0 && ::pread(fd, &b, 1, static_cast<off_t>(offset)) == 1;
    b = static_cast<std::uint8_t>(b ^ mask);
    if (!read || ::pwrite(fd, &b, 1, static_cast<off_t>(offset)) != 1)
        ADD_FAILURE() << "cannot change byte " << offset << " of " << path;
    if (fd >= 0) ::close(fd);
}

// What a listing of `folder` finds (by default its database files, three levels deep).
inline std::vector<Mirel::UniversalPath> List(const std::string& folder,
                                              Mirel::ListFilter filter = Mirel::kListDatabaseFiles,
                                              int depth = 3) {
    std::vector<Mirel::UniversalPath> found;
    Mirel::BuildUniversalPathListFunctor f(found, filter, true);
    Mirel::Directory(Mirel::UniversalPath::Folder(folder)).ProcessFiles(f, depth);
    return found;
}

// Every file below `root` with its content, links as their targets, and with `folders` every
// folder too: "untouched" made testable.
inline std::string Snapshot(const std::string& root, bool folders = false) {
    std::string s;
    for (auto filter : {Mirel::kListFiles, Mirel::kListFolders}) {
        if (filter == Mirel::kListFolders && !folders) break;
        for (const auto& p : List(root, filter, 100))
            s += p.Native() + "=" + (filter == Mirel::kListFiles ? ReadFile(p.Native()) : "/") +
                 "\n";
    }
    return s;
}

}  // namespace testutil
