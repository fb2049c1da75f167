// The field engine behind every message codec. Each message struct lists its
// fields once, in wire order, in a static template `fields(visitor, message)`:
//
//     v.field("name", m.value);              fixed field
//     v.list("count", "points", m.points);   uint8 count + items (CountedList)
//     v.tail(tag, "name", m.optional);       numbered tail field
//     v.tail_bytes(tag, "name", m.optional); tail string holding raw bytes
//
// Fixed fields come first, tail fields last in ascending tag order. The same
// list drives encoding (FieldWriter), decoding (FieldReader) and any other
// walk over a message, such as a dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/protocol/wire.h"

namespace sorvane::proto {

// Appends fields to a frame under construction. The first limit hit turns the
// writer off; the caller then removes everything it appended.
class FieldWriter {
public:
    FieldWriter(Bytes& out, size_t frame_start) : out_(out), start_(frame_start) {}

    bool ok() const { return ok_; }

    void field(std::string_view, uint8_t v) {
        if (ok_) append_u8(out_, v);
    }
    void field(std::string_view, uint16_t v) {
        if (ok_) append_u16(out_, v);
    }
    void field(std::string_view, uint32_t v) {
        if (ok_) append_u32(out_, v);
    }
    void field(std::string_view, uint64_t v) {
        if (ok_) append_u64(out_, v);
    }
    void field(std::string_view, int16_t v) {
        if (ok_) append_u16(out_, static_cast<uint16_t>(v));
    }
    void field(std::string_view, float v) {
        if (ok_) append_f32(out_, v);
    }
    void field(std::string_view, bool v) {
        if (ok_) append_u8(out_, v ? 1 : 0);
    }
    void field(std::string_view, const std::string& s) { put_string(s); }
    void field(std::string_view, const std::vector<std::string>& list) {
        if (!ok_) return;
        if (list.size() > 0xFFFF) {
            ok_ = false;
            return;
        }
        append_u16(out_, static_cast<uint16_t>(list.size()));
        for (const std::string& s : list) {
            put_string(s);
            if (!ok_) return;
        }
    }

    template <class T, size_t N>
    void list(std::string_view, std::string_view, const CountedList<T, N>& items) {
        if (!ok_) return;
        append_u8(out_, static_cast<uint8_t>(items.size()));
        for (const T& item : items) T::fields(*this, item);
        check_frame_size();
    }

    template <class T>
    void tail(uint8_t tag, std::string_view name, const std::optional<T>& value) {
        if (!ok_ || !value) return;
        append_u8(out_, tag);
        const size_t size_at = out_.size();
        append_u16(out_, 0);
        field(name, *value);
        if (!ok_) return;
        const size_t n = out_.size() - size_at - 2;
        if (n > kMaxTailValueBytes) {
            ok_ = false;
            return;
        }
        store_u16(out_.data() + size_at, static_cast<uint16_t>(n));
    }
    void tail_bytes(uint8_t tag, std::string_view name, const std::optional<std::string>& value) {
        tail(tag, name, value);
    }

private:
    void put_string(std::string_view s) {
        if (!ok_) return;
        if (s.size() > kMaxStringBytes) {
            ok_ = false;
            return;
        }
        append_u16(out_, static_cast<uint16_t>(s.size()));
        out_.insert(out_.end(), s.begin(), s.end());
        check_frame_size();
    }
    // Stops early so that an oversized message never grows the buffer far.
    void check_frame_size() {
        if (out_.size() - start_ > kLengthFieldSize + kMaxFrameLength) ok_ = false;
    }

    Bytes& out_;
    size_t start_;
    bool ok_ = true;
};

// Reads fields from one payload. Every read checks the bytes left first; the
// first failure turns the reader off and the message counts as malformed.
// Tail entries are indexed on the first tail field, starting right after the
// fixed fields; the first entry of each tag wins.
class FieldReader {
public:
    explicit FieldReader(ByteView data) : data_(data) {}

    bool ok() const { return ok_; }
    size_t remaining() const { return data_.size() - pos_; }

    void field(std::string_view, uint8_t& v) {
        if (const uint8_t* p = take(1)) v = p[0];
    }
    void field(std::string_view, uint16_t& v) {
        if (const uint8_t* p = take(2)) v = load_u16(p);
    }
    void field(std::string_view, uint32_t& v) {
        if (const uint8_t* p = take(4)) v = load_u32(p);
    }
    void field(std::string_view, uint64_t& v) {
        if (const uint8_t* p = take(8)) v = load_u64(p);
    }
    void field(std::string_view, int16_t& v) {
        if (const uint8_t* p = take(2)) v = static_cast<int16_t>(load_u16(p));
    }
    void field(std::string_view, float& v) {
        if (const uint8_t* p = take(4)) v = std::bit_cast<float>(load_u32(p));
    }
    void field(std::string_view, bool& v) {
        const uint8_t* p = take(1);
        if (p == nullptr) return;
        if (p[0] > 1) {
            ok_ = false;
            return;
        }
        v = p[0] == 1;
    }
    void field(std::string_view, std::string& s) {
        const uint8_t* p = take(2);
        if (p == nullptr) return;
        const uint16_t n = load_u16(p);
        const uint8_t* body = take(n);
        if (body == nullptr) return;
        s.assign(reinterpret_cast<const char*>(body), n);
    }
    void field(std::string_view name, std::vector<std::string>& list) {
        list.clear();
        const uint8_t* p = take(2);
        if (p == nullptr) return;
        const uint16_t count = load_u16(p);
        // No reserve from the count: every string needs at least two bytes
        // that must actually be present, so growth follows the real data.
        for (uint16_t i = 0; i < count && ok_; ++i) {
            list.emplace_back();
            field(name, list.back());
        }
    }

    template <class T, size_t N>
    void list(std::string_view, std::string_view, CountedList<T, N>& items) {
        items.clear();
        const uint8_t* p = take(1);
        if (p == nullptr) return;
        const uint8_t count = p[0];
        if (count > N) {
            ok_ = false;
            return;
        }
        for (uint8_t i = 0; i < count && ok_; ++i) {
            T item{};
            T::fields(*this, item);
            if (ok_) items.push_back(item);
        }
    }

    template <class T>
    void tail(uint8_t tag, std::string_view name, std::optional<T>& value) {
        value.reset();
        if (!ok_ || tag >= kTailTagLimit) return;
        index_tail();
        if ((present_ & (1u << tag)) == 0) return;
        const TailEntry& entry = entries_[tag];
        // The value must be exactly one encoded T: a short or long value, or a
        // string whose own count disagrees with the entry size, is malformed.
        FieldReader value_reader(data_.subspan(entry.offset, entry.size));
        T& v = value.emplace();
        value_reader.field(name, v);
        if (!value_reader.ok() || value_reader.remaining() != 0) {
            value.reset();
            ok_ = false;
        }
    }
    void tail_bytes(uint8_t tag, std::string_view name, std::optional<std::string>& value) {
        tail(tag, name, value);
    }

private:
    struct TailEntry {
        size_t offset;
        uint16_t size;
    };

    const uint8_t* take(size_t n) {
        if (!ok_ || n > data_.size() - pos_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* p = data_.data() + pos_;
        pos_ += n;
        return p;
    }

    void index_tail() {
        if (indexed_) return;
        indexed_ = true;
        size_t pos = pos_;
        while (data_.size() - pos >= kTailEntryHeaderSize) {
            const uint8_t tag = data_[pos];
            const uint16_t n = load_u16(data_.data() + pos + 1);
            const size_t value_at = pos + kTailEntryHeaderSize;
            if (n > data_.size() - value_at) break;  // runs past the end: stop, keep what we have
            if (tag < kTailTagLimit && (present_ & (1u << tag)) == 0) {
                entries_[tag] = TailEntry{value_at, n};
                present_ |= static_cast<uint16_t>(1u << tag);
            }
            pos = value_at + n;
        }
    }

    ByteView data_;
    size_t pos_ = 0;
    bool ok_ = true;
    bool indexed_ = false;
    // Entries are written before their bit is set and read only after, so the
    // table needs no clearing for messages that have no tail.
    uint16_t present_ = 0;
    std::array<TailEntry, kTailTagLimit> entries_;
};

// Appends one complete frame of m to out. On any limit (string or tail value
// above 65,535 bytes, a list above its count, L above 1,048,576) out is left
// exactly as it was and the result is false.
template <class M>
bool encode_message(const M& m, Bytes& out) {
    const size_t start = out.size();
    out.resize(start + kFrameHeaderSize);
    FieldWriter writer(out, start);
    M::fields(writer, m);
    const size_t length = out.size() - start - kLengthFieldSize;
    if (!writer.ok() || length > kMaxFrameLength) {
        out.resize(start);
        return false;
    }
    store_u32(out.data() + start, static_cast<uint32_t>(length));
    out[start + kLengthFieldSize] = M::kType;
    return true;
}

// Decodes a payload as M into out. Absent tail fields become empty. On false
// the message is malformed and the contents of out are unspecified.
template <class M>
bool decode_message(ByteView payload, M& out) {
    FieldReader reader(payload);
    M::fields(reader, out);
    return reader.ok();
}

}  // namespace sorvane::proto
