#pragma once

#include "platform/engine/Formats.h"
#include "platform/support/unistring.h"

namespace Mirel {

// Database identities: 16 bytes on disk, lower-case canonical text everywhere else.
struct UuidText {
    static Format::Uuid Generate();
    static unistring ToText(const Format::Uuid& u);
    static bool FromText(const unistring& text, Format::Uuid& out);
};

}  // namespace Mirel
