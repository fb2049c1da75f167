// The certificate store with its key provider: a self-signed identity is
// made, found again by its subject, bound to its key, and deleted.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/cert_store.h"
#include "platform/clock.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

constexpr uint32_t kNteNotSupported = 0x80090029u;

TEST(CertificateStore, AnIdentityIsMadeFoundBoundAndDeleted) {
    port_test::TempFolder dir;
    auto store = make_certificate_store(dir.path());
    ASSERT_TRUE(store->open().ok);
    const std::string name = port_test::unique_name("sorvane-port-key");
    std::unique_ptr<PrivateKey> key;
    const StoreResult made = store->create_key(name, key);
    if (!made.ok && made.error_code == kNteNotSupported && port_test::under_wine())
        GTEST_SKIP() << "Wine's key storage provider cannot create persisted keys (NTE_NOT_SUPPORTED)";
    ASSERT_TRUE(made.ok) << std::hex << made.error_code;

    const int64_t now = make_system_clock()->wall_ms();
    StoredCertificate cert;
    ASSERT_TRUE(store->create_certificate(*key, {name, now - 60'000, now + 86'400'000}, cert).ok);
    ASSERT_TRUE(store->add_certificate(cert).ok);
    EXPECT_FALSE(cert.id.empty());
    std::vector<StoredCertificate> found;
    ASSERT_TRUE(store->find_by_subject(name, found).ok);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].der, cert.der);
    EXPECT_EQ(found[0].subject, "CN=" + name);

    std::unique_ptr<PrivateKey> reopened;
    ASSERT_TRUE(store->open_key(name, reopened).ok);
    std::unique_ptr<TlsCredential> credential;
    EXPECT_TRUE(store->bind_key(found[0], *reopened, credential).ok);
    EXPECT_NE(credential, nullptr);

    EXPECT_TRUE(store->remove_certificate(found[0]).ok);
    EXPECT_TRUE(store->delete_key(name).ok);
    ASSERT_TRUE(store->find_by_subject(name, found).ok);
    EXPECT_TRUE(found.empty());
    EXPECT_FALSE(store->open_key(name, reopened).ok);
}

}  // namespace
}  // namespace sorvane::platform
