// CRC-16/XMODEM as the serial line frames use it (poly 0x1021, init 0,
// MSB first, no final XOR), sent high byte first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelsim {

uint16_t serialCrc16(const uint8_t *data, size_t n);

}  // namespace kelsim
