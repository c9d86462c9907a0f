// kelsim::UsbBoardSim - makes simulated boards appear as USB devices through
// umockdev (emulated sysfs, udev events and usbfs ioctls), so that plain
// libusb code - in this process or in a child process - finds, opens and
// talks to them as to a real board.
//
// The process must run under umockdev's preload library (`umockdev-wrapper
// ./test`, or the UMOCKDEV test option). Create the simulator before
// libusb_init and call libusb_exit before destroying it:
//
//     kelsim::Board board;                       // boot ROM by default
//     kelsim::UsbBoardSim sim;                   // the testbed
//     sim.addDummyDevices(20);                   // unrelated devices (optional)
//     int id = sim.attach(board, /*bus*/ 1, {1, 4});   // appears as 1-4
//     libusb_init(&ctx);
//     ... host code under test (vendor 0x33C3, product 0x6677) ...
//     libusb_exit(ctx);
//     sim.detach();                              // or let the destructor do it
//
// A port path with more than one number puts the board behind hubs that are
// created on demand ({1, 3} -> hub 1-1, board 1-1.3). The board's bulk OUT
// endpoint is 0x01, its bulk IN endpoint 0x81 (one configuration, one
// interface). When the board goes away (a "run" component, "reset", a vanish
// fault) the device leaves the bus - pending transfers end with "no device" -
// and when it comes back it is added again with a new device address.
// A board that is mute leaves IN transfers pending, so the host times out.
// With uevents off (setUevents) a board's comings and goings only change sysfs
// and /dev, as on a host without a udev daemon to broadcast them.
// Children started by this process (with the environment umockdev set up)
// see the same devices.
#pragma once

#include "board.h"
#include "usb_link.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelsim {

struct UsbSlot;
struct UsbDev;

class UsbBoardSim {
public:
    UsbBoardSim();
    ~UsbBoardSim();
    UsbBoardSim(const UsbBoardSim &) = delete;
    UsbBoardSim &operator=(const UsbBoardSim &) = delete;

    // True when the process runs under umockdev's preload library.
    static bool available();

    // Puts board on the bus at the given port path (1..7 numbers); returns an
    // id for the other calls, or -1 (bad path, path in use). A board that is
    // destroyed while attached leaves the bus by itself.
    int attach(Board &board, int bus = 1, std::vector<uint8_t> portPath = {1, 4});
    // Takes one board (or, without id, every board and dummy) off the bus.
    void detach(int id);
    void detach();

    // Adds n unrelated devices (mass storage, 0x0BDA:0x0129 and alike) as
    // top-level devices of bus; returns how many exist now on that bus.
    int addDummyDevices(int n, int bus = 1);

    // Whether boards that arrive or leave from now on are announced with
    // uevents (on by default). Off, libusb's hotplug monitor hears nothing and
    // only a fresh look at sysfs finds a board that came back.
    void setUevents(bool on);

    // The link model of boards that appear from now on (unpaced by default):
    // each board's bulk transfers then take at least the time the model says.
    void setLink(UsbLinkModel link);

    // Current device address of a board, 0 while it is off the bus.
    int deviceAddress(int id) const;
    bool present(int id) const;
    // How many times the board has appeared on the bus so far.
    int appearances(int id) const;
    // Waits until the board is (or is not) on the bus; false on time-out.
    bool waitPresent(int id, bool want, int timeoutMs) const;

    // The testbed's root directory (sysfs and /dev live below it).
    std::string rootDir() const;

private:
    friend struct UsbDev;
    void monitor();
    void dropSlot(int id, bool unhook);
    void syncSlot(UsbSlot &slot);
    bool addBoardDevice(UsbSlot &slot);
    void removeBoardDevice(UsbSlot &slot);
    std::string ensureRootHub(int bus);
    std::string ensureParents(int bus, const std::vector<uint8_t> &path);
    std::string addDevice(int bus, const std::string &name, const std::string &parentSys,
                          const std::vector<uint8_t> &descriptors, int devnum,
                          const std::string &vidpid, bool announce);
    bool writeDevice(const std::string &syspath, const char *const *attrs,
                     const char *const *props);
    int allocDevnum(int bus);

    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace kelsim
