// usbfs emulation for one simulated board. Runs on umockdev's ioctl thread
// (onIoctl, onClientVanished) and on the simulator's monitor thread (vanish,
// pump); the state is guarded by mu_.
#include "usb_dev.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace kelsim {

namespace {

// What libusb needs to hand over a whole bulk transfer as one URB: without
// these it cuts transfers into 16 KiB pieces, which is not how the board's
// packets look on a real bus.
constexpr uint32_t kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                           USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                           USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

usbdevfs_urb *urbOf(const UsbUrb &u) {
    return reinterpret_cast<usbdevfs_urb *>(u.urb->data);
}

}  // namespace

UsbDev::UsbDev(Board &b, int bus_, int devnum_, UsbLinkModel link)
    : board(b), bus(bus_), devnum(devnum_), link_(link) {
    char node[64];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, devnum);
    devnode = node;
    if (link_.paced())
        pacer_ = std::thread([this] { pace(); });
}

UsbDev::~UsbDev() {
    if (pacer_.joinable()) {
        {
            std::lock_guard<std::mutex> l(mu_);
            stopPacing_ = true;
        }
        paceCv_.notify_all();
        pacer_.join();
    }
    std::lock_guard<std::mutex> l(mu_);
    for (auto &f : inFlight_)
        releaseLocked(f.urb);
    inFlight_.clear();
    for (auto &kv : clients_) {
        for (auto &u : kv.second.pendingIn)
            releaseLocked(u);
        for (auto &u : kv.second.done)
            releaseLocked(u);
    }
    clients_.clear();
    if (fifoFd_ >= 0)
        close(fifoFd_);
    if (handler) {
        // umockdev may outlive this appearance; its signals must not reach it.
        g_signal_handlers_disconnect_by_data(handler, this);
        g_object_unref(handler);
    }
}

void UsbDev::releaseLocked(UsbUrb &u) {
    if (u.buf)
        g_object_unref(u.buf);
    if (u.urb)
        g_object_unref(u.urb);
    u.buf = u.urb = nullptr;
}

// umockdev's device node is a regular file, which poll() always reports
// ready, so libusb's event thread would spin. A FIFO is writable only while
// its buffer has room: it is kept full while nothing can be reaped and
// drained as soon as a URB completes, which gives the client's poll() the
// same meaning as on a real usbfs node.
bool UsbDev::makeNode(const std::string &path) {
    nodePath = path;
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) != 0)
        return false;
    fifoFd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifoFd_ < 0)
        return false;
    std::lock_guard<std::mutex> l(mu_);
    signalled_ = true;
    updateSignalLocked();
    return true;
}

void UsbDev::updateSignalLocked() {
    if (fifoFd_ < 0)
        return;
    bool want = false;
    for (auto &kv : clients_)
        if (!kv.second.done.empty())
            want = true;
    if (want == signalled_)
        return;
    char chunk[4096];
    if (want) {
        while (read(fifoFd_, chunk, sizeof chunk) > 0) {
        }
    } else {
        std::memset(chunk, 0, sizeof chunk);
        while (write(fifoFd_, chunk, sizeof chunk) > 0) {
        }
    }
    signalled_ = want;
}

void UsbDev::completeLocked(UsbClient &c, UsbUrb u, int status, int actual) {
    usbdevfs_urb *urb = urbOf(u);
    urb->status = status;
    urb->actual_length = actual;
    c.done.push_back(u);
}

void UsbDev::transferredLocked(UMockdevIoctlClient *client, UsbClient &c, UsbUrb u,
                               int actual) {
    if (!link_.paced()) {
        completeLocked(c, u, 0, actual);
        return;
    }
    // The wire carries one transfer after the other. An OUT transfer starts
    // when it was handed over, an IN one when the board has its answer, or
    // either once the link is free. The emulation's own time to move the
    // bytes counts as wire time: the model is a floor, not an extra.
    const auto ready = u.endpoint == 0x01 ? u.submitted : std::chrono::steady_clock::now();
    linkFree_ = std::max(ready, linkFree_) + link_.transferTime(size_t(actual));
    // One that is through by now (the emulation took longer than the wire
    // would) completes at once, without a detour through the pacing thread.
    if (inFlight_.empty() && linkFree_ <= std::chrono::steady_clock::now()) {
        completeLocked(c, u, 0, actual);
        return;
    }
    inFlight_.push_back({client, u, 0, actual, linkFree_});
    if (inFlight_.size() == 1)
        paceCv_.notify_all();
}

void UsbDev::landLocked(InFlight &f) {
    auto it = clients_.find(f.client);
    if (it == clients_.end()) {
        releaseLocked(f.urb);
        return;
    }
    completeLocked(it->second, f.urb, f.status, f.actual);
}

// The pacing thread: hands each transfer to its client when its time is up.
void UsbDev::pace() {
    std::unique_lock<std::mutex> l(mu_);
    while (!stopPacing_) {
        if (inFlight_.empty()) {
            paceCv_.wait(l);
            continue;
        }
        const auto due = inFlight_.front().due;
        if (std::chrono::steady_clock::now() < due) {
            paceCv_.wait_until(l, due);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        while (!inFlight_.empty() && inFlight_.front().due <= now) {
            landLocked(inFlight_.front());
            inFlight_.pop_front();
        }
        updateSignalLocked();
    }
}

void UsbDev::serviceInLocked() {
    for (auto &kv : clients_) {
        UsbClient &c = kv.second;
        while (!c.pendingIn.empty()) {
            UsbUrb &u = c.pendingIn.front();
            if (u.length > 0 && !board.hasPendingAnswer())
                break;
            size_t n = 0;
            if (u.length > 0 && u.buf)
                n = board.hostReceive(static_cast<uint8_t *>(u.buf->data), size_t(u.length));
            if (u.length > 0 && n == 0)
                break;
            UsbUrb done = u;
            c.pendingIn.pop_front();
            transferredLocked(kv.first, c, done, static_cast<int>(n));
        }
    }
}

void UsbDev::vanish() {
    std::lock_guard<std::mutex> l(mu_);
    gone_ = true;
    goneAt_ = std::chrono::steady_clock::now();
    // What the board has taken or answered went through: a board that leaves
    // right after its last status (a "run" component, "reset") must not turn
    // that status into a failure.
    for (auto &f : inFlight_)
        landLocked(f);
    inFlight_.clear();
    for (auto &kv : clients_) {
        UsbClient &c = kv.second;
        while (!c.pendingIn.empty()) {
            UsbUrb u = c.pendingIn.front();
            c.pendingIn.pop_front();
            // What usbfs reports for URBs killed by a disconnect.
            completeLocked(c, u, -ESHUTDOWN, 0);
        }
    }
    claims_.clear();
    updateSignalLocked();
}

void UsbDev::pump() {
    std::lock_guard<std::mutex> l(mu_);
    if (gone_)
        return;
    serviceInLocked();
    updateSignalLocked();
}

bool UsbDev::idle() {
    std::lock_guard<std::mutex> l(mu_);
    // umockdev does not always report a client that closed a removed device
    // (seen after a few hundred appearances in a long run); without a limit
    // their addresses would never come free and the bus would fill up.
    return clients_.empty() ||
           (gone_ && std::chrono::steady_clock::now() - goneAt_ > std::chrono::seconds(30));
}

void UsbDev::onClientVanished(UMockdevIoctlClient *client) {
    std::lock_guard<std::mutex> l(mu_);
    for (auto f = inFlight_.begin(); f != inFlight_.end();) {
        if (f->client == client) {
            releaseLocked(f->urb);
            f = inFlight_.erase(f);
        } else {
            ++f;
        }
    }
    auto it = clients_.find(client);
    if (it != clients_.end()) {
        for (auto &u : it->second.pendingIn)
            releaseLocked(u);
        for (auto &u : it->second.done)
            releaseLocked(u);
        clients_.erase(it);
    }
    for (auto c = claims_.begin(); c != claims_.end();) {
        if (c->second == client)
            c = claims_.erase(c);
        else
            ++c;
    }
    updateSignalLocked();
}

gboolean UsbDev::onIoctl(UMockdevIoctlClient *client) {
    const auto arrived = std::chrono::steady_clock::now();
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> l(mu_);
    UsbClient &c = clients_[client];
    auto finish = [&](long res, int err) {
        updateSignalLocked();
        umockdev_ioctl_client_complete(client, res, err);
        return TRUE;
    };

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            if (!d)
                return finish(-1, EFAULT);
            uint32_t caps = kCaps;
            std::memcpy(d->data, &caps, sizeof caps);
            g_object_unref(d);
            return finish(0, 0);
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            size_t len = request == USBDEVFS_DISCONNECT_CLAIM ? sizeof(usbdevfs_disconnect_claim)
                                                              : sizeof(unsigned int);
            UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, len, nullptr);
            if (!d)
                return finish(-1, EFAULT);
            unsigned iface = 0;
            std::memcpy(&iface, d->data, sizeof iface);
            g_object_unref(d);
            if (gone_)
                return finish(-1, ENODEV);
            if (iface != 0)
                return finish(-1, request == USBDEVFS_RELEASEINTERFACE ? EINVAL : ENOENT);
            auto it = claims_.find(iface);
            if (request == USBDEVFS_RELEASEINTERFACE) {
                if (it == claims_.end() || it->second != client)
                    return finish(-1, EINVAL);
                claims_.erase(it);
                return finish(0, 0);
            }
            if (it != claims_.end() && it->second != client)
                return finish(-1, EBUSY);
            claims_[iface] = client;
            return finish(0, 0);
        }
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData *ud =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
            if (!ud)
                return finish(-1, EFAULT);
            UsbUrb u;
            u.urb = ud;
            u.addr = ud->client_addr;
            u.submitted = arrived;
            usbdevfs_urb *urb = urbOf(u);
            u.endpoint = urb->endpoint;
            u.length = urb->buffer_length;
            if (gone_) {
                releaseLocked(u);
                return finish(-1, ENODEV);
            }
            bool epOk = urb->type == USBDEVFS_URB_TYPE_BULK &&
                        (u.endpoint == 0x01 || u.endpoint == 0x81) && u.length >= 0;
            if (!epOk) {
                // Control requests and unknown endpoints: the board stalls them.
                releaseLocked(u);
                return finish(-1, urb->type == USBDEVFS_URB_TYPE_CONTROL ? EPIPE : ENOENT);
            }
            if (u.length > 0) {
                u.buf = umockdev_ioctl_data_resolve(ud, offsetof(usbdevfs_urb, buffer),
                                                    size_t(u.length), nullptr);
                if (!u.buf) {
                    releaseLocked(u);
                    return finish(-1, EFAULT);
                }
            }
            urb->status = 0;
            urb->actual_length = 0;
            if (u.endpoint == 0x01) {
                if (u.length > 0)
                    board.hostSent(static_cast<const uint8_t *>(u.buf->data), size_t(u.length));
                transferredLocked(client, c, u, u.length);
            } else {
                c.pendingIn.push_back(u);
            }
            serviceInLocked();
            return finish(0, 0);
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            if (c.done.empty())
                return finish(-1, gone_ ? ENODEV : EAGAIN);
            UMockdevIoctlData *p = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
            if (!p)
                return finish(-1, EFAULT);
            UsbUrb u = c.done.front();
            c.done.pop_front();
            umockdev_ioctl_data_set_ptr(p, 0, u.urb);
            g_object_unref(p);
            releaseLocked(u);
            return finish(0, 0);
        }
        case USBDEVFS_DISCARDURB: {
            unsigned long addr = 0;
            if (arg->data_len >= int(sizeof addr))
                std::memcpy(&addr, arg->data, sizeof addr);
            for (auto it = c.pendingIn.begin(); it != c.pendingIn.end(); ++it) {
                if (it->addr == addr) {
                    UsbUrb u = *it;
                    c.pendingIn.erase(it);
                    completeLocked(c, u, -ENOENT, 0);
                    return finish(0, 0);
                }
            }
            return finish(-1, EINVAL);
        }
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
            return finish(gone_ ? -1 : 0, gone_ ? ENODEV : 0);
        case USBDEVFS_RESET:
            return finish(gone_ ? -1 : 0, gone_ ? ENODEV : 0);
        case USBDEVFS_GETDRIVER:
            // No kernel driver is bound to the upgrade interface.
            return finish(-1, ENODATA);
        default:
            return finish(-1, ENOTTY);
    }
}

}  // namespace kelsim
