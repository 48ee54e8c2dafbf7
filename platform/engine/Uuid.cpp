#include "platform/engine/Uuid.h"

#include <uuid/uuid.h>

namespace Mirel {

Format::Uuid UuidText::Generate() {
    Format::Uuid u;
    ::uuid_generate(u.data());
    return u;
}

unistring UuidText::ToText(const Format::Uuid& u) {
    char buf[37];
    ::uuid_unparse_lower(u.data(), buf);
    return unistring::FromUTF8(buf);
}

bool UuidText::FromText(const unistring& text, Format::Uuid& out) {
    std::string s = text.ToUTF8();
    if (s.size() != 36) return false;
    return ::uuid_parse(s.c_str(), out.data()) == 0;
}

}  // namespace Mirel
