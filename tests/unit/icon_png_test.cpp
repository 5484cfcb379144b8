// The desktop's icons: .ico images of each form a program's icon may take,
// turned into PNG and read back by Qt's own PNG reader.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "rc_icon.h"
#include "test_support.h"

namespace {

constexpr int kSize = 5;  // odd: rows are padded to 4 bytes

// The picture every form encodes: a few colours, the corners transparent.
struct Pixel {
    uint8_t r, g, b, a;
};
const std::array<Pixel, 4> kColours = {
    {{0xFF, 0, 0, 0xFF}, {0, 0x80, 0xFF, 0xFF}, {0x10, 0x20, 0x30, 0xFF}, {0, 0, 0, 0}}};
int colour_at(int x, int y) {
    if ((x == 0 || x == kSize - 1) && (y == 0 || y == kSize - 1)) return 3;
    return (x + 2 * y) % 3;
}

// The colour a pixel gets in an image of so many bits: two colours at 1 bit.
int stored(int c, int bits) { return std::min(c == 3 ? 2 : c, bits == 1 ? 1 : 2); }

void put_le(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) out.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
}

// One bitmap image as an .ico stores it: header, colour table, pixels and
// mask, rows bottom up. 32-bit pixels carry alpha unless `mask_only`.
std::string bitmap(int bits, bool mask_only = false) {
    std::string b;
    put_le(b, 40, 4);
    put_le(b, kSize, 4);
    put_le(b, kSize * 2, 4);
    put_le(b, 1, 2);
    put_le(b, bits, 2);
    b.append(24, '\0');
    if (bits <= 8) {
        for (int i = 0; i < (1 << bits); i++) {
            const Pixel& p = kColours[std::min(i, 2)];
            b += {static_cast<char>(p.b), static_cast<char>(p.g), static_cast<char>(p.r), '\0'};
        }
    }
    for (int y = kSize - 1; y >= 0; y--) {
        std::string row;
        uint32_t acc = 0;
        int filled = 0;
        for (int x = 0; x < kSize; x++) {
            int c = colour_at(x, y);
            const Pixel& p = kColours[stored(c, bits)];
            if (bits >= 24) {
                row += {static_cast<char>(p.b), static_cast<char>(p.g), static_cast<char>(p.r)};
                if (bits == 32) row.push_back(static_cast<char>(mask_only ? 0 : c == 3 ? 0 : 0xFF));
            } else {
                acc = acc << bits | static_cast<uint32_t>(stored(c, bits));
                if ((filled += bits) == 8) {
                    row.push_back(static_cast<char>(acc));
                    acc = 0;
                    filled = 0;
                }
            }
        }
        if (filled) row.push_back(static_cast<char>(acc << (8 - filled)));
        row.resize((row.size() + 3) / 4 * 4, '\0');
        b += row;
    }
    for (int y = kSize - 1; y >= 0; y--) {
        uint8_t mask = 0;
        for (int x = 0; x < kSize; x++) mask |= (colour_at(x, y) == 3 ? 1 : 0) << (7 - x);
        b += {static_cast<char>(mask), '\0', '\0', '\0'};
    }
    return b;
}

// An .ico file of (size, bits, image) entries.
std::string ico(const std::vector<std::tuple<int, int, std::string>>& images) {
    std::string out;
    put_le(out, 0, 2);
    put_le(out, 1, 2);
    put_le(out, static_cast<uint32_t>(images.size()), 2);
    size_t offset = 6 + 16 * images.size();
    for (const auto& [size, bits, data] : images) {
        out += {static_cast<char>(size), static_cast<char>(size), '\0', '\0'};
        put_le(out, 1, 2);
        put_le(out, static_cast<uint32_t>(bits), 2);
        put_le(out, static_cast<uint32_t>(data.size()), 4);
        put_le(out, static_cast<uint32_t>(offset), 4);
        offset += data.size();
    }
    for (const auto& image : images) out += std::get<2>(image);
    return out;
}

struct Form {
    const char* name;
    int bits;
    bool mask_only;
};

class IconPng : public ::testing::TestWithParam<Form> {};

TEST_P(IconPng, ReadsBackAsThePicture) {
    const Form& form = GetParam();
    // A smaller image of more bits first: the size decides, then the bits.
    std::string file = ico({{4, 32, std::string(200, '\x7f')}, {kSize, form.bits, bitmap(form.bits, form.mask_only)}});
    std::string error;
    std::string png = ce::rc::icon_to_png(file, kSize, &error);
    ASSERT_FALSE(png.empty()) << error;
    QImage image;
    ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()), "PNG"));
    ASSERT_EQ(image.width(), kSize);
    ASSERT_EQ(image.height(), kSize);
    for (int y = 0; y < kSize; y++) {
        for (int x = 0; x < kSize; x++) {
            QRgb got = image.pixel(x, y);
            int c = colour_at(x, y);
            EXPECT_EQ(qAlpha(got), kColours[c].a) << x << "," << y;
            if (c == 3) continue;
            const Pixel& want = kColours[stored(c, form.bits)];
            EXPECT_EQ(qRed(got), want.r) << x << "," << y;
            EXPECT_EQ(qGreen(got), want.g) << x << "," << y;
            EXPECT_EQ(qBlue(got), want.b) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, IconPng,
                         ::testing::Values(Form{"Alpha32", 32, false}, Form{"Mask32", 32, true},
                                           Form{"Rgb24", 24, false}, Form{"Palette8", 8, false},
                                           Form{"Palette4", 4, false}, Form{"Palette1", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A larger image: more than one stored block in the PNG's zlib stream.
TEST(IconPngEncode, ALargeImageReadsBack) {
    const int side = 256;
    std::vector<uint8_t> rgba(side * side * 4);
    for (size_t i = 0; i < rgba.size(); i++) rgba[i] = static_cast<uint8_t>(i * 7 + i / 1024);
    std::string png = ce::rc::encode_png(side, side, rgba);
    QImage image;
    ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()), "PNG"));
    image = image.convertToFormat(QImage::Format_RGBA8888);
    ASSERT_EQ(image.width(), side);
    for (int y = 0; y < side; y++)
        ASSERT_EQ(std::memcmp(image.constScanLine(y), &rgba[static_cast<size_t>(y) * side * 4], side * 4), 0) << y;
}

// What no icon converts from: each an error, never a crash or a read past
// the file.
TEST(IconPngEncode, RefusesBrokenFiles) {
    const std::string good = ico({{kSize, 8, bitmap(8)}});
    const std::string embedded = ico({{kSize, 32, "\x89PNG\r\n\x1a\nrest"}});
    std::string error;
    EXPECT_EQ(ce::rc::icon_to_png(embedded, kSize, &error), "\x89PNG\r\n\x1a\nrest") << "a PNG image is kept";
    struct Case {
        const char* what;
        std::string file;
        int size;
    };
    std::string far = good;
    far[6 + 12] = '\x7f';  // the image's offset past the end
    std::string bad_index = ico({{kSize, 1, bitmap(1)}});
    bad_index[6 + 16 + 32] = 1;  // a table of one colour, pixels naming the second
    for (const Case& c : std::vector<Case>{{"no such size", good, 16},
                                           {"cut short", good.substr(0, good.size() - 10), kSize},
                                           {"directory cut", good.substr(0, 12), kSize},
                                           {"offset outside", far, kSize},
                                           {"colour outside", bad_index, kSize},
                                           {"not an icon", "GIF89a......", kSize}}) {
        error.clear();
        EXPECT_EQ(ce::rc::icon_to_png(c.file, c.size, &error), "") << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

}  // namespace
