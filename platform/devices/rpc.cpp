// The device manager's wire protocol: frames, payload encoding and the
// checks the host applies to everything a client sends.
#include "rpc.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ce::rpc {

void Writer::u32(uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void Writer::u64(uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }
void Writer::bytes(const void* data, size_t size) {
    u32(static_cast<uint32_t>(size));
    if (size) out.append(static_cast<const char*>(data), size);
}
void Writer::text(const std::u16string& s) {
    u32(static_cast<uint32_t>(s.size()));
    out.append(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

bool Reader::u32(uint32_t& v) {
    if (left_ < 4) return false;
    std::memcpy(&v, p_, 4);
    p_ += 4;
    left_ -= 4;
    return true;
}
bool Reader::u64(uint64_t& v) {
    if (left_ < 8) return false;
    std::memcpy(&v, p_, 8);
    p_ += 8;
    left_ -= 8;
    return true;
}
bool Reader::bytes(std::string& v, uint32_t max) {
    uint32_t n;
    if (!u32(n) || n > max || n > left_) return false;
    v.assign(reinterpret_cast<const char*>(p_), n);
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

namespace {

void put_call(Writer& w, const WindowCall& c) {
    w.u32(c.kind);
    w.u64(c.window);
    w.u32(c.message);
    w.u64(c.wparam);
    w.u64(c.lparam);
    w.u32(c.item);
    w.text(c.text);
}

bool get_call(Reader& rd, WindowCall& c) {
    return rd.u32(c.kind) && rd.u64(c.window) && rd.u32(c.message) && rd.u64(c.wparam) && rd.u64(c.lparam) &&
           rd.u32(c.item) && rd.text(c.text, kMaxWindowText);
}

}  // namespace

std::string encode_request(const Request& r) {
    Writer w;
    switch (r.op) {
        case OpHello:
            w.u32(r.version);
            w.u64(r.token);
            break;
        case OpActivate:
            w.text(r.text);
            w.u32(static_cast<uint32_t>(r.ents.size()));
            for (const auto& e : r.ents) {
                w.text(e.name);
                w.u32(e.type);
                w.bytes(e.data.data(), e.data.size());
            }
            break;
        case OpDeactivate:
        case OpClose:
            w.u32(r.a);
            break;
        case OpOpen:
            w.text(r.text);
            w.u32(r.a);
            w.u32(r.b);
            break;
        case OpRead:
            w.u32(r.a);
            w.u32(r.b);
            break;
        case OpWrite:
            w.u32(r.a);
            w.bytes(r.data.data(), r.data.size());
            break;
        case OpIoControl:
            w.u32(r.a);
            w.u32(r.b);
            w.bytes(r.data.data(), r.data.size());
            w.u32(r.c);
            break;
        case OpSeek:
            w.u32(r.a);
            w.u32(r.b);
            w.u32(r.c);
            break;
        case OpWindowAdd:
            w.u64(r.window);
            w.text(r.text);
            w.text(r.title);
            break;
        case OpWindowTitle:
            w.u64(r.window);
            w.text(r.title);
            break;
        case OpWindowRemove:
        case OpWindowList:
            w.u64(r.window);
            break;
        case OpWindowForward:
            put_call(w, r.call);
            break;
        case OpWindowResult:
            w.u64(r.serial);
            w.u32(r.answer.ok);
            w.u32(r.answer.error);
            w.u64(r.answer.value);
            w.text(r.answer.text);
            break;
        default:
            break;
    }
    return std::move(w.out);
}

std::optional<Request> decode_request(uint16_t op, const void* payload, size_t size) {
    Reader rd(payload, size);
    Request r;
    r.op = op;
    bool ok = true;
    switch (op) {
        case OpHello:
            ok = rd.u32(r.version) && rd.u64(r.token);
            break;
        case OpActivate: {
            uint32_t n = 0;
            ok = rd.text(r.text) && rd.u32(n) && n <= kMaxRegEnts;
            for (uint32_t i = 0; ok && i < n; i++) {
                RegEnt e;
                ok = rd.text(e.name) && rd.u32(e.type) && rd.bytes(e.data, 64 * 1024);
                if (ok) r.ents.push_back(std::move(e));
            }
            break;
        }
        case OpDeactivate:
        case OpClose:
            ok = rd.u32(r.a);
            break;
        case OpOpen:
            ok = rd.text(r.text) && rd.u32(r.a) && rd.u32(r.b);
            break;
        case OpRead:
            ok = rd.u32(r.a) && rd.u32(r.b) && r.b <= kMaxIo;
            break;
        case OpWrite:
            ok = rd.u32(r.a) && rd.bytes(r.data, kMaxIo);
            break;
        case OpIoControl:
            ok = rd.u32(r.a) && rd.u32(r.b) && rd.bytes(r.data, kMaxIo) && rd.u32(r.c) && r.c <= kMaxIo;
            break;
        case OpSeek:
            ok = rd.u32(r.a) && rd.u32(r.b) && rd.u32(r.c);
            break;
        case OpWindowAdd:
            ok = rd.u64(r.window) && rd.text(r.text) && rd.text(r.title);
            break;
        case OpWindowTitle:
            ok = rd.u64(r.window) && rd.text(r.title);
            break;
        case OpWindowRemove:
        case OpWindowList:
            ok = rd.u64(r.window);
            break;
        case OpWindowForward:
            ok = get_call(rd, r.call);
            break;
        case OpWindowResult:
            ok = rd.u64(r.serial) && rd.u32(r.answer.ok) && rd.u32(r.answer.error) && rd.u64(r.answer.value) &&
                 rd.text(r.answer.text, kMaxWindowText);
            break;
        case OpList:
        case OpStop:
        case OpGpsReload:
        case OpWindowListen:
        case OpWindowPoll:
        case OpWindowForeground:
            break;
        default:
            return std::nullopt;
    }
    // Trailing bytes mean the two ends disagree about the layout.
    if (!ok || !rd.done()) return std::nullopt;
    return r;
}

std::string encode_reply(const Reply& r) {
    Writer w;
    w.u32(r.result);
    w.u32(r.error);
    w.u32(r.count);
    std::string_view data = r.borrowed.data() ? r.borrowed : std::string_view(r.data);
    w.bytes(data.data(), data.size());
    return std::move(w.out);
}

std::optional<Reply> decode_reply(const void* payload, size_t size) {
    Reader rd(payload, size);
    Reply r;
    if (!rd.u32(r.result) || !rd.u32(r.error) || !rd.u32(r.count) || !rd.bytes(r.data, kMaxPayload) || !rd.done())
        return std::nullopt;
    return r;
}

std::string encode_list(const std::vector<DeviceInfo>& list) {
    Writer w;
    w.u32(static_cast<uint32_t>(list.size()));
    for (const auto& d : list) {
        w.text(d.name);
        w.text(d.key);
        w.u32(d.handle);
    }
    return std::move(w.out);
}

std::optional<std::vector<DeviceInfo>> decode_list(const std::string& data) {
    Reader rd(data.data(), data.size());
    uint32_t n;
    if (!rd.u32(n) || n > 4096) return std::nullopt;
    std::vector<DeviceInfo> list;
    for (uint32_t i = 0; i < n; i++) {
        DeviceInfo d;
        if (!rd.text(d.name) || !rd.text(d.key) || !rd.u32(d.handle)) return std::nullopt;
        list.push_back(std::move(d));
    }
    if (!rd.done()) return std::nullopt;
    return list;
}

std::string encode_windows(const std::vector<WindowInfo>& list) {
    Writer w;
    w.u32(static_cast<uint32_t>(list.size()));
    for (const auto& i : list) {
        w.u64(i.window);
        w.text(i.class_name);
        w.text(i.title);
        w.u32(i.pid);
        w.u64(i.order);
    }
    return std::move(w.out);
}

size_t encoded_size(const WindowInfo& i) { return 8 + 4 + i.class_name.size() * 2 + 4 + i.title.size() * 2 + 4 + 8; }

std::optional<std::vector<WindowInfo>> decode_windows(const std::string& data) {
    Reader rd(data.data(), data.size());
    uint32_t n;
    if (!rd.u32(n) || n > kMaxWindows) return std::nullopt;
    std::vector<WindowInfo> list;
    for (uint32_t k = 0; k < n; k++) {
        WindowInfo i;
        if (!rd.u64(i.window) || !rd.text(i.class_name) || !rd.text(i.title) || !rd.u32(i.pid) || !rd.u64(i.order))
            return std::nullopt;
        list.push_back(std::move(i));
    }
    if (!rd.done()) return std::nullopt;
    return list;
}

std::string encode_answer_data(const WindowAnswer& a) {
    Writer w;
    w.u64(a.value);
    w.text(a.text);
    return std::move(w.out);
}

bool decode_answer_data(const std::string& data, WindowAnswer& a) {
    Reader rd(data.data(), data.size());
    return rd.u64(a.value) && rd.text(a.text, kMaxWindowText) && rd.done();
}

std::string encode_polled(uint64_t serial, const WindowCall& call) {
    Writer w;
    w.u64(serial);
    put_call(w, call);
    return std::move(w.out);
}

bool decode_polled(const std::string& data, uint64_t& serial, WindowCall& call) {
    Reader rd(data.data(), data.size());
    return rd.u64(serial) && get_call(rd, call) && rd.done();
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

}  // namespace

bool send_frame(int fd, uint16_t op, uint32_t tag, const std::string& payload) {
    if (payload.size() > kMaxPayload) return false;
    Header h;
    h.length = static_cast<uint32_t>(payload.size());
    h.op = op;
    h.tag = tag;
    std::string frame(kHeaderSize, '\0');
    encode_header(h, frame.data());
    frame += payload;
    return write_all(fd, frame.data(), frame.size());
}

bool send_reply(int fd, uint16_t op, uint32_t tag, const Reply& r) {
    std::string_view data = r.borrowed.data() ? r.borrowed : std::string_view(r.data);
    constexpr size_t kFixed = kHeaderSize + 16;  // result, error, count, data length
    if (kFixed - kHeaderSize + data.size() > kMaxPayload) return false;
    char fixed[kFixed];
    Header h;
    h.length = static_cast<uint32_t>(kFixed - kHeaderSize + data.size());
    h.op = op;
    h.tag = tag;
    encode_header(h, fixed);
    uint32_t fields[4] = {r.result, r.error, r.count, static_cast<uint32_t>(data.size())};
    std::memcpy(fixed + kHeaderSize, fields, sizeof fields);
    iovec parts[2] = {{fixed, kFixed}, {const_cast<char*>(data.data()), data.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = data.empty() ? 1 : 2;
    ssize_t sent;
    do {
        sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return false;
    // A short send (a full socket buffer): the rest as it comes.
    size_t done = static_cast<size_t>(sent);
    if (done < kFixed && !write_all(fd, fixed + done, kFixed - done)) return false;
    size_t data_done = done > kFixed ? done - kFixed : 0;
    return write_all(fd, data.data() + data_done, data.size() - data_done);
}

bool recv_frame(int fd, Header& header, std::string& payload) {
    char head[kHeaderSize];
    if (!read_all(fd, head, sizeof head)) return false;
    if (!decode_header(head, sizeof head, header)) return false;
    payload.resize(header.length);
    return header.length == 0 || read_all(fd, payload.data(), header.length);
}

}  // namespace ce::rpc
