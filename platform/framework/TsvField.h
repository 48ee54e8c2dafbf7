// The service's TSV files (manifest.tsv, Rejected/reasons.tsv, Failed.tsv) carry paths, which
// may hold any byte: '%', TAB, LF and CR are written as %25, %09, %0A and %0D.
#pragma once

#include <string>

namespace Talon {

std::string EscapeTsvField(const std::string& text);
// False for a '%' not followed by two hex digits.
bool UnescapeTsvField(const std::string& field, std::string& text);

}  // namespace Talon
