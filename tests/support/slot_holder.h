// Sockets that hold a TCP listener's places without ever finishing a TLS
// handshake, from loopback addresses of the test's choice: on each address
// some send nothing, some dribble the start of a ClientHello one byte at a
// time. Whenever the listener closes one (refused, made room for another, or
// past its deadline) it is opened again 50 ms later.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace sorvane::test {

class SlotHolder {
public:
    using Clock = std::chrono::steady_clock;

    // silent and dribbling sockets from each of addresses (host order, e.g. 0x7F000001).
    SlotHolder(uint16_t port, const std::vector<uint32_t>& addresses, int silent, int dribbling) : port_(port) {
        for (const uint32_t address : addresses)
            for (int i = 0; i < silent + dribbling; ++i) slots_.push_back(Slot{-1, address, i >= silent, 0, Clock::now()});
        thread_ = std::thread([this] { run(); });
    }
    ~SlotHolder() {
        stop_.store(true);
        thread_.join();
        for (Slot& s : slots_)
            if (s.fd >= 0) ::close(s.fd);
    }
    SlotHolder(const SlotHolder&) = delete;
    SlotHolder& operator=(const SlotHolder&) = delete;

    uint64_t opened() const { return opened_.load(); }
    uint64_t closed_by_host() const { return closed_by_host_.load(); }

    // Waits (bounded) until the listener has closed at least n of them: it is
    // full and the reopening has begun.
    bool wait_for_closes(uint64_t n) const {
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < end) {
            if (closed_by_host() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    struct Slot {
        int fd;
        uint32_t address;
        bool dribble;
        size_t sent;
        Clock::time_point next;  // next reopen or next byte
    };

    void open(Slot& s) {
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (s.fd < 0) return;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(s.address);
        ::bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        ::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        s.sent = 0;
        s.next = Clock::now() + std::chrono::milliseconds(100);
        opened_.fetch_add(1);
    }

    void drop(Slot& s) {
        ::close(s.fd);
        s.fd = -1;
        s.next = Clock::now() + std::chrono::milliseconds(50);  // reopen soon, not in a tight loop
        closed_by_host_.fetch_add(1);
    }

    void run() {
        // A TLS record header announcing a 512-byte ClientHello, then its start.
        static const unsigned char hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03,
                                              0x5A, 0x11, 0x42, 0x07, 0x9C, 0x33, 0x81, 0x20, 0x6E, 0xD4, 0x19};
        while (!stop_.load()) {
            std::vector<pollfd> fds;
            for (Slot& s : slots_) {
                if (s.fd < 0 && Clock::now() >= s.next) open(s);
                fds.push_back(pollfd{s.fd, POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 10);
            for (size_t i = 0; i < slots_.size(); ++i) {
                Slot& s = slots_[i];
                if (s.fd < 0) continue;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    char buf[256];
                    const ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
                    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                        drop(s);
                        continue;
                    }
                }
                if (s.dribble && Clock::now() >= s.next && s.sent < sizeof hello) {
                    if (::send(s.fd, hello + s.sent, 1, MSG_NOSIGNAL) == 1) ++s.sent;
                    s.next = Clock::now() + std::chrono::milliseconds(200);
                }
            }
        }
    }

    const uint16_t port_;
    std::vector<Slot> slots_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> opened_{0};
    std::atomic<uint64_t> closed_by_host_{0};
    std::thread thread_;
};

}  // namespace sorvane::test
