// .ico images to PNG. Everything is read through bounds-checked helpers: an
// icon file is input like any other, and a broken one is an error message.
#include "rc_icon.h"

#include <algorithm>
#include <array>

namespace ce::rc {

namespace {

uint32_t le(const std::string& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

void put_be32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift & 0xFF));
}

uint32_t crc32(const std::string& bytes, size_t from) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = from; i < bytes.size(); i++) c = table[(c ^ static_cast<uint8_t>(bytes[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void chunk(std::string& png, const char* type, const std::string& data) {
    put_be32(png, static_cast<uint32_t>(data.size()));
    size_t start = png.size();
    png.append(type, 4);
    png += data;
    put_be32(png, crc32(png, start));
}

const char kPngSignature[] = "\x89PNG\r\n\x1a\n";

}  // namespace

std::string encode_png(int width, int height, const std::vector<uint8_t>& rgba) {
    // Each row: filter 0, then its pixels.
    std::string raw;
    for (int y = 0; y < height; y++) {
        raw.push_back('\0');
        raw.append(reinterpret_cast<const char*>(rgba.data()) + static_cast<size_t>(y) * width * 4,
                   static_cast<size_t>(width) * 4);
    }
    // A zlib stream of stored blocks: icons are small, and this needs no
    // compressor.
    std::string z = "\x78\x01";
    size_t at = 0;
    do {
        size_t n = std::min<size_t>(raw.size() - at, 65535);
        bool last = at + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<char>(n & 0xFF));
        z.push_back(static_cast<char>(n >> 8));
        z.push_back(static_cast<char>(~n & 0xFF));
        z.push_back(static_cast<char>((~n >> 8) & 0xFF));
        z.append(raw, at, n);
        at += n;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    put_be32(z, b << 16 | a);

    std::string png(kPngSignature, 8);
    std::string header;
    put_be32(header, static_cast<uint32_t>(width));
    put_be32(header, static_cast<uint32_t>(height));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter choice, no interlace
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", "");
    return png;
}

std::string icon_to_png(const std::string& ico, int size, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = why;
        return std::string();
    };
    if (ico.size() < 6 || le(ico, 0, 2) != 0 || le(ico, 2, 2) != 1) return fail("not an icon file");
    size_t count = le(ico, 4, 2);
    if (ico.size() < 6 + count * 16) return fail("the icon's directory is cut short");

    // The entry of that size with the most bits a pixel.
    size_t best = count;
    uint32_t best_bits = 0;
    for (size_t i = 0; i < count; i++) {
        size_t e = 6 + i * 16;
        int w = static_cast<uint8_t>(ico[e]) ? static_cast<uint8_t>(ico[e]) : 256;
        int h = static_cast<uint8_t>(ico[e + 1]) ? static_cast<uint8_t>(ico[e + 1]) : 256;
        uint32_t bits = le(ico, e + 6, 2);
        if (w == size && h == size && (best == count || bits > best_bits)) {
            best = i;
            best_bits = bits;
        }
    }
    if (best == count) return fail("the icon has no " + std::to_string(size) + "x" + std::to_string(size) + " image");
    size_t e = 6 + best * 16;
    size_t length = le(ico, e + 8, 4), offset = le(ico, e + 12, 4);
    if (offset > ico.size() || length > ico.size() - offset) return fail("the icon's image lies outside the file");
    const std::string image = ico.substr(offset, length);
    if (image.compare(0, 8, std::string(kPngSignature, 8)) == 0) return image;

    // A BITMAPINFOHEADER, the colour table, the pixels (rows bottom up, each
    // padded to 4 bytes), then the 1-bit transparency mask likewise.
    if (image.size() < 40 || le(image, 0, 4) < 40) return fail("the icon's image is not a bitmap");
    size_t header = le(image, 0, 4);
    int32_t width = static_cast<int32_t>(le(image, 4, 4)), height = static_cast<int32_t>(le(image, 8, 4)) / 2;
    uint32_t bits = le(image, 14, 2), compression = le(image, 16, 4), used = le(image, 32, 4);
    if (width != size || height != size) return fail("the icon's bitmap is not the size its directory says");
    if (compression != 0 || (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32))
        return fail("the icon's bitmap has " + std::to_string(bits) + " bits a pixel, compression " +
                    std::to_string(compression) + "; not supported");
    size_t colours = bits <= 8 ? (used ? used : 1u << bits) : 0;
    if (colours > 256) return fail("the icon's colour table is too long");
    size_t stride = (static_cast<size_t>(size) * bits + 31) / 32 * 4;
    size_t mask_stride = (static_cast<size_t>(size) + 31) / 32 * 4;
    size_t palette = header, pixels = palette + colours * 4, mask = pixels + stride * size;
    bool has_mask = image.size() >= mask + mask_stride * size;
    if (image.size() < mask || (!has_mask && bits != 32)) return fail("the icon's bitmap is cut short");

    std::vector<uint8_t> rgba(static_cast<size_t>(size) * size * 4);
    bool any_alpha = false;
    for (int y = 0; y < size; y++) {
        size_t row = pixels + stride * (size - 1 - y);
        for (int x = 0; x < size; x++) {
            uint8_t* out = &rgba[(static_cast<size_t>(y) * size + x) * 4];
            size_t at;
            if (bits >= 24) {
                at = row + static_cast<size_t>(x) * (bits / 8);
            } else {
                size_t bit = static_cast<size_t>(x) * bits;
                unsigned byte = static_cast<uint8_t>(image[row + bit / 8]);
                unsigned index = byte >> (8 - bits - bit % 8) & ((1u << bits) - 1);
                if (index >= colours) return fail("the icon's bitmap names a colour its table lacks");
                at = palette + index * 4;
            }
            out[0] = static_cast<uint8_t>(image[at + 2]);
            out[1] = static_cast<uint8_t>(image[at + 1]);
            out[2] = static_cast<uint8_t>(image[at]);
            out[3] = bits == 32 ? static_cast<uint8_t>(image[at + 3]) : 0xFF;
            any_alpha = any_alpha || (bits == 32 && out[3]);
        }
    }
    // The mask makes pixels transparent, unless the pixels carry their own
    // alpha (a 32-bit image whose alpha is not all zero).
    if (bits == 32 && !any_alpha) {
        for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 0xFF;
    }
    if (has_mask && !any_alpha) {
        for (int y = 0; y < size; y++) {
            size_t row = mask + mask_stride * (size - 1 - y);
            for (int x = 0; x < size; x++) {
                bool transparent = static_cast<uint8_t>(image[row + x / 8]) >> (7 - x % 8) & 1;
                rgba[(static_cast<size_t>(y) * size + x) * 4 + 3] = transparent ? 0 : 0xFF;
            }
        }
    }
    return encode_png(size, size, rgba);
}

}  // namespace ce::rc
