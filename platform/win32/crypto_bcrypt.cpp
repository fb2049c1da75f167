// SHA-256 and AES-256-GCM through BCrypt. The algorithm providers are opened
// once per process; each cipher holds two key objects, one for sealing and
// one for opening, so a sender and a receiver never share a key object.
#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "platform/crypto.h"

namespace sorvane::platform {

namespace {

class Provider {
public:
    Provider(const wchar_t* algorithm, bool gcm) {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, 0))) {
            handle_ = nullptr;
            return;
        }
        if (gcm) {
            const NTSTATUS s = BCryptSetProperty(handle_, BCRYPT_CHAINING_MODE,
                                                 reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                                 sizeof(BCRYPT_CHAIN_MODE_GCM), 0);
            if (!BCRYPT_SUCCESS(s)) {
                BCryptCloseAlgorithmProvider(handle_, 0);
                handle_ = nullptr;
            }
        }
    }
    ~Provider() {
        if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

BCRYPT_ALG_HANDLE sha256_provider() {
    static const Provider p(BCRYPT_SHA256_ALGORITHM, false);
    return p.get();
}

BCRYPT_ALG_HANDLE aes_gcm_provider() {
    static const Provider p(BCRYPT_AES_ALGORITHM, true);
    return p.get();
}

bool fits_ulong(size_t n) { return n <= static_cast<size_t>(ULONG_MAX); }

// BCrypt takes non-const buffers for input it only reads.
PUCHAR in_bytes(const void* p) { return static_cast<PUCHAR>(const_cast<void*>(p)); }

}  // namespace

bool sha256(const void* data, size_t n, Sha256Digest& out) {
    BCRYPT_ALG_HANDLE alg = sha256_provider();
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = alg != nullptr && fits_ulong(n) && BCRYPT_SUCCESS(BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0));
    uint8_t empty = 0;
    if (ok) ok = BCRYPT_SUCCESS(BCryptHashData(hash, n > 0 ? in_bytes(data) : &empty, static_cast<ULONG>(n), 0));
    if (ok) ok = BCRYPT_SUCCESS(BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (!ok) out.fill(0);
    return ok;
}

namespace {

class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (key_ != nullptr) BCryptDestroyKey(key_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;

    bool create(const uint8_t* key) {
        BCRYPT_ALG_HANDLE alg = aes_gcm_provider();
        if (alg == nullptr) return false;
        return BCRYPT_SUCCESS(
            BCryptGenerateSymmetricKey(alg, &key_, nullptr, 0, in_bytes(key), static_cast<ULONG>(kAesGcmKeySize), 0));
    }
    BCRYPT_KEY_HANDLE get() const { return key_; }

private:
    BCRYPT_KEY_HANDLE key_ = nullptr;
};

class BCryptAesGcm final : public IAesGcm {
public:
    bool init(const uint8_t* key) { return seal_key_.create(key) && open_key_.create(key); }

    bool seal(const uint8_t* nonce, const void* aad, size_t aad_n, const void* plain, size_t n, void* out,
              uint8_t* tag) override {
        if (!fits_ulong(n) || !fits_ulong(aad_n)) return false;
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = mode_info(nonce, aad, aad_n, tag);
        std::lock_guard<std::mutex> lock(seal_mutex_);
        uint8_t scratch = 0;
        ULONG written = 0;
        const NTSTATUS s = BCryptEncrypt(seal_key_.get(), n > 0 ? in_bytes(plain) : &scratch, static_cast<ULONG>(n),
                                         &info, nullptr, 0, n > 0 ? static_cast<PUCHAR>(out) : &scratch,
                                         static_cast<ULONG>(n), &written, 0);
        return BCRYPT_SUCCESS(s) && written == n;
    }

    bool open(const uint8_t* nonce, const void* aad, size_t aad_n, const void* cipher, size_t n, const uint8_t* tag,
              void* out) override {
        if (!fits_ulong(n) || !fits_ulong(aad_n)) return false;
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = mode_info(nonce, aad, aad_n, const_cast<uint8_t*>(tag));
        std::lock_guard<std::mutex> lock(open_mutex_);
        uint8_t scratch = 0;
        ULONG written = 0;
        const NTSTATUS s = BCryptDecrypt(open_key_.get(), n > 0 ? in_bytes(cipher) : &scratch, static_cast<ULONG>(n),
                                         &info, nullptr, 0, n > 0 ? static_cast<PUCHAR>(out) : &scratch,
                                         static_cast<ULONG>(n), &written, 0);
        return BCRYPT_SUCCESS(s) && written == n;
    }

private:
    static BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO mode_info(const uint8_t* nonce, const void* aad, size_t aad_n,
                                                           uint8_t* tag) {
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
        BCRYPT_INIT_AUTH_MODE_INFO(info);
        info.pbNonce = in_bytes(nonce);
        info.cbNonce = static_cast<ULONG>(kAesGcmNonceSize);
        info.pbAuthData = aad_n > 0 ? in_bytes(aad) : nullptr;
        info.cbAuthData = static_cast<ULONG>(aad_n);
        info.pbTag = tag;
        info.cbTag = static_cast<ULONG>(kAesGcmTagSize);
        return info;
    }

    std::mutex seal_mutex_;
    std::mutex open_mutex_;
    KeyHandle seal_key_;
    KeyHandle open_key_;
};

}  // namespace

std::unique_ptr<IAesGcm> make_aes_gcm(const uint8_t* key) {
    if (key == nullptr) return nullptr;
    auto cipher = std::make_unique<BCryptAesGcm>();
    if (!cipher->init(key)) return nullptr;
    return cipher;
}

}  // namespace sorvane::platform
