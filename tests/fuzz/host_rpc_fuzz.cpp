// The host's RPC frame parser and request decoder over arbitrary bytes, fed
// in pieces as a socket would deliver them. Nothing may crash or overrun; a
// frame that decodes must survive a round trip through the encoder, and so
// must the window broker's reply data (lists, answers, polled requests).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rpc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ce::rpc::FrameParser parser;
    size_t at = 0;
    // The first byte chooses how the stream is cut.
    size_t piece = size ? (data[0] % 17) + 1 : 1;
    while (at < size) {
        size_t n = std::min(piece, size - at);
        parser.feed(data + at, n);
        at += n;
        for (;;) {
            ce::rpc::Header header;
            std::string payload;
            auto status = parser.next(header, payload);
            if (status != ce::rpc::FrameParser::Status::Frame) {
                if (status == ce::rpc::FrameParser::Status::Broken) return 0;  // the host drops the connection
                break;
            }
            if (payload.size() != header.length) std::abort();
            auto request = ce::rpc::decode_request(header.op, payload.data(), payload.size());
            if (request) {
                std::string again = ce::rpc::encode_request(*request);
                if (again != payload) std::abort();
            }
            auto reply = ce::rpc::decode_reply(payload.data(), payload.size());
            if (!reply) continue;
            const std::string& d = reply->data;
            ce::rpc::decode_list(d);
            if (auto windows = ce::rpc::decode_windows(d); windows && ce::rpc::encode_windows(*windows) != d) std::abort();
            ce::rpc::WindowAnswer answer;
            if (ce::rpc::decode_answer_data(d, answer) && ce::rpc::encode_answer_data(answer) != d) std::abort();
            uint64_t serial = 0;
            ce::rpc::WindowCall call;
            if (ce::rpc::decode_polled(d, serial, call) && ce::rpc::encode_polled(serial, call) != d) std::abort();
        }
    }
    return 0;
}
