// Little-endian field access for the board's wire records.
#pragma once

#include <cstdint>

namespace kelsim {

inline uint32_t rd32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t rd64(const uint8_t *p) {
    return uint64_t(rd32(p)) | uint64_t(rd32(p + 4)) << 32;
}

inline void wr32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline void wr16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

}  // namespace kelsim
