// Helpers for the wire tests: hex literals and whole-frame decoding.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string_view>

#include "host/protocol/frame_reader.h"
#include "host/protocol/wire.h"

namespace sorvane::test {

// "00 0a ff" (spaces and line breaks allowed) to bytes.
inline proto::Bytes hex(std::string_view text) {
    proto::Bytes out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        EXPECT_GE(v, 0) << "bad hex digit in test data";
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    EXPECT_EQ(high, -1) << "odd number of hex digits";
    return out;
}

// Splits one whole frame into type and payload through the reader.
struct OneFrame {
    uint8_t type = 0;
    proto::Bytes payload;
};
inline OneFrame split_frame(const proto::Bytes& frame) {
    proto::FrameReader reader;
    reader.append(frame);
    const auto r = reader.next();
    EXPECT_EQ(r.status, proto::FrameReader::Status::frame);
    EXPECT_EQ(reader.buffered(), 0u);
    return OneFrame{r.type, proto::Bytes(r.payload.begin(), r.payload.end())};
}

}  // namespace sorvane::test
