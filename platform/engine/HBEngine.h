#pragma once

#include <cstdint>

#include "platform/support/Error.h"

namespace Mirel {

// Process-wide engine state. Database and redo log work is refused until Startup and
// after Shutdown, so a stopping service cannot start new writes.
class HBEngine {
public:
    // The page-cache size and the encryption arguments are accepted for compatibility:
    // the engine writes through the OS page cache and keeps no cache of its own.
    static Error Startup(bool multiThreaded, std::uint32_t cacheSize, const void* encryptInfo,
                         const void* encryptKey);
    static void Shutdown();
    static bool IsStarted();
};

}  // namespace Mirel
