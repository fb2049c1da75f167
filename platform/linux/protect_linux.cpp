// Data protection for the current user: AES-256-GCM under a 32-byte random
// key in <local app data>/DataProtection/user.key (folder 0700, file 0600).
// The key lives outside the host's own folder, as the system's key does, so
// removing the host's data leaves it in place.
//
// Blob: "SVDP" version(1) description-length(2, big-endian) description
//       nonce(12) ciphertext tag(16); the header is authenticated.
#include <cerrno>
#include <mutex>

#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/protect.h"

#include "platform/linux/windows_errors.h"
#include "platform/random.h"

namespace sorvane::platform {

namespace {

constexpr char kMagic[4] = {'S', 'V', 'D', 'P'};
constexpr uint8_t kVersion = 1;

class FileKeyProtector final : public IDataProtector {
public:
    explicit FileKeyProtector(std::string key_dir) : key_dir_(std::move(key_dir)) {}

    bool protect(std::string_view plain, std::string_view description, std::string& blob, uint32_t& error) override {
        std::unique_ptr<IAesGcm> cipher;
        if (!key(true, cipher, error)) return false;
        if (description.size() > 0xFFFF) description = description.substr(0, 0xFFFF);
        std::string out(kMagic, sizeof kMagic);
        out.push_back(static_cast<char>(kVersion));
        out.push_back(static_cast<char>(description.size() >> 8));
        out.push_back(static_cast<char>(description.size() & 0xFF));
        out.append(description);
        const size_t header = out.size();
        uint8_t nonce[kAesGcmNonceSize];
        if (!secure_random(nonce, sizeof nonce)) {
            error = win32_error_from_errno(EIO);
            return false;
        }
        out.append(reinterpret_cast<const char*>(nonce), sizeof nonce);
        const size_t body = out.size();
        out.resize(body + plain.size() + kAesGcmTagSize);
        auto* p = reinterpret_cast<uint8_t*>(out.data());
        if (!cipher->seal(nonce, p, header, plain.data(), plain.size(), p + body, p + body + plain.size())) {
            error = win32_error_from_errno(EIO);
            return false;
        }
        blob = std::move(out);
        return true;
    }

    bool unprotect(std::string_view blob, std::string& plain, uint32_t& error) override {
        error = kProtectErrorInvalidData;
        if (blob.size() < 7 || blob.substr(0, 4) != std::string_view(kMagic, 4) ||
            static_cast<uint8_t>(blob[4]) != kVersion) {
            return false;
        }
        const size_t desc = static_cast<size_t>(static_cast<uint8_t>(blob[5])) << 8 | static_cast<uint8_t>(blob[6]);
        const size_t header = 7 + desc;
        if (blob.size() < header + kAesGcmNonceSize + kAesGcmTagSize) return false;
        std::unique_ptr<IAesGcm> cipher;
        uint32_t key_error = 0;
        if (!key(false, cipher, key_error)) return false;
        const auto* p = reinterpret_cast<const uint8_t*>(blob.data());
        const size_t n = blob.size() - header - kAesGcmNonceSize - kAesGcmTagSize;
        std::string out(n, '\0');
        if (!cipher->open(p + header, p, header, p + header + kAesGcmNonceSize, n, p + blob.size() - kAesGcmTagSize,
                          out.data())) {
            return false;
        }
        plain = std::move(out);
        error = 0;
        return true;
    }

private:
    // Loads the key (creating it when create is set and none exists).
    bool key(bool create, std::unique_ptr<IAesGcm>& cipher, uint32_t& error) {
        std::lock_guard<std::mutex> g(mutex_);
        const std::string path = join_path(key_dir_, "user.key");
        std::string bytes;
        FileResult r = read_file(path, 64, bytes);
        if (r.status == FileStatus::not_found && create) {
            uint8_t fresh[kAesGcmKeySize];
            if (!secure_random(fresh, sizeof fresh)) {
                error = win32_error_from_errno(EIO);
                return false;
            }
            r = create_directories(key_dir_, FileAccess::owner_only);
            if (r.ok()) r = write_file_atomic(path, std::string_view(reinterpret_cast<char*>(fresh), sizeof fresh),
                                              FileAccess::owner_only);
            if (!r.ok()) {
                error = static_cast<uint32_t>(r.error_code != 0 ? static_cast<uint32_t>(r.error_code) : win32_error_from_errno(EIO));
                return false;
            }
            bytes.assign(reinterpret_cast<char*>(fresh), sizeof fresh);
        } else if (!r.ok()) {
            error = static_cast<uint32_t>(r.error_code != 0 ? static_cast<uint32_t>(r.error_code) : win32_error_from_errno(ENOENT));
            return false;
        }
        if (bytes.size() != kAesGcmKeySize) {
            error = kProtectErrorInvalidData;
            return false;
        }
        cipher = make_aes_gcm(reinterpret_cast<const uint8_t*>(bytes.data()));
        if (!cipher) {
            error = win32_error_from_errno(EIO);
            return false;
        }
        return true;
    }

    std::mutex mutex_;
    std::string key_dir_;
};

}  // namespace

std::unique_ptr<IDataProtector> make_user_data_protector() {
    std::string base;
    auto paths = make_system_paths();
    if (!paths->local_app_data(base)) base = ".";
    return std::make_unique<FileKeyProtector>(join_path(base, "DataProtection"));
}

}  // namespace sorvane::platform
