// AES-256-GCM sealing of video-fragment-sized records under one key, and a
// full TLS handshake (host channel against the viewer's client) on loopback.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/trust/tls_channel.h"
#include "host/trust/tls_identity.h"
#include "host/trust/tls_log.h"
#include "platform/cert_store.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/socket.h"
#include "tests/support/allocation_counter.h"
#include "viewer/tls/tls_client.h"

namespace {

using namespace sorvane;

constexpr size_t kFragment = 1361;
constexpr size_t kHeader = 23;

void BM_AesGcmSeal1361(benchmark::State& state) {
    uint8_t key[platform::kAesGcmKeySize];
    platform::secure_random(key, sizeof key);
    auto gcm = platform::make_aes_gcm(key);
    std::vector<uint8_t> plain(kFragment, 0x5A), out(kFragment);
    uint8_t header[kHeader] = {0x01};
    uint8_t nonce[platform::kAesGcmNonceSize] = {};
    uint8_t tag[platform::kAesGcmTagSize];
    uint32_t seq = 0;
    const uint64_t allocations_before = test::allocation_count();
    for (auto _ : state) {
        ++seq;
        nonce[1] = static_cast<uint8_t>(seq >> 24);
        nonce[2] = static_cast<uint8_t>(seq >> 16);
        nonce[3] = static_cast<uint8_t>(seq >> 8);
        nonce[4] = static_cast<uint8_t>(seq);
        if (!gcm->seal(nonce, header, sizeof header, plain.data(), plain.size(), out.data(), tag)) {
            state.SkipWithError("seal failed");
            break;
        }
        benchmark::DoNotOptimize(tag);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFragment));
    state.counters["openssl_allocs_per_seal"] =
        test::counting_openssl_allocations() ? static_cast<double>(test::allocation_count() - allocations_before) /
                         static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1))
                   : -1.0;
}
BENCHMARK(BM_AesGcmSeal1361);

void BM_AesGcmOpen1361(benchmark::State& state) {
    uint8_t key[platform::kAesGcmKeySize];
    platform::secure_random(key, sizeof key);
    auto gcm = platform::make_aes_gcm(key);
    std::vector<uint8_t> plain(kFragment, 0x5A), sealed(kFragment), out(kFragment);
    uint8_t header[kHeader] = {0x01};
    uint8_t nonce[platform::kAesGcmNonceSize] = {};
    uint8_t tag[platform::kAesGcmTagSize];
    gcm->seal(nonce, header, sizeof header, plain.data(), plain.size(), sealed.data(), tag);
    for (auto _ : state) {
        if (!gcm->open(nonce, header, sizeof header, sealed.data(), sealed.size(), tag, out.data())) {
            state.SkipWithError("open failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFragment));
}
BENCHMARK(BM_AesGcmOpen1361);

// One connection after another: the client connects, both sides complete the
// handshake, the client closes. Arg: 12 or 13 for the protocol version.
void BM_TlsHandshakeLoopback(benchmark::State& state) {
    set_tls_log_sink([](std::string_view) {});
    char folder[] = "/tmp/sorvane-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    auto clock = platform::make_system_clock();
    auto store = platform::make_certificate_store(identity_store_folder(folder));
    TrustStatus status;
    const TlsIdentity identity = TlsIdentity::load_or_create(kHostIdentityName, *store, *clock, status);
    std::string error;
    auto viewer_identity = viewer::ViewerIdentity::create_ephemeral(*clock, "Bench Viewer", error);
    platform::TcpListener listener;
    if (!identity.valid() || !viewer_identity || !listener.listen("127.0.0.1", 0).ok()) {
        state.SkipWithError("set-up failed");
        return;
    }
    std::atomic<int> failures{0};
    std::thread server([&] {
        for (;;) {
            platform::TcpStream socket;
            if (!listener.accept(socket, nullptr, -1).ok()) return;
            socket.set_receive_timeout(5'000);
            auto channel = TlsChannel::create(socket, identity);
            if (!channel->handshake()) {
                failures++;
                continue;
            }
            char byte;
            channel->read(&byte, 1);  // 0 when the client closes
        }
    });

    viewer::TlsClientOptions options;
    options.version = state.range(0) == 12 ? viewer::TlsVersion::tls12 : viewer::TlsVersion::tls13;
    const platform::Endpoint host{platform::kLoopbackAddress, listener.port()};
    for (auto _ : state) {
        viewer::TlsClient client(*clock);
        if (!client.connect(host, identity.fingerprint(), viewer_identity.get(), options)) {
            state.SkipWithError(client.last_error().c_str());
            break;
        }
        client.close();
    }
    listener.shutdown();
    server.join();
    state.counters["server_failures"] = failures.load();
    platform::remove_tree(folder);
    set_tls_log_sink({});
}
BENCHMARK(BM_TlsHandshakeLoopback)->Arg(12)->Arg(13)->Unit(benchmark::kMicrosecond);

}  // namespace
