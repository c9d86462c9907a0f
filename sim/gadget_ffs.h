// kelsim::FfsGadget - serves a simulated board as a real USB device through
// the kernel's gadget framework: a configfs gadget (vendor 0x33C3, product
// 0x6677) with one FunctionFS function whose two bulk endpoints carry the
// board's packets, bound to a USB device controller (on a test machine the
// dummy host controller's "dummy_udc.N"). The host side is then the kernel's
// own USB stack: the board is found, opened and driven through usbfs.
//
// The board's comings and goings are real disconnects: when it leaves (a "run"
// component, "reset", a vanish fault) the gadget is unbound from its
// controller, and when it is back it is bound again, so the host enumerates it
// anew with a new device address. Needs root, configfs mounted at
// /sys/kernel/config and the usb_f_fs and libcomposite modules. Its threads
// block in endpoint I/O; stop() wakes them with SIGUSR2, for which start()
// installs a handler that does nothing.
//
//     kelsim::Board board;
//     kelsim::FfsGadget g(board);
//     if (!g.start("kelsim1", "dummy_udc.0", &error)) ...
//     ... the host burns the board ...
//     g.stop();
#pragma once

#include "board.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelsim {

class FfsGadget {
public:
    explicit FfsGadget(Board &board);
    ~FfsGadget();
    FfsGadget(const FfsGadget &) = delete;
    FfsGadget &operator=(const FfsGadget &) = delete;

    // The device controllers the kernel offers (/sys/class/udc), sorted.
    static std::vector<std::string> controllers();

    // Creates the gadget `name` (configfs directory and FunctionFS instance),
    // mounts its FunctionFS below /run/kelsim, writes the descriptors and,
    // while the board is online, binds it to controller `udc`.
    bool start(const std::string &name, const std::string &udc, std::string *error);
    // Unbinds and removes everything start created. Safe to call twice.
    void stop();

    // Waits until the host has configured the device (the kernel's USB stack
    // enumerated it and chose its configuration); false on time-out.
    bool waitConfigured(int timeoutMs);

    // How many times the board has been bound to its controller (appeared on
    // the host's bus) so far.
    int appearances() const;

private:
    void ep0Loop();
    void outLoop();
    void inLoop();
    void presenceLoop();
    bool setBound(bool on);
    void cleanUp();

    Board &board_;
    std::string name_, udc_, gadgetDir_, mountDir_;
    int ep0_ = -1, epOut_ = -1, epIn_ = -1;
    bool mounted_ = false;
    bool linked_ = false;

    std::atomic<bool> stop_{false};
    std::atomic<int> appearances_{0};
    std::atomic<int> finished_{0};  // threads that left their loop
    std::atomic<bool> writing_{false};
    std::atomic<uint32_t> inWanted_{
        0};  // length of the data phase the host asked for  // an answer is on its way to the host
    std::mutex mu_;
    std::condition_variable cv_;  // the host sent something: an answer may be due
    bool bound_ = false;
    bool configured_ = false;  // the host set the configuration; endpoints usable
    std::vector<std::thread> threads_;
};

}  // namespace kelsim
