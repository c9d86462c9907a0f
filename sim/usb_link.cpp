#include "usb_link.h"

#include <algorithm>

namespace kelsim {

std::chrono::nanoseconds UsbLinkModel::transferTime(size_t n) const {
    if (!paced())
        return std::chrono::nanoseconds(0);
    const size_t packets = std::max<size_t>(1, (n + kPacketBytes - 1) / kPacketBytes);
    const double seconds = double(packets) * kPacketBytes / bytesPerSecond;
    const auto payload = std::chrono::nanoseconds(static_cast<long long>(seconds * 1e9 + 0.5));
    return std::max<std::chrono::nanoseconds>(payload, kMicroframe);
}

double UsbLinkModel::commandRate(size_t data, size_t command, size_t status) const {
    if (!paced() || data == 0)
        return 0;
    const auto t = transferTime(command) + transferTime(data) + transferTime(status);
    return double(data) / (double(t.count()) / 1e9);
}

}  // namespace kelsim
