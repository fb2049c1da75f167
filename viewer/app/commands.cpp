#include "viewer/app/commands.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <string_view>

#include "common/text.h"
#include "host/protocol/defaults.h"
#include "host/protocol/wire.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/random.h"
#include "viewer/protocol/control_client.h"

#ifndef SORVANE_VERSION
#define SORVANE_VERSION "dev"
#endif

namespace sorvane::viewer::app {

namespace {

struct Command {
    std::string_view name;
    int (*run)(const std::vector<std::string>& args, const Streams& streams);
};

// New subcommands join this table and the help text below.
const Command kCommands[] = {
    {"decode", run_decode},
    {"pair", run_pair},
    {"connect", run_connect},
    {"stream", run_stream},
    {"show", run_show},
};

void print_help(std::FILE* out) {
    std::fprintf(out,
                 "Usage: sorvane-viewer <command> [options]\n"
                 "\n"
                 "Reference viewer of Sorvane. Commands in this build:\n"
                 "\n"
                 "  decode [--control | --input | --pairing]\n"
                 "      Read protocol frames (binary) from standard input and print one JSON\n"
                 "      object per message on its own line: \"type\" is the message name, then\n"
                 "      every field that is present, under its protocol name. String lists are\n"
                 "      arrays, byte strings (video_key) lowercase hex, touch points objects.\n"
                 "      --control (default) reads the control connection's messages, --input the\n"
                 "      input connection's, --pairing the pairing exchange.\n"
                 "      A malformed or unknown message prints a line with \"error\" and its type.\n"
                 "      Exit 0 when the stream ends on a frame boundary; 1 when a frame length\n"
                 "      is 0 or above %" PRIu32 " (invalid stream) or the stream ends inside a frame.\n"
                 "\n"
                 "  pair <pairing URI> [--state DIR] [--client-id ID] [--name NAME] [--port N]\n"
                 "       [--address IP]... [--local-address IP] [--timeout-ms N] [--no-certificate]\n"
                 "       [--token TOKEN]\n"
                 "      Pair with a host: connect to the first address that answers (those of\n"
                 "      --address first, then the URI's) on the pairing port (47010 unless\n"
                 "      --port), check the host's certificate against the URI's fingerprint,\n"
                 "      present this viewer's certificate and\n"
                 "      send the token. Prints the verify code to compare with the host's, and\n"
                 "      on success remembers the host in DIR/hosts/. DIR defaults to\n"
                 "      $SORVANE_VIEWER_STATE, else $XDG_STATE_HOME/sorvane-viewer, else\n"
                 "      ~/.local/state/sorvane-viewer; the viewer's certificate and client id\n"
                 "      are kept there too. --no-certificate and --token probe refusals.\n"
                 "      Exit 0 when paired, 1 when refused or unreachable.\n"
                 "\n"
                 "  connect [HOST_ID] [--state DIR] [--address IP] [--port N] [--input-port N]\n"
                 "          [--fingerprint HEX] [--client-id ID] [--name NAME] [--local-address IP]\n"
                 "          [--timeout-ms N] [--duration-ms N] [--no-input] [--no-certificate]\n"
                 "      Connect to a paired host as a viewer app does: TLS to the control port\n"
                 "      (47000 unless --port or the paired port) with this viewer's certificate,\n"
                 "      the host pinned by its fingerprint; send the Handshake and print every\n"
                 "      message the host answers, one per line (\"control: <event> <JSON>\").\n"
                 "      Address, port and fingerprint come from the host remembered by pair\n"
                 "      (HOST_ID, or the only one known) unless --address and --fingerprint give\n"
                 "      them. When the host opens a session: acknowledge it, send VideoHello to\n"
                 "      the video port, connect the input port (unless --no-input), receive and\n"
                 "      check the video for --duration-ms (default 5000), then close and print\n"
                 "      the video counters and latency. Every wait is bounded by --timeout-ms\n"
                 "      (default 5000). Exit 0 when a session was opened, 1 when the host refused,\n"
                 "      closed or did not answer.\n"
                 "\n"
                 "  stream <host address>[:PORT] [--state DIR] [--seconds N] [--mode WxH@Hz]\n"
                 "         [--out FILE.h264] [--snapshot FILE.png] [--tap X,Y@SECONDS]...\n"
                 "         [--key NAME@SECONDS]... [--timeout-ms N] [--wrong-video-key]\n"
                 "      Stream from a host paired with pair: open a session (asking for the mode\n"
                 "      when given), decode the video for N seconds (default 5), send each tap\n"
                 "      (a touch at X,Y, 0..1 of the monitor) and key (a, 1, enter, space, f5,\n"
                 "      left, ...) that many seconds after the session opened, then close and\n"
                 "      print a summary: time to the first decoded frame, frames received,\n"
                 "      decoded and lost, frame and bit rate, and the latency from the frame\n"
                 "      time in the picture's barcode to the end of decoding (p50, p95, p99).\n"
                 "      The address is tried first, then the host's other known addresses.\n"
                 "      --out keeps the access units, --snapshot the last picture as PNG.\n"
                 "      --wrong-video-key uses a key that is not the session's (a test of the\n"
                 "      host: it must send no video to a VideoHello it cannot verify).\n"
                 "      Exit 0 when a frame was decoded, 1 otherwise.\n"
                 "\n"
                 "  show <host address>[:PORT] [--state DIR] [--mode WxH@Hz] [--fullscreen]\n"
                 "       [--seconds N] [--screenshot FILE.png@SECONDS]... [--overlay]\n"
                 "       [--reconnect-wait SECONDS] [--timeout-ms N]\n"
                 "      Watch a host paired with pair in a window: the session's monitor has the\n"
                 "      size of the window's display (or --mode), each picture is shown as soon\n"
                 "      as it is decoded, and the window's mouse, wheel, keys, typed text and\n"
                 "      touches go to the host. Ctrl+Alt+O shows or hides the overlay: frames\n"
                 "      per second, the latency from the test card's frame time, the round\n"
                 "      trip. A lost host is reconnected for --reconnect-wait seconds (10..300,\n"
                 "      asked of the host too; else 30, the host's own grace). Closing the\n"
                 "      window suspends the session: the host keeps the monitor for its grace\n"
                 "      period. --seconds ends the session after N seconds instead (the monitor\n"
                 "      goes at once); --screenshot writes the window as PNG that many seconds\n"
                 "      after the session opened. Exit 0 when pictures were shown and the\n"
                 "      viewer ended the session, 1 otherwise.\n"
                 "\n"
                 "  help      Show this text (also -h, --help).\n"
                 "  version   Print the program's and the protocol's versions (also --version).\n"
                 "\n"
                 "Exit code 2: the command line was not understood.\n",
                 proto::kMaxFrameLength);
}

}  // namespace

int run(const std::vector<std::string>& args, const Streams& streams) {
    if (args.empty()) {
        print_help(streams.err);
        return kExitUsage;
    }
    const std::string& name = args[0];
    if (name == "help" || name == "-h" || name == "--help") {
        print_help(streams.out);
        return kExitOk;
    }
    if (name == "version" || name == "--version") {
        std::fprintf(streams.out, "sorvane-viewer %s, protocol 0x%04X\n", SORVANE_VERSION,
                     static_cast<unsigned>(proto::kProtocolVersion));
        return kExitOk;
    }
    for (const Command& c : kCommands) {
        if (name == c.name) return c.run(std::vector<std::string>(args.begin() + 1, args.end()), streams);
    }
    std::fputs("sorvane-viewer: unknown command (see sorvane-viewer --help)\n", streams.err);
    return kExitUsage;
}

void say(const Streams& streams, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(streams.out, format, args);
    va_end(args);
    std::fflush(streams.out);
}

std::string default_state_dir() {
    if (const char* s = std::getenv("SORVANE_VIEWER_STATE"); s != nullptr && *s != '\0') return s;
    if (const char* s = std::getenv("XDG_STATE_HOME"); s != nullptr && *s != '\0') {
        return platform::join_path(s, "sorvane-viewer");
    }
    if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') {
        return platform::join_path(h, ".local/state/sorvane-viewer");
    }
    return ".sorvane-viewer";
}

// The viewer's own client id, made once and kept in the state folder.
bool viewer_client_id(const std::string& state_dir, std::string& id, std::string& error) {
    const std::string path = platform::join_path(state_dir, "client_id.txt");
    std::string text;
    if (platform::read_file(path, 256, text).ok()) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) {
            id = text;
            return true;
        }
    }
    uint8_t bytes[8];
    if (!platform::secure_random(bytes, sizeof bytes)) {
        error = "no random bytes for a client id";
        return false;
    }
    id = "viewer-" + to_hex(bytes, sizeof bytes);
    platform::FileResult r = platform::create_directories(state_dir, platform::FileAccess::owner_only);
    if (r.ok()) r = platform::write_file_atomic(path, id + "\n", platform::FileAccess::owner_only);
    if (!r.ok()) {
        error = "cannot keep the client id in " + path + ": " + platform::describe(r);
        return false;
    }
    return true;
}

}  // namespace sorvane::viewer::app
