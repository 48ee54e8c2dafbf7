#include "tests/lib/FaultEnv.h"

#include "platform/support/ErrorCodes.h"

namespace Mirel {

void FaultEnv::Arm(FsOp op, const std::string& pattern, int error, int count) {
    std::lock_guard<std::mutex> g(mM);
    mFaults.push_back({op, pattern, error, count});
    mArmed.store(true);
}

void FaultEnv::Clear() {
    std::lock_guard<std::mutex> g(mM);
    mFaults.clear();
    mArmed.store(false);
}

int FaultEnv::Gate(FsOp op, const std::string& path) {
    if (!mArmed.load()) return 0;
    std::lock_guard<std::mutex> g(mM);
    for (auto it = mFaults.begin(); it != mFaults.end(); ++it) {
        if (it->op != FsOp::kAny && it->op != op) continue;
        const std::string& p = it->pattern;
        const bool match = !p.empty() && p.back() == '*'
                               ? path.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0
                               : path == p;
        if (!match) continue;
        const int error = it->error;
        if (it->remaining > 0 && --it->remaining == 0) mFaults.erase(it);
        ++mFired;
        return error;
    }
    return 0;
}

}  // namespace Mirel
