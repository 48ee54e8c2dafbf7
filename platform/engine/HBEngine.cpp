#include "platform/engine/HBEngine.h"

#include <atomic>

namespace Mirel {

namespace {
std::atomic<bool> gStarted{false};
}

Error HBEngine::Startup(bool, std::uint32_t, const void*, const void*) {
    gStarted.store(true);
    return Error();
}

void HBEngine::Shutdown() {
    gStarted.store(false);
}

bool HBEngine::IsStarted() {
    return gStarted.load();
}

}  // namespace Mirel
