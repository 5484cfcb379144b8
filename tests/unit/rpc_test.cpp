// The device manager's protocol: every operation's request and reply survive
// the generated encoder and decoder and are refused cut short or with a byte
// too many; the bytes on the wire stay what clients and hosts of this
// version exchange; the limits the host enforces; frames that lend their data
// arrive whole however the socket cuts them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "rpc.h"

namespace {

using namespace ce::rpc;

// ---- every operation ------------------------------------------------------------

template <class R>
void fill_record(R& r, uint32_t& seed);

// A value for every field, different from the default and within its limit.
template <class T>
void fill(T& v, uint32_t max, uint32_t& seed) {
    seed++;
    if constexpr (std::is_same_v<T, uint32_t>) v = std::min(max, 0x100 + seed);
    else if constexpr (std::is_same_v<T, uint64_t>) v = 0x1122334455660000ull + seed;
    else if constexpr (std::is_same_v<T, std::u16string>)
        v.assign(std::min(max, 3u), static_cast<char16_t>(u'a' + seed % 26));
    else if constexpr (std::is_same_v<T, std::string>) v.assign(std::min(max, 5u), static_cast<char>('A' + seed % 26));
    else if constexpr (std::is_same_v<T, Bytes>) fill(v.owned, max, seed);
    else if constexpr (detail::is_vector<T>::value) {
        v.resize(std::min(max, 2u));
        for (auto& e : v) fill_record(e, seed);
    } else if constexpr (detail::is_optional<T>::value) fill_record(v.emplace(), seed);
    else fill_record(v, seed);
}

template <class R>
void fill_record(R& r, uint32_t& seed) {
    if constexpr (is_reply<R>) {
        r.result = 1;
        r.error = 2;
        r.count = 3;
    }
    std::apply([&](const auto&... f) { (fill(r.*(f.member), f.max, seed), ...); }, R::fields());
}

template <class R>
void round_trip_and_refuse_damage() {
    R record;
    uint32_t seed = 0;
    fill_record(record, seed);
    const std::string payload = encode(record);
    R back;
    ASSERT_TRUE(decode(payload, back));
    EXPECT_EQ(encode(back), payload);  // every field came back as it went
    for (size_t cut = 0; cut < payload.size(); cut++) {
        R cut_short;
        EXPECT_FALSE(decode(payload.data(), cut, cut_short)) << "cut to " << cut << " of " << payload.size();
    }
    R too_long;
    EXPECT_FALSE(decode(payload + '\x01', too_long));
}

TEST(RpcProtocol, EveryOperationRoundTripsAndRefusesCutOrOverlongPayloads) {
    for (uint16_t op = OpHello; op <= OpLast; op++) {
        SCOPED_TRACE(op);
        EXPECT_TRUE(with_request(op, [&]<class Rq>() {
            EXPECT_EQ(Rq::op, op);
            round_trip_and_refuse_damage<Rq>();
            round_trip_and_refuse_damage<typename Rq::Reply>();
        }));
    }
    EXPECT_FALSE(with_request(0, [&]<class Rq>() {}));
    EXPECT_FALSE(with_request(OpLast + 1, [&]<class Rq>() {}));
}

// ---- the wire ----------------------------------------------------------------------

std::string unhex(const char* hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return out;
}

WindowCall command_call() {
    WindowCall c;
    c.kind = 1;
    c.window = 0x10001;
    c.message = 0x0111;
    c.wparam = 1001;
    c.item = 1001;
    c.text = u"Seek";
    return c;
}

// Payloads as this protocol version has always sent them: one per kind of
// field (numbers, texts, lists of records, bytes inside and at the end of a
// record, nested and optional records).
TEST(RpcProtocol, PayloadsKeepTheirBytes) {
    ActivateRequest activate;
    activate.key = u"Drivers\\BuiltIn\\Tervalon";
    activate.ents = {{u"Prefix", 1, std::string("C\0O\0M\0\0\0", 8)}, {u"Index", 4, std::string("\x09\0\0\0", 4)}};
    EXPECT_EQ(encode(activate),
              unhex("1800000044007200690076006500720073005c004200750069006c00740049006e005c00540065007200760061006c00"
                    "6f006e000200000006000000500072006500660069007800010000000800000043004f004d000000050000004900"
                    "6e00640065007800040000000400000009000000"));
    IoControlRequest ioctl;
    ioctl.open = 1;
    ioctl.code = 0x1B0014;
    ioctl.in = std::string("\x01\0\0\0", 4);
    ioctl.out_size = 12;
    EXPECT_EQ(encode(ioctl), unhex("0100000014001b0004000000010000000c000000"));
    WindowForwardRequest forward;
    forward.call = command_call();
    EXPECT_EQ(encode(forward), unhex("01000000010001000000000011010000e9030000000000000000000000000000e903000004000000"
                                     "5300650065006b00"));
    WindowResultRequest result;
    result.serial = 3;
    result.answer = {1, 0, 7, u"98.7"};
    EXPECT_EQ(encode(result), unhex("03000000000000000100000000000000070000000000000004000000390038002e003700"));

    ListReply list;
    list.result = 1;
    list.count = 0x74;
    list.devices = {{u"COM9:", u"Drivers\\Active\\01", 0x31}, {u"GPD0:", u"Drivers\\Active\\02", 0x32}};
    EXPECT_EQ(encode(list),
              unhex("01000000000000007400000074000000020000000500000043004f004d0039003a001100000044007200690076006500"
                    "720073005c004100630074006900760065005c0030003100310000000500000047005000440030003a0011000000"
                    "44007200690076006500720073005c004100630074006900760065005c003000320032000000"));
    WindowPollReply poll;
    poll.result = 1;
    poll.count = 0x38;
    poll.polled = PolledCall{9, command_call()};
    EXPECT_EQ(encode(poll), unhex("01000000000000003800000038000000090000000000000001000000010001000000000011010000e903"
                                  "0000000000000000000000000000e9030000040000005300650065006b00"));
    WindowPollReply refused;
    refused.error = 1;
    EXPECT_EQ(encode(refused), unhex("00000000010000000000000000000000"));  // no polled request: no data
    ReadReply read;
    read.result = 1;
    read.count = 4;
    read.data.borrowed = "$GP\n";
    EXPECT_EQ(encode(read), unhex("01000000000000000400000004000000"
                                  "2447500a"));
}

// The limits a client cannot pass: each payload is refused by one more unit.
TEST(RpcProtocol, LimitsAreEnforced) {
    auto refused_over = [](auto record, auto set) {
        set(record, 0);
        std::string at_limit = encode(record);
        set(record, 1);
        std::string over = encode(record);
        decltype(record) back;
        EXPECT_TRUE(decode(at_limit, back));
        EXPECT_FALSE(decode(over, back));
    };
    refused_over(ReadRequest{}, [](ReadRequest& r, uint32_t more) { r.size = kMaxIo + more; });
    refused_over(IoControlRequest{}, [](IoControlRequest& r, uint32_t more) { r.out_size = kMaxIo + more; });
    refused_over(IoControlRequest{}, [](IoControlRequest& r, uint32_t more) { r.in.assign(kMaxIo + more, 'i'); });
    refused_over(WriteRequest{}, [](WriteRequest& r, uint32_t more) { r.data.owned.assign(kMaxIo + more, 'w'); });
    refused_over(OpenRequest{}, [](OpenRequest& r, uint32_t more) { r.name.assign(kMaxText + more, u'n'); });
    refused_over(ActivateRequest{}, [](ActivateRequest& r, uint32_t more) { r.ents.resize(kMaxRegEnts + more); });
    refused_over(ActivateRequest{}, [](ActivateRequest& r, uint32_t more) {
        r.ents.resize(1);
        r.ents[0].data.assign(kMaxRegData + more, 'd');
    });
    refused_over(WindowForwardRequest{},
                 [](WindowForwardRequest& r, uint32_t more) { r.call.text.assign(kMaxWindowText + more, u't'); });
    refused_over(WindowResultRequest{},
                 [](WindowResultRequest& r, uint32_t more) { r.answer.text.assign(kMaxWindowText + more, u't'); });
    refused_over(WindowAddRequest{},
                 [](WindowAddRequest& r, uint32_t more) { r.class_name.assign(kMaxText + more, u'c'); });
    // A NUL inside a name would make the host see another name than the client checked.
    refused_over(OpenRequest{},
                 [](OpenRequest& r, uint32_t nul) { r.name = nul ? std::u16string(u"CO\0M9:", 6) : u"COM9:"; });
}

// ---- frames on a socket ------------------------------------------------------------

// Lent data goes out without a copy, in pieces when the socket's buffer is
// full; the other end must get the very frame an owned copy would make.
TEST(RpcProtocol, LentDataArrivesWholeThroughAFullSocket) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string big(kMaxIo, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 7 + i / 251);
    WriteRequest write;
    write.open = 9;
    write.data.borrowed = big;
    ReadReply read;
    read.result = 1;
    read.count = kMaxIo;
    read.data.borrowed = big;
    std::thread sender([&] {
        EXPECT_TRUE(send_request(fds[0], write, 5));
        EXPECT_TRUE(send_reply<ReadRequest>(fds[0], 6, read));
        ReadReply over;
        std::string huge(kMaxPayload, 'x');
        over.data.borrowed = huge;
        EXPECT_FALSE(send_reply<ReadRequest>(fds[0], 7, over));  // larger than a frame: not sent
        ::shutdown(fds[0], SHUT_WR);
    });
    Header h;
    std::string payload;
    ASSERT_TRUE(recv_frame(fds[1], h, payload));
    EXPECT_EQ(h.op, OpWrite);
    EXPECT_EQ(h.tag, 5u);
    WriteRequest got_write;
    ASSERT_TRUE(decode(payload, got_write));
    EXPECT_EQ(got_write.open, 9u);
    EXPECT_TRUE(got_write.data.view() == big);
    ASSERT_TRUE(recv_frame(fds[1], h, payload));
    EXPECT_EQ(h.op, OpRead | kReplyFlag);
    EXPECT_EQ(h.tag, 6u);
    ReadReply got_read;
    ASSERT_TRUE(decode(payload, got_read));
    EXPECT_EQ(got_read.count, kMaxIo);
    EXPECT_TRUE(got_read.data.view() == big);
    sender.join();
    EXPECT_FALSE(recv_frame(fds[1], h, payload));  // nothing followed the refused frame
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
