// What the simulated server found, one line each: "FAIL <category>: <what exactly>".
// The soak reads these lines and counts them by category.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace sim {

class Report {
public:
    // Categories, in the order the summary lists them.
    static constexpr const char* kCategories[] = {
        "mismatch",  // a last-good copy is not the server's state at its interval's end
        "missing",   // a database, or its newest good copy, is not where a user would restore it
        "stray",     // a copy or folder holds a state the server never had
        "lost",      // an accepted log or upload vanished without being applied or set aside
        "setaside",  // a valid file was set aside, or a bad one was not
        "reasons",   // a set-aside file has no line (or the wrong reason) in Rejected/reasons.tsv
        "answer",    // a call answered other than the behaviour documented for it
        "moved",     // a file a hostile call named is no longer exactly where it was
        "failed",    // notification 21 for a database whose logs were all valid
        "notify",    // no notification 21 for a database with an invalid log
        "hub",       // the service did not link to the server's event hub
        "stuck",     // an interval did not complete
        "folder",    // the backup folder left service, or Failed.tsv disagrees
        "manifest",  // manifest.tsv missing or not describing its folder
        "leftover",  // temporary files or copies that nothing owns
        "service",   // the service stopped answering
        "changed",   // a file the server handed over changed where it lay
        "event",     // an event record the service owes was not sent
    };

    explicit Report(std::function<void(const std::string&)> say) : mSay(std::move(say)) {}

    void Fail(const std::string& category, const std::string& what) {
        {
            std::lock_guard<std::mutex> g(mM);
            ++mCounts[category];
            ++mTotal;
        }
        mSay("FAIL " + category + ": " + what);
    }
    void Say(const std::string& line) { mSay(line); }
    int Total() const {
        std::lock_guard<std::mutex> g(mM);
        return mTotal;
    }
    int Count(const std::string& category) const {
        std::lock_guard<std::mutex> g(mM);
        auto it = mCounts.find(category);
        return it == mCounts.end() ? 0 : it->second;
    }
    // "mismatch=0 missing=2 ..." over every category.
    std::string Counts() const {
        std::string s;
        for (const char* c : kCategories)
            s += (s.empty() ? "" : " ") + std::string(c) + "=" + std::to_string(Count(c));
        return s;
    }

private:
    std::function<void(const std::string&)> mSay;
    mutable std::mutex mM;
    std::map<std::string, int> mCounts;
    int mTotal = 0;
};

}  // namespace sim
