// A small writer for one-line JSON objects. Strings from a peer are
// untrusted: quotes, backslashes and control bytes are escaped and bytes that
// are not valid UTF-8 become U+FFFD, so every line stays valid JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane::viewer {

// Appends s as a quoted JSON string.
void append_json_string(std::string& out, std::string_view s);

class JsonObject {
public:
    JsonObject() { out_ = "{"; }

    JsonObject& string(std::string_view key, std::string_view value);
    JsonObject& hex(std::string_view key, std::string_view bytes);
    JsonObject& number(std::string_view key, uint64_t value);
    JsonObject& number(std::string_view key, int64_t value);
    // Finite floats in their shortest round-trip form; NaN and the infinities,
    // which JSON cannot carry as numbers, as the strings "NaN", "Infinity", "-Infinity".
    JsonObject& number(std::string_view key, float value);
    JsonObject& boolean(std::string_view key, bool value);
    // Inserts already formatted JSON (an array or object) under key.
    JsonObject& raw(std::string_view key, std::string_view json);

    // The finished object ("{...}", no newline).
    std::string finish();

private:
    void key(std::string_view k);

    std::string out_;
    bool first_ = true;
};

// Appends a float as JSON (see JsonObject::number).
void append_json_float(std::string& out, float value);

}  // namespace sorvane::viewer
