// One appearance of a simulated board on the emulated USB bus: its usbfs
// ioctl handler (URB queues per open file descriptor, interface claims) and
// the FIFO that stands in for its device node, and the pacing of its
// transfers by a link model. Internal to UsbBoardSim.
#pragma once

#include "board.h"
#include "usb_link.h"

#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kelsim {

struct UsbUrb {
    UMockdevIoctlData *urb = nullptr;  // the client's struct usbdevfs_urb (local copy)
    UMockdevIoctlData *buf = nullptr;  // its transfer buffer (local copy), may be null
    unsigned long addr = 0;            // the URB's address in the client
    uint8_t endpoint = 0;
    int length = 0;
    // When the client handed it over: the wire is busy with an OUT transfer
    // from then on, however long the emulation takes to move its bytes.
    std::chrono::steady_clock::time_point submitted{};
};

struct UsbClient {
    std::deque<UsbUrb> pendingIn;  // IN URBs the board has not answered yet
    std::deque<UsbUrb> done;       // URBs waiting to be reaped
};

struct UsbDev {
    UsbDev(Board &b, int bus, int devnum, UsbLinkModel link = {});
    ~UsbDev();

    // Creates the FIFO device node at path and opens our end of it.
    bool makeNode(const std::string &path);

    // Ends the device's life on the bus: pending URBs complete with
    // "device removed", new submissions fail with ENODEV.
    void vanish();
    // Serves IN URBs that waited for an answer (the board was mute, or an
    // answer appeared later).
    void pump();
    // True when no client has the device open any more, or when it left the
    // bus long enough ago that no client can still be waiting on it.
    bool idle();

    gboolean onIoctl(UMockdevIoctlClient *client);
    void onClientVanished(UMockdevIoctlClient *client);

    Board &board;
    int bus;
    int devnum;
    std::string devnode;   // /dev/bus/usb/BBB/DDD as clients open it
    std::string nodePath;  // the FIFO inside the testbed
    std::string syspath;
    UMockdevIoctlBase *handler = nullptr;

private:
    // A transfer the board has dealt with that is still on the wire.
    struct InFlight {
        UMockdevIoctlClient *client;
        UsbUrb urb;
        int status;
        int actual;
        std::chrono::steady_clock::time_point due;
    };

    void serviceInLocked();
    // Completes a transfer of `actual` bytes the board has dealt with: at once on an
    // unpaced link, else when the link model says it has gone through.
    void transferredLocked(UMockdevIoctlClient *client, UsbClient &c, UsbUrb u, int actual);
    void landLocked(InFlight &f);
    void pace();
    void completeLocked(UsbClient &c, UsbUrb u, int status, int actual);
    void updateSignalLocked();
    void releaseLocked(UsbUrb &u);

    std::mutex mu_;
    bool gone_ = false;
    std::chrono::steady_clock::time_point goneAt_{};
    int fifoFd_ = -1;
    bool signalled_ = false;
    std::map<UMockdevIoctlClient *, UsbClient> clients_;
    std::map<unsigned, UMockdevIoctlClient *> claims_;

    UsbLinkModel link_;
    std::chrono::steady_clock::time_point linkFree_{};  // when the wire is next idle
    std::deque<InFlight> inFlight_;                      // in order of their due time
    std::condition_variable paceCv_;
    bool stopPacing_ = false;
    std::thread pacer_;
};

}  // namespace kelsim
