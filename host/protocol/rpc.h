// The device manager's wire protocol between client processes and cehost,
// over the stream socket <root>/.cehost/socket.
//
// Every message is a frame: a 12-byte header (payload length, operation,
// flags, tag; host byte order, both ends are on this machine) and a payload
// of at most kMaxPayload bytes. A client sends one request and waits for its
// answer on the same connection, so a connection carries one call at a time;
// a process keeps a pool of connections, one per call in flight. The host
// checks every frame completely: a frame it cannot parse ends the connection.
//
// The operations and their records are declared in protocol.h; the encoder
// and the decoder below walk those declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "protocol.h"

namespace ce::rpc {

constexpr uint32_t kHeaderSize = 12;
constexpr uint16_t kReplyFlag = 0x8000;

struct Header {
    uint32_t length = 0;
    uint16_t op = 0;
    uint16_t flags = 0;
    uint32_t tag = 0;
};

// Payload building. A record may lend one buffer (Bytes::borrowed), which
// is not copied into `out`: the payload is out[0, lent_at), lent, then the
// rest of out.
class Writer {
public:
    explicit Writer(std::string& out) : out(out) {}
    void u32(uint32_t v);
    void u64(uint64_t v);
    void raw(std::string_view bytes);
    void text(const std::u16string& s);
    void lend(std::string_view bytes);
    size_t size() const { return out.size() + lent.size(); }

    std::string& out;
    size_t lent_at = 0;
    std::string_view lent;
};

// Bounds-checked reading.
class Reader {
public:
    Reader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), left_(size) {}
    bool u32(uint32_t& v);
    bool u64(uint64_t& v);
    bool bytes(std::string& v, uint32_t max);
    bool rest(std::string& v, uint32_t max);  // everything left
    bool sub(Reader& inner, uint32_t max);    // u32 length, then that many bytes to read apart
    bool text(std::u16string& v, uint32_t max = kMaxText);
    bool done() const { return left_ == 0; }

private:
    bool fixed(void* v, size_t size);
    const uint8_t* p_;
    size_t left_;
};

// ---- the codec, generated from the declarations -----------------------------

namespace detail {

template <class T>
struct is_vector : std::false_type {};
template <class T>
struct is_vector<std::vector<T>> : std::true_type {};
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class R>
void put_record(Writer& w, const R& r);
template <class R>
bool get_record(Reader& rd, R& r);
template <class R>
size_t record_size(const R& r);

template <class T>
void put_value(Writer& w, const T& v, bool rest) {
    if constexpr (std::is_same_v<T, uint32_t>) {
        w.u32(v);
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        w.u64(v);
    } else if constexpr (std::is_same_v<T, std::u16string>) {
        w.text(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!rest) w.u32(static_cast<uint32_t>(v.size()));
        w.raw(v);
    } else if constexpr (std::is_same_v<T, Bytes>) {
        if (!rest) w.u32(static_cast<uint32_t>(v.size()));
        if (v.borrowed.data()) w.lend(v.borrowed);
        else w.raw(v.owned);
    } else if constexpr (is_vector<T>::value) {
        w.u32(static_cast<uint32_t>(v.size()));
        for (const auto& e : v) put_record(w, e);
    } else if constexpr (is_optional<T>::value) {
        if (v) put_record(w, *v);
    } else {
        put_record(w, v);
    }
}

template <class T>
bool get_value(Reader& rd, T& v, uint32_t max, bool rest) {
    if constexpr (std::is_same_v<T, uint32_t>) {
        return rd.u32(v) && v <= max;
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        return rd.u64(v);
    } else if constexpr (std::is_same_v<T, std::u16string>) {
        return rd.text(v, max);
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Bytes>) {
        std::string* s;
        if constexpr (std::is_same_v<T, Bytes>) s = &v.owned;
        else s = &v;
        return rest ? rd.rest(*s, max) : rd.bytes(*s, max);
    } else if constexpr (is_vector<T>::value) {
        uint32_t n = 0;
        if (!rd.u32(n) || n > max) return false;
        v.clear();
        for (uint32_t i = 0; i < n; i++) {
            if (!get_record(rd, v.emplace_back())) return false;
        }
        return true;
    } else if constexpr (is_optional<T>::value) {
        // Absent when the record ends before it.
        if (rd.done()) {
            v.reset();
            return true;
        }
        return get_record(rd, v.emplace());
    } else {
        return get_record(rd, v);
    }
}

template <class T>
size_t value_size(const T& v, bool rest) {
    if constexpr (std::is_same_v<T, uint32_t>) return 4;
    else if constexpr (std::is_same_v<T, uint64_t>) return 8;
    else if constexpr (std::is_same_v<T, std::u16string>) return 4 + v.size() * 2;
    else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Bytes>) return (rest ? 0 : 4) + v.size();
    else if constexpr (is_vector<T>::value) {
        size_t n = 4;
        for (const auto& e : v) n += record_size(e);
        return n;
    } else if constexpr (is_optional<T>::value) return v ? record_size(*v) : 0;
    else return record_size(v);
}

template <class R>
void put_record(Writer& w, const R& r) {
    std::apply([&](const auto&... f) { (put_value(w, r.*(f.member), f.rest), ...); }, R::fields());
}

template <class R>
bool get_record(Reader& rd, R& r) {
    return std::apply([&](const auto&... f) { return (get_value(rd, r.*(f.member), f.max, f.rest) && ...); },
                      R::fields());
}

template <class R>
size_t record_size(const R& r) {
    return std::apply([&](const auto&... f) { return (size_t{0} + ... + value_size(r.*(f.member), f.rest)); },
                      R::fields());
}

}  // namespace detail

template <class R>
constexpr bool is_reply = std::is_base_of_v<ReplyHead, R>;

// Appends the payload of a request or reply record.
template <class R>
void encode(Writer& w, const R& r) {
    if constexpr (is_reply<R>) {
        w.u32(r.result);
        w.u32(r.error);
        w.u32(r.count);
        size_t at = w.out.size();
        w.u32(0);  // the data's length, known once it is written
        size_t before = w.size();
        detail::put_record(w, r);
        uint32_t length = static_cast<uint32_t>(w.size() - before);
        std::memcpy(w.out.data() + at, &length, 4);
    } else {
        detail::put_record(w, r);
    }
}

template <class R>
std::string encode(const R& r) {
    std::string out;
    Writer w(out);
    encode(w, r);
    if (w.lent.data()) out.insert(w.lent_at, w.lent);
    return out;
}

// Parses a payload into a record; false when it is malformed in any way:
// short, a length or value over its limit, a NUL in a text, trailing bytes.
template <class R>
bool decode(const void* payload, size_t size, R& r) {
    Reader rd(payload, size);
    if constexpr (is_reply<R>) {
        Reader data(nullptr, 0);
        if (!rd.u32(r.result) || !rd.u32(r.error) || !rd.u32(r.count) || !rd.sub(data, kMaxPayload) || !rd.done())
            return false;
        return detail::get_record(data, r) && data.done();
    } else {
        // Trailing bytes mean the two ends disagree about the layout.
        return detail::get_record(rd, r) && rd.done();
    }
}

template <class R>
bool decode(std::string_view payload, R& r) {
    return decode(payload.data(), payload.size(), r);
}

// The room a record's fields take in a payload (a reply's: its data).
template <class R>
size_t encoded_size(const R& r) {
    return detail::record_size(r);
}

// ---- frames ----------------------------------------------------------------------

bool decode_header(const void* data, size_t size, Header& header);  // false for a frame to refuse
void encode_header(const Header& header, void* out);

// Incremental frame parser over a byte stream (the host's side of a
// connection). feed() appends bytes; next() yields whole frames, and
// reports a broken stream once, after which the connection must end.
class FrameParser {
public:
    enum class Status { NeedMore, Frame, Broken };
    void feed(const void* data, size_t size);
    Status next(Header& header, std::string& payload);

private:
    std::string buffer_;
    size_t start_ = 0;
};

// Blocking frame I/O on a socket; false when the connection failed.
// A frame whose payload a Writer made, its lent bytes not copied.
bool send_frame(int fd, uint16_t op, uint32_t tag, const Writer& payload);
bool recv_frame(int fd, Header& header, std::string& payload);

// A buffer of the calling thread for building payloads, so that a frame
// costs no allocation; kept while it is small.
std::string& scratch();
void release_scratch();

template <class Rq>
bool send_request(int fd, const Rq& request, uint32_t tag = 0) {
    Writer w(scratch());
    w.out.clear();
    encode(w, request);
    bool ok = send_frame(fd, Rq::op, tag, w);
    release_scratch();
    return ok;
}

// Rq's reply in one send; data a reply borrows is not copied.
template <class Rq>
bool send_reply(int fd, uint32_t tag, const typename Rq::Reply& reply) {
    Writer w(scratch());
    w.out.clear();
    encode(w, reply);
    bool ok = send_frame(fd, static_cast<uint16_t>(Rq::op | kReplyFlag), tag, w);
    release_scratch();
    return ok;
}

// One call on a connection: the request out, its reply back. nullopt when
// the connection failed or the reply is not Rq's.
template <class Rq>
std::optional<typename Rq::Reply> call(int fd, const Rq& request) {
    Header h;
    std::string payload;
    if (!send_request(fd, request) || !recv_frame(fd, h, payload) || (h.op & ~kReplyFlag) != Rq::op)
        return std::nullopt;
    std::optional<typename Rq::Reply> reply(std::in_place);
    if (!decode(payload, *reply)) return std::nullopt;
    return reply;
}

}  // namespace ce::rpc
