#include "platform/support/Debug.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>

#include "platform/support/Directory.h"
#include "platform/support/Os.h"
#include "platform/support/RateLimit.h"

namespace Mirel {

Debugger gDebugger;

namespace {
std::uint64_t ParseCategories(const char* text) {
    std::string s = text;
    if (s == "all") return ~std::uint64_t(0);
    if (s == "none" || s.empty()) return 0;
    std::uint64_t mask = 0;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) {
        char* end = nullptr;
        long n = std::strtol(item.c_str(), &end, 10);
        if (end != item.c_str() && n >= 0 && n < 64) mask |= std::uint64_t(1) << n;
    }
    return mask;
}
}  // namespace

Debugger::Debugger() = default;

Debugger::~Debugger() {
    std::lock_guard<std::mutex> g(mM);
    Os::Close(mFd);
    mFd = -1;
}

std::string Debugger::DefaultLogFolder() {
    const char* env = std::getenv("VELLUMARK_LOG_DIR");
    return env && *env ? env : "/var/log/vellumark";
}

void Debugger::ConfigureOnce() const {
    std::call_once(mConfigured, [this] {
        const char* env = std::getenv("VELLUMARK_DEBUG");
        std::uint64_t mask =
            env ? ParseCategories(env) : (std::uint64_t(1) << 57) | (std::uint64_t(1) << 59);
        mMask.store(mask);
    });
}

bool Debugger::HasBit(int bit) const {
    if (bit < 0 || bit > 63) return false;
    ConfigureOnce();
    return (mMask.load(std::memory_order_relaxed) >> bit) & 1;
}

void Debugger::SetBit(int bit, bool on) {
    if (bit < 0 || bit > 63) return;
    ConfigureOnce();
    if (on)
        mMask.fetch_or(std::uint64_t(1) << bit);
    else
        mMask.fetch_and(~(std::uint64_t(1) << bit));
}

void Debugger::SetCategories(std::uint64_t mask) {
    ConfigureOnce();
    mMask.store(mask);
}

std::string Debugger::MessagePrefix() const {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%d] ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms),
                  static_cast<int>(::gettid()));
    return buf;
}

void Debugger::SetLogFile(const std::string& folder, const std::string& name) {
    std::lock_guard<std::mutex> g(mM);
    Os::Close(mFd);
    mFd = -1;
    mOpenTried = false;
    mFolder = folder;
    mName = name;
}

void Debugger::Reopen() {
    std::lock_guard<std::mutex> g(mM);
    Os::Close(mFd);
    mFd = -1;
    mOpenTried = false;
}

std::string Debugger::GetLogFolder() const {
    std::lock_guard<std::mutex> g(mM);
    return mFolder.empty() ? DefaultLogFolder() : mFolder;
}

std::string Debugger::GetLogPath() const {
    return GetLogFolder() + "/" + mName;
}

void Debugger::OpenLocked() {
    mOpenTried = true;
    std::string folder = mFolder.empty() ? DefaultLogFolder() : mFolder;
    Directory(UniversalPath::Folder(folder)).CreateIfNotExists();
    mPath = folder + "/" + mName;
    if (Os::OpenAppend(mPath, mFd) != 0) mFd = -1;
}

unistring CutForLog(const unistring& text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t tail = max / 3, head = max - tail;
    // Never split a surrogate pair.
    if (head > 0 && text[head - 1] >= 0xD800 && text[head - 1] < 0xDC00) --head;
    if (tail > 0 && text[text.size() - tail] >= 0xDC00 && text[text.size() - tail] < 0xE000) --tail;
    unistring out = text.substr(0, head);
    out += unistring::FromUTF8("[... " + std::to_string(text.size() - head - tail) +
                               " characters left out ...]");
    out += text.substr(text.size() - tail);
    return out;
}

std::string CutLineForLog(const std::string& line, std::size_t max) {
    if (line.size() <= max) return line;
    bool newline = !line.empty() && line.back() == '\n';
    std::size_t tail = max / 4, head = max - tail;
    auto continuation = [&](std::size_t i) { return (line[i] & 0xC0) == 0x80; };
    while (head > 0 && continuation(head)) --head;
    std::size_t from = line.size() - tail;
    while (from < line.size() && continuation(from)) ++from;
    std::string out = line.substr(0, head) + "[... " + std::to_string(from - head) +
                      " bytes left out ...]" + line.substr(from);
    if (newline && out.back() != '\n') out += '\n';
    return out;
}

namespace {
thread_local DebugCapture* tCapture = nullptr;
}

DebugCapture::DebugCapture() : mOuter(tCapture) {
    tCapture = this;
}

DebugCapture::~DebugCapture() {
    if (!mReleased) Release(nullptr);
    tCapture = mOuter;
}

void DebugCapture::Release(RateLimiter* limiter) {
    if (mReleased) return;
    mReleased = true;
    std::vector<std::string> lines;
    lines.swap(mLines);
    if (lines.empty() || (limiter && !limiter->Admit(lines.size()))) return;
    for (const std::string& l : lines) {
        auto* msg = new DebugStreamMsg;
        *msg << l;
        gDebugger.Out(msg);
    }
}

bool DebugCapture::Hold(const std::string& text) {
    DebugCapture* c = tCapture;
    if (!c || c->mReleased) return false;
    // A long call: what it holds is written now, in order, and the rest as it comes.
    if (c->mLines.size() >= kMaxHeld) {
        c->Release(nullptr);
        return false;
    }
    c->mLines.push_back(text);
    return true;
}

void Debugger::Out(DebugMsg* msg) {
    std::unique_ptr<DebugMsg> owned(msg);
    if (!owned) return;
    std::string text = CutLineForLog(owned->Text());
    if (DebugCapture::Hold(text)) return;
    std::lock_guard<std::mutex> g(mM);
    if (mFd < 0 && !mOpenTried) OpenLocked();
    // One write per line: lines from other processes appending to the file stay whole.
    if (mFd < 0 || Os::Append(mFd, text.data(), text.size(), mPath) != 0)
        std::cerr << text;  // no log file: keep the line rather than lose it
}

}  // namespace Mirel
