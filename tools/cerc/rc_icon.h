// A program's icon for the desktop: one image of a Windows .ico file as a PNG
// file (the desktop's icon themes want PNG, one file per size).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ce::rc {

// The image of `ico` (an .ico file's bytes) that is `size` pixels square,
// the one with the most colours when there are several, as PNG bytes. An
// image stored as PNG is returned as it is; a bitmap (1, 4, 8, 24 or 32 bits
// a pixel, with its transparency mask) becomes 8-bit RGBA. Empty, with
// *error, when the file has no such image or cannot be read.
std::string icon_to_png(const std::string& ico, int size, std::string* error);

// PNG bytes of an 8-bit RGBA image (rows top to bottom, 4 bytes a pixel).
std::string encode_png(int width, int height, const std::vector<uint8_t>& rgba);

}  // namespace ce::rc
