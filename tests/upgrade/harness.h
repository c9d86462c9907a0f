// Reaching a simulated board from the host library, over either line, so the
// same command exchanges can be run over USB and over the serial line.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board_port.h"
#include "libkelupg.h"

// Library messages, captured for the tests that check them.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    // True when some error-level line contains text.
    bool has(const std::string &text) const;
    void clear();
    std::string dump() const;
};

class BoardLink {
public:
    virtual ~BoardLink() = default;
    virtual const char *name() const = 0;
    // Puts the board on the line, initialises the library and opens the
    // device. None on failure.
    virtual upg_device *attach(kelsim::BoardPort &board) = 0;
    // Closes the device, shuts the library down, takes the board away.
    virtual void detach() = 0;
};

std::unique_ptr<BoardLink> makeSerialLink();
std::unique_ptr<BoardLink> makeUsbLink();
