// Makes fuzz seeds at build time, in the formats the targets read, from the
// project's own encoders, so that the seeds follow the code when a format
// changes:
//   fuzz_seed_maker rpc-devices OUT   request frames of a device session
//   fuzz_seed_maker rpc-windows OUT   request frames of the window broker
//   fuzz_seed_maker rpc-replies OUT   reply frames with every kind of data
//   fuzz_seed_maker rds IN OUT        a recording's groups as the tuner's raw
//                                     stream, in fm_rds_fuzz's length-prefixed pieces
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "rds_group.h"
#include "recording.h"
#include "rpc.h"

namespace {

using namespace ce::rpc;

void frame(std::string& out, uint16_t op, uint32_t tag, const std::string& payload) {
    Header h;
    h.length = static_cast<uint32_t>(payload.size());
    h.op = op;
    h.tag = tag;
    char head[kHeaderSize];
    encode_header(h, head);
    out.append(head, sizeof head);
    out += payload;
}

uint32_t g_tag = 1;

template <class Rq>
void request(std::string& out, const Rq& r) {
    frame(out, Rq::op, g_tag++, encode(r));
}

std::string rpc_devices() {
    std::string out;
    HelloRequest hello;
    hello.version = kVersion;
    hello.token = 0x1122334455667788ull;
    request(out, hello);
    ActivateRequest activate;
    activate.key = u"Drivers\\BuiltIn\\Tervalon";
    activate.ents = {{u"Prefix", 1, std::string("C\0O\0M\0\0\0", 8)}, {u"Index", 4, std::string("\x09\0\0\0", 4)}};
    request(out, activate);
    request(out, ListRequest{});
    OpenRequest open;
    open.name = u"COM9:";
    open.access = 0xC0000000u;
    request(out, open);
    WriteRequest write;
    write.open = 1;
    write.data.owned = "$PSRF107*21\r\n";
    request(out, write);
    request(out, ReadRequest{{}, 1, 4096});
    IoControlRequest ioctl;
    ioctl.open = 1;
    ioctl.code = 0x1B0014;
    ioctl.in = std::string("\x01\0\0\0", 4);
    ioctl.out_size = 12;
    request(out, ioctl);
    request(out, SeekRequest{{}, 1, 0, 2});
    request(out, CloseRequest{{}, 1});
    request(out, DeactivateRequest{{}, 7});
    request(out, GpsReloadRequest{});
    request(out, StopRequest{});
    return out;
}

WindowCall command_call() {
    WindowCall c;
    c.kind = 1;
    c.window = 0x10001;
    c.message = 0x0111;  // WM_COMMAND
    c.wparam = 1001;
    c.item = 1001;
    c.text = u"Seek";
    return c;
}

WindowAnswer text_answer() {
    WindowAnswer a;
    a.ok = 1;
    a.value = 7;
    a.text = u"98.7";
    return a;
}

std::string rpc_windows() {
    std::string out;
    WindowAddRequest add;
    add.window = 0x10001;
    add.class_name = u"KvorClient";
    add.title = u"RDS-TMC";
    request(out, add);
    WindowTitleRequest title;
    title.window = 0x10001;
    title.title = u"RDS-TMC 98.7";
    request(out, title);
    request(out, WindowListRequest{});
    request(out, WindowListenRequest{});
    WindowForwardRequest forward;
    forward.call = command_call();
    request(out, forward);
    request(out, WindowPollRequest{});
    WindowResultRequest result;
    result.serial = 3;
    result.answer = text_answer();
    request(out, result);
    request(out, WindowForegroundRequest{});
    request(out, WindowRemoveRequest{{}, 0x10001});
    return out;
}

std::string rpc_replies() {
    std::string out;
    auto reply = [&]<class Rq>(Rq, uint32_t result, uint32_t error, typename Rq::Reply r) {
        r.result = result;
        r.error = error;
        frame(out, static_cast<uint16_t>(Rq::op | kReplyFlag), Rq::op, encode(r));
    };
    ListReply list;
    list.devices = {{u"COM9:", u"Drivers\\Active\\01", 0x31}, {u"GPD0:", u"Drivers\\Active\\02", 0x32}};
    list.count = static_cast<uint32_t>(encoded_size(list));
    reply(ListRequest{}, 1, 0, list);
    WindowInfo main, dialog;
    main.window = 0x10001;
    main.class_name = u"KvorClient";
    main.title = u"RDS-TMC";
    main.pid = 4242;
    main.order = 1;
    dialog.window = 0x20002;
    dialog.class_name = u"Dialog";
    dialog.pid = 4243;
    dialog.order = 2;
    WindowListReply windows;
    windows.windows = {main, dialog};
    windows.count = static_cast<uint32_t>(encoded_size(windows));
    reply(WindowListRequest{}, 1, 0, windows);
    WindowForwardReply answer;
    answer.value = text_answer().value;
    answer.text = text_answer().text;
    answer.count = static_cast<uint32_t>(encoded_size(answer));
    reply(WindowForwardRequest{}, 1, 0, answer);
    WindowPollReply poll;
    poll.polled = PolledCall{9, command_call()};
    poll.count = static_cast<uint32_t>(encoded_size(poll));
    reply(WindowPollRequest{}, 1, 0, poll);
    ReadReply read;
    read.data.owned = "$GPRMC,101500.000,A,5207.3411,N,00453.4617,E,0.02,48.11,070319,,,A*58\r\n";
    read.count = static_cast<uint32_t>(read.data.size());
    reply(ReadRequest{}, 1, 0, read);
    reply(OpenRequest{}, 0, 2, OpenReply{});  // a failed open: the error, no data
    return out;
}

// Pieces of 1 to 1020 bytes, as fm_rds_fuzz reads them: a length byte L,
// then 4L+1 bytes. The cuts vary like the tuner's reads do.
std::string rds(const std::string& text) {
    fmsim::Recording rec = fmsim::parse_recording(text);
    std::vector<uint8_t> raw;
    // Enough groups for several locks and the station's rotation of group
    // types; a seed stays a few kilobytes.
    for (size_t i = 0; i < rec.groups.size() && i < 256; i++) fmsim::append_packed(rec.groups[i], raw);
    static const uint8_t kCuts[] = {2, 0, 5, 11, 1, 30, 7, 3};
    std::string out;
    size_t at = 0;
    for (size_t k = 0; at < raw.size(); k++) {
        uint8_t len = kCuts[k % sizeof kCuts];
        size_t n = std::min<size_t>(len * 4u + 1, raw.size() - at);
        out += static_cast<char>(len);
        out.append(reinterpret_cast<const char*>(raw.data() + at), n);
        at += n;
    }
    return out;
}

bool write(const char* path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
    std::string kind = argc > 1 ? argv[1] : "";
    std::string made;
    const char* out = nullptr;
    if (argc == 3 && kind == "rpc-devices") made = rpc_devices();
    else if (argc == 3 && kind == "rpc-windows") made = rpc_windows();
    else if (argc == 3 && kind == "rpc-replies") made = rpc_replies();
    if (argc == 3 && !made.empty()) out = argv[2];
    if (argc == 4 && kind == "rds") {
        std::ifstream in(argv[2], std::ios::binary);
        if (!in) {
            std::perror(argv[2]);
            return 1;
        }
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        made = rds(text);  // empty for a recording without a group: a seed like any other
        out = argv[3];
    }
    if (!out) {
        std::fprintf(stderr, "usage: fuzz_seed_maker rpc-devices|rpc-windows|rpc-replies OUT | rds IN OUT\n");
        return 2;
    }
    if (!write(out, made)) {
        std::perror(out);
        return 1;
    }
    return 0;
}
