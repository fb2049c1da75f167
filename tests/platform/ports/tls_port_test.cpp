// The TLS engine port. The Linux engine's handshakes are covered with the
// trust suites; here only what every implementation must refuse.
#include "platform/tls.h"

#include <gtest/gtest.h>

namespace sorvane::platform {
namespace {

TEST(TlsEngine, RefusesAServerWithoutCredentials) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows TLS engine is not built yet; Wine has no server side of Schannel to run it";
#else
    uint32_t status = 0;
    EXPECT_EQ(make_tls_server_engine(nullptr, status), nullptr);
    EXPECT_EQ(status, kSecNoCredentials);
#endif
}

}  // namespace
}  // namespace sorvane::platform
