// The reference viewer's reassembly against a host that seals whatever it
// likes with the session key: any header (counts, indices, capture times near
// the limits), pieces of any size, raw datagrams, time jumps and expiry.
// Throughout, the frames waiting stay within the options' bounds.
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_input.h"
#include "viewer/net/frame_assembler.h"

using namespace sorvane;

namespace {

constexpr uint32_t kSession = 3;

const viewer::VideoKey& key() {
    static const viewer::VideoKey k = [] {
        viewer::VideoKey v{};
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(0x40 + i);
        return v;
    }();
    return k;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Header, ciphertext and tag of one fragment, sealed as the host would.
std::vector<uint8_t> seal(EVP_CIPHER_CTX* ctx, const viewer::FragmentHeader& h, size_t piece, uint8_t fill) {
    std::vector<uint8_t> d(viewer::kFragmentHeaderBytes + piece + viewer::kGcmTagBytes);
    d[0] = h.type;
    put32(&d[1], h.session_id);
    put32(&d[5], h.frame_seq);
    put32(&d[9], static_cast<uint32_t>(h.capture_ms >> 32));
    put32(&d[13], static_cast<uint32_t>(h.capture_ms));
    d[17] = h.format;
    d[18] = h.keyframe;
    d[19] = static_cast<uint8_t>(h.index >> 8);
    d[20] = static_cast<uint8_t>(h.index);
    d[21] = static_cast<uint8_t>(h.count >> 8);
    d[22] = static_cast<uint8_t>(h.count);
    const std::vector<uint8_t> plain(piece, fill);
    uint8_t iv[12] = {0};
    put32(iv + 1, h.frame_seq);
    iv[5] = static_cast<uint8_t>(h.index >> 8);
    iv[6] = static_cast<uint8_t>(h.index);
    int len = 0;
    uint8_t* body = d.data() + viewer::kFragmentHeaderBytes;
    const bool ok = EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
                    EVP_EncryptUpdate(ctx, nullptr, &len, d.data(), static_cast<int>(viewer::kFragmentHeaderBytes)) == 1 &&
                    (piece == 0 || EVP_EncryptUpdate(ctx, body, &len, plain.data(), static_cast<int>(piece)) == 1) &&
                    EVP_EncryptFinal_ex(ctx, body + piece, &len) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, body + piece) == 1;
    fuzz::check(ok, "sealing failed");
    return d;
}

struct CipherContext {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    CipherContext() { EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key().data(), nullptr); }
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    static CipherContext sealer;
    std::string error;
    const auto crypto = viewer::VideoCrypto::create(key(), error);
    fuzz::check(crypto != nullptr, "no cipher");

    viewer::AssemblerOptions o;
    o.session_id = kSession;
    o.clock_offset_ms = static_cast<int64_t>(in.u64());
    o.incomplete_timeout_ms = in.u16();
    o.max_pending_frames = 1 + in.u8() % 40;
    o.max_pending_bytes = (1 + static_cast<size_t>(in.u16())) * 64;
    viewer::FrameAssembler assembler(*crypto, o);

    uint64_t now = in.u32();
    std::vector<viewer::ReceivedFrame> done;
    while (!in.empty()) {
        const uint8_t op = in.u8();
        switch (op % 8) {
            case 5: {  // anything at all
                const std::string_view raw = in.bytes(in.u16() % 1500);
                assembler.feed(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), now, done);
                break;
            }
            case 6:
                now = (op & 0x80) ? in.u64() : now + in.u16();
                break;
            case 7:
                assembler.expire(now);
                break;
            default: {  // a sealed fragment
                viewer::FragmentHeader h;
                h.type = (op & 0x08) ? in.u8() : 0x01;
                h.session_id = (op & 0x08) ? in.u8() : kSession;
                h.frame_seq = (op & 0x80) ? in.u32() : in.u8();
                h.capture_ms = (op & 0x40) ? in.u64() : in.u16();
                h.format = (op & 0x08) ? in.u8() : 1;
                h.keyframe = in.u8() % 3;
                if (op & 0x20) {
                    h.index = in.u16();
                    h.count = in.u16();
                } else {
                    h.count = static_cast<uint16_t>(1 + in.u8() % 8);
                    h.index = static_cast<uint16_t>(in.u8() % h.count);
                }
                size_t piece = viewer::kLargestPiece;
                if (op & 0x10) piece = in.u16() % 1400;
                else if (h.index + 1 == h.count) piece = in.u16() % (viewer::kLargestPiece + 1);
                const auto d = seal(sealer.ctx, h, piece, op);
                std::vector<viewer::ReceivedFrame> got;
                assembler.feed(d.data(), d.size(), now, got);
                for (const auto& f : got) {
                    fuzz::check(f.data.size() <= size_t{h.count} * viewer::kLargestPiece, "frame larger than its pieces");
                }
                break;
            }
        }
        fuzz::check(assembler.pending() <= o.max_pending_frames, "more frames waiting than allowed");
        fuzz::check(assembler.pending_bytes() <= o.max_pending_bytes, "waiting frames over the byte budget");
    }
    const viewer::ReceiverStats s = assembler.stats();
    fuzz::check(s.frames_complete == 0 || (s.latency_min_ms <= s.latency_max_ms), "latency bounds crossed");
    return 0;
}
