// Writes the seed corpora of the harnesses: the wire samples of the protocol
// tests as frames and payloads, the protocol texts of the unit tests, and
// structured inputs for the reassembly harness. Run once by hand
// (fuzz_make_seeds tests/fuzz/corpus); the files are committed.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/core/edid.h"
#include "host/media/h264_bits.h"
#include "host/media/h264_sps.h"
#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/pairing_messages.h"
#include "platform/mft.h"
#include "platform/sim/mft_scripted.h"
#include "tests/host/protocol/samples.h"

using namespace sorvane;

namespace {

std::filesystem::path g_root;

void write(const std::string& harness, const std::string& name, const std::string& bytes) {
    const auto dir = g_root / harness;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string str(const proto::Bytes& b) { return std::string(b.begin(), b.end()); }

std::string be(uint64_t v, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
    return out;
}

template <class Messages, class Encode>
void wire_seeds(const std::string& codec, uint8_t selector, const Messages& messages, Encode encode) {
    std::string stream(1, '\x07');  // pieces of 8 bytes
    int n = 0;
    for (const auto& m : messages) {
        proto::Bytes frame;
        if (!encode(m, frame)) continue;
        const std::string payload = str(frame).substr(proto::kLengthFieldSize);  // type and payload
        char name[32];
        std::snprintf(name, sizeof name, "sample-%02d", n++);
        write(codec + "_decode", name, payload);
        write("codec_roundtrip", codec + "-" + name, std::string(1, static_cast<char>(selector)) + payload);
        stream += str(frame);
    }
    write("wire_frames", codec + "-stream", stream);
}

// One fragment record of the reassembly harness (op 0: small seq, small
// capture, count and index from bytes).
std::string fragment(uint8_t seq, uint16_t capture, uint8_t keyframe, uint8_t count, uint8_t index, uint16_t last) {
    std::string r;
    r += '\x00';
    r += static_cast<char>(seq);
    r += be(capture, 2);
    r += static_cast<char>(keyframe);
    r += static_cast<char>(count - 1);
    r += static_cast<char>(index);
    if (index + 1 == count) r += be(last, 2);
    return r;
}

// The SPS the system's encoder writes first for a configuration (empty when
// there is no encoder).
std::string encoder_sps(uint32_t w, uint32_t h, uint32_t profile) {
    auto port = platform::make_mft_port();
    std::vector<platform::MftActivate> list = port->list_encoder_transforms(false, nullptr);
    std::unique_ptr<platform::IMftTransform> t;
    if (list.empty() || port->activate(list[0], t) != 0) return {};
    platform::MftVideoType out;
    out.h264 = true;
    out.width = w;
    out.height = h;
    out.fps_num = 60;
    out.avg_bitrate = 8'000'000;
    out.profile = profile;
    platform::MftVideoType in = out;
    in.h264 = false;
    if (t->set_output_type(out) != 0 || t->set_input_type(in) != 0 ||
        t->process_message(platform::MftMessage::notify_begin_streaming) != 0) {
        return {};
    }
    std::vector<uint8_t> frame(w * h * 3 / 2, 128);
    platform::MftSample s{frame.data(), frame.size(), w, h, false, 0, 0};
    std::vector<uint8_t> au;
    std::vector<std::span<const uint8_t>> units;
    if (t->process_input(s) != 0 || t->process_output(0, au) != 0 || !h264::split_length_prefixed(au, units)) return {};
    for (auto u : units)
        if (!u.empty() && (u[0] & 0x1F) == 7) return std::string(u.begin(), u.end());
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <corpus folder>\n");
        return 2;
    }
    g_root = argv[1];

    wire_seeds("control", 0, test::control_samples(), proto::encode_control);
    wire_seeds("input", 1, test::input_samples(), proto::encode_input);
    wire_seeds("pairing", 2, test::pairing_samples(), proto::encode_pairing);
    write("wire_frames", "length-zero", std::string("\x00\x00\x00\x00\x00\x01", 6));
    write("wire_frames", "length-over", std::string("\x00\x00\x10\x00\x01", 5));

    const std::string fp(64, 'a');
    write("pairing_uri", "full",
          "sorvane://pair?host=0123abcd-0000-4000-8000-00000000000a&port=47000&fp=" + fp +
              "&token=00112233445566778899aabbccddeeff&ip=192.168.1.20,10.0.0.5&name=My%20PC");
    write("pairing_uri", "no-ip",
          "sorvane://pair?host=0123abcd-0000-4000-8000-00000000000a&port=1&fp=" + fp + "&token=t&ip=&name=%C3%A9");

    write("svc_request", "ping", "SVC/1 5 PING");
    write("svc_request", "session",
          "SVC/1 1 PING\nSVC/1 2 MONITOR_ADD 1920 1080 60 key=3f9a mmw=340 mmh=212\nSVC/1 3 GET_STATE\n"
          "xSVC/1 4 MONITOR_REMOVE 1\nSVC/1 5 GPU_LUID 00000000:0001a2b3\nSVC/1 6 LOG debug\nSVC/2 9 PING");
    write("svc_request", "bad", "SVC/1 3 MONITOR_ADD 1920 1080 60 mmw=300 1\nSVC/1 3 MONITOR_ADD 1920 1080 60 k=1 k=2");

    write("state_files", "kinds", "a|phone\nb|Phone\nc|tablet\r\n\nnobar\n|phone\ne|x|phone\nf|phone");
    write("state_files", "positions", "a|R|0|\\\\.\\DISPLAY1\nb|X|0|anchor\ne|T|-99999|a|b\ni|B|99999|x\r\n");
    write("state_files", "host-id", "0123abcd-0000-4000-8000-00000000000a");
    // Found by fuzzing: a CR inside a key was read but never written back.
    write("state_files", "crash-cr-in-key", "a\rb|phone\nc\rd|L|5|anchor\n");

    write("pairings_store", "records",
          "phone-1|" + fp + "|Pixel %7C 7|2024-03-09T17:05:00Z|2024-03-10T08:00:00Z\n"
          "tab%25|" + std::string(63, 'b') + "|%41%4a|x|y\r\nfour|fields|only|here\n");

    // Reassembly: options (offset 0, timeout 500, 32 frames, budget of 4 MiB), now = 1000.
    const std::string options = be(0, 8) + be(500, 2) + std::string(1, 31) + be(0xFFFF, 2) + be(1000, 4);
    write("frame_assembler", "frames",
          options + fragment(1, 900, 1, 2, 0, 0) + fragment(1, 900, 1, 2, 1, 700) + fragment(2, 950, 0, 1, 0, 10) +
              std::string("\x06\x01\xF4", 3) + fragment(3, 990, 0, 3, 2, 5) + "\x07");
    // Found by fuzzing: a capture time near 2^63 overflowed the latency, and
    // first fragments claiming 65,535 pieces each allocated 89 MB.
    std::string near = options;
    near += '\x40';
    near += '\x01';
    near += be(0x8000000000000005ull, 8) + std::string("\x00\x00\x00", 3) + be(10, 2);
    write("frame_assembler", "crash-capture-near-2-63", near);
    std::string claims = options;
    for (int seq = 0; seq < 32; ++seq) {
        claims += '\x20';
        claims += static_cast<char>(seq);
        claims += be(5, 2) + std::string(1, '\x00') + be(0, 2) + be(65535, 2);
    }
    write("frame_assembler", "crash-claimed-pieces", claims);

    vdd::EdidInput e;
    e.maker = "SVN";
    e.product = 1;
    e.serial = 0x01000003;
    e.name = "Sorvane";
    e.width = 1920;
    e.height = 1080;
    e.refresh = 60;
    std::string detail;
    const auto edid = vdd::build_edid(e, detail);
    write("edid_description", "built", "\x01" + std::string(edid.begin(), edid.end()));
    write("edid_description", "request", std::string("\x00SVN\x00\x01\x01\x00\x00\x03", 10) + be(1920, 2) +
                                             be(1080, 2) + "\x3c" + be(340, 2) + be(212, 2) + "Sorvane");

    // VideoHello: state AwaitHello with a cipher; a genuine hello, a flipped
    // one, another port, another address, raw bytes.
    write("video_hello", "hellos",
          std::string("\x02\x01\x00", 3) + be(40000, 2) + be(1, 4) + std::string("\x10", 1) + be(40000, 2) +
              be(2, 4) + std::string("\x05\x01\x00", 3) + be(40001, 2) + be(3, 4) + "\x80" + be(0x0A000006, 4) +
              be(40000, 2) + be(4, 4) + "\x40" + be(40000, 2) + be(9, 2) + std::string("\x02\x00\x00\x00\x07\x00\x00\x00\x09", 9));

    // The driver's replies as its tests show them.
    write("driver_reply", "state",
          "SVC/1 7 OK proto=1.1 driver=SorvaneVDD-0.1.3 iddcx=0x1a00 adapter=ready max=4 count=2 "
          "render_pref=none render_actual=00000000:0001a2b3 "
          "m0=id:3,slot:1,serial:0x1a47e90b,mode:2560x1600@60,os:00000000:0003f000/257,state:active,owner:2,lease_ms:9500 "
          "m1=id:4,slot:2,serial:7,mode:1920x1080@60,os:none/0,state:pending,owner:2,lease_ms:0");
    write("driver_reply", "add", "SVC/1 8 OK id=5 serial=0x0a0b0c0d slot=0 os_luid=00000000:0003f000 os_target=257 mode=1920x1080@60");
    write("driver_reply", "errors", "SVC/1 4 ERR 9 IDDCX status=0xc00000a3 msg=size junk");
    write("driver_reply", "summary", "id:3,slot:1,serial:0x1a47e90b,mode:2560x1600@60,os:00000000:0003f000/257");

    // settings.txt as its tests write it.
    write("settings_text", "rules", "lang=tr\r\ntheme=light\ntheme=dark\n=x\nnoequals\n a = b \nk==v\nlast=1");
    write("settings_text", "notes",
          "color_vibrance=1\nlast_pairings_unreadable=pairings.dat.bad-20250301|13\nupdate_check=0\n"
          "update_notified=1.4.0\nlong=abc");
    // Read and write once disagreed here: a value ending in CR was kept, but
    // written back it lost the CR (the line's one CR is dropped).
    write("settings_text", "crash-cr-at-value-end", "k=v\r\r\nnext=1\n");

    // SPS: the simulated encoder's (no VUI, with and without cropping), the
    // rewrite of one, and the system encoder's (VUI with timing).
    write("h264_sps", "plain-720p", str(sim::make_test_sps(1280, 720, 3)));
    write("h264_sps", "plain-cropped", str(sim::make_test_sps(1366, 768, 1)));
    std::vector<uint8_t> rewritten;
    if (h264::rewrite_sps(sim::make_test_sps(1920, 1080, 2), rewritten)) write("h264_sps", "rewritten", str(rewritten));
    for (const uint32_t profile : {66u, 100u}) {
        const std::string sps = encoder_sps(1920, 1080, profile);
        if (!sps.empty()) write("h264_sps", "encoder-" + std::to_string(profile), sps);
    }

    write("log_text", "mixed", std::string("\x20ph\x00one\x7f\x80/\xC0\xAF\xED\xA0\x80\xE2\x82|\xC3\xA9", 20));
    write("log_text", "long", "\x10" + std::string(300, 'x'));
    return 0;
}
