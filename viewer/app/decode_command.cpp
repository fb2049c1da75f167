// sorvane-viewer decode: protocol frames on standard input, JSON lines out.

#include <cinttypes>
#include <string>
#include <vector>

#include "host/protocol/wire.h"
#include "viewer/app/commands.h"
#include "viewer/protocol/frame_dump.h"

namespace sorvane::viewer::app {

int run_decode(const std::vector<std::string>& args, const Streams& streams) {
    Connection connection = Connection::control;
    for (const std::string& a : args) {
        if (a == "--control") {
            connection = Connection::control;
        } else if (a == "--input") {
            connection = Connection::input;
        } else if (a == "--pairing") {
            connection = Connection::pairing;
        } else if (a == "--help" || a == "-h") {
            std::fputs(
                "Usage: sorvane-viewer decode [--control | --input | --pairing] < frames.bin\n"
                "Prints one JSON object per frame on standard output.\n",
                streams.out);
            return kExitOk;
        } else {
            std::fputs("sorvane-viewer decode: unknown option (expected --control, --input or --pairing)\n",
                       streams.err);
            return kExitUsage;
        }
    }

    StreamDumper dumper(connection);
    std::vector<uint8_t> chunk(65'536);
    std::string lines;
    for (;;) {
        const size_t n = std::fread(chunk.data(), 1, chunk.size(), streams.in);
        if (n == 0) break;
        lines.clear();
        const bool ok = dumper.feed(proto::ByteView(chunk.data(), n), lines);
        std::fwrite(lines.data(), 1, lines.size(), streams.out);
        if (!ok) {
            std::fflush(streams.out);
            std::fprintf(streams.err,
                         "sorvane-viewer decode: invalid stream: frame length %" PRIu32
                         " after %" PRIu64 " frame(s) (allowed 1..%" PRIu32 ")\n",
                         dumper.invalid_length(), dumper.frames(), proto::kMaxFrameLength);
            return kExitFailed;
        }
    }
    std::fflush(streams.out);
    if (std::ferror(streams.in)) {
        std::fputs("sorvane-viewer decode: could not read standard input\n", streams.err);
        return kExitFailed;
    }
    if (dumper.pending() != 0) {
        std::fprintf(streams.err, "sorvane-viewer decode: stream ends inside a frame (%zu byte(s) left)\n",
                     dumper.pending());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace sorvane::viewer::app
