// The device manager's wire protocol: frames, and the payload primitives the
// generated encoder and decoder (rpc.h) are built of.
#include "rpc.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ce::rpc {

void Writer::u32(uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void Writer::u64(uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }
void Writer::raw(std::string_view bytes) { out.append(bytes.data(), bytes.size()); }
void Writer::lend(std::string_view bytes) {
    if (lent.data()) {
        raw(bytes);  // one lent buffer a payload; a second one is copied
        return;
    }
    lent_at = out.size();
    lent = bytes;
}
void Writer::text(const std::u16string& s) {
    u32(static_cast<uint32_t>(s.size()));
    out.append(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

bool Reader::fixed(void* v, size_t size) {
    if (left_ < size) return false;
    std::memcpy(v, p_, size);
    p_ += size;
    left_ -= size;
    return true;
}
bool Reader::u32(uint32_t& v) { return fixed(&v, 4); }
bool Reader::u64(uint64_t& v) { return fixed(&v, 8); }
bool Reader::bytes(std::string& v, uint32_t max) {
    uint32_t n;
    if (!u32(n) || n > max || n > left_) return false;
    v.assign(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return true;
}
bool Reader::rest(std::string& v, uint32_t max) {
    if (left_ > max) return false;
    v.assign(reinterpret_cast<const char*>(p_), left_);
    p_ += left_;
    left_ = 0;
    return true;
}
bool Reader::sub(Reader& inner, uint32_t max) {
    uint32_t n;
    if (!u32(n) || n > max || n > left_) return false;
    inner = Reader(p_, n);
    p_ += n;
    left_ -= n;
    return true;
}
bool Reader::text(std::u16string& v, uint32_t max) {
    uint32_t n;
    if (!u32(n) || n > max || static_cast<size_t>(n) * 2 > left_) return false;
    v.resize(n);
    std::memcpy(v.data(), p_, static_cast<size_t>(n) * 2);
    p_ += static_cast<size_t>(n) * 2;
    left_ -= static_cast<size_t>(n) * 2;
    // A NUL inside a name would make the host see a different name than the
    // client's checks did.
    for (char16_t c : v) {
        if (c == 0) return false;
    }
    return true;
}

bool decode_header(const void* data, size_t size, Header& h) {
    if (size < kHeaderSize) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    std::memcpy(&h.length, p, 4);
    std::memcpy(&h.op, p + 4, 2);
    std::memcpy(&h.flags, p + 6, 2);
    std::memcpy(&h.tag, p + 8, 4);
    uint16_t op = h.op & ~kReplyFlag;
    return h.length <= kMaxPayload && op >= OpHello && op <= OpLast;
}

void encode_header(const Header& h, void* out) {
    auto* p = static_cast<uint8_t*>(out);
    std::memcpy(p, &h.length, 4);
    std::memcpy(p + 4, &h.op, 2);
    std::memcpy(p + 6, &h.flags, 2);
    std::memcpy(p + 8, &h.tag, 4);
}

void FrameParser::feed(const void* data, size_t size) {
    // Drop what was consumed before growing, so the buffer stays one frame big.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 64 * 1024) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(static_cast<const char*>(data), size);
}

FrameParser::Status FrameParser::next(Header& header, std::string& payload) {
    size_t avail = buffer_.size() - start_;
    if (avail < kHeaderSize) return Status::NeedMore;
    if (!decode_header(buffer_.data() + start_, avail, header)) return Status::Broken;
    if (avail < kHeaderSize + header.length) return Status::NeedMore;
    payload.assign(buffer_.data() + start_ + kHeaderSize, header.length);
    start_ += kHeaderSize + header.length;
    return Status::Frame;
}

namespace {

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_all(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The header and up to three pieces of payload in one sendmsg; a short send
// (a full socket buffer) is finished as the socket takes it.
bool send_parts(int fd, uint16_t op, uint32_t tag, std::string_view a, std::string_view b, std::string_view c) {
    size_t length = a.size() + b.size() + c.size();
    if (length > kMaxPayload) return false;
    char head[kHeaderSize];
    Header h;
    h.length = static_cast<uint32_t>(length);
    h.op = op;
    h.tag = tag;
    encode_header(h, head);
    iovec parts[4];
    int n = 0;
    parts[n++] = {head, sizeof head};
    for (std::string_view piece : {a, b, c}) {
        if (!piece.empty()) parts[n++] = {const_cast<char*>(piece.data()), piece.size()};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(n);
    ssize_t sent;
    do {
        sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return false;
    size_t done = static_cast<size_t>(sent);
    for (int i = 0; i < n; i++) {
        size_t size = parts[i].iov_len;
        if (done >= size) {
            done -= size;
            continue;
        }
        if (!write_all(fd, static_cast<const char*>(parts[i].iov_base) + done, size - done)) return false;
        done = 0;
    }
    return true;
}

}  // namespace

bool send_frame(int fd, uint16_t op, uint32_t tag, const Writer& w) {
    if (!w.lent.data()) return send_parts(fd, op, tag, w.out, {}, {});
    std::string_view out(w.out);
    return send_parts(fd, op, tag, out.substr(0, w.lent_at), w.lent, out.substr(w.lent_at));
}

std::string& scratch() {
    thread_local std::string buffer;
    return buffer;
}

void release_scratch() {
    // A large payload (an ioctl's buffers) is not worth keeping per thread.
    std::string& buffer = scratch();
    if (buffer.capacity() > 64 * 1024) std::string().swap(buffer);
}

bool recv_frame(int fd, Header& header, std::string& payload) {
    char head[kHeaderSize];
    if (!read_all(fd, head, sizeof head)) return false;
    if (!decode_header(head, sizeof head, header)) return false;
    payload.resize(header.length);
    return header.length == 0 || read_all(fd, payload.data(), header.length);
}

}  // namespace ce::rpc
