#include "tests/host/protocol/samples.h"

namespace sorvane::test {

using namespace proto;

Handshake full_handshake() {
    Handshake h;
    h.protocol = 0x0100;
    h.client_id = "dev1";
    h.client_name = "Tab";
    h.caps = std::vector<std::string>{"H264", "X"};
    h.display_width = 2400;
    h.display_height = 1080;
    h.auth_token = "t";
    h.width_mm = 150;
    h.height_mm = 70;
    h.max_hz = 120;
    h.reconnect_wait_s = 45;
    h.min_protocol = 0x0100;
    return h;
}

// One fully populated and one bare sample of every message.
std::vector<ControlMessage> control_samples() {
    HandshakeAck refused{0x0100, "host", false, std::nullopt, "version_mismatch_client_outdated", std::nullopt,
                         0x0100};
    HandshakeAck accepted{0x0100, "host", true, "PC", std::nullopt, 9, 0x0100};
    return {
        full_handshake(),
        Handshake{0x0100, "bare", {}, {}, {}, {}, {}, {}, {}, {}, {}, {}},
        Handshake{0x0100, "", {}, std::vector<std::string>{}, {}, {}, {}, {}, {}, {}, {}, {}},
        refused,
        accepted,
        SessionOpen{3, 47001, 47002, "H264", 2400, 1080, 120, std::string(32, '\xAB')},
        SessionOpen{3, 1, 2, "", 0, 0, 0, std::nullopt},
        SessionOpenAck{3, true},
        SessionOpenAck{3, false},
        SessionClose{3, "decoder_failed: no codec"},
        SessionClose{3, std::nullopt},
        ResolutionChange{3, 1920, 1080, uint8_t{30}},
        ResolutionChange{3, 1920, 1080, std::nullopt},
        Heartbeat{3, 0xFFFFFFFFFFFFFFFFull},
        HeartbeatAck{3, 12345, uint64_t{12000}},
        HeartbeatAck{0, 1, std::nullopt},
        KeyframeRequest{3, uint32_t{0xDEADBEEF}},
        KeyframeRequest{3, std::nullopt},
        SessionSuspend{3, "background"},
        SessionSuspend{3, std::nullopt},
        RateRequest{3, 500, "thermal"},
        RateRequest{3, 24, std::nullopt},
        InputNotice{3, "Klavye: \xC3\xBC"},
        OpenHostSettings{3, "display"},
    };
}

std::vector<InputMessage> input_samples() {
    TouchFrame many{5, 77, {}};
    for (size_t i = 0; i < kMaxTouchPoints; ++i) {
        many.points.push_back(TouchPoint{static_cast<uint8_t>(i), kTouchCancel, -1.5f, 2.0f});
    }
    return {
        PointerMove{5, 0.125f, 0.875f, 99},
        ButtonEvent{5, 2, true, 0.5f, 0.5f},
        KeyEvent{5, 0x04, false, 0x81},
        ScrollEvent{5, -120, 32767, 0xFFFFFFFF, 7},
        TouchFrame{5, 1, {}},
        many,
        TextInput{5, "merhaba \xF0\x9F\x98\x80"},
        RelativeMove{5, -32768, 1},
        MouseButton{5, 1, true},
    };
}

std::vector<PairingMessage> pairing_samples() {
    return {
        PairRequest{"c1", "0123456789abcdef0123456789abcdef", std::nullopt},
        PairRequest{"c1", "tok", "Phone"},
        PairResult{false, "host", "invalid_or_expired_token", std::nullopt},
        PairResult{true, "host", std::nullopt, "PC"},
    };
}

}  // namespace sorvane::test
