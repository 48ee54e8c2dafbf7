// Byte-text helpers shared by every layer: ASCII case, file-name suffixes, hex. Only ASCII
// letters change case; any other byte (UTF-8 included) is left as it is, whatever the
// process's locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Mirel {

std::string AsciiLower(std::string s);
bool EndsWith(const std::string& s, const std::string& suffix);
// The suffix compared without regard to ASCII case.
bool EndsWithNoCase(const std::string& s, const std::string& suffix);
// Without leading and trailing blanks (spaces, tabs, line ends): a preference's text.
std::string TrimBlanks(const std::string& s);

// A hex digit's value (either case); -1 for any other character.
int HexDigitValue(char c);
// Two hex digits per byte, lower case unless `upper`.
std::string HexText(const void* data, std::size_t n, bool upper = false);
// Eight lower-case hex digits: a CRC-32C as the service's files write it.
std::string Hex32(std::uint32_t v);
// Exactly eight hex digits, either case.
bool ParseHex32(const std::string& text, std::uint32_t& v);

}  // namespace Mirel
