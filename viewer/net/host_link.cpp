#include "viewer/net/host_link.h"

namespace sorvane::viewer {

HostLink::~HostLink() { close(); }

bool HostLink::connect(const platform::Endpoint& host, const Fingerprint& pin, const ViewerIdentity* identity,
                       const LinkOptions& options) {
    TlsClientOptions tls;
    tls.timeout_ms = options.timeout_ms;
    tls.local_address = options.local_address;
    if (!client_.connect(host, pin, identity, tls)) {
        std::lock_guard<std::mutex> g(mutex_);
        error_ = client_.last_error();
        return false;
    }
    reader_ = std::thread([this] { read_loop(); });
    return true;
}

void HostLink::read_loop() {
    std::vector<uint8_t> buf(16384);
    for (;;) {
        const int64_t n = client_.read(buf.data(), buf.size());
        if (n > 0) {
            {
                std::lock_guard<std::mutex> g(mutex_);
                received_.insert(received_.end(), buf.begin(), buf.begin() + n);
            }
            cv_.notify_all();
            continue;
        }
        // A quiet host is not an ended connection: each read is bounded, and
        // the reader simply reads again until the connection ends.
        if (n < 0 && client_.timed_out() && !stopping_.load()) continue;
        {
            std::lock_guard<std::mutex> g(mutex_);
            ended_ = true;
            if (n < 0 && !stopping_.load()) error_ = client_.last_error();
        }
        cv_.notify_all();
        return;
    }
}

bool HostLink::send(proto::ByteView bytes) {
    if (bytes.empty()) return true;
    if (client_.write(bytes.data(), bytes.size())) return true;
    std::lock_guard<std::mutex> g(mutex_);
    error_ = client_.last_error();
    return false;
}

HostLink::Wait HostLink::receive(proto::Bytes& out, uint64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    clock_.wait_until(lock, cv_, clock_.now_ms() + timeout_ms, [this] { return !received_.empty() || ended_; });
    if (!received_.empty()) {
        out.insert(out.end(), received_.begin(), received_.end());
        received_.clear();
        return Wait::data;
    }
    return ended_ ? Wait::closed : Wait::timed_out;
}

void HostLink::close() {
    stopping_.store(true);
    client_.shutdown();
    if (reader_.joinable()) reader_.join();
}

bool HostLink::closed() const {
    std::lock_guard<std::mutex> g(mutex_);
    return ended_ && received_.empty();
}

std::string HostLink::last_error() const {
    std::lock_guard<std::mutex> g(mutex_);
    return error_;
}

platform::Endpoint HostLink::local_endpoint() {
    platform::Endpoint e;
    client_.socket().local_endpoint(e);
    return e;
}

bool ControlLink::start() { return client_.start(clock_.now_ms()) && flush(); }

bool ControlLink::flush() {
    const proto::Bytes out = client_.take_output();
    return link_.send(proto::ByteView(out.data(), out.size()));
}

bool ControlLink::pump(uint64_t timeout_ms, std::vector<ClientEvent>& events) {
    proto::Bytes bytes;
    const HostLink::Wait w = link_.receive(bytes, timeout_ms);
    const uint64_t now = clock_.now_ms();
    if (!bytes.empty()) client_.receive(proto::ByteView(bytes.data(), bytes.size()), now, events);
    client_.tick(now);
    const bool sent = flush();
    return sent && w != HostLink::Wait::closed;
}

}  // namespace sorvane::viewer
