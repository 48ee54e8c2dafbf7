// The manifest of a last-good folder ("manifest.tsv", format in docs/formats.md): every
// database file and container file below the folder with its size and CRC-32C, and each
// database's identity, written just before the folder becomes last-good. It lets anyone
// prove later, without the service, that a copy still holds the bytes the service wrote.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/framework/Codecs.h"
#include "platform/framework/TalonError.h"
#include "platform/support/Directory.h"

namespace Talon {

// What a check found for one file.
struct ManifestFinding {
    enum Result {
        kOk,
        kDiffers,       // size, CRC-32C or header not as listed
        kMissing,       // listed, not there
        kNotListed,     // there, not listed
        kNotADatabase,  // its header or length says it is no database
        kUnreadable,    // an error while reading (detail says which)
    };
    Result result = kOk;
    ManifestEntry::Kind kind = ManifestEntry::kDatabase;
    std::string path;
    std::string detail;
    ManifestEntry listed;  // as the manifest has it (empty for kNotListed)
    ManifestEntry found;   // as the file is now (as far as it could be read)
    int error = 0;         // the read error for kUnreadable and kMissing
};

struct ManifestSource;

class Manifest {
public:
    static const char* const sFileName;  // "manifest.tsv", its text as EncodeManifest writes it

    std::uint64_t intervalEnd = 0;  // UTC microseconds, exact
    std::vector<ManifestEntry> entries;

    // Writes the folder's manifest durably: a temporary name, synced, renamed over any older
    // manifest, the folder synced. A file that is the same inode as the one at the same path
    // in a last-good folder beside it (a copy carried forward by a hard link) takes that
    // folder's line unchanged, whatever the file holds now: its bytes were not read, so they
    // are not certified again. Such a file that no manifest lists is left out.
    // `held` names (relative paths) the copies that are a failed database's newest good copy
    // rather than its state at the interval's end. `written`, when given, receives what was
    // written.
    // `known` (relative path: the file's identity, Talon::EncodeFileIdentity, and its line)
    // gives database lines read before, by whoever wrote the file last: a file that still
    // has that identity takes its line without being read again.
    using KnownLines = std::map<std::string, std::pair<std::string, ManifestEntry>>;
    static Error Write(const Mirel::Directory& folder, std::uint64_t intervalEnd,
                       const std::set<std::string>& held = {}, Manifest* written = nullptr,
                       const KnownLines* known = nullptr);

    // Removes a last-good folder that holds nothing but its manifest (its last copy is gone);
    // 20303 and nothing touched while anything else is in it.
    static Error DeleteFolderIfOnlyManifest(const Mirel::Directory& folder);

    // Reads a folder's manifest: 20301 when there is none, 10709 when it is damaged (`why`
    // says how).
    static Error Read(const Mirel::Directory& folder, Manifest& out, std::string* why = nullptr);

    // The manifest the folder's files would have now, lines taken over from `sources`.
    static Error Compute(const Mirel::Directory& folder, std::uint64_t intervalEnd, Manifest& out,
                         std::vector<ManifestSource>* sources = nullptr,
                         const KnownLines* known = nullptr);

    // Database files below a folder as the service lists them (a name ending in .vdb in any
    // case, down to three levels, not inside a container folder), relative paths in name
    // order. Empty with an error when the folder cannot be walked. `notFiles` (optional)
    // receives the entries named like databases that are no regular file (FIFOs, sockets,
    // devices): they are never listed as databases. `containers` (optional) receives the
    // container folders (".vdb.rc", relative paths) the walk met.
    static std::vector<std::string> ListDatabases(const Mirel::Directory& folder,
                                                  Error* error = nullptr,
                                                  std::vector<std::string>* notFiles = nullptr,
                                                  std::set<std::string>* containers = nullptr);
    // The container files of a database (relative path) below the folder.
    static std::vector<std::string> ListContainerFiles(const Mirel::Directory& folder,
                                                       const std::string& database);

    // Re-reads every file the manifest lists and every database file in the folder, and says
    // what differs. `progress` (optional) is called with the bytes read so far and the path
    // of the file about to be read.
    std::vector<ManifestFinding> Check(
        const Mirel::Directory& folder,
        const std::function<void(std::uint64_t, const std::string&)>& progress = {}) const;

    // Size and CRC-32C of a whole file; `bytesRead` (optional) is called as it goes.
    static Error Checksum(const std::string& path, std::uint64_t& size, std::uint32_t& crc,
                          const std::function<void(std::uint64_t)>& bytesRead = {});
    // The database fields of an entry, read from the file's header; 10709 when it is none.
    static Error ReadDatabaseHeader(const std::string& path, ManifestEntry& entry);

    // The entry of a path; an index is built on first use (entries are not renamed in place
    // once looked up).
    const ManifestEntry* Find(const std::string& path) const;

private:
    mutable std::unordered_map<std::string, std::size_t> mIndex;
    mutable std::size_t mIndexed = 0;  // entries the index covers
};

// Another folder's manifest, whose lines files that are the same inode there take over;
// read when first needed.
struct ManifestSource {
    Mirel::Directory folder;
    Manifest manifest;
    enum State { kUnread, kRead, kUnreadable } state = kUnread;
};

}  // namespace Talon
