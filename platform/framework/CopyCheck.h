// A last-good copy's bytes against its manifest line: read once, either to check them where
// they lie or while they are copied. Nothing a check has not passed is put in place.
#pragma once

#include <cstdint>
#include <string>

namespace Talon {

struct CopyCheck {
    std::uint64_t size = 0;  // as the line has them
    std::uint32_t crc = 0;
    // What the bytes were, for the record of a mismatch ("size X and CRC-32C Y, listed ...").
    std::string found;
};

// 0 when the file's size and CRC-32C are the line's; 10727 when they are not; else the
// error that kept the file from being read.
int CheckCopy(const std::string& path, CopyCheck& check);

// Copies `from` to `to` through a short temporary name beside it, and puts the copy in
// place (synced, with its folder) only when the bytes read are the line's: 10727 otherwise,
// and nothing is left behind. Where the file system offers it the copy is a clone sharing
// the source's blocks (Os::CloneFile), whose bytes are then read for the check; elsewhere,
// or when the clone fails, the bytes are read from the source and written.
int CopyChecked(const std::string& from, const std::string& to, CopyCheck& check);

}  // namespace Talon
