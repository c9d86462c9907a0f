#include "serial_crc.h"

namespace kelsim {

// Bit by bit on purpose: the host uses a table, and the two must agree
// without sharing code.
uint16_t serialCrc16(const uint8_t *data, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

}  // namespace kelsim
