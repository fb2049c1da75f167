#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "platform/crypto.h"

namespace sorvane::platform {

bool sha256(const void* data, size_t n, Sha256Digest& out) {
    unsigned int len = 0;
    if (EVP_Digest(data, n, out.data(), &len, EVP_sha256(), nullptr) != 1 || len != out.size()) {
        out.fill(0);
        return false;
    }
    return true;
}

namespace {

struct CtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter>;

// OpenSSL takes int lengths.
bool fits_int(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

// The key schedule is computed once per context; each call only sets the
// nonce (EVP_*Init with a null cipher and key keeps the schedule).
class OpenSslAesGcm final : public IAesGcm {
public:
    bool init(const uint8_t* key) {
        seal_ctx_.reset(EVP_CIPHER_CTX_new());
        open_ctx_.reset(EVP_CIPHER_CTX_new());
        if (!seal_ctx_ || !open_ctx_) return false;
        if (EVP_EncryptInit_ex(seal_ctx_.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1) return false;
        if (EVP_DecryptInit_ex(open_ctx_.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1) return false;
        const int nonce_len = static_cast<int>(kAesGcmNonceSize);
        if (EVP_CIPHER_CTX_ctrl(seal_ctx_.get(), EVP_CTRL_GCM_SET_IVLEN, nonce_len, nullptr) != 1) return false;
        if (EVP_CIPHER_CTX_ctrl(open_ctx_.get(), EVP_CTRL_GCM_SET_IVLEN, nonce_len, nullptr) != 1) return false;
        if (EVP_EncryptInit_ex(seal_ctx_.get(), nullptr, nullptr, key, nullptr) != 1) return false;
        if (EVP_DecryptInit_ex(open_ctx_.get(), nullptr, nullptr, key, nullptr) != 1) return false;
        return true;
    }

    bool seal(const uint8_t* nonce, const void* aad, size_t aad_n, const void* plain, size_t n, void* out,
              uint8_t* tag) override {
        if (!fits_int(n) || !fits_int(aad_n)) return false;
        std::lock_guard<std::mutex> lock(seal_mutex_);
        EVP_CIPHER_CTX* c = seal_ctx_.get();
        int len = 0;
        if (EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, nonce) != 1) return false;
        if (aad_n > 0 &&
            EVP_EncryptUpdate(c, nullptr, &len, static_cast<const unsigned char*>(aad), static_cast<int>(aad_n)) != 1)
            return false;
        int written = 0;
        if (n > 0) {
            if (EVP_EncryptUpdate(c, static_cast<unsigned char*>(out), &len, static_cast<const unsigned char*>(plain),
                                  static_cast<int>(n)) != 1)
                return false;
            written = len;
        }
        // GCM produces no bytes at the end; the scratch keeps a null out safe.
        unsigned char tail[16];
        if (EVP_EncryptFinal_ex(c, tail, &len) != 1 || len != 0) return false;
        if (static_cast<size_t>(written) != n) return false;
        return EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kAesGcmTagSize), tag) == 1;
    }

    bool open(const uint8_t* nonce, const void* aad, size_t aad_n, const void* cipher, size_t n, const uint8_t* tag,
              void* out) override {
        if (!fits_int(n) || !fits_int(aad_n)) return false;
        std::lock_guard<std::mutex> lock(open_mutex_);
        EVP_CIPHER_CTX* c = open_ctx_.get();
        int len = 0;
        if (EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, nonce) != 1) return false;
        if (aad_n > 0 &&
            EVP_DecryptUpdate(c, nullptr, &len, static_cast<const unsigned char*>(aad), static_cast<int>(aad_n)) != 1)
            return false;
        int written = 0;
        if (n > 0) {
            if (EVP_DecryptUpdate(c, static_cast<unsigned char*>(out), &len, static_cast<const unsigned char*>(cipher),
                                  static_cast<int>(n)) != 1)
                return false;
            written = len;
        }
        // OpenSSL only reads the tag; the cast drops const for its interface.
        if (EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kAesGcmTagSize), const_cast<uint8_t*>(tag)) !=
            1)
            return false;
        unsigned char tail[16];
        if (EVP_DecryptFinal_ex(c, tail, &len) != 1 || len != 0) return false;
        return static_cast<size_t>(written) == n;
    }

private:
    std::mutex seal_mutex_;
    std::mutex open_mutex_;
    CtxPtr seal_ctx_;
    CtxPtr open_ctx_;
};

}  // namespace

std::unique_ptr<IAesGcm> make_aes_gcm(const uint8_t* key) {
    if (key == nullptr) return nullptr;
    auto cipher = std::make_unique<OpenSslAesGcm>();
    if (!cipher->init(key)) return nullptr;
    return cipher;
}

}  // namespace sorvane::platform
