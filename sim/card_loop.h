// A loop device over a card image, for a simulated card that is a block device
// as a real one is.
#pragma once

#include <string>

namespace kelsim {

class CardLoop {
public:
    CardLoop() = default;
    // Detaches the device.
    ~CardLoop();
    CardLoop(const CardLoop &) = delete;
    CardLoop &operator=(const CardLoop &) = delete;

    // Attaches a free loop device to `file`, with its partitions scanned so that
    // a formatted card's volume has its node. Needs root. On failure returns
    // false and describes why in *error.
    bool attach(const std::string &file, std::string *error);
    const std::string &node() const { return node_; }

private:
    int fd_ = -1;
    std::string node_;
};

}  // namespace kelsim
