// kelsim::UsbLinkModel - how long a bulk transfer takes on a real USB link.
//
// The emulated bus answers as fast as the host's CPU allows; with a link model
// each board's transfers complete no sooner than a real link would carry them.
// A USB 2.0 high-speed link moves at most 13 bulk packets of 512 bytes per
// 125 us microframe (53.248 MB/s of payload), and a transfer ends with the
// microframe it finished in, so even a 13-byte status takes one microframe.
// A slower link keeps the packets and the microframe and lowers the payload
// rate. Transfers on one board's link follow each other; boards on different
// ports have a link each.
#pragma once

#include <chrono>
#include <cstddef>

namespace kelsim {

struct UsbLinkModel {
    static constexpr double kHighSpeedBytesPerSecond = 13.0 * 512 * 8000;
    static constexpr int kPacketBytes = 512;
    static constexpr std::chrono::microseconds kMicroframe{125};

    // Payload bytes per second; 0 leaves the link unpaced.
    double bytesPerSecond = 0;

    static UsbLinkModel highSpeed() { return UsbLinkModel{kHighSpeedBytesPerSecond}; }
    bool paced() const { return bytesPerSecond > 0; }

    // The least time a transfer of n bytes (a zero-length one is one packet)
    // keeps the link busy.
    std::chrono::nanoseconds transferTime(size_t n) const;
    // The best payload rate a command stream of `data`-byte data phases, each
    // with its command and status transfer, can reach on this link.
    double commandRate(size_t data, size_t command = 31, size_t status = 13) const;
};

}  // namespace kelsim
