// MD5 and SHA-256 of the bytes sent (OpenSSL): MD5 for Content-MD5 and ETags, SHA-256 for
// the signed payload hash. Both are taken in one pass over the data.
#pragma once

#include <cstddef>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace ObjectStore {

class Digests {
public:
    // Without SHA-256 (withSha256 false) only the MD5 is taken.
    explicit Digests(bool withSha256 = true);
    ~Digests();
    Digests(const Digests&) = delete;
    Digests& operator=(const Digests&) = delete;

    void Update(const void* data, std::size_t n);
    // Ends the pass; the results below are then valid.
    void Finish();
    // The results of a pass the caller made itself (raw bytes; sha256 empty without SHA-256).
    void Assume(const std::string& md5, const std::string& sha256) {
        mMd5 = md5;
        mSha256 = mShaCtx != nullptr ? sha256 : std::string();
    }

    const std::string& Md5() const { return mMd5; }        // 16 raw bytes
    const std::string& Sha256() const { return mSha256; }  // empty without SHA-256

private:
    EVP_MD_CTX* mMd5Ctx;
    EVP_MD_CTX* mShaCtx;
    std::string mMd5, mSha256;
};

std::string Md5Of(const std::string& data);  // raw bytes
std::string Sha256HexOf(const std::string& data);
std::string Hex(const std::string& raw);
std::string Base64(const std::string& raw);
// Raw bytes of a hexadecimal text; empty when it is not one.
std::string Unhex(const std::string& hex);

}  // namespace ObjectStore
