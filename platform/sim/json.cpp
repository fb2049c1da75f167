#include "platform/sim/json.h"
#include "common/text.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace sorvane::sim {

namespace {

const std::string kEmptyString;
const Json::Array kEmptyArray;
const Json::Object kEmptyObject;
const Json kNull;

void write_string(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

class Parser {
public:
    explicit Parser(std::string_view t) : t_(t) {}

    bool parse_document(Json& out, std::string& error) {
        skip_ws();
        if (!value(out, 0)) {
            error = "json: " + error_ + " at offset " + std::to_string(pos_);
            return false;
        }
        skip_ws();
        if (pos_ != t_.size()) {
            error = "json: trailing text at offset " + std::to_string(pos_);
            return false;
        }
        return true;
    }

private:
    void skip_ws() {
        while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\n' || t_[pos_] == '\r' || t_[pos_] == '\t'))
            ++pos_;
    }
    bool fail(const char* what) {
        error_ = what;
        return false;
    }
    bool literal(std::string_view word) {
        if (t_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    bool hex4(uint32_t& v) {
        if (pos_ + 4 > t_.size()) return false;
        v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = t_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }
    bool string(std::string& out) {
        ++pos_;  // opening quote
        while (pos_ < t_.size()) {
            const char c = t_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return fail("control byte in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= t_.size()) break;
            const char e = t_[pos_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    uint32_t cp = 0;
                    if (!hex4(cp)) return fail("bad \\u escape");
                    if (cp >= 0xD800 && cp < 0xDC00) {
                        uint32_t lo = 0;
                        if (!literal("\\u") || !hex4(lo) || lo < 0xDC00 || lo >= 0xE000)
                            return fail("bad surrogate pair");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    } else if (cp >= 0xDC00 && cp < 0xE000) {
                        return fail("lone low surrogate");
                    }
                    append_utf8(out, cp);
                    break;
                }
                default: return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }
    bool value(Json& out, int depth) {
        if (depth > 64) return fail("nesting too deep");
        if (pos_ >= t_.size()) return fail("unexpected end");
        const char c = t_[pos_];
        if (c == '{') {
            ++pos_;
            out = Json::object();
            skip_ws();
            if (pos_ < t_.size() && t_[pos_] == '}') {
                ++pos_;
                return true;
            }
            for (;;) {
                skip_ws();
                if (pos_ >= t_.size() || t_[pos_] != '"') return fail("expected key");
                std::string key;
                if (!string(key)) return false;
                skip_ws();
                if (pos_ >= t_.size() || t_[pos_] != ':') return fail("expected ':'");
                ++pos_;
                skip_ws();
                Json v;
                if (!value(v, depth + 1)) return false;
                out[key] = std::move(v);
                skip_ws();
                if (pos_ < t_.size() && t_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < t_.size() && t_[pos_] == '}') {
                    ++pos_;
                    return true;
                }
                return fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            ++pos_;
            out = Json::array();
            skip_ws();
            if (pos_ < t_.size() && t_[pos_] == ']') {
                ++pos_;
                return true;
            }
            for (;;) {
                skip_ws();
                Json v;
                if (!value(v, depth + 1)) return false;
                out.push(std::move(v));
                skip_ws();
                if (pos_ < t_.size() && t_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < t_.size() && t_[pos_] == ']') {
                    ++pos_;
                    return true;
                }
                return fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            std::string s;
            if (!string(s)) return false;
            out = Json(std::move(s));
            return true;
        }
        if (literal("true")) {
            out = Json(true);
            return true;
        }
        if (literal("false")) {
            out = Json(false);
            return true;
        }
        if (literal("null")) {
            out = Json();
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            bool neg = false;
            if (c == '-') {
                neg = true;
                ++pos_;
            }
            uint64_t v = 0;
            size_t digits = 0;
            while (pos_ < t_.size() && t_[pos_] >= '0' && t_[pos_] <= '9') {
                const uint64_t d = static_cast<uint64_t>(t_[pos_] - '0');
                if (v > (UINT64_MAX - d) / 10) return fail("number out of range");
                v = v * 10 + d;
                ++pos_;
                ++digits;
            }
            if (digits == 0) return fail("bad number");
            if (pos_ < t_.size() && (t_[pos_] == '.' || t_[pos_] == 'e' || t_[pos_] == 'E'))
                return fail("only integers are supported");
            if (neg) {
                if (v > static_cast<uint64_t>(INT64_MAX) + 1) return fail("number out of range");
                out = Json(v == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(v));
            } else {
                if (v > static_cast<uint64_t>(INT64_MAX)) return fail("number out of range");
                out = Json(static_cast<int64_t>(v));
            }
            return true;
        }
        return fail("unexpected character");
    }

    std::string_view t_;
    size_t pos_ = 0;
    std::string error_;
};

void flatten(const Json& v, const std::string& path, std::vector<std::string>& out) {
    switch (v.type()) {
        case Json::Type::object:
            if (v.members().empty()) out.push_back(path + " = {}");
            for (const auto& [k, child] : v.members()) flatten(child, path.empty() ? k : path + "/" + k, out);
            break;
        case Json::Type::array:
            if (v.items().empty()) out.push_back(path + " = []");
            for (size_t i = 0; i < v.items().size(); ++i)
                flatten(v.items()[i], path + "/" + std::to_string(i), out);
            break;
        default: {
            std::string text = v.write();
            text.pop_back();  // the line feed
            out.push_back(path + " = " + text);
        }
    }
}

}  // namespace

const std::string& Json::as_string() const { return type_ == Type::string ? str_ : kEmptyString; }
const Json::Array& Json::items() const { return type_ == Type::array ? arr_ : kEmptyArray; }
const Json::Object& Json::members() const { return type_ == Type::object ? obj_ : kEmptyObject; }

const Json& Json::get(std::string_view key) const {
    if (type_ != Type::object) return kNull;
    const auto it = obj_.find(std::string(key));
    return it == obj_.end() ? kNull : it->second;
}

Json& Json::operator[](const std::string& key) {
    if (type_ != Type::object) *this = object();
    return obj_[key];
}

bool Json::has(std::string_view key) const {
    return type_ == Type::object && obj_.find(std::string(key)) != obj_.end();
}

void Json::push(Json v) {
    if (type_ != Type::array) *this = array();
    arr_.push_back(std::move(v));
}

bool Json::operator==(const Json& o) const {
    if (type_ != o.type_) return false;
    switch (type_) {
        case Type::null: return true;
        case Type::boolean: return bool_ == o.bool_;
        case Type::integer: return int_ == o.int_;
        case Type::string: return str_ == o.str_;
        case Type::array: return arr_ == o.arr_;
        case Type::object: return obj_ == o.obj_;
    }
    return false;
}

void Json::write_to(std::string& out, int indent) const {
    const std::string pad(static_cast<size_t>(indent) * 2, ' ');
    const std::string inner(static_cast<size_t>(indent + 1) * 2, ' ');
    switch (type_) {
        case Type::null: out += "null"; break;
        case Type::boolean: out += bool_ ? "true" : "false"; break;
        case Type::integer: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%" PRId64, int_);
            out += buf;
            break;
        }
        case Type::string: write_string(out, str_); break;
        case Type::array:
            if (arr_.empty()) {
                out += "[]";
                break;
            }
            out += "[\n";
            for (size_t i = 0; i < arr_.size(); ++i) {
                out += inner;
                arr_[i].write_to(out, indent + 1);
                out += i + 1 < arr_.size() ? ",\n" : "\n";
            }
            out += pad + "]";
            break;
        case Type::object: {
            if (obj_.empty()) {
                out += "{}";
                break;
            }
            out += "{\n";
            size_t i = 0;
            for (const auto& [k, v] : obj_) {
                out += inner;
                write_string(out, k);
                out += ": ";
                v.write_to(out, indent + 1);
                out += ++i < obj_.size() ? ",\n" : "\n";
            }
            out += pad + "}";
            break;
        }
    }
}

std::string Json::write() const {
    std::string out;
    write_to(out, 0);
    out += '\n';
    return out;
}

bool Json::parse(std::string_view text, Json& out, std::string& error) {
    Parser p(text);
    Json v;
    if (!p.parse_document(v, error)) return false;
    out = std::move(v);
    return true;
}

std::vector<std::string> json_flatten(const Json& v) {
    std::vector<std::string> out;
    flatten(v, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace sorvane::sim
