// The device manager's operations, declared once: for every operation a
// request record and a reply record, each listing its fields in wire order
// with their limits. The encoder and the decoder in rpc.h are generated from
// these lists, so the two ends cannot disagree about a field.
//
// A field is a member and the largest value (a 32-bit number) or length (a
// text's characters, a buffer's bytes, a list's entries) the decoder
// accepts. Wire forms, host byte order:
//   uint32_t, uint64_t    4 and 8 bytes
//   std::u16string        u32 characters, then UTF-16; no NUL inside
//   std::string, Bytes    u32 bytes, then the bytes; rest(): the bytes alone,
//                         to the end of the record
//   std::vector<R>        u32 entries, then each entry's fields
//   a record              its fields, inline
//   std::optional<R>      R's fields, or nothing at the end of the record
//
// A request frame's payload is its request record. A reply frame's payload
// is the head every reply has (result, last error, count), then u32 bytes
// and the reply record's fields: data a reply without fields leaves empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace ce::rpc {

constexpr uint32_t kVersion = 1;
constexpr uint32_t kMaxIo = 256 * 1024;          // one read, write or ioctl buffer
constexpr uint32_t kMaxPayload = kMaxIo + 4096;  // the largest frame's payload
constexpr uint32_t kMaxText = 1024;              // characters of a name or key path
constexpr uint32_t kMaxRegEnts = 64;
constexpr uint32_t kMaxRegData = 64 * 1024;  // one registry value given to Activate
constexpr uint32_t kMaxDevices = 4096;       // active devices one host lists
// Texts a window call carries (an edit control's contents) may be longer
// than a name.
constexpr uint32_t kMaxWindowText = 32 * 1024;
constexpr uint32_t kMaxWindows = 4096;  // top-level windows one host lists

enum Op : uint16_t {
    OpHello = 1,
    OpActivate = 2,
    OpDeactivate = 3,
    OpList = 4,
    OpOpen = 5,
    OpClose = 6,
    OpRead = 7,
    OpWrite = 8,
    OpIoControl = 9,
    OpSeek = 10,
    OpStop = 11,
    OpGpsReload = 12,
    // The window broker: top-level windows of every process of the root, and
    // messages carried between processes (see host/server/window_table.h).
    OpWindowAdd = 13,
    OpWindowTitle = 14,
    OpWindowRemove = 15,
    OpWindowList = 16,
    OpWindowForward = 17,
    OpWindowListen = 18,
    OpWindowPoll = 19,
    OpWindowResult = 20,
    OpWindowForeground = 21,
    OpLast = OpWindowForeground,
};

// ---- the declaration language ----------------------------------------------

template <class T>
constexpr uint32_t default_max() {
    if constexpr (std::is_same_v<T, std::u16string>) return kMaxText;
    else return std::numeric_limits<uint32_t>::max();
}

template <class C, class T>
struct Field {
    constexpr Field(T C::*m, uint32_t limit = default_max<T>(), bool to_end = false)
        : member(m), max(limit), rest(to_end) {}
    T C::*member;
    uint32_t max;
    bool rest;  // unprefixed bytes up to the end of the record (last field only)
};

template <class C, class T>
constexpr Field<C, T> rest(T C::*m, uint32_t limit) {
    return Field<C, T>(m, limit, true);
}

// Bytes a frame carries. A decoded record owns them; a sender may instead
// lend a buffer it keeps until the frame is out (a read's, a write's), which
// then goes to the socket without a copy.
struct Bytes {
    std::string owned;
    std::string_view borrowed;  // sent instead of owned when its data() is set

    std::string_view view() const { return borrowed.data() ? borrowed : std::string_view(owned); }
    size_t size() const { return view().size(); }
    bool operator==(const Bytes& other) const { return view() == other.view(); }
};

// ---- records inside the operations ------------------------------------------

struct RegEnt {
    std::u16string name;
    uint32_t type = 0;
    std::string data;
    static constexpr auto fields() {
        return std::tuple{Field(&RegEnt::name), Field(&RegEnt::type), Field(&RegEnt::data, kMaxRegData)};
    }
};

struct DeviceInfo {
    std::u16string name;
    std::u16string key;
    uint32_t handle = 0;
    static constexpr auto fields() {
        return std::tuple{Field(&DeviceInfo::name), Field(&DeviceInfo::key), Field(&DeviceInfo::handle)};
    }
};

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
    static constexpr auto fields() {
        return std::tuple{Field(&WindowCall::kind),
                          Field(&WindowCall::window),
                          Field(&WindowCall::message),
                          Field(&WindowCall::wparam),
                          Field(&WindowCall::lparam),
                          Field(&WindowCall::item),
                          Field(&WindowCall::text, kMaxWindowText)};
    }
};

// The owner's answer (the fields of ce::broker::Result).
struct WindowAnswer {
    uint32_t ok = 0;
    uint32_t error = 0;
    uint64_t value = 0;
    std::u16string text;
    static constexpr auto fields() {
        return std::tuple{Field(&WindowAnswer::ok), Field(&WindowAnswer::error), Field(&WindowAnswer::value),
                          Field(&WindowAnswer::text, kMaxWindowText)};
    }
};

struct WindowInfo {
    uint64_t window = 0;
    std::u16string class_name;
    std::u16string title;
    uint32_t pid = 0;
    uint64_t order = 0;  // creation order, the list's cursor
    static constexpr auto fields() {
        return std::tuple{Field(&WindowInfo::window), Field(&WindowInfo::class_name), Field(&WindowInfo::title),
                          Field(&WindowInfo::pid), Field(&WindowInfo::order)};
    }
};

// A request the host hands to its owner's listener, and the serial its
// answer quotes.
struct PolledCall {
    uint64_t serial = 0;
    WindowCall call;
    static constexpr auto fields() { return std::tuple{Field(&PolledCall::serial), Field(&PolledCall::call)}; }
};

// ---- the operations ------------------------------------------------------------

// What every reply starts with: a result (BOOL, handle or open id), the
// last-error value and a count (bytes done, bytes returned, more to come).
struct ReplyHead {
    uint32_t result = 0;
    uint32_t error = 0;
    uint32_t count = 0;
};

struct NoFields {
    static constexpr auto fields() { return std::tuple{}; }
};

// A reply with nothing beyond its head.
struct PlainReply : ReplyHead, NoFields {};

// A request names its operation and its reply.
template <Op O, class R>
struct Request {
    static constexpr Op op = O;
    using Reply = R;
};

// The first request on a connection: the protocol spoken and the process's
// session token.
using HelloReply = PlainReply;
struct HelloRequest : Request<OpHello, HelloReply> {
    uint32_t version = 0;
    uint64_t token = 0;
    static constexpr auto fields() { return std::tuple{Field(&HelloRequest::version), Field(&HelloRequest::token)}; }
};

// ActivateDeviceEx: the driver's key and the values added to its Active key;
// result: the device handle.
using ActivateReply = PlainReply;
struct ActivateRequest : Request<OpActivate, ActivateReply> {
    std::u16string key;
    std::vector<RegEnt> ents;
    static constexpr auto fields() {
        return std::tuple{Field(&ActivateRequest::key), Field(&ActivateRequest::ents, kMaxRegEnts)};
    }
};

using DeactivateReply = PlainReply;
struct DeactivateRequest : Request<OpDeactivate, DeactivateReply> {
    uint32_t handle = 0;
    static constexpr auto fields() { return std::tuple{Field(&DeactivateRequest::handle)}; }
};

struct ListReply : ReplyHead {
    std::vector<DeviceInfo> devices;
    static constexpr auto fields() { return std::tuple{Field(&ListReply::devices, kMaxDevices)}; }
};
struct ListRequest : Request<OpList, ListReply>, NoFields {};

// CreateFileW on a device name; result: the open's id.
using OpenReply = PlainReply;
struct OpenRequest : Request<OpOpen, OpenReply> {
    std::u16string name;
    uint32_t access = 0;
    uint32_t share = 0;
    static constexpr auto fields() {
        return std::tuple{Field(&OpenRequest::name), Field(&OpenRequest::access), Field(&OpenRequest::share)};
    }
};

using CloseReply = PlainReply;
struct CloseRequest : Request<OpClose, CloseReply> {
    uint32_t open = 0;
    static constexpr auto fields() { return std::tuple{Field(&CloseRequest::open)}; }
};

// count: the bytes read, which are the reply's data.
struct ReadReply : ReplyHead {
    Bytes data;
    static constexpr auto fields() { return std::tuple{rest(&ReadReply::data, kMaxIo)}; }
};
struct ReadRequest : Request<OpRead, ReadReply> {
    uint32_t open = 0;
    uint32_t size = 0;
    static constexpr auto fields() { return std::tuple{Field(&ReadRequest::open), Field(&ReadRequest::size, kMaxIo)}; }
};

// count: the bytes written.
using WriteReply = PlainReply;
struct WriteRequest : Request<OpWrite, WriteReply> {
    uint32_t open = 0;
    Bytes data;
    static constexpr auto fields() {
        return std::tuple{Field(&WriteRequest::open), Field(&WriteRequest::data, kMaxIo)};
    }
};

// count: the bytes returned, which are the reply's data.
struct IoControlReply : ReplyHead {
    std::string out;
    static constexpr auto fields() { return std::tuple{rest(&IoControlReply::out, kMaxIo)}; }
};
struct IoControlRequest : Request<OpIoControl, IoControlReply> {
    uint32_t open = 0;
    uint32_t code = 0;
    std::string in;
    uint32_t out_size = 0;
    static constexpr auto fields() {
        return std::tuple{Field(&IoControlRequest::open), Field(&IoControlRequest::code),
                          Field(&IoControlRequest::in, kMaxIo), Field(&IoControlRequest::out_size, kMaxIo)};
    }
};

// result: the new position, or INVALID_SET_FILE_POINTER.
using SeekReply = PlainReply;
struct SeekRequest : Request<OpSeek, SeekReply> {
    uint32_t open = 0;
    uint32_t distance = 0;  // a signed LONG
    uint32_t method = 0;
    static constexpr auto fields() {
        return std::tuple{Field(&SeekRequest::open), Field(&SeekRequest::distance), Field(&SeekRequest::method)};
    }
};

using StopReply = PlainReply;
struct StopRequest : Request<OpStop, StopReply>, NoFields {};

// The GPS source settings changed.
using GpsReloadReply = PlainReply;
struct GpsReloadRequest : Request<OpGpsReload, GpsReloadReply>, NoFields {};

using WindowAddReply = PlainReply;
struct WindowAddRequest : Request<OpWindowAdd, WindowAddReply> {
    uint64_t window = 0;
    std::u16string class_name;
    std::u16string title;
    static constexpr auto fields() {
        return std::tuple{Field(&WindowAddRequest::window), Field(&WindowAddRequest::class_name),
                          Field(&WindowAddRequest::title)};
    }
};

using WindowTitleReply = PlainReply;
struct WindowTitleRequest : Request<OpWindowTitle, WindowTitleReply> {
    uint64_t window = 0;
    std::u16string title;
    static constexpr auto fields() {
        return std::tuple{Field(&WindowTitleRequest::window), Field(&WindowTitleRequest::title)};
    }
};

using WindowRemoveReply = PlainReply;
struct WindowRemoveRequest : Request<OpWindowRemove, WindowRemoveReply> {
    uint64_t window = 0;
    static constexpr auto fields() { return std::tuple{Field(&WindowRemoveRequest::window)}; }
};

// The windows created after `after` (creation order), as many as fit a
// frame; count 1 when more follow.
struct WindowListReply : ReplyHead {
    std::vector<WindowInfo> windows;
    static constexpr auto fields() { return std::tuple{Field(&WindowListReply::windows, kMaxWindows)}; }
};
struct WindowListRequest : Request<OpWindowList, WindowListReply> {
    uint64_t after = 0;
    static constexpr auto fields() { return std::tuple{Field(&WindowListRequest::after)}; }
};

// The owner's answer: ok and the error travel as result and error.
struct WindowForwardReply : ReplyHead {
    uint64_t value = 0;
    std::u16string text;
    static constexpr auto fields() {
        return std::tuple{Field(&WindowForwardReply::value), Field(&WindowForwardReply::text, kMaxWindowText)};
    }
};
struct WindowForwardRequest : Request<OpWindowForward, WindowForwardReply> {
    WindowCall call;
    static constexpr auto fields() { return std::tuple{Field(&WindowForwardRequest::call)}; }
};

// This connection becomes its process's listener.
using WindowListenReply = PlainReply;
struct WindowListenRequest : Request<OpWindowListen, WindowListenReply>, NoFields {};

// Listener only: waits for the next request for the process's windows;
// a refused poll carries none.
struct WindowPollReply : ReplyHead {
    std::optional<PolledCall> polled;
    static constexpr auto fields() { return std::tuple{Field(&WindowPollReply::polled)}; }
};
struct WindowPollRequest : Request<OpWindowPoll, WindowPollReply>, NoFields {};

// Listener only: the answer to the polled request `serial`.
using WindowResultReply = PlainReply;
struct WindowResultRequest : Request<OpWindowResult, WindowResultReply> {
    uint64_t serial = 0;
    WindowAnswer answer;
    static constexpr auto fields() {
        return std::tuple{Field(&WindowResultRequest::serial), Field(&WindowResultRequest::answer)};
    }
};

struct WindowForegroundReply : ReplyHead {
    uint64_t window = 0;
    static constexpr auto fields() { return std::tuple{Field(&WindowForegroundReply::window)}; }
};
struct WindowForegroundRequest : Request<OpWindowForeground, WindowForegroundReply>, NoFields {};

// ---- the list ------------------------------------------------------------------

template <class... T>
struct Types {};

// Every request, in the order of its operation's number.
using Requests =
    Types<HelloRequest, ActivateRequest, DeactivateRequest, ListRequest, OpenRequest, CloseRequest, ReadRequest,
          WriteRequest, IoControlRequest, SeekRequest, StopRequest, GpsReloadRequest, WindowAddRequest,
          WindowTitleRequest, WindowRemoveRequest, WindowListRequest, WindowForwardRequest, WindowListenRequest,
          WindowPollRequest, WindowResultRequest, WindowForegroundRequest>;

namespace detail {
template <class... R>
constexpr bool numbered(Types<R...>) {
    uint16_t n = 0;
    return ((R::op == ++n) && ...) && n == OpLast;
}
}  // namespace detail
static_assert(detail::numbered(Requests{}), "Requests must list every operation once, in the order of its number");

// Calls f.template operator()<R>() with the request type of op; false for
// an op that is none.
namespace detail {
template <class F, class... R>
bool with_request(uint16_t op, F& f, Types<R...>) {
    return ((R::op == op ? (f.template operator()<R>(), true) : false) || ...);
}
}  // namespace detail
template <class F>
bool with_request(uint16_t op, F&& f) {
    return detail::with_request(op, f, Requests{});
}

}  // namespace ce::rpc
