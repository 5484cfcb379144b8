// The host's RPC frame parser and the decoders of every operation's request
// and reply over arbitrary bytes, fed in pieces as a socket would deliver
// them. Nothing may crash or overrun; a payload that decodes must survive a
// round trip through the encoder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rpc.h"

namespace {

template <class R>
void round_trip(const std::string& payload) {
    R record;
    if (ce::rpc::decode(payload, record) && ce::rpc::encode(record) != payload) std::abort();
}

}  // namespace

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
            // Whatever decodes, as the operation's request or its reply,
            // must encode to the same bytes.
            uint16_t op = header.op & ~ce::rpc::kReplyFlag;
            if (!ce::rpc::with_request(op, [&]<class Rq>() {
                    round_trip<Rq>(payload);
                    round_trip<typename Rq::Reply>(payload);
                }))
                std::abort();  // the header check lets no other operation through
        }
    }
    return 0;
}
