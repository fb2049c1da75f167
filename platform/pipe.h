// Message pipe port: the local named pipes "\\.\pipe\NAME" through which the
// host and the driver talk. One write is one message and one read returns
// one message, whatever their sizes; nothing is sent unasked.
//
// The server side holds the name for as long as its listener lives, admits
// only the peers its security descriptor (SDDL text) grants read and write
// access, and identifies every peer by process id and SID. On Linux the pipe
// is an AF_UNIX SOCK_SEQPACKET socket in the simulated machine's pipes/
// folder, and a peer's SID is the user of its token on the simulated machine
// (LOCAL SERVICE for a driver host, else the machine's user).
//
// Threads: one thread may block in a connection's read while another writes
// on it; stop() of the listener wakes every wait of the listener and of the
// connections it accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sorvane::platform {

// Win32 codes of the pipe calls.
inline constexpr uint32_t kErrorPipeBusy = 231;
inline constexpr uint32_t kErrorBrokenPipe = 109;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorInvalidSecurityDescr = 1338;
inline constexpr uint32_t kErrorPipeNotConnected = 233;

enum class PipeStatus {
    ok,
    timed_out,  // the wait ran out
    stopped,    // the listener was stopped
    closed,     // the peer closed its end
    error,      // see error
};

struct PipeResult {
    PipeStatus status = PipeStatus::ok;
    uint32_t error = 0;        // Win32 code for status error
    size_t bytes = 0;          // bytes copied (read) or written
    size_t message_size = 0;   // read: the whole message's size, also when it did not fit
    bool ok() const { return status == PipeStatus::ok; }
};

class IPipeConnection {
public:
    virtual ~IPipeConnection() = default;

    // Reads the next message into buf. When the message is larger than
    // capacity, the first capacity bytes are copied, message_size tells the
    // whole size and the rest of that message is dropped. timeout_ms 0 waits
    // without limit.
    virtual PipeResult read_message(void* buf, size_t capacity, uint32_t timeout_ms) = 0;
    // Writes data as one message, waiting at most timeout_ms (0: no limit).
    virtual PipeResult write_message(const void* data, size_t n, uint32_t timeout_ms) = 0;
    // The peer's process id and SID as read when it connected (0 / empty when unknown).
    virtual uint32_t peer_pid() const = 0;
    virtual std::string peer_sid() const = 0;
    // Ends the connection; a blocked read reports closed. Harmless twice.
    virtual void close() = 0;
};

class IPipeListener {
public:
    virtual ~IPipeListener() = default;

    // Waits for the next admitted client (peers the descriptor does not admit
    // are turned away here and never returned). stopped after stop().
    virtual PipeResult accept(std::unique_ptr<IPipeConnection>& out) = 0;
    // Wakes accept and every wait of the accepted connections; later calls
    // report stopped. Harmless twice.
    virtual void stop() = 0;
};

// Takes the name \\.\pipe\NAME with the security descriptor sddl. Fails with
// kErrorAccessDenied when another process owns the name,
// kErrorInvalidSecurityDescr when the SDDL cannot be read, kErrorInvalidName
// (123) for a name that is not a pipe name, or the system's code.
std::unique_ptr<IPipeListener> create_pipe_listener(const std::string& name, const std::string& sddl,
                                                    uint32_t& error);

// Opens the client end of \\.\pipe\NAME. Fails with kErrorFileNotFound when
// no server holds the name, kErrorAccessDenied when its descriptor does not
// admit this process, kErrorPipeBusy when it cannot take a client now.
std::unique_ptr<IPipeConnection> open_pipe(const std::string& name, uint32_t& error);

// The string SID of the account this process runs under; empty when unknown.
std::string process_user_sid();

// True for a string SID: "S-1-", an identifier authority and up to 15
// sub-authorities, all decimal (the authority may also be 0x and 12 hex digits).
bool string_sid_valid(std::string_view text);

inline constexpr uint32_t kErrorInvalidName = 123;

}  // namespace sorvane::platform
