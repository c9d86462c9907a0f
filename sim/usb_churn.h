// kelsim::UsbChurn - boards that come, get burnt and go on a handful of ports,
// as on a production line: for a long run of a station under load.
//
// Each board gets a fault drawn from a fixed list, and with it the outcome a
// correct burner reports. The image burnt is expected to start the board's
// boot loader with a "run" component and then burn a component "rootfs". A
// board is taken out once the burner is done with it, which the board tells by
// itself: on the bus and left alone by the host for a while, or off the bus
// for longer than the burner waits for a return. The next board goes into the
// emptied port a moment later (with a new device address, as on a real bus).
// One line per board that went through is written to the log:
//
//   board=7 chip=SIM-000007 port=1:5 fault=wrong-crc expect=fail touched=1
//   received=3 complete=3 resets=0 seconds=4.2
//
// A board still in its port when the run ends is logged with "cut=1".
#pragma once

#include "board.h"
#include "usb_board.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace kelsim {

enum class ChurnFault { None, Vanish, NoReturn, LateReturn, WrongCrc, FailedCommand };
constexpr int kChurnFaults = 6;

const char *churnFaultName(ChurnFault f);
// Whether a correct burner reports success for a board with this fault.
bool churnExpectsSuccess(ChurnFault f);

struct ChurnOptions {
    int boards = 0;  // how many boards go through in all
    int ports = 4;   // neighbouring ports from firstPort on
    int bus = 1;
    std::vector<uint8_t> firstPort{4};
    uint32_t seed = 1;
    // On the bus and no word from the host for this long: the burner is done.
    int quietMs = 2500;
    // Off the bus for this long: gone, and the burner has given up waiting
    // for it (it waits 10 s for a board to come back).
    int goneMs = 12000;
    // Never spoken to in this long: the burner passed it by.
    int untouchedMs = 30000;
    // An emptied port stays empty this long.
    int gapMs = 300;
    // A late return comes back after this long; the burner waits 10 s.
    int lateReturnMs = 3000;
};

class UsbChurn {
public:
    UsbChurn(UsbBoardSim &sim, BoardConfig base, ChurnOptions opt);
    ~UsbChurn();
    UsbChurn(const UsbChurn &) = delete;
    UsbChurn &operator=(const UsbChurn &) = delete;

    // Opens the log (empty path: none); false with a message on failure.
    bool openLog(const std::string &path, std::string *error);
    // One look at the ports: boards the burner is done with go, new ones come.
    // False once every board has been through and the ports are empty.
    bool step();
    int through() const { return through_; }
    int faulty() const { return faulty_; }

private:
    struct Entry;
    void takeOut(size_t port, std::chrono::steady_clock::time_point now, bool cut = false);
    bool plugIn(size_t port, std::chrono::steady_clock::time_point now);

    UsbBoardSim &sim_;
    BoardConfig base_;
    ChurnOptions opt_;
    std::mt19937 rng_;
    std::vector<std::unique_ptr<Entry>> ports_;
    std::vector<std::chrono::steady_clock::time_point> freeSince_;
    int next_ = 0;
    int through_ = 0;
    int faulty_ = 0;
    FILE *log_ = nullptr;
};

}  // namespace kelsim
