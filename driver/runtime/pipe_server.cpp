#include "driver/runtime/pipe_server.h"

#include <cinttypes>
#include <cstdio>

#include "driver/core/protocol.h"

namespace sorvane::vdd {

namespace {

constexpr size_t kReadBuffer = kMaxRequestBytes + 1;
// A message larger than this is not answered: the connection is closed.
constexpr size_t kMaxDrainedMessage = 65'536;

std::string mask_text(uint32_t mask) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06" PRIx32, mask);
    return buf;
}

bool sid_valid(std::string_view s) { return s.size() >= 5 && s.size() <= 184 && platform::string_sid_valid(s); }

}  // namespace

std::vector<std::string> read_allow_list(platform::IRegistry& registry) {
    platform::RegistryValue v;
    if (registry.get_value(platform::RegistryHive::local_machine, kVddRegistryKey, kAllowListValue, v) != 0) return {};
    if ((v.type != platform::kRegMultiSz && v.type != platform::kRegSz) || v.data.size() < 2 || v.data.size() > 8192)
        return {};
    // Strings end at a NUL; the list ends at the first empty one.
    std::vector<std::string> out;
    size_t start = 0;
    const size_t units = v.data.size() / 2;
    for (size_t i = 0; i <= units && out.size() < kMaxAllowListStrings; ++i) {
        const bool end = i == units || (v.data[2 * i] == 0 && v.data[2 * i + 1] == 0);
        if (!end) continue;
        if (i == start) break;
        out.push_back(platform::utf16le_to_utf8(v.data.data() + 2 * start, 2 * (i - start)));
        start = i + 1;
    }
    return out;
}

SecurityDescriptor build_security_descriptor(std::string_view own_sid, const std::vector<std::string>& list) {
    SecurityDescriptor d;
    d.sddl = "D:P(A;;" + mask_text(0x120183) + ";;;SY)(A;;" + mask_text(0x120183) + ";;;BA)";
    if (sid_valid(own_sid)) {
        d.sddl += "(A;;" + mask_text(0x12019f) + ";;;" + std::string(own_sid) + ")";
    } else {
        ++d.rejected;
    }
    std::vector<std::string> admitted;
    for (const std::string& s : list) {
        bool seen = false;
        for (const auto& a : admitted) seen = seen || a == s;
        if (!sid_valid(s) || seen || admitted.size() >= kMaxListedSids) {
            ++d.rejected;
            continue;
        }
        admitted.push_back(s);
        d.sddl += "(A;;" + mask_text(0x120183) + ";;;" + s + ")";
    }
    return d;
}

PipeServer::PipeServer(PipeServerOptions options, PipeHandlers handlers)
    : options_(std::move(options)), handlers_(std::move(handlers)) {
    if (options_.clock == nullptr) own_clock_ = platform::make_system_clock();
    clock_ = options_.clock != nullptr ? options_.clock : own_clock_.get();
}

PipeServer::~PipeServer() { stop(); }

bool PipeServer::start(std::string& error) {
    std::lock_guard<std::mutex> g(state_mutex_);
    if (running_) return true;
    uint32_t code = 0;
    listener_ = options_.listen ? options_.listen(options_.name, options_.sddl, code)
                                : platform::create_pipe_listener(options_.name, options_.sddl, code);
    if (!listener_) {
        error = "CreateNamedPipe failed, error " + std::to_string(code);
        return false;
    }
    running_ = true;
    {
        std::lock_guard<std::mutex> w(wait_mutex_);
        stopping_ = false;
    }
    accept_thread_ = std::thread([this] { accept_loop(); });
    return true;
}

void PipeServer::stop() {
    std::lock_guard<std::mutex> g(state_mutex_);
    if (!running_) return;
    {
        std::lock_guard<std::mutex> w(wait_mutex_);
        stopping_ = true;
    }
    wait_cv_.notify_all();
    listener_->stop();
    if (accept_thread_.joinable()) accept_thread_.join();
    reap(true);
    // The listener (and with it the stop signal) goes only after every thread that waits on it.
    listener_.reset();
    running_ = false;
}

void PipeServer::reap(bool all) {
    std::vector<Connection> finished;
    {
        std::lock_guard<std::mutex> g(threads_mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || it->done->load()) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        if (c.thread.joinable()) c.thread.join();
}

void PipeServer::accept_loop() {
    while (true) {
        std::unique_ptr<platform::IPipeConnection> pipe;
        const platform::PipeResult r = listener_->accept(pipe);
        if (r.status == platform::PipeStatus::stopped) break;
        if (!r.ok()) {
            if (!after_failed_accept(r.error)) break;
            continue;
        }
        reap(false);
        if (active_.load() >= options_.client_limit) {
            options_.logger.write("connection refused: too many clients");
            pipe->close();
            continue;
        }
        const uint32_t id = next_id_.fetch_add(1);
        ++active_;
        ++total_;
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard<std::mutex> g(threads_mutex_);
        connections_.push_back(
            {std::thread([this, p = std::move(pipe), id, done]() mutable { serve(std::move(p), id, done); }), done});
    }
}

bool PipeServer::after_failed_accept(uint32_t error) {
    // A failure that repeats (no descriptors left, say) would otherwise fill
    // the log and keep a core busy.
    const uint64_t now = clock_->now_ms();
    if (now >= next_failure_line_ms_) {
        const uint64_t left_out = failures_left_out_;
        options_.logger.log([&] {
            std::string line = "ConnectNamedPipe failed, error " + std::to_string(error);
            if (left_out > 0) line += " (" + std::to_string(left_out) + " more failure(s) not logged)";
            return line;
        });
        failures_left_out_ = 0;
        next_failure_line_ms_ = now + options_.accept_log_every_ms;
    } else {
        ++failures_left_out_;
    }
    std::unique_lock<std::mutex> l(wait_mutex_);
    clock_->wait_until(l, wait_cv_, now + options_.accept_retry_ms, [this] { return stopping_; });
    return !stopping_;
}

void PipeServer::serve(std::unique_ptr<platform::IPipeConnection> pipe, uint32_t id,
                       std::shared_ptr<std::atomic<bool>> done) {
    const std::string name = "connection " + std::to_string(id);
    if (pipe->peer_pid() != 0) {
        options_.logger.log([&] { return name + " from pid " + std::to_string(pipe->peer_pid()); });
    }
    char buf[kReadBuffer];
    while (true) {
        const platform::PipeResult r = pipe->read_message(buf, sizeof buf, options_.idle_timeout_ms);
        if (r.status == platform::PipeStatus::timed_out) {
            options_.logger.log([&] { return name + " idle timeout"; });
            break;
        }
        if (!r.ok()) break;
        std::string response;
        if (r.message_size > kMaxDrainedMessage) break;  // not answered
        if (r.message_size > kMaxRequestBytes) {
            response = "SVC/1 0 ERR 1 BAD_REQUEST msg=size";
        } else {
            try {
                response = handlers_.request(id, std::string_view(buf, r.bytes));
            } catch (...) {
                response = "SVC/1 0 ERR 10 INTERNAL msg=fault";
            }
        }
        const platform::PipeResult w =
            pipe->write_message(response.data(), response.size(), options_.write_timeout_ms);
        if (!w.ok()) break;
    }
    try {
        if (handlers_.disconnect) handlers_.disconnect(id);
    } catch (...) {
        // The clean-up of a connection never ends the server.
    }
    pipe->close();
    options_.logger.log([&] { return name + " closed"; });
    --active_;
    done->store(true);
}

}  // namespace sorvane::vdd
