// The data protector: what it seals opens again for the same user, and a
// damaged blob is refused.
#include "platform/protect.h"

#include <gtest/gtest.h>

#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

class Protector : public ::testing::Test {
protected:
    // The Linux protector keeps its key under the local application data
    // folder; give it a private one (Windows ignores the variable).
    void SetUp() override { port_test::set_env("LOCALAPPDATA", home_.path()); }
    port_test::TempFolder home_;
};

TEST_F(Protector, RoundTripsAndRefusesDamagedBlobs) {
    auto protector = make_user_data_protector();
    ASSERT_NE(protector, nullptr);
    const char raw[] = "pairings\0with a zero byte and \xc3\xa7";
    const std::string secret(raw, sizeof raw - 1);
    std::string blob;
    uint32_t error = 99;
    ASSERT_TRUE(protector->protect(secret, "Sorvane pairings", blob, error)) << error;
    EXPECT_EQ(blob.find("with a zero byte"), std::string::npos);

    std::string plain;
    ASSERT_TRUE(protector->unprotect(blob, plain, error)) << error;
    EXPECT_EQ(plain, secret);
    // Another protector of the same user opens it too.
    ASSERT_TRUE(make_user_data_protector()->unprotect(blob, plain, error)) << error;
    EXPECT_EQ(plain, secret);

    std::string empty_blob;
    ASSERT_TRUE(protector->protect("", "", empty_blob, error));
    ASSERT_TRUE(protector->unprotect(empty_blob, plain, error));
    EXPECT_EQ(plain, "");

    // Damage in the sealed data or its signature at the end, a cut blob, or
    // no blob at all: refused as invalid data, nothing handed out.
    for (const size_t at : {blob.size() - 30, blob.size() - 20, blob.size() - 1}) {
        std::string bad = blob;
        bad[at] = static_cast<char>(bad[at] ^ 0x40);
        plain = "untouched";
        error = 0;
        EXPECT_FALSE(protector->unprotect(bad, plain, error)) << "byte " << at;
        EXPECT_EQ(error, kProtectErrorInvalidData);
        EXPECT_EQ(plain, "untouched");
    }
    error = 0;
    EXPECT_FALSE(protector->unprotect(blob.substr(0, blob.size() - 1), plain, error));
    EXPECT_EQ(error, kProtectErrorInvalidData);
    EXPECT_FALSE(protector->unprotect("", plain, error));
    EXPECT_FALSE(protector->unprotect("not a blob at all", plain, error));
}

TEST_F(Protector, RefusesADamagedHeader) {
    if (port_test::under_wine())
        GTEST_SKIP() << "Wine's data protection does not authenticate the header fields of its blobs";
    auto protector = make_user_data_protector();
    std::string blob, plain;
    uint32_t error = 0;
    ASSERT_TRUE(protector->protect("secret", "description", blob, error));
    for (size_t at = 0; at < blob.size(); at += 7) {
        std::string bad = blob;
        bad[at] = static_cast<char>(bad[at] ^ 0x40);
        EXPECT_FALSE(protector->unprotect(bad, plain, error)) << "byte " << at;
    }
}

}  // namespace
}  // namespace sorvane::platform
