// A client of an S3-compatible object store on libcurl, which signs every request with AWS
// Signature V4. Each operation is one attempt (PutFile's parts excepted, see Config::
// partRetry); Retry in Status.h repeats one. Every upload carries its SHA-256 and MD5, so the
// store refuses bytes that changed on the way, and the ETag it answers is checked against
// what was sent. A Client may be used from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/objectstore/Config.h"
#include "platform/objectstore/Status.h"

namespace ObjectStore {

class Digests;

struct ObjectInfo {
    std::string key;
    std::uint64_t size = 0;  // the whole object's, also after a ranged GET
    std::string etag;        // without quotes
    std::string lastModified;
    std::map<std::string, std::string> metadata;  // x-amz-meta-*, names lower case
};

struct PutOptions {
    // Never overwrite: a key that already holds an object fails with kPreconditionFailed.
    bool ifNoneMatch = false;
    std::map<std::string, std::string> metadata;  // sent as x-amz-meta-NAME
    // The object's MD5 (32 hexadecimal digits) as known before it was read, for example
    // from where it was written: sent as Content-MD5 in place of the MD5 of the bytes read,
    // so the store refuses an object that changed since. Single PUTs only.
    std::string expectedMd5;
    // With expectedMd5, the object's SHA-256 (64 hexadecimal digits) as the caller just read
    // it: a single PUT then skips its own hashing pass and sends these; the store refuses
    // bytes that do not match them. Single PUTs only; ignored for multipart uploads.
    std::string knownSha256;
};

struct PutResult {
    std::uint64_t size = 0;
    std::string etag;    // as the store answered and the client checked
    std::string md5;     // hex, of the whole object (single PUTs only)
    std::string sha256;  // hex, of the whole object (single PUTs only)
    unsigned parts = 0;  // 0: a single PUT
};

struct GetOptions {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // 0: to the end
    // Only this version: a ranged read that resumes cannot mix two objects.
    std::string ifMatch;
    // For a whole object with a plain-MD5 ETag: the bytes received are checked against it.
    bool checkMd5 = false;
};

// Takes the object's bytes in order; false stops the transfer (kLocal).
using Sink = std::function<bool(const char* data, std::size_t n)>;

struct ListPage {
    std::vector<ObjectInfo> objects;  // key, size, ETag and date; no metadata
    std::string nextToken;            // empty on the last page
};

struct PendingUpload {
    std::string key;
    std::string uploadId;
    std::string initiated;
};

struct CompletedPart {
    int number = 0;
    std::string etag;
};

class Client {
public:
    explicit Client(Config config);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const Config& config() const { return mConfig; }
    // The part size PutFile uses for a file of `size` bytes; 0 when it goes in a single PUT.
    // A caller that hashed the file itself can then foresee a multipart upload's ETag.
    std::uint64_t PartSizeFor(std::uint64_t size) const;

    Status PutObject(const std::string& key, const void* data, std::size_t size,
                     const PutOptions& options = {}, PutResult* result = nullptr);
    // A file, single or multipart by its size; its parts go out in parallel, each retried
    // by Config::partRetry. A failed multipart upload is aborted, so it leaves no object.
    Status PutFile(const std::string& key, const std::string& path, const PutOptions& options = {},
                   PutResult* result = nullptr);
    Status HeadObject(const std::string& key, ObjectInfo& info);
    Status GetObject(const std::string& key, const Sink& sink, const GetOptions& options = {},
                     ObjectInfo* info = nullptr);
    // One page of the keys that start with `prefix`, in key order, after `token`.
    Status ListObjects(const std::string& prefix, const std::string& token, ListPage& page,
                       unsigned maxKeys = 1000);
    // Every page.
    Status ListAll(const std::string& prefix, std::vector<ObjectInfo>& objects);
    Status DeleteObject(const std::string& key);

    Status CreateMultipartUpload(const std::string& key, const PutOptions& options,
                                 std::string& uploadId);
    // The part's ETag (its MD5, hex) once the store has checked and confirmed it.
    Status UploadPart(const std::string& key, const std::string& uploadId, int number,
                      const void* data, std::size_t size, std::string& etag);
    // With ifNoneMatch the completion asks the store not to overwrite (not every store heeds
    // it on a completion; PutFile also looks first).
    Status CompleteMultipartUpload(const std::string& key, const std::string& uploadId,
                                   const std::vector<CompletedPart>& parts,
                                   std::string* etag = nullptr, bool ifNoneMatch = false);
    Status AbortMultipartUpload(const std::string& key, const std::string& uploadId);
    // Multipart uploads begun and neither completed nor aborted, of keys under `prefix`:
    // what a killed uploader leaves behind.
    Status ListMultipartUploads(const std::string& prefix, std::vector<PendingUpload>& uploads);

    // Stops every transfer in progress and refuses new ones (kCancelled) until Resume.
    void Cancel() { mCancelled.store(true); }
    void Resume() { mCancelled.store(false); }
    bool Cancelled() const { return mCancelled.load(); }

    struct Request;
    struct Source;

private:
    Status Perform(Request& request);
    Status SendBody(Request& request, Source& source, const Digests& digests,
                    const std::string& contentMd5);
    Status PutSingle(const std::string& key, Source& source, const Digests& digests,
                     const PutOptions& options, PutResult* result);
    Status SendPart(const std::string& key, const std::string& uploadId, int number, Source& source,
                    const Digests& digests, std::uint64_t sendLimit);
    Status PutFileMultipart(const std::string& key, int fd, const std::string& path,
                            std::uint64_t size, const PutOptions& options, PutResult* result);

    void* TakeHandle();
    void GiveBack(void* handle);

    Config mConfig;
    std::atomic<bool> mCancelled{false};
    struct Pool;
    std::unique_ptr<Pool> mPool;
};

// Percent-encodes every byte but A-Z a-z 0-9 - _ . ~ (and '/' when keepSlash), as Signature
// V4 wants paths and query values.
std::string UriEncode(const std::string& s, bool keepSlash);

}  // namespace ObjectStore
