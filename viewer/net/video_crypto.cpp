#include "viewer/net/video_crypto.h"

#include <openssl/evp.h>

#include <cstring>

namespace sorvane::viewer {

namespace {

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

bool read_fragment_header(const uint8_t* data, size_t n, FragmentHeader& out) {
    if (n < kFragmentHeaderBytes + kGcmTagBytes) return false;
    out.type = data[0];
    out.session_id = be32(data + 1);
    out.frame_seq = be32(data + 5);
    out.capture_ms = (uint64_t{be32(data + 9)} << 32) | be32(data + 13);
    out.format = data[17];
    out.keyframe = data[18];
    out.index = be16(data + 19);
    out.count = be16(data + 21);
    return true;
}

std::unique_ptr<VideoCrypto> VideoCrypto::create(const VideoKey& key, std::string& error) {
    std::unique_ptr<VideoCrypto> c(new VideoCrypto());
    c->seal_ = EVP_CIPHER_CTX_new();
    c->open_ = EVP_CIPHER_CTX_new();
    if (c->seal_ == nullptr || c->open_ == nullptr ||
        EVP_EncryptInit_ex(c->seal_, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1 ||
        EVP_DecryptInit_ex(c->open_, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1) {
        error = "AES-256-GCM key set-up failed";
        return nullptr;
    }
    return c;
}

VideoCrypto::~VideoCrypto() {
    EVP_CIPHER_CTX_free(seal_);
    EVP_CIPHER_CTX_free(open_);
}

bool VideoCrypto::hello(uint32_t session_id, uint32_t counter, std::vector<uint8_t>& datagram) {
    datagram.assign(kHelloBytes, 0);
    datagram[0] = 0x02;
    put32(datagram.data() + 1, session_id);
    put32(datagram.data() + 5, counter);
    // Hello nonces start with 1, the host's fragment nonces with 0.
    uint8_t iv[12] = {0x01};
    put32(iv + 1, counter);
    int len = 0;
    unsigned char none[16];
    return EVP_EncryptInit_ex(seal_, nullptr, nullptr, nullptr, iv) == 1 &&
           EVP_EncryptUpdate(seal_, nullptr, &len, datagram.data(), 9) == 1 &&
           EVP_EncryptFinal_ex(seal_, none, &len) == 1 &&
           EVP_CIPHER_CTX_ctrl(seal_, EVP_CTRL_GCM_GET_TAG, 16, datagram.data() + 9) == 1;
}

bool VideoCrypto::open_fragment(const uint8_t* datagram, size_t n, const FragmentHeader& header, uint8_t* out) {
    if (n < kFragmentHeaderBytes + kGcmTagBytes) return false;
    const size_t body = n - kFragmentHeaderBytes - kGcmTagBytes;
    uint8_t iv[12] = {0x00};
    put32(iv + 1, header.frame_seq);
    iv[5] = static_cast<uint8_t>(header.index >> 8);
    iv[6] = static_cast<uint8_t>(header.index);
    uint8_t tag[16];
    std::memcpy(tag, datagram + n - kGcmTagBytes, sizeof tag);
    int len = 0;
    unsigned char tail[16];
    if (EVP_DecryptInit_ex(open_, nullptr, nullptr, nullptr, iv) != 1) return false;
    if (EVP_DecryptUpdate(open_, nullptr, &len, datagram, static_cast<int>(kFragmentHeaderBytes)) != 1) return false;
    if (body > 0 && EVP_DecryptUpdate(open_, out, &len, datagram + kFragmentHeaderBytes, static_cast<int>(body)) != 1)
        return false;
    if (EVP_CIPHER_CTX_ctrl(open_, EVP_CTRL_GCM_SET_TAG, 16, tag) != 1) return false;
    return EVP_DecryptFinal_ex(open_, tail, &len) == 1;
}

}  // namespace sorvane::viewer
