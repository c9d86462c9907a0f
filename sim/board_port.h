// The seam between the simulated board's upgrade service and the line it is
// reached over (USB bulk endpoints or the serial framing).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelsim {

class BoardPort {
public:
    virtual ~BoardPort() = default;

    // Bytes the host sent: one bulk OUT transfer, or the payload of one
    // serial send (DC1 exchange). The board parses them as a byte stream
    // (CBW, then the data phase it announced).
    virtual void hostSent(const uint8_t *data, size_t n) = 0;

    // The board's answer for the current IN phase (the data phase of a
    // receive packet, then the CSW): copies at most max bytes and returns how
    // many; 0 when it has nothing to say (mute, or nothing pending).
    virtual size_t hostReceive(uint8_t *buf, size_t max) = 0;

    // False while the board is away (rebooting into its next stage, vanished):
    // a serial line then stays silent, a USB device is off the bus.
    virtual bool online() const = 0;
};

}  // namespace kelsim
