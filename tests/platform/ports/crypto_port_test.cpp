// The crypto port: SHA-256 and AES-256-GCM against reference and golden vectors.
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/text.h"

namespace sorvane::platform {
namespace {

std::vector<uint8_t> hex(std::string_view text) {
    std::vector<uint8_t> out(text.size() / 2);
    EXPECT_TRUE(from_hex(text, out.data(), out.size())) << text;
    return out;
}

// The GCM reference vectors for 256-bit keys and 96-bit nonces.
struct GcmVector {
    const char* key;
    const char* nonce;
    const char* aad;
    const char* plain;
    const char* cipher;
    const char* tag;
};

const GcmVector kVectors[] = {
    // Zero key and nonce, nothing to encrypt: the tag alone.
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "", "",
     "530f8afbc74536b9a963b4f1c4cb738b"},
    // One zero block.
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
     "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    // 60 bytes with 20 bytes of associated data.
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de65"
     "7ba637b39",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0"
     "abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
    // The video cipher's hello (key 00..1f, counter 1, session 7): a tag over
    // the 9 header bytes alone.
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "010000000100000000000000",
     "020000000700000001", "", "", "17d970f94f1b735b9dd8958c65e13166"},
    // The video cipher's fragment: frame 5, fragment 0 of 1, the 23-byte
    // header authenticated, five payload bytes sealed.
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "000000000500000000000000",
     "01000000070000000500000000000003e8010100000001", "0000000165", "7e0d189c9d",
     "bd8a047a4f4bc04083dc401e2b3025d4"},
};

TEST(AesGcm, SealsAndOpensTheReferenceVectors) {
    for (const auto& v : kVectors) {
        SCOPED_TRACE(v.tag);
        const auto key = hex(v.key), nonce = hex(v.nonce), aad = hex(v.aad), plain = hex(v.plain);
        auto gcm = make_aes_gcm(key.data());
        ASSERT_NE(gcm, nullptr);
        std::vector<uint8_t> out(plain.size());
        uint8_t tag[kAesGcmTagSize];
        ASSERT_TRUE(gcm->seal(nonce.data(), aad.data(), aad.size(), plain.data(), plain.size(), out.data(), tag));
        EXPECT_EQ(to_hex(out.data(), out.size()), v.cipher);
        EXPECT_EQ(to_hex(tag, sizeof tag), v.tag);

        std::vector<uint8_t> back(out.size());
        ASSERT_TRUE(gcm->open(nonce.data(), aad.data(), aad.size(), out.data(), out.size(), tag, back.data()));
        EXPECT_EQ(back, plain);
    }
}

TEST(AesGcm, RefusesAnyChangedByte) {
    const auto& v = kVectors[2];
    const auto key = hex(v.key), nonce = hex(v.nonce), aad = hex(v.aad), cipher = hex(v.cipher), tag = hex(v.tag);
    auto gcm = make_aes_gcm(key.data());
    ASSERT_NE(gcm, nullptr);
    std::vector<uint8_t> out(cipher.size());

    auto opens = [&](std::vector<uint8_t> n, std::vector<uint8_t> a, std::vector<uint8_t> c, std::vector<uint8_t> t) {
        return gcm->open(n.data(), a.data(), a.size(), c.data(), c.size(), t.data(), out.data());
    };
    ASSERT_TRUE(opens(nonce, aad, cipher, tag));
    auto flip = [](std::vector<uint8_t> b, size_t i) {
        if (i < b.size()) b[i] ^= 0x01;
        return b;
    };
    EXPECT_FALSE(opens(flip(nonce, 11), aad, cipher, tag));
    EXPECT_FALSE(opens(nonce, flip(aad, 0), cipher, tag));
    EXPECT_FALSE(opens(nonce, aad, flip(cipher, 30), tag));
    EXPECT_FALSE(opens(nonce, aad, flip(cipher, cipher.size() - 1), tag));
    EXPECT_FALSE(opens(nonce, aad, cipher, flip(tag, 15)));
    // A failed check leaves the key usable.
    EXPECT_TRUE(opens(nonce, aad, cipher, tag));
}

TEST(AesGcm, SealsInPlaceAndAuthenticatesAssociatedDataAlone) {
    uint8_t key[kAesGcmKeySize];
    for (size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<uint8_t>(i * 7);
    auto gcm = make_aes_gcm(key);
    ASSERT_NE(gcm, nullptr);
    const uint8_t nonce[kAesGcmNonceSize] = {1, 2, 3};
    std::vector<uint8_t> data(1361);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> original = data;
    const uint8_t header[23] = {0x01};
    uint8_t tag[kAesGcmTagSize];
    ASSERT_TRUE(gcm->seal(nonce, header, sizeof header, data.data(), data.size(), data.data(), tag));
    EXPECT_NE(data, original);
    ASSERT_TRUE(gcm->open(nonce, header, sizeof header, data.data(), data.size(), tag, data.data()));
    EXPECT_EQ(data, original);

    // No plaintext: the tag is a GMAC over the associated data.
    uint8_t mac[kAesGcmTagSize];
    ASSERT_TRUE(gcm->seal(nonce, header, sizeof header, nullptr, 0, nullptr, mac));
    EXPECT_TRUE(gcm->open(nonce, header, sizeof header, nullptr, 0, mac, nullptr));
    mac[0] ^= 0x80;
    EXPECT_FALSE(gcm->open(nonce, header, sizeof header, nullptr, 0, mac, nullptr));
}

// A sender seals while a receiver opens on the same key.
TEST(AesGcm, SealAndOpenRunTogether) {
    uint8_t key[kAesGcmKeySize] = {9};
    auto gcm = make_aes_gcm(key);
    ASSERT_NE(gcm, nullptr);
    uint8_t nonce_b[kAesGcmNonceSize] = {0x01};
    const uint8_t aad[9] = {0x02, 0, 0, 0, 1};
    uint8_t mac[kAesGcmTagSize];
    ASSERT_TRUE(gcm->seal(nonce_b, aad, sizeof aad, nullptr, 0, nullptr, mac));

    std::thread sealer([&] {
        std::vector<uint8_t> buf(1361, 0xAB);
        uint8_t tag[kAesGcmTagSize];
        for (uint32_t i = 0; i < 2000; ++i) {
            uint8_t nonce[kAesGcmNonceSize] = {0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            ASSERT_TRUE(gcm->seal(nonce, aad, sizeof aad, buf.data(), buf.size(), buf.data(), tag));
        }
    });
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(gcm->open(nonce_b, aad, sizeof aad, nullptr, 0, mac, nullptr));
    sealer.join();
}

TEST(Sha256, KnownDigests) {
    Sha256Digest d{};
    ASSERT_TRUE(sha256("abc", 3, d));
    EXPECT_EQ(to_hex(d.data(), d.size()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(sha256(nullptr, 0, d));
    EXPECT_EQ(to_hex(d.data(), d.size()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace sorvane::platform
