// Test images of the touch firmware, and the frames the controller model took in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "touch_controller.h"

// Packet k holds row bytes (k * 31 + i * 13 + 5) mod 256 (0xA5 replaced by 0x5A) and a last
// byte of 0xA5 that no frame may carry.
inline std::vector<uint8_t> make_image(size_t packets, size_t tail = 0) {
    std::vector<uint8_t> img;
    for (size_t k = 0; k < packets; ++k) {
        for (size_t i = 0; i < 128; ++i) {
            uint8_t b = static_cast<uint8_t>(k * 31 + i * 13 + 5);
            img.push_back(b == 0xA5 ? 0x5A : b);
        }
        img.push_back(0xA5);
    }
    for (size_t i = 0; i < tail; ++i) img.push_back(static_cast<uint8_t>(0xC0 + i));
    return img;
}

// The 128 row bytes of packet k of such an image.
inline std::vector<uint8_t> image_row(const std::vector<uint8_t>& img, size_t k) {
    return std::vector<uint8_t>(img.begin() + static_cast<long>(k * 129), img.begin() + static_cast<long>(k * 129 + 128));
}

// The commands of the frames the controller took in, in order, one letter each: F Get Flash
// Size (0x32), d Send Data (0x37), E Enter (0x38), P Program Row, V Verify Row, X Exit (0x3B).
inline std::string frame_trace(const board::TouchController& touch) {
    std::string s;
    for (const auto& f : touch.frames()) s += f.cmd >= 0x32 && f.cmd <= 0x3B ? "F????dEPVX"[f.cmd - 0x32] : '?';
    return s;
}
