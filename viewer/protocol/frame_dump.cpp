#include "viewer/protocol/frame_dump.h"

#include <optional>
#include <vector>

#include "viewer/protocol/json.h"

namespace sorvane::viewer {

namespace {

// Walks a message's fields (see host/protocol/wire_fields.h) into a JSON object.
class JsonFields {
public:
    explicit JsonFields(JsonObject& object) : object_(object) {}

    void field(std::string_view name, uint8_t v) { object_.number(name, static_cast<uint64_t>(v)); }
    void field(std::string_view name, uint16_t v) { object_.number(name, static_cast<uint64_t>(v)); }
    void field(std::string_view name, uint32_t v) { object_.number(name, static_cast<uint64_t>(v)); }
    void field(std::string_view name, uint64_t v) { object_.number(name, v); }
    void field(std::string_view name, int16_t v) { object_.number(name, static_cast<int64_t>(v)); }
    void field(std::string_view name, float v) { object_.number(name, v); }
    void field(std::string_view name, bool v) { object_.boolean(name, v); }
    void field(std::string_view name, const std::string& v) { object_.string(name, v); }
    void field(std::string_view name, const std::vector<std::string>& list) {
        std::string array = "[";
        for (size_t i = 0; i < list.size(); ++i) {
            if (i != 0) array.push_back(',');
            append_json_string(array, list[i]);
        }
        array.push_back(']');
        object_.raw(name, array);
    }

    template <class T, size_t N>
    void list(std::string_view count_name, std::string_view items_name, const proto::CountedList<T, N>& items) {
        object_.number(count_name, static_cast<uint64_t>(items.size()));
        std::string array = "[";
        bool first = true;
        for (const T& item : items) {
            if (!first) array.push_back(',');
            first = false;
            JsonObject inner;
            JsonFields walker(inner);
            T::fields(walker, item);
            array += inner.finish();
        }
        array.push_back(']');
        object_.raw(items_name, array);
    }

    template <class T>
    void tail(uint8_t, std::string_view name, const std::optional<T>& value) {
        if (value) field(name, *value);
    }
    void tail_bytes(uint8_t, std::string_view name, const std::optional<std::string>& value) {
        if (value) object_.hex(name, *value);
    }

private:
    JsonObject& object_;
};

template <class Variant>
std::string variant_json(const Variant& message) {
    return std::visit(
        [](const auto& m) {
            using M = std::decay_t<decltype(m)>;
            JsonObject object;
            object.string("type", M::kName);
            JsonFields walker(object);
            M::fields(walker, m);
            return object.finish();
        },
        message);
}

template <class Variant>
std::string describe(const proto::Decoded<Variant>& decoded, std::string_view type_name, uint8_t type) {
    switch (decoded.status) {
        case proto::DecodeStatus::ok:
            return variant_json(decoded.message);
        case proto::DecodeStatus::malformed:
            return JsonObject()
                .string("error", "malformed")
                .string("type", type_name)
                .number("type_byte", static_cast<uint64_t>(type))
                .finish();
        case proto::DecodeStatus::unknown:
            break;
    }
    return JsonObject().string("error", "unknown_type").number("type_byte", static_cast<uint64_t>(type)).finish();
}

}  // namespace

std::string_view connection_name(Connection connection) {
    switch (connection) {
        case Connection::control:
            return "control";
        case Connection::input:
            return "input";
        case Connection::pairing:
            return "pairing";
    }
    return "?";
}

std::string to_json(const proto::ControlMessage& message) { return variant_json(message); }
std::string to_json(const proto::InputMessage& message) { return variant_json(message); }
std::string to_json(const proto::PairingMessage& message) { return variant_json(message); }

std::string describe_frame(Connection connection, uint8_t type, proto::ByteView payload) {
    switch (connection) {
        case Connection::control:
            return describe(proto::decode_control(type, payload), proto::control_type_name(type), type);
        case Connection::input:
            return describe(proto::decode_input(type, payload), proto::input_type_name(type), type);
        case Connection::pairing:
            return describe(proto::decode_pairing(type, payload), proto::pairing_type_name(type), type);
    }
    return {};
}

bool StreamDumper::feed(proto::ByteView bytes, std::string& out) {
    reader_.append(bytes);
    for (;;) {
        const proto::FrameReader::Result r = reader_.next();
        if (r.status == proto::FrameReader::Status::need_more) return true;
        if (r.status == proto::FrameReader::Status::invalid) return false;
        ++frames_;
        out += describe_frame(connection_, r.type, r.payload);
        out.push_back('\n');
    }
}

}  // namespace sorvane::viewer
