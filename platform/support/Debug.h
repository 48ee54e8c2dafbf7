// The debug log: lines are written only for enabled categories, to "talonibDebug.log"
// (or another name the application sets) in the log folder.
//
// Configuration, read once at the first use:
//   VELLUMARK_DEBUG    comma-separated category numbers 0..63, "all" or "none";
//                      default "57,59" (application, manager, workers, connector)
//   VELLUMARK_LOG_DIR  log folder; default /var/log/vellumark, created when missing
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ios>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/support/unistring.h"

namespace Mirel {

class DebugMsg {
public:
    virtual ~DebugMsg() = default;
    virtual std::string Text() const = 0;
};

// A narrow line: std::ostringstream with everything it offers.
class DebugStreamMsg : public DebugMsg, public std::ostringstream {
public:
    std::string Text() const override { return str(); }
};

// A text for a debug line: one longer than kMaxDebugText code units keeps its start and
// its end (a path's folder and file name) and says how much was left out between.
constexpr std::size_t kMaxDebugText = 400;
unistring CutForLog(const unistring& text, std::size_t max = kMaxDebugText);
// A whole line longer than kMaxDebugLine bytes is cut the same way when it is written.
constexpr std::size_t kMaxDebugLine = 2048;
std::string CutLineForLog(const std::string& line, std::size_t max = kMaxDebugLine);

// A wide line: pieces appended without separators, numbers in decimal. Texts are cut to
// kMaxDebugText: they are often paths that a caller chose.
class DebugUniStreamMsg : public DebugMsg {
public:
    std::string Text() const override { return mText.ToUTF8(); }
    const unistring& Wide() const { return mText; }

    DebugUniStreamMsg& operator<<(const unistring& s) {
        mText += s.size() > kMaxDebugText ? CutForLog(s) : s;
        return *this;
    }
    DebugUniStreamMsg& operator<<(const char16_t* s) {
        mText += s;
        return *this;
    }
    DebugUniStreamMsg& operator<<(const char* s) {
        mText += unistring::FromUTF8(s);
        return *this;
    }
    DebugUniStreamMsg& operator<<(const std::string& s) { return *this << unistring::FromUTF8(s); }
    DebugUniStreamMsg& operator<<(bool b) {
        if (mBoolAlpha) return *this << (b ? "true" : "false");
        return *this << (b ? "1" : "0");
    }
    template <class T, class = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                                !std::is_same_v<T, char16_t>>>
    DebugUniStreamMsg& operator<<(T n) {
        return *this << std::to_string(n);
    }
    DebugUniStreamMsg& operator<<(std::ios_base& (*manip)(std::ios_base&)) {
        if (manip == std::boolalpha) mBoolAlpha = true;
        if (manip == std::noboolalpha) mBoolAlpha = false;
        return *this;
    }
    // std::endl and friends end the line.
    DebugUniStreamMsg& operator<<(std::ostream& (*)(std::ostream&)) {
        mText.push_back(u'\n');
        return *this;
    }

private:
    unistring mText;
    bool mBoolAlpha = false;
};

class Debugger {
public:
    Debugger();
    ~Debugger();

    bool IsPrintable(int category) const { return HasBit(category); }
    bool HasBit(int bit) const;
    void SetBit(int bit, bool on);
    void SetCategories(std::uint64_t mask);

    // "YYYY-MM-DD HH:MM:SS.mmm [tid] "
    std::string MessagePrefix() const;
    // Takes ownership of the message and writes its text.
    void Out(DebugMsg* msg);

    // Log folder and file name; a later Out reopens the file.
    void SetLogFile(const std::string& folder, const std::string& name);
    // Closes the file; the next line opens it again by name (after a log rotation).
    void Reopen();
    std::string GetLogFolder() const;
    std::string GetLogPath() const;
    static std::string DefaultLogFolder();

private:
    void ConfigureOnce() const;
    void OpenLocked();

    mutable std::once_flag mConfigured;
    mutable std::atomic<std::uint64_t> mMask{0};
    mutable std::mutex mM;
    std::string mFolder;
    std::string mName = "talonibDebug.log";
    std::string mPath;  // the open log file
    int mFd = -1;
    bool mOpenTried = false;
};

extern Debugger gDebugger;

class RateLimiter;

// Holds back the debug lines this thread writes while it lives, so that they can be judged
// together once their outcome is known (the lines of a refused call go through a limiter).
// Scopes nest; past kMaxHeld lines the rest are written at once.
class DebugCapture {
public:
    static constexpr std::size_t kMaxHeld = 256;
    DebugCapture();
    // Writes what it still holds.
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    // Writes the held lines when `limiter` is null or admits them; otherwise they are counted
    // as left out. Later lines are written as they come.
    void Release(RateLimiter* limiter);
    // Takes a line of this thread; false when it is to be written at once.
    static bool Hold(const std::string& text);

private:
    std::vector<std::string> mLines;
    DebugCapture* mOuter;
    bool mReleased = false;
};

}  // namespace Mirel

// Writes one narrow debug line when the category is enabled; `pieces` is a stream chain.
#define MIREL_DEBUG(category, pieces)                                                       \
    do {                                                                                    \
        if (::Mirel::gDebugger.IsPrintable(category)) {                                     \
            auto* mirelDbgMsg_ = new ::Mirel::DebugStreamMsg;                               \
            *mirelDbgMsg_ << ::Mirel::gDebugger.MessagePrefix() << std::boolalpha << pieces \
                          << '\n';                                                          \
            ::Mirel::gDebugger.Out(mirelDbgMsg_);                                           \
        }                                                                                   \
    } while (0)

// The same for a wide line.
#define MIREL_DEBUG_WIDE(category, pieces)                                                  \
    do {                                                                                    \
        if (::Mirel::gDebugger.IsPrintable(category)) {                                     \
            auto* mirelDbgMsg_ = new ::Mirel::DebugUniStreamMsg;                            \
            *mirelDbgMsg_ << ::Mirel::gDebugger.MessagePrefix() << std::boolalpha << pieces \
                          << u"\n";                                                         \
            ::Mirel::gDebugger.Out(mirelDbgMsg_);                                           \
        }                                                                                   \
    } while (0)
