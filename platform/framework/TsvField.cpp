#include "platform/framework/TsvField.h"
#include "platform/support/TextUtil.h"

namespace Talon {

std::string EscapeTsvField(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '%':
                out += "%25";
                break;
            case '\t':
                out += "%09";
                break;
            case '\n':
                out += "%0A";
                break;
            case '\r':
                out += "%0D";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool UnescapeTsvField(const std::string& field, std::string& text) {
    text.clear();
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            text += field[i];
            continue;
        }
        if (i + 2 >= field.size()) return false;
        int hi = Mirel::HexDigitValue(field[i + 1]), lo = Mirel::HexDigitValue(field[i + 2]);
        if (hi < 0 || lo < 0) return false;
        text += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

}  // namespace Talon
