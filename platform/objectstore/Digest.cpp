#include "platform/objectstore/Digest.h"
#include "platform/support/TextUtil.h"

#include <openssl/evp.h>

#include <stdexcept>
#include <vector>

namespace ObjectStore {

namespace {

EVP_MD_CTX* NewContext(const EVP_MD* md) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        throw std::runtime_error("OpenSSL digest unavailable");
    }
    return ctx;
}

std::string Final(EVP_MD_CTX* ctx) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, out, &n);
    return std::string(reinterpret_cast<const char*>(out), n);
}

}  // namespace

Digests::Digests(bool withSha256) : mMd5Ctx(NewContext(EVP_md5())), mShaCtx(nullptr) {
    if (!withSha256) return;
    try {
        mShaCtx = NewContext(EVP_sha256());
    } catch (...) {
        EVP_MD_CTX_free(mMd5Ctx);
        throw;
    }
}

Digests::~Digests() {
    EVP_MD_CTX_free(mMd5Ctx);
    EVP_MD_CTX_free(mShaCtx);
}

void Digests::Update(const void* data, std::size_t n) {
    EVP_DigestUpdate(mMd5Ctx, data, n);
    if (mShaCtx != nullptr) EVP_DigestUpdate(mShaCtx, data, n);
}

void Digests::Finish() {
    mMd5 = Final(mMd5Ctx);
    if (mShaCtx != nullptr) mSha256 = Final(mShaCtx);
}

std::string Md5Of(const std::string& data) {
    Digests d;
    d.Update(data.data(), data.size());
    d.Finish();
    return d.Md5();
}

std::string Sha256HexOf(const std::string& data) {
    Digests d;
    d.Update(data.data(), data.size());
    d.Finish();
    return Hex(d.Sha256());
}

std::string Hex(const std::string& raw) {
    return Mirel::HexText(raw.data(), raw.size());
}

std::string Unhex(const std::string& hex) {
    if (hex.size() % 2 != 0) return {};
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = Mirel::HexDigitValue(hex[i]), lo = Mirel::HexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return {};
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

std::string Base64(const std::string& raw) {
    std::vector<unsigned char> out(4 * ((raw.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(raw.data()),
                                  static_cast<int>(raw.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
}

}  // namespace ObjectStore
