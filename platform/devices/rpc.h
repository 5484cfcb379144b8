// The device manager's wire protocol between client processes and cehost,
// over the stream socket <root>/.cehost/socket.
//
// Every message is a frame: a 12-byte header (payload length, operation,
// flags, tag; host byte order, both ends are on this machine) and a payload
// of at most kMaxPayload bytes. A client sends one request and waits for its
// answer on the same connection, so a connection carries one call at a time;
// a process keeps a pool of connections, one per call in flight. The host
// checks every frame completely: a frame it cannot parse ends the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ce::rpc {

constexpr uint32_t kVersion = 1;
constexpr uint32_t kHeaderSize = 12;
constexpr uint32_t kMaxIo = 256 * 1024;          // one read, write or ioctl buffer
constexpr uint32_t kMaxPayload = kMaxIo + 4096;  // the largest frame's payload
constexpr uint32_t kMaxText = 1024;              // characters of a name or key path
constexpr uint32_t kMaxRegEnts = 64;
constexpr uint16_t kReplyFlag = 0x8000;

enum Op : uint16_t {
    OpHello = 1,       // u32 version, u64 session token
    OpActivate = 2,    // text key, u32 n, n x (text name, u32 type, bytes data)
    OpDeactivate = 3,  // u32 handle
    OpList = 4,        // -
    OpOpen = 5,        // text name, u32 access, u32 share
    OpClose = 6,       // u32 open
    OpRead = 7,        // u32 open, u32 size
    OpWrite = 8,       // u32 open, bytes data
    OpIoControl = 9,   // u32 open, u32 code, bytes in, u32 out size
    OpSeek = 10,       // u32 open, u32 distance, u32 method
    OpStop = 11,       // -
    OpGpsReload = 12,  // - (the GPS source settings changed)
    // The window broker: top-level windows of every process of the root, and
    // messages carried between processes (see platform/host/window_table.h).
    OpWindowAdd = 13,         // u64 window, text class, text title
    OpWindowTitle = 14,       // u64 window, text title
    OpWindowRemove = 15,      // u64 window
    OpWindowList = 16,        // u64 after (creation order); reply: window list, count 1 when more follow
    OpWindowForward = 17,     // window call; reply: result ok, error, data window answer
    OpWindowListen = 18,      // - (this connection becomes the process's listener)
    OpWindowPoll = 19,        // - (listener only); reply: result 1 and data u64 serial + window call
    OpWindowResult = 20,      // u64 serial, window answer (listener only)
    OpWindowForeground = 21,  // -; reply: data u64 window
    OpLast = OpWindowForeground,
};

// Texts a window call carries (an edit control's contents) may be longer
// than a name.
constexpr uint32_t kMaxWindowText = 32 * 1024;
constexpr uint32_t kMaxWindows = 4096;  // top-level windows one host lists

// A request for one top-level window, as the broker carries it from a sender
// to the window's owner (the fields of ce::broker::Request).
struct WindowCall {
    uint32_t kind = 0;
    uint64_t window = 0;
    uint32_t message = 0;
    uint64_t wparam = 0;
    uint64_t lparam = 0;
    uint32_t item = 0;  // a control id, 0xFFFFFFFF for the window itself
    std::u16string text;
};

// The owner's answer (the fields of ce::broker::Result).
struct WindowAnswer {
    uint32_t ok = 0;
    uint32_t error = 0;
    uint64_t value = 0;
    std::u16string text;
};

struct WindowInfo {
    uint64_t window = 0;
    std::u16string class_name;
    std::u16string title;
    uint32_t pid = 0;
    uint64_t order = 0;  // creation order, the list's cursor
};

struct Header {
    uint32_t length = 0;
    uint16_t op = 0;
    uint16_t flags = 0;
    uint32_t tag = 0;
};

struct RegEnt {
    std::u16string name;
    uint32_t type = 0;
    std::string data;
};

struct Request {
    uint16_t op = 0;
    uint32_t version = 0;
    uint64_t token = 0;
    std::u16string text;  // key or device name
    uint32_t a = 0, b = 0, c = 0;
    std::string data;
    std::vector<RegEnt> ents;
    uint64_t window = 0;  // the window ops' window; OpWindowList's cursor
    uint64_t serial = 0;  // OpWindowResult: the request answered
    std::u16string title;
    WindowCall call;      // OpWindowForward
    WindowAnswer answer;  // OpWindowResult
};

// The answer to every operation: a result (BOOL, handle or open id), the
// last-error value, a count (bytes done, bytes returned) and data.
struct Reply {
    uint32_t result = 0;
    uint32_t error = 0;
    uint32_t count = 0;
    std::string data;
    // Sent instead of `data` when set: bytes the sender holds until the reply
    // is out (a read's buffer), so that they are not copied on the way.
    std::string_view borrowed;
};

struct DeviceInfo {
    std::u16string name;
    std::u16string key;
    uint32_t handle = 0;
};

// Payload building and bounds-checked reading.
class Writer {
public:
    void u32(uint32_t v);
    void u64(uint64_t v);
    void bytes(const void* data, size_t size);
    void text(const std::u16string& s);
    std::string out;
};

class Reader {
public:
    Reader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), left_(size) {}
    bool u32(uint32_t& v);
    bool u64(uint64_t& v);
    bool bytes(std::string& v, uint32_t max);
    bool text(std::u16string& v, uint32_t max = kMaxText);
    bool done() const { return left_ == 0; }

private:
    const uint8_t* p_;
    size_t left_;
};

bool decode_header(const void* data, size_t size, Header& header);  // false for a frame to refuse
void encode_header(const Header& header, void* out);

std::string encode_request(const Request& request);  // the payload
// Parses a request payload; nullopt when it is malformed in any way.
std::optional<Request> decode_request(uint16_t op, const void* payload, size_t size);

std::string encode_reply(const Reply& reply);
// A reply frame in one send, its data (borrowed or not) not copied.
bool send_reply(int fd, uint16_t op, uint32_t tag, const Reply& reply);
std::optional<Reply> decode_reply(const void* payload, size_t size);

std::string encode_list(const std::vector<DeviceInfo>& list);
std::optional<std::vector<DeviceInfo>> decode_list(const std::string& data);

// The window broker's reply data: OpWindowList's windows, OpWindowForward's
// answer (value and text; ok and error travel as result and error), and
// OpWindowPoll's request.
std::string encode_windows(const std::vector<WindowInfo>& list);
std::optional<std::vector<WindowInfo>> decode_windows(const std::string& data);
std::string encode_answer_data(const WindowAnswer& answer);
bool decode_answer_data(const std::string& data, WindowAnswer& answer);
std::string encode_polled(uint64_t serial, const WindowCall& call);
bool decode_polled(const std::string& data, uint64_t& serial, WindowCall& call);
// The room one window takes in OpWindowList's reply.
size_t encoded_size(const WindowInfo& info);

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
bool send_frame(int fd, uint16_t op, uint32_t tag, const std::string& payload);
bool recv_frame(int fd, Header& header, std::string& payload);

}  // namespace ce::rpc
