// A small JSON value with a strict reader and a canonical writer: object keys
// sorted, two-blank indentation, integers only (no floating point), strings as
// UTF-8 with control bytes escaped. Two equal values always write the same
// text, which is what the machine's dump and change journal rely on.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::sim {

class Json {
public:
    enum class Type { null, boolean, integer, string, array, object };
    using Array = std::vector<Json>;
    using Object = std::map<std::string, Json>;

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool b) : type_(Type::boolean), bool_(b) {}
    Json(int v) : type_(Type::integer), int_(v) {}
    Json(int64_t v) : type_(Type::integer), int_(v) {}
    Json(uint32_t v) : type_(Type::integer), int_(v) {}
    Json(uint64_t v) : type_(Type::integer), int_(static_cast<int64_t>(v)) {}
    Json(const char* s) : type_(Type::string), str_(s) {}
    Json(std::string s) : type_(Type::string), str_(std::move(s)) {}
    Json(std::string_view s) : type_(Type::string), str_(s) {}
    Json(Array a) : type_(Type::array), arr_(std::move(a)) {}
    Json(Object o) : type_(Type::object), obj_(std::move(o)) {}

    static Json array() { return Json(Array{}); }
    static Json object() { return Json(Object{}); }

    Type type() const { return type_; }
    bool is_null() const { return type_ == Type::null; }
    bool is_object() const { return type_ == Type::object; }
    bool is_array() const { return type_ == Type::array; }
    bool is_string() const { return type_ == Type::string; }
    bool is_integer() const { return type_ == Type::integer; }
    bool is_bool() const { return type_ == Type::boolean; }

    // Typed reads with a fallback for a missing or differently typed value.
    bool as_bool(bool fallback = false) const { return type_ == Type::boolean ? bool_ : fallback; }
    int64_t as_int(int64_t fallback = 0) const { return type_ == Type::integer ? int_ : fallback; }
    const std::string& as_string() const;
    const Array& items() const;
    const Object& members() const;

    // Object access: get() returns a null value for a missing key; operator[]
    // turns a null value into an object and inserts the key.
    const Json& get(std::string_view key) const;
    Json& operator[](const std::string& key);
    bool has(std::string_view key) const;
    // Array append (turns a null value into an array).
    void push(Json v);

    bool operator==(const Json& o) const;

    // Canonical text (ends with a line feed at the top level).
    std::string write() const;
    // Parses text; false with a message naming the position on malformed input.
    static bool parse(std::string_view text, Json& out, std::string& error);

private:
    void write_to(std::string& out, int indent) const;

    Type type_ = Type::null;
    bool bool_ = false;
    int64_t int_ = 0;
    std::string str_;
    Array arr_;
    Object obj_;
};

// Every leaf of v as one "path = value" line (path parts joined by "/",
// array items by index), sorted; used to describe a change as the lines
// removed and added.
std::vector<std::string> json_flatten(const Json& v);

}  // namespace sorvane::sim
