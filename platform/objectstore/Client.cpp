#include "platform/objectstore/Client.h"

#include <curl/curl.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/objectstore/Digest.h"
#include "platform/support/ErrorCodes.h"
#include "platform/support/Os.h"
#include "platform/support/TextUtil.h"

namespace ObjectStore {

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kMaxErrorBody = 64 * 1024;
constexpr std::uint64_t kMinPartSize = 5ull << 20;
constexpr std::uint64_t kMaxParts = 10000;

std::string Unquote(std::string s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

std::string UriDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const std::string raw = s[i] == '%' && i + 2 < s.size() ? Unhex(s.substr(i + 1, 2)) : "";
        if (raw.size() == 1) {
            out += raw;
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

const char* Text(const tinyxml2::XMLElement* parent, const char* name) {
    const tinyxml2::XMLElement* e = parent ? parent->FirstChildElement(name) : nullptr;
    const char* t = e ? e->GetText() : nullptr;
    return t ? t : "";
}

const tinyxml2::XMLElement* RootOf(tinyxml2::XMLDocument& doc, const std::string& body) {
    if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS) return nullptr;
    return doc.RootElement();
}

// The answer's root when it is the element expected; else the status says it is not.
const tinyxml2::XMLElement* Expect(const tinyxml2::XMLElement* root, const char* name,
                                   Status& status) {
    if (root != nullptr && std::strcmp(root->Name(), name) == 0) return root;
    status.cause = Cause::kProtocol;
    status.message = std::string("the answer is not a ") + name;
    return nullptr;
}

Status Fail(Cause cause, const std::string& operation, const std::string& key,
            const std::string& message) {
    Status s;
    s.cause = cause;
    s.operation = operation;
    s.key = key;
    s.message = message;
    return s;
}

Cause ClassifyTransport(CURLcode rc) {
    switch (rc) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return Cause::kConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return Cause::kTimeout;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_FAIL_REWIND:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return Cause::kConnectionLost;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            return Cause::kTls;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return Cause::kConfig;
        default:
            return Cause::kProtocol;
    }
}

Cause ClassifyAnswer(long http, const std::string& code) {
    static const std::pair<const char*, Cause> byCode[] = {
        {"InvalidAccessKeyId", Cause::kCredentials},
        {"SignatureDoesNotMatch", Cause::kCredentials},
        {"UserSuspended", Cause::kCredentials},
        {"InvalidToken", Cause::kCredentials},
        {"ExpiredToken", Cause::kCredentialsExpired},
        {"TokenRefreshRequired", Cause::kCredentialsExpired},
        {"RequestTimeTooSkewed", Cause::kClockSkew},
        {"RequestExpired", Cause::kClockSkew},
        {"BadDigest", Cause::kBadDigest},
        {"XAmzContentSHA256Mismatch", Cause::kBadDigest},
        {"SlowDown", Cause::kThrottled},
        {"TooManyRequests", Cause::kThrottled},
        {"QuotaExceeded", Cause::kStoreFull},
        {"InsufficientStorage", Cause::kStoreFull},
        {"RequestTimeout", Cause::kTimeout},
        {"AccessDenied", Cause::kAccessDenied},
    };
    for (const auto& [name, cause] : byCode) {
        if (code == name) return cause;
    }
    if (http == 404) return Cause::kNotFound;
    if (http == 412) return Cause::kPreconditionFailed;
    if (http == 416) return Cause::kInvalidRange;
    if (http == 429) return Cause::kThrottled;
    if (http == 507) return Cause::kStoreFull;
    if (http >= 500) return Cause::kServer;
    if (http == 401) return Cause::kCredentials;
    if (http == 403) return Cause::kAccessDenied;
    return Cause::kRequest;
}

// The reason of an answer that came without a body (HEAD), so every status names one.
const char* ReasonOf(long http) {
    switch (http) {
        case 400:
            return "BadRequest";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "NotFound";
        case 409:
            return "Conflict";
        case 412:
            return "PreconditionFailed";
        case 416:
            return "InvalidRange";
        case 429:
            return "TooManyRequests";
        case 500:
            return "InternalError";
        case 503:
            return "ServiceUnavailable";
        default:
            return "";
    }
}

// Said for the store when it gives no message: what an operator should look at.
std::string Explain(const std::string& code) {
    static const std::pair<const char*, const char*> texts[] = {
        {"InvalidAccessKeyId", "the store does not know the access key: wrong, revoked or expired"},
        {"SignatureDoesNotMatch", "the secret key does not match the access key"},
        {"UserSuspended", "the store has suspended the access key's user"},
        {"ExpiredToken", "the temporary credentials have expired"},
        {"RequestTimeTooSkewed", "this host's clock is too far from the store's"},
        {"QuotaExceeded", "the store's quota for this user or bucket is used up"},
    };
    for (const auto& [name, text] : texts) {
        if (code == name) return text;
    }
    return "";
}

std::once_flag gCurlInit;

}  // namespace

std::string UriEncode(const std::string& s, bool keepSlash) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
            (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%' + Mirel::HexText(&c, 1, true);
        }
    }
    return out;
}

struct Client::Source {
    const char* memory = nullptr;  // or a file
    int fd = -1;
    std::string path;
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    int error = 0;  // a failed local read
};

struct Client::Request {
    const char* operation = "";
    const char* method = "GET";
    std::string key;
    std::vector<std::pair<std::string, std::string>> query;
    std::vector<std::string> headers;
    std::string payloadSha256;  // hex; empty: of no bytes
    Source* body = nullptr;     // PUT
    std::string postBody;       // POST
    const Sink* sink = nullptr;
    Digests* receivedDigests = nullptr;
    std::uint64_t sendLimit = 0;
    bool ignoreCancel = false;    // sent, and run to its answer, even once cancelled
    bool finishOnceSent = false;  // not sent once cancelled, but once sent run to its answer

    long code = 0;
    std::map<std::string, std::string> answerHeaders;  // names lower case
    std::string answerBody;                            // all of it without a sink, else errors
    bool sinkStopped = false;
    const std::atomic<bool>* cancelled = nullptr;
    void* handle = nullptr;
};

struct Client::Pool {
    std::mutex mutex;
    std::vector<CURL*> idle;
    ~Pool() {
        for (CURL* h : idle) curl_easy_cleanup(h);
    }
};

Client::Client(Config config) : mConfig(std::move(config)), mPool(new Pool) {
    std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    while (!mConfig.endpoint.empty() && mConfig.endpoint.back() == '/') mConfig.endpoint.pop_back();
}

Client::~Client() = default;

void* Client::TakeHandle() {
    {
        std::lock_guard<std::mutex> lock(mPool->mutex);
        if (!mPool->idle.empty()) {
            CURL* h = mPool->idle.back();
            mPool->idle.pop_back();
            return h;
        }
    }
    return curl_easy_init();
}

void Client::GiveBack(void* handle) {
    std::lock_guard<std::mutex> lock(mPool->mutex);
    mPool->idle.push_back(static_cast<CURL*>(handle));
}

namespace {

extern "C" size_t ReadBody(char* buffer, size_t size, size_t count, void* user) {
    auto* s = static_cast<Client::Source*>(user);
    const std::uint64_t want = std::min<std::uint64_t>(size * count, s->size - s->position);
    if (want == 0) return 0;
    if (s->memory != nullptr) {
        std::memcpy(buffer, s->memory + s->position, want);
    } else {
        std::size_t got = 0;
        const int err =
            Mirel::Os::PReadAll(s->fd, buffer, want, s->start + s->position, got, s->path);
        if (err != 0 || got != want) {
            s->error = err != 0 ? err : Mirel::kErrIO;  // the file shrank since its size was taken
            return CURL_READFUNC_ABORT;
        }
    }
    s->position += want;
    return want;
}

extern "C" int SeekBody(void* user, curl_off_t offset, int origin) {
    auto* s = static_cast<Client::Source*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > s->size) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    s->position = static_cast<std::uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

extern "C" size_t TakeHeader(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Client::Request*>(user);
    const std::string line(data, size * count);
    // A new answer (after 100 Continue) starts with its status line.
    if (line.rfind("HTTP/", 0) == 0) {
        r->answerHeaders.clear();
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        const auto b = value.find_first_not_of(" \t");
        const auto e = value.find_last_not_of(" \t\r\n");
        value = b == std::string::npos ? "" : value.substr(b, e - b + 1);
        r->answerHeaders[Mirel::AsciiLower(line.substr(0, colon))] = value;
    }
    return size * count;
}

extern "C" size_t TakeBody(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Client::Request*>(user);
    const std::size_t n = size * count;
    if (r->code == 0)
        curl_easy_getinfo(static_cast<CURL*>(r->handle), CURLINFO_RESPONSE_CODE, &r->code);
    if (r->sink != nullptr && r->code >= 200 && r->code < 300) {
        if (r->receivedDigests != nullptr) r->receivedDigests->Update(data, n);
        if (!(*r->sink)(data, n)) {
            r->sinkStopped = true;
            return 0;
        }
        return n;
    }
    if (r->answerBody.size() < (r->sink != nullptr ? kMaxErrorBody : SIZE_MAX)) {
        r->answerBody.append(data, n);
    }
    return n;
}

extern "C" int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* r = static_cast<Client::Request*>(user);
    return !r->ignoreCancel && !r->finishOnceSent && r->cancelled->load() ? 1 : 0;
}

}  // namespace

Status Client::Perform(Request& r) {
    Status status;
    status.operation = r.operation;
    status.key = r.key;
    r.cancelled = &mCancelled;
    if (!r.ignoreCancel && mCancelled.load()) {
        status.cause = Cause::kCancelled;
        status.message = "the client was cancelled";
        return status;
    }

    std::sort(r.query.begin(), r.query.end());
    std::string url = mConfig.endpoint + "/" + UriEncode(mConfig.bucket, false);
    if (!r.key.empty()) url += "/" + UriEncode(r.key, true);
    // Signature V4 signs the query as sent: it must already be in canonical form.
    for (std::size_t i = 0; i < r.query.size(); ++i) {
        url += (i == 0 ? "?" : "&") + UriEncode(r.query[i].first, false) + "=" +
               UriEncode(r.query[i].second, false);
    }

    CURL* h = static_cast<CURL*>(TakeHandle());
    if (h == nullptr) return Fail(Cause::kLocal, r.operation, r.key, "libcurl has no handle");
    curl_easy_reset(h);
    r.handle = h;
    r.code = 0;
    char error[CURL_ERROR_SIZE] = "";
    const std::string sigv4 = "aws:amz:" + mConfig.region + ":s3";
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_AWS_SIGV4, sigv4.c_str());
    // Not CURLOPT_USERPWD: it would split a key holding ':' there.
    curl_easy_setopt(h, CURLOPT_USERNAME, mConfig.accessKey.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, mConfig.secretKey.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, mConfig.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, mConfig.stallBytesPerSecond);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, mConfig.stallSeconds);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, mConfig.verifyTls ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, mConfig.verifyTls ? 2L : 0L);
    if (!mConfig.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, mConfig.caFile.c_str());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, TakeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, TakeBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &r);
    if (mConfig.maxRecvBytesPerSecond > 0) {
        curl_easy_setopt(h, CURLOPT_MAX_RECV_SPEED_LARGE,
                         static_cast<curl_off_t>(mConfig.maxRecvBytesPerSecond));
    }

    curl_slist* headers = nullptr;
    // libcurl cannot hash a streamed body: the hash is sent, and so signed, by us.
    const std::string sha = r.payloadSha256.empty() ? Sha256HexOf(r.postBody) : r.payloadSha256;
    headers = curl_slist_append(headers, ("x-amz-content-sha256: " + sha).c_str());
    for (const std::string& line : r.headers) headers = curl_slist_append(headers, line.c_str());

    const std::string method = r.method;
    if (method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (method == "DELETE") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
    } else if (method == "PUT") {
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(r.body->size));
        curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadBody);
        curl_easy_setopt(h, CURLOPT_READDATA, r.body);
        curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, SeekBody);
        curl_easy_setopt(h, CURLOPT_SEEKDATA, r.body);
        curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
        if (r.sendLimit > 0) {
            curl_easy_setopt(h, CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(r.sendLimit));
        }
    } else if (method == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, r.postBody.c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(r.postBody.size()));
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);

    const CURLcode rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &r.code);
    long osError = 0;
    curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osError);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    GiveBack(h);

    status.httpCode = r.code;
    if (rc != CURLE_OK) {
        status.errorCode = "curl " + std::to_string(static_cast<int>(rc));
        status.message = error[0] != '\0' ? error : curl_easy_strerror(rc);
        if (r.body != nullptr && r.body->error != 0) {
            status.cause = Cause::kLocal;
            status.localError = r.body->error;
            status.message = "reading " + r.body->path + " failed";
        } else if (r.sinkStopped) {
            status.cause = Cause::kLocal;
            status.message = "the receiver stopped the transfer";
        } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
            status.cause = Cause::kCancelled;
            status.message = "the client was cancelled";
        } else {
            status.cause = ClassifyTransport(rc);
            // "Couldn't connect" alone does not tell a stopped store from a firewall.
            if (osError != 0) status.message += " (" + std::string(std::strerror(osError)) + ")";
        }
        return status;
    }
    if (r.code >= 200 && r.code < 300) return status;

    status.errorCode = ReasonOf(r.code);
    tinyxml2::XMLDocument doc;
    const tinyxml2::XMLElement* root = RootOf(doc, r.answerBody);
    if (root != nullptr && std::strcmp(root->Name(), "Error") == 0) {
        if (*Text(root, "Code") != '\0') status.errorCode = Text(root, "Code");
        status.message = Text(root, "Message");
    }
    status.cause = ClassifyAnswer(r.code, status.errorCode);
    if (status.message.empty()) status.message = Explain(status.errorCode);
    return status;
}

namespace {

void AddPutHeaders(std::vector<std::string>& headers, const PutOptions& options) {
    headers.push_back("Content-Type: application/octet-stream");
    for (const auto& [name, value] : options.metadata) {
        headers.push_back("x-amz-meta-" + name + ": " + value);
    }
}

// Hashes a file's range in one pass.
int HashRange(int fd, const std::string& path, std::uint64_t offset, std::uint64_t size,
              Digests& digests) {
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)), '\0');
    for (std::uint64_t done = 0; done < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - done));
        std::size_t got = 0;
        const int err = Mirel::Os::PReadAll(fd, buffer.data(), want, offset + done, got, path);
        if (err != 0) return err;
        if (got != want) return Mirel::kErrIO;
        digests.Update(buffer.data(), got);
        done += got;
    }
    digests.Finish();
    return 0;
}

// What the store answers a PUT with If-None-Match on a key that holds an object.
Status KeyTaken(const std::string& key) {
    Status s =
        Fail(Cause::kPreconditionFailed, "PutObject", key, "the key already holds an object");
    s.httpCode = 412;
    s.errorCode = "PreconditionFailed";
    return s;
}

Status LocalFailure(const char* operation, const std::string& key, const std::string& what,
                    int error) {
    Status s = Fail(Cause::kLocal, operation, key, what);
    s.localError = error;
    return s;
}

}  // namespace

Status Client::SendBody(Request& r, Source& source, const Digests& digests,
                        const std::string& contentMd5) {
    r.method = "PUT";
    r.body = &source;
    // Unsigned, the payload is still checked by its MD5, a signed header.
    r.payloadSha256 = mConfig.signPayload ? Hex(digests.Sha256()) : "UNSIGNED-PAYLOAD";
    r.headers.push_back("Content-MD5: " + Base64(contentMd5));
    Status status = Perform(r);
    // The store's ETag of a single PUT or a part is the MD5 of what it stored.
    const std::string answered = Unquote(r.answerHeaders["etag"]);
    if (status.ok() && answered != Hex(digests.Md5())) {
        status.cause = Cause::kIntegrity;
        status.message = "the store answered ETag \"" + answered + "\" for bytes whose MD5 is " +
                         Hex(digests.Md5());
    }
    return status;
}

Status Client::PutSingle(const std::string& key, Source& source, const Digests& digests,
                         const PutOptions& options, PutResult* result) {
    Request r;
    r.operation = "PutObject";
    r.key = key;
    r.sendLimit = mConfig.maxSendBytesPerSecond;
    std::string md5 = digests.Md5();
    if (!options.expectedMd5.empty()) {
        md5 = Unhex(options.expectedMd5);
        if (md5.size() != 16) {
            return Fail(Cause::kRequest, r.operation, key, "expectedMd5 is not 32 hex digits");
        }
    }
    if (options.ifNoneMatch) r.headers.push_back("If-None-Match: *");
    AddPutHeaders(r.headers, options);
    Status status = SendBody(r, source, digests, md5);
    if (status.ok() && result != nullptr) {
        result->size = source.size;
        result->etag = result->md5 = Hex(digests.Md5());
        result->sha256 = Hex(digests.Sha256());  // empty when the payload is not signed
        result->parts = 0;
    }
    return status;
}

Status Client::PutObject(const std::string& key, const void* data, std::size_t size,
                         const PutOptions& options, PutResult* result) {
    Digests digests(mConfig.signPayload);
    digests.Update(data, size);
    digests.Finish();
    Source source;
    source.memory = static_cast<const char*>(data);
    source.size = size;
    return PutSingle(key, source, digests, options, result);
}

std::uint64_t Client::PartSizeFor(std::uint64_t size) const {
    if (size < mConfig.multipartThreshold || size <= kMinPartSize) return 0;
    const std::uint64_t partSize = std::max(mConfig.partSize, kMinPartSize);
    return std::max(partSize, (size + kMaxParts - 1) / kMaxParts);
}

Status Client::PutFile(const std::string& key, const std::string& path, const PutOptions& options,
                       PutResult* result) {
    int fd = -1;
    int err = Mirel::Os::OpenRead(path, fd);
    Mirel::Os::Info info;
    if (err == 0) err = Mirel::Os::FStat(fd, info, path);
    Status status;
    if (err != 0) {
        status = LocalFailure("PutObject", key, "cannot open " + path, err);
    } else if (PartSizeFor(info.size) != 0) {
        status = PutFileMultipart(key, fd, path, info.size, options, result);
    } else {
        // Hashed first, then sent from the file again: memory stays small, and bytes that
        // change between the two passes are refused by the store.
        Digests digests(mConfig.signPayload);
        const std::string md5 = Unhex(options.expectedMd5), sha = Unhex(options.knownSha256);
        if (md5.size() == 16 && sha.size() == 32)
            digests.Assume(md5, sha);
        else
            err = HashRange(fd, path, 0, info.size, digests);
        if (err != 0) {
            status = LocalFailure("PutObject", key, "reading " + path + " failed", err);
        } else {
            Source source;
            source.fd = fd;
            source.path = path;
            source.size = info.size;
            status = PutSingle(key, source, digests, options, result);
        }
    }
    if (fd >= 0) Mirel::Os::Close(fd);
    return status;
}

Status Client::SendPart(const std::string& key, const std::string& uploadId, int number,
                        Source& source, const Digests& digests, std::uint64_t sendLimit) {
    Request r;
    r.operation = "UploadPart";
    r.key = key;
    r.query = {{"partNumber", std::to_string(number)}, {"uploadId", uploadId}};
    r.sendLimit = sendLimit;
    return SendBody(r, source, digests, digests.Md5());
}

Status Client::PutFileMultipart(const std::string& key, int fd, const std::string& path,
                                std::uint64_t size, const PutOptions& options, PutResult* result) {
    if (!options.expectedMd5.empty()) {
        return Fail(Cause::kRequest, "PutObject", key,
                    "expectedMd5 applies to single PUTs; this file goes in parts");
    }
    const std::uint64_t partSize = PartSizeFor(size);
    const std::size_t count = static_cast<std::size_t>((size + partSize - 1) / partSize);

    if (options.ifNoneMatch) {
        // Checked before any byte goes out; the completion asks again (see below).
        ObjectInfo existing;
        Status head = HeadObject(key, existing);
        if (head.ok()) return KeyTaken(key);
        if (head.cause != Cause::kNotFound) return head;
    }

    std::string uploadId;
    Status status = CreateMultipartUpload(key, options, uploadId);
    if (!status.ok()) return status;

    std::vector<std::string> md5s(count);
    std::mutex failMutex;
    Status firstFailure;
    std::atomic<bool> failed{false};
    std::atomic<std::size_t> next{0};
    const unsigned threads =
        static_cast<unsigned>(std::min<std::size_t>(std::max(1u, mConfig.parallelParts), count));
    const std::uint64_t sendLimit =
        mConfig.maxSendBytesPerSecond == 0
            ? 0
            : std::max<std::uint64_t>(1, mConfig.maxSendBytesPerSecond / threads);
    auto work = [&] {
        for (std::size_t i = next++; i < count && !failed.load(); i = next++) {
            const std::uint64_t offset = i * partSize;
            const std::uint64_t length = std::min(partSize, size - offset);
            Digests digests(mConfig.signPayload);
            const int err = HashRange(fd, path, offset, length, digests);
            Status s;
            if (err != 0) {
                s = LocalFailure("UploadPart", key, "reading " + path + " failed", err);
            } else {
                md5s[i] = digests.Md5();
                s = Retry(mConfig.partRetry, [&] {
                    Source source;
                    source.fd = fd;
                    source.path = path;
                    source.start = offset;
                    source.size = length;
                    return SendPart(key, uploadId, static_cast<int>(i + 1), source, digests,
                                    sendLimit);
                });
            }
            if (!s.ok()) {
                std::lock_guard<std::mutex> lock(failMutex);
                if (!failed.exchange(true)) firstFailure = s;
            }
        }
    };
    std::vector<std::thread> pool;
    // The parts are read through the caller's Env.
    Mirel::Env& env = Mirel::Env::Current();
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back([&env, &work] {
            Mirel::Env::Scope files(env);
            work();
        });
    work();
    for (std::thread& t : pool) t.join();

    std::string expected;
    std::vector<CompletedPart> parts;
    if (!failed.load()) {
        std::string all;
        for (std::size_t i = 0; i < count; ++i) {
            all += md5s[i];
            parts.push_back({static_cast<int>(i + 1), Hex(md5s[i])});
        }
        expected = Hex(Md5Of(all)) + "-" + std::to_string(count);
        bool lostAnswer = false;
        std::string etag;
        status = Retry(mConfig.partRetry, [&] {
            if (options.ifNoneMatch) {
                ObjectInfo existing;
                Status head = HeadObject(key, existing);
                if (head.ok()) return KeyTaken(key);
                if (head.cause != Cause::kNotFound) return head;
            }
            Status s = CompleteMultipartUpload(key, uploadId, parts, &etag, options.ifNoneMatch);
            // A completion whose answer was lost has made the object; asked again, the
            // store no longer knows the upload.
            if (s.cause == Cause::kNotFound && lostAnswer) {
                ObjectInfo info;
                Status head = HeadObject(key, info);
                if (head.ok() && info.etag == expected) {
                    etag = info.etag;
                    return head;
                }
            }
            lostAnswer = lostAnswer || s.cause == Cause::kTimeout ||
                         s.cause == Cause::kConnectionLost || s.cause == Cause::kServer;
            return s;
        });
        status.operation = "CompleteMultipartUpload";
        status.key = key;
        if (status.ok() && etag.empty()) {
            // Some stores leave the ETag out of the completion's answer.
            ObjectInfo info;
            status = HeadObject(key, info);
            status.operation = "CompleteMultipartUpload";
            etag = info.etag;
        }
        if (status.ok() && etag != expected) {
            status.cause = Cause::kIntegrity;
            status.message =
                "the store answered ETag \"" + etag + "\" for parts whose is \"" + expected + "\"";
            // An object that may not hold what was sent is not left to look whole.
            DeleteObject(key);
            return status;
        }
    } else {
        status = firstFailure;
    }
    if (!status.ok()) {
        // Best effort: parts left behind take room but never form an object.
        Retry(mConfig.partRetry, [&] { return AbortMultipartUpload(key, uploadId); });
        return status;
    }
    if (result != nullptr) {
        result->size = size;
        result->etag = expected;
        result->md5.clear();
        result->sha256.clear();
        result->parts = static_cast<unsigned>(count);
    }
    return status;
}

Status Client::HeadObject(const std::string& key, ObjectInfo& info) {
    Request r;
    r.operation = "HeadObject";
    r.method = "HEAD";
    r.key = key;
    Status status = Perform(r);
    if (status.httpCode == 403) {
        // A HEAD answer has no body to say why; a one-byte GET of the same key does.
        Request probe;
        probe.operation = "HeadObject";
        probe.key = key;
        probe.headers.push_back("Range: bytes=0-0");
        const Sink discard = [](const char*, std::size_t) { return true; };
        probe.sink = &discard;
        Status reason = Perform(probe);
        if (reason.httpCode == 403) return reason;
    }
    if (!status.ok()) return status;
    info = ObjectInfo();
    info.key = key;
    info.size = std::strtoull(r.answerHeaders["content-length"].c_str(), nullptr, 10);
    info.etag = Unquote(r.answerHeaders["etag"]);
    info.lastModified = r.answerHeaders["last-modified"];
    for (const auto& [name, value] : r.answerHeaders) {
        if (name.rfind("x-amz-meta-", 0) == 0) info.metadata[name.substr(11)] = value;
    }
    return status;
}

Status Client::GetObject(const std::string& key, const Sink& sink, const GetOptions& options,
                         ObjectInfo* info) {
    Request r;
    r.operation = "GetObject";
    r.key = key;
    r.sink = &sink;
    const bool ranged = options.offset > 0 || options.length > 0;
    if (ranged) {
        std::string range = "Range: bytes=" + std::to_string(options.offset) + "-";
        if (options.length > 0) range += std::to_string(options.offset + options.length - 1);
        r.headers.push_back(range);
    }
    if (!options.ifMatch.empty()) r.headers.push_back("If-Match: \"" + options.ifMatch + "\"");
    Digests digests(false);
    if (options.checkMd5 && !ranged) r.receivedDigests = &digests;
    Status status = Perform(r);
    if (!status.ok()) return status;

    ObjectInfo got;
    got.key = key;
    got.etag = Unquote(r.answerHeaders["etag"]);
    got.lastModified = r.answerHeaders["last-modified"];
    got.size = std::strtoull(r.answerHeaders["content-length"].c_str(), nullptr, 10);
    for (const auto& [name, value] : r.answerHeaders) {
        if (name.rfind("x-amz-meta-", 0) == 0) got.metadata[name.substr(11)] = value;
    }
    if (ranged) {
        // "bytes FIRST-LAST/TOTAL": a store that ignored the range would hand other bytes.
        const std::string& cr = r.answerHeaders["content-range"];
        unsigned long long first = 0, last = 0, total = 0;
        if (r.code != 206 ||
            std::sscanf(cr.c_str(), "bytes %llu-%llu/%llu", &first, &last, &total) != 3 ||
            first != options.offset) {
            status.cause = Cause::kIntegrity;
            status.message = "asked for bytes from " + std::to_string(options.offset) +
                             ", the store answered HTTP " + std::to_string(r.code) +
                             " with range \"" + cr + "\"";
            return status;
        }
        got.size = total;
    }
    if (r.receivedDigests != nullptr) {
        digests.Finish();
        if (got.etag.size() == 32 && Unhex(got.etag).size() == 16 &&
            Hex(digests.Md5()) != Mirel::AsciiLower(got.etag)) {
            status.cause = Cause::kIntegrity;
            status.message = "the bytes received have MD5 " + Hex(digests.Md5()) +
                             ", the store's ETag says " + got.etag;
            return status;
        }
    }
    if (info != nullptr) *info = got;
    return status;
}

Status Client::ListObjects(const std::string& prefix, const std::string& token, ListPage& page,
                           unsigned maxKeys) {
    Request r;
    r.operation = "ListObjectsV2";
    r.query = {{"list-type", "2"},
               {"encoding-type", "url"},
               {"max-keys", std::to_string(maxKeys)},
               {"prefix", prefix}};
    if (!token.empty()) r.query.push_back({"continuation-token", token});
    Status status = Perform(r);
    status.key = prefix;
    if (!status.ok()) return status;

    tinyxml2::XMLDocument doc;
    const tinyxml2::XMLElement* root =
        Expect(RootOf(doc, r.answerBody), "ListBucketResult", status);
    if (root == nullptr) return status;
    const bool encoded = std::strcmp(Text(root, "EncodingType"), "url") == 0;
    page = ListPage();
    for (const tinyxml2::XMLElement* e = root->FirstChildElement("Contents"); e != nullptr;
         e = e->NextSiblingElement("Contents")) {
        ObjectInfo o;
        o.key = encoded ? UriDecode(Text(e, "Key")) : Text(e, "Key");
        o.size = std::strtoull(Text(e, "Size"), nullptr, 10);
        o.etag = Unquote(Text(e, "ETag"));
        o.lastModified = Text(e, "LastModified");
        page.objects.push_back(std::move(o));
    }
    if (std::strcmp(Text(root, "IsTruncated"), "true") == 0) {
        page.nextToken = Text(root, "NextContinuationToken");
        if (page.nextToken.empty()) {
            status.cause = Cause::kProtocol;
            status.message = "a truncated listing without a continuation token";
        }
    }
    return status;
}

Status Client::ListAll(const std::string& prefix, std::vector<ObjectInfo>& objects) {
    objects.clear();
    std::string token;
    do {
        ListPage page;
        Status status = ListObjects(prefix, token, page);
        if (!status.ok()) return status;
        for (ObjectInfo& o : page.objects) objects.push_back(std::move(o));
        token = page.nextToken;
    } while (!token.empty());
    Status done;
    done.operation = "ListObjectsV2";
    done.key = prefix;
    return done;
}

Status Client::DeleteObject(const std::string& key) {
    Request r;
    r.operation = "DeleteObject";
    r.method = "DELETE";
    r.key = key;
    return Perform(r);
}

Status Client::CreateMultipartUpload(const std::string& key, const PutOptions& options,
                                     std::string& uploadId) {
    Request r;
    r.operation = "CreateMultipartUpload";
    r.method = "POST";
    r.key = key;
    r.query = {{"uploads", ""}};
    AddPutHeaders(r.headers, options);
    // Once sent it runs to its answer: an upload the store made while the client was
    // cancelled, whose id never came back, could never be aborted.
    r.finishOnceSent = true;
    Status status = Perform(r);
    if (!status.ok()) return status;
    tinyxml2::XMLDocument doc;
    uploadId = Text(RootOf(doc, r.answerBody), "UploadId");
    if (uploadId.empty()) {
        status.cause = Cause::kProtocol;
        status.message = "no UploadId in the answer";
    }
    return status;
}

Status Client::UploadPart(const std::string& key, const std::string& uploadId, int number,
                          const void* data, std::size_t size, std::string& etag) {
    Digests digests(mConfig.signPayload);
    digests.Update(data, size);
    digests.Finish();
    Source source;
    source.memory = static_cast<const char*>(data);
    source.size = size;
    Status status = SendPart(key, uploadId, number, source, digests, mConfig.maxSendBytesPerSecond);
    if (status.ok()) etag = Hex(digests.Md5());
    return status;
}

Status Client::CompleteMultipartUpload(const std::string& key, const std::string& uploadId,
                                       const std::vector<CompletedPart>& parts, std::string* etag,
                                       bool ifNoneMatch) {
    Request r;
    r.operation = "CompleteMultipartUpload";
    r.method = "POST";
    r.key = key;
    r.query = {{"uploadId", uploadId}};
    tinyxml2::XMLPrinter xml(nullptr, true);
    xml.OpenElement("CompleteMultipartUpload");
    for (const CompletedPart& p : parts) {
        xml.OpenElement("Part");
        xml.OpenElement("PartNumber");
        xml.PushText(p.number);
        xml.CloseElement();
        xml.OpenElement("ETag");
        xml.PushText(("\"" + p.etag + "\"").c_str());
        xml.CloseElement();
        xml.CloseElement();
    }
    xml.CloseElement();
    r.postBody = xml.CStr();
    r.headers.push_back("Content-Type: application/xml");
    r.headers.push_back("Content-MD5: " + Base64(Md5Of(r.postBody)));
    if (ifNoneMatch) r.headers.push_back("If-None-Match: *");
    Status status = Perform(r);
    if (!status.ok()) return status;
    // The store may fail a completion after its 200 has gone out: the body then says so.
    tinyxml2::XMLDocument doc;
    const tinyxml2::XMLElement* root = RootOf(doc, r.answerBody);
    if (root != nullptr && std::strcmp(root->Name(), "Error") == 0) {
        status.errorCode = Text(root, "Code");
        status.message = Text(root, "Message");
        status.cause = ClassifyAnswer(500, status.errorCode);
        return status;
    }
    if (Expect(root, "CompleteMultipartUploadResult", status) == nullptr) return status;
    if (etag != nullptr) *etag = Unquote(Text(root, "ETag"));
    return status;
}

Status Client::AbortMultipartUpload(const std::string& key, const std::string& uploadId) {
    Request r;
    r.operation = "AbortMultipartUpload";
    r.method = "DELETE";
    r.key = key;
    r.query = {{"uploadId", uploadId}};
    // Cleaning up after a cancelled upload is part of stopping.
    r.ignoreCancel = true;
    return Perform(r);
}

Status Client::ListMultipartUploads(const std::string& prefix,
                                    std::vector<PendingUpload>& uploads) {
    uploads.clear();
    std::string keyMarker, idMarker;
    for (;;) {
        Request r;
        r.operation = "ListMultipartUploads";
        r.query = {{"uploads", ""}, {"prefix", prefix}};
        if (!keyMarker.empty()) r.query.push_back({"key-marker", keyMarker});
        if (!idMarker.empty()) r.query.push_back({"upload-id-marker", idMarker});
        Status status = Perform(r);
        status.key = prefix;
        if (!status.ok()) return status;
        tinyxml2::XMLDocument doc;
        const tinyxml2::XMLElement* root =
            Expect(RootOf(doc, r.answerBody), "ListMultipartUploadsResult", status);
        if (root == nullptr) return status;
        for (const tinyxml2::XMLElement* e = root->FirstChildElement("Upload"); e != nullptr;
             e = e->NextSiblingElement("Upload")) {
            uploads.push_back({Text(e, "Key"), Text(e, "UploadId"), Text(e, "Initiated")});
        }
        if (std::strcmp(Text(root, "IsTruncated"), "true") != 0) return status;
        keyMarker = Text(root, "NextKeyMarker");
        idMarker = Text(root, "NextUploadIdMarker");
        if (keyMarker.empty() && idMarker.empty()) {
            status.cause = Cause::kProtocol;
            status.message = "a truncated listing without markers";
            return status;
        }
    }
}

}  // namespace ObjectStore
