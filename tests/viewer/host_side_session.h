// The host's side of a session with sorvane-viewer running as a process
// against the transport fixture: the viewer's identity paired beforehand, and
// the session opening (HandshakeAck, SessionOpen, the VideoHello that sets
// where the video goes).
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "host/net/video_cipher.h"
#include "host/net/video_datagram.h"
#include "host/net/video_hello.h"
#include "host/protocol/control_messages.h"
#include "tests/host/net/transport_fixture.h"

namespace sorvane::test {

// The viewer identity a command will load from its state folder, paired in
// the fixture's store as client_id (null, with a test failure, when it could
// not be made).
inline std::unique_ptr<viewer::ViewerIdentity> paired_viewer_state(TransportFixture& f, const std::string& state,
                                                                   const std::string& client_id = "phone-1") {
    std::string error;
    auto id = viewer::ViewerIdentity::load_or_create(state, *f.real_clock, error);
    if (!id) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    PairingRecord rec;
    rec.client_id = client_id;
    rec.fingerprint = id->fingerprint();
    f.store.upsert(rec);
    return id;
}

// Answers a viewer connection's Handshake (already received; the first
// connection unless told otherwise) and opens its session with a fixed video key.
class HostSideSession {
public:
    using Key = std::array<uint8_t, 32>;

    HostSideSession(TransportFixture& f, uint32_t session_id, const Key& key, size_t connection = 0)
        : f_(f),
          id_(session_id),
          key_(key),
          conn_(f.sink.of(RecordingSink::Event::connected).at(connection)),
          hello_(session_id, conn_.peer, f.clock) {
        hello_.set_cipher(std::shared_ptr<VideoCipher>(VideoCipher::create(key_.data())));
        hello_.set_state(SessionState::AwaitHello);
        f_.sink.set_hello_hook([this](const Endpoint& source, proto::ByteView d) {
            std::lock_guard<std::mutex> g(mutex_);
            hello_.handle_video_hello(source, d);
        });
    }
    ~HostSideSession() { f_.sink.set_hello_hook({}); }
    HostSideSession(const HostSideSession&) = delete;
    HostSideSession& operator=(const HostSideSession&) = delete;

    // HandshakeAck and SessionOpen in this mode, then waits for the viewer's
    // VideoHello. False when a step failed.
    bool open(uint16_t width, uint16_t height, uint8_t fps) {
        proto::HandshakeAck ack{0x0100, kTestHostId, true, std::nullopt, std::nullopt, id_, std::nullopt};
        proto::SessionOpen open{id_,    f_.transport->video_port(), f_.transport->input_port(),
                                "H264", width,
                                height, fps,
                                std::string(key_.begin(), key_.end())};
        proto::Bytes out;
        if (!proto::encode_control(ack, out) || !proto::encode_control(open, out)) return false;
        if (!f_.transport->send_control(conn_.conn_id, out)) return false;
        return eventually([&] {
            std::lock_guard<std::mutex> g(mutex_);
            return hello_.destination().has_value();
        });
    }

    ConnId conn_id() const { return conn_.conn_id; }
    // Sends sealed datagrams to where the viewer's VideoHello came from.
    VideoSender sender() const { return hello_.make_sender(*f_.transport); }
    // A cipher with the session's key, for sealing frames.
    std::unique_ptr<VideoCipher> cipher() const { return VideoCipher::create(key_.data()); }

private:
    TransportFixture& f_;
    const uint32_t id_;
    const Key key_;
    const RecordingSink::Event conn_;
    std::mutex mutex_;
    VideoHelloHandler hello_;
};

}  // namespace sorvane::test
