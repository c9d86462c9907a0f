// A pseudo-terminal standing in for the board's serial port: the simulator
// serves the master side, the host opens the slave path like a real tty.
#pragma once

#include <string>

namespace kelsim {

class PtyPair {
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // Creates the pair with the slave side in raw mode. On failure returns
    // false and describes why in *error.
    bool open(std::string *error);
    void close();

    int masterFd() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    // Held open for the life of the pair: with no slave open the master reads
    // EIO and the termios settings fall back to defaults between host opens.
    int slaveKeep_ = -1;
    std::string slavePath_;
};

}  // namespace kelsim
