// The byte forms of the files the service and its tools keep beside the server's database
// files and redo logs (docs/formats.md): the interval-done file, Failed.tsv,
// Rejected/reasons.tsv, Rejected/pruned.tsv, Unwritten.tsv, UploadsAfter.tsv and a last-good
// folder's manifest.tsv. Each is encoded and decoded here and nowhere else; nothing here
// opens a file, so the callers choose how the bytes are read and written. The database file
// and the redo log are the engine's (platform/engine/Formats.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/support/unistring.h"

namespace Talon {

// ---- Interval-done file: magic "VLMKIDN1" (8), version (4), count (4), end UTC (8), count
// UUIDs (16 each), CRC-32C of every byte before it (4).
inline constexpr std::size_t kIntervalDoneFixed = 24;
inline constexpr std::uint32_t kIntervalDoneMaxCount = 1u << 20;
inline constexpr std::size_t kIntervalDoneMinSize = kIntervalDoneFixed + 4;
inline constexpr std::size_t kIntervalDoneMaxSize =
    kIntervalDoneFixed + 4 + 16ull * kIntervalDoneMaxCount;
// False when a UUID is not UUID text.
bool EncodeIntervalDone(std::uint64_t endUTC, const std::vector<Mirel::unistring>& uuids,
                        std::vector<std::uint8_t>& out);
// False for bytes that are not an interval-done file: size out of range or not matching the
// count, wrong magic, version or CRC-32C, an end of 0 or one no last-good folder name can
// hold. Nothing is set then. `uuids` (canonical text) may be null.
bool DecodeIntervalDone(const std::uint8_t* data, std::size_t size, std::uint64_t& endUTC,
                        std::vector<Mirel::unistring>* uuids);

// ---- Lines of the TSV files. A decoder takes one line without its LF.
enum class TsvLine {
    kNothing,    // empty, or a comment ('#')
    kEntry,      // read
    kMalformed,  // not a line of this file
};
// The text's lines, split at LF; a last line without LF counts too.
std::vector<std::string> SplitLines(const std::string& text);

// ---- Failed.tsv: <UUID> TAB <error> TAB <UTC when recorded> TAB <the error's words> LF.
extern const char* const kFailedListHeader;
struct FailedLine {
    std::string uuid;  // as written
    std::int32_t error = 0;
    bool hasSince = false;
    std::uint64_t since = 0;
    std::string words;  // empty in an older service's line
    // The documented form: a 36-character UUID, a whole error number and a time, each a
    // field of its own. The service has always taken less (an error number at the start of
    // the second field, the time where a third field follows); ibsdb takes only this.
    bool complete = false;
};
std::string EncodeFailedLine(const FailedLine& line);
// A trailing CR is dropped. kEntry for a line with a UUID field and a non-zero error
// number at the start of the next field (or a complete line, error 0 included).
TsvLine DecodeFailedLine(std::string line, FailedLine& out);

// ---- Rejected/reasons.tsv: <name in Rejected/> TAB <error> TAB <UTC> TAB <original path>
// TAB <why, in words> LF; name, path and words escaped as TSV fields (TsvField.h).
struct ReasonLine {
    std::string name;  // as written (not unescaped)
    int error = 0;
    std::uint64_t when = 0;
    std::string originalPath;
    std::string why;  // empty in an older service's line
};
std::string EncodeReasonLine(const ReasonLine& line);
// A trailing CR is dropped; fields after the words are ignored. A path or words whose
// escapes are broken are kept as written.
TsvLine DecodeReasonLine(std::string line, ReasonLine& out);

// ---- Rejected/pruned.tsv (ibsdb prune-rejected): <UTC of the run> TAB <limit> TAB
// <entries> TAB <bytes> TAB <name>... LF, names escaped.
extern const char* const kPrunedRecordHeader;
std::string EncodePrunedLine(std::uint64_t when, std::uint64_t limit, std::uint64_t entries,
                             std::uint64_t bytes, const std::vector<std::string>& names);

// ---- A file's identity in Unwritten.tsv and UploadsAfter.tsv: <inode> SP <size> SP
// <UTC microseconds>.<nanoseconds>, compared as text.
std::string EncodeFileIdentity(std::uint64_t inode, std::uint64_t size, std::uint64_t mtimeUs,
                               std::uint64_t mtimeNs);

// ---- Unwritten.tsv: <path> TAB <identity> LF, by path. Empty text for no entries.
std::string EncodeUnwrittenList(const std::map<std::string, std::string>& copies);
// The line appended to forget a copy: <path> TAB - LF.
std::string EncodeUnwrittenForget(const std::string& path);
// A line without a TAB, or with a NUL (an append a power loss tore), is skipped; the identity
// is the rest of the line. A later line of a path replaces an earlier one, and "-" forgets it.
std::map<std::string, std::string> DecodeUnwrittenList(const std::string& text);

// ---- UploadsAfter.tsv: <path> TAB <identity> TAB <end> TAB <UUID> TAB <failure> LF.
struct UploadAfter {
    std::string id;  // the file's identity
    std::uint64_t after = 0;
    Mirel::unistring uuid;
    std::int32_t cleared = 0;  // the failure the upload cleared; 0 none
};
std::string EncodeUploadsAfter(const std::map<std::string, UploadAfter>& lines);
// A line without exactly five fields, or whose end or failure is not all digits, is skipped.
std::map<std::string, UploadAfter> DecodeUploadsAfter(const std::string& text);

// ---- Taken.tsv: <redo folder name> TAB <log name> TAB <UUID> TAB <MSN> LF, one line per
// redo log taken, the names escaped as TSV fields.
struct TakenLog {
    std::string folder, name;
    Mirel::unistring uuid;
    std::uint64_t msn = 0;
};
std::string EncodeTakenLine(const TakenLog& log);
// A line without exactly four fields, with a NUL or a bad escape, or whose MSN is not all
// digits (an append a power loss tore) is skipped.
std::vector<TakenLog> DecodeTakenList(const std::string& text);

// ---- manifest.tsv of a last-good folder.
inline constexpr int kManifestVersion = 2;  // adds the state; version 1 is still read

struct ManifestEntry {
    enum Kind { kDatabase, kContainer };
    Kind kind = kDatabase;
    std::string path;  // relative to the folder, '/' between elements, UTF-8
    // Databases only. An unreadable header leaves the UUID empty and the numbers 0.
    std::string uuid;
    std::uint64_t msn = 0;
    std::uint32_t pageSize = 0;
    std::uint64_t pageCount = 0;
    // A failed database's newest good copy, older than the interval's end (version 2).
    bool held = false;
    // Both kinds: the whole file.
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

std::string EncodeManifest(std::uint64_t intervalEnd, const std::vector<ManifestEntry>& entries);
// False for a damaged manifest (`why` says where and what); what was read before the damage
// is left in the outputs.
bool DecodeManifest(const std::string& text, std::uint64_t& intervalEnd,
                    std::vector<ManifestEntry>& entries, std::string* why = nullptr);

}  // namespace Talon
