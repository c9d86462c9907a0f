// The board as a configfs/FunctionFS gadget. Four threads per gadget: ep0
// (FunctionFS events and stray control requests), OUT (the host's transfers,
// framed by the packet headers so that every read ends where the host's
// transfer ends), IN (the board's answers) and presence (bind/unbind as the
// board comes and goes).
#include "gadget_ffs.h"
#include "wire.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>

namespace kelsim {

namespace {

constexpr const char *kConfigfs = "/sys/kernel/config/usb_gadget";
constexpr size_t kCbwSize = 31;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
// The largest single read: a multiple of every bulk packet size, small enough
// for the kernel's buffer of one request.
constexpr size_t kReadChunk = 64 * 1024;

bool writeText(const std::string &path, const std::string &text, std::string *error = nullptr) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    int e = errno;
    if (fd >= 0)
        close(fd);
    if (!ok && error)
        *error = "cannot write " + path + ": " + strerror(e);
    return ok;
}

bool makeDir(const std::string &path, std::string *error) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
}

// Blocked endpoint I/O ends with EINTR when this signal arrives.
void onWake(int) {}

void installWakeHandler() {
    struct sigaction sa {};
    sa.sa_handler = onWake;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGUSR2, &sa, nullptr);
}

#pragma pack(push, 1)
struct EndpointDesc {
    uint8_t bLength, bDescriptorType, bEndpointAddress, bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
};
struct SpeedDescs {
    usb_interface_descriptor intf;
    EndpointDesc out, in;
};
struct Descriptors {
    usb_functionfs_descs_head_v2 header;
    uint32_t fsCount, hsCount;
    SpeedDescs fs, hs;
};
struct Strings {
    usb_functionfs_strings_head header;
    uint16_t lang;
    char text[8];
};
#pragma pack(pop)

SpeedDescs speedDescs(uint16_t packet) {
    SpeedDescs d{};
    d.intf.bLength = USB_DT_INTERFACE_SIZE;
    d.intf.bDescriptorType = USB_DT_INTERFACE;
    d.intf.bNumEndpoints = 2;
    d.intf.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    d.intf.iInterface = 1;
    d.out = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x01, USB_ENDPOINT_XFER_BULK, packet, 0};
    d.in = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x81, USB_ENDPOINT_XFER_BULK, packet, 0};
    return d;
}

}  // namespace

FfsGadget::FfsGadget(Board &board) : board_(board) {}

FfsGadget::~FfsGadget() {
    stop();
}

std::vector<std::string> FfsGadget::controllers() {
    std::vector<std::string> names;
    if (DIR *d = opendir("/sys/class/udc")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool FfsGadget::start(const std::string &name, const std::string &udc, std::string *error) {
    name_ = name;
    udc_ = udc;
    gadgetDir_ = std::string(kConfigfs) + "/" + name;
    const std::string fn = gadgetDir_ + "/functions/ffs." + name;
    const std::string cfg = gadgetDir_ + "/configs/c.1";
    if (!makeDir(gadgetDir_, error))
        return false;
    const std::string strings = gadgetDir_ + "/strings/0x409";
    if (!writeText(gadgetDir_ + "/idVendor", "0x33c3", error) ||
        !writeText(gadgetDir_ + "/idProduct", "0x6677", error) ||
        !writeText(gadgetDir_ + "/bcdDevice", "0x0100", error) ||
        !writeText(gadgetDir_ + "/bcdUSB", "0x0200", error) || !makeDir(strings, error) ||
        !writeText(strings + "/manufacturer", "kelsim", error) ||
        !writeText(strings + "/product", "simulated board", error) ||
        !writeText(strings + "/serialnumber", name, error) || !makeDir(cfg, error) ||
        !writeText(cfg + "/MaxPower", "100", error) || !makeDir(fn, error)) {
        cleanUp();
        return false;
    }
    if (symlink(fn.c_str(), (cfg + "/ffs." + name).c_str()) != 0) {
        *error = "cannot link the function into the configuration: " + std::string(strerror(errno));
        cleanUp();
        return false;
    }
    linked_ = true;

    mkdir("/run/kelsim", 0755);
    mountDir_ = "/run/kelsim/" + name;
    if (!makeDir(mountDir_, error)) {
        cleanUp();
        return false;
    }
    if (mount(name.c_str(), mountDir_.c_str(), "functionfs", 0, nullptr) != 0) {
        *error = "cannot mount FunctionFS " + name + ": " + strerror(errno);
        cleanUp();
        return false;
    }
    mounted_ = true;
    ep0_ = open((mountDir_ + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) {
        *error = "cannot open " + mountDir_ + "/ep0: " + strerror(errno);
        cleanUp();
        return false;
    }
    Descriptors d{};
    d.header.magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2;
    d.header.length = sizeof d;
    d.header.flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC;
    d.fsCount = 3;
    d.hsCount = 3;
    d.fs = speedDescs(64);
    d.hs = speedDescs(512);
    Strings s{};
    s.header.magic = FUNCTIONFS_STRINGS_MAGIC;
    s.header.length = sizeof s;
    s.header.str_count = 1;
    s.header.lang_count = 1;
    s.lang = 0x0409;
    memcpy(s.text, "upgrade", 8);
    if (write(ep0_, &d, sizeof d) != ssize_t(sizeof d) ||
        write(ep0_, &s, sizeof s) != ssize_t(sizeof s)) {
        *error = "FunctionFS refused the descriptors: " + std::string(strerror(errno));
        cleanUp();
        return false;
    }
    // The descriptors name OUT first: ep1 is the host's way in, ep2 its way out.
    epOut_ = open((mountDir_ + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    epIn_ = open((mountDir_ + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (epOut_ < 0 || epIn_ < 0) {
        *error = "cannot open the endpoints of " + mountDir_ + ": " + strerror(errno);
        cleanUp();
        return false;
    }
    installWakeHandler();
    stop_ = false;
    finished_ = 0;
    const std::function<void()> loops[] = {[this] { ep0Loop(); }, [this] { outLoop(); },
                                           [this] { inLoop(); }, [this] { presenceLoop(); }};
    for (const auto &loop : loops)
        threads_.emplace_back([this, loop] {
            loop();
            ++finished_;
        });
    return true;
}

void FfsGadget::stop() {
    if (!threads_.empty()) {
        stop_ = true;
        cv_.notify_all();
        setBound(false);
        // Threads blocked in endpoint I/O only wake for a signal; repeat it
        // until each has seen the stop flag.
        // A thread that has ended must not be signalled: threads are only
        // joined once every one has left its loop.
        while (finished_ < int(threads_.size())) {
            for (auto &t : threads_)
                pthread_kill(t.native_handle(), SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (auto &t : threads_)
            t.join();
        threads_.clear();
    }
    cleanUp();
}

void FfsGadget::cleanUp() {
    if (bound_)
        setBound(false);
    for (int *fd : {&epIn_, &epOut_, &ep0_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (mounted_)
        umount(mountDir_.c_str());
    mounted_ = false;
    if (!mountDir_.empty())
        rmdir(mountDir_.c_str());
    if (gadgetDir_.empty())
        return;
    // configfs takes a gadget apart only in the reverse order of its making.
    const std::string cfg = gadgetDir_ + "/configs/c.1";
    if (linked_)
        unlink((cfg + "/ffs." + name_).c_str());
    linked_ = false;
    rmdir((cfg + "/strings/0x409").c_str());
    rmdir(cfg.c_str());
    rmdir((gadgetDir_ + "/functions/ffs." + name_).c_str());
    rmdir((gadgetDir_ + "/strings/0x409").c_str());
    rmdir(gadgetDir_.c_str());
    gadgetDir_.clear();
}

bool FfsGadget::waitConfigured(int timeoutMs) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [this] { return configured_; });
}

int FfsGadget::appearances() const {
    return appearances_;
}

bool FfsGadget::setBound(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    if (bound_ == on)
        return true;
    // Unbinding is the cable pulled out: every transfer in flight ends.
    if (!writeText(gadgetDir_ + "/UDC", on ? udc_ : std::string("\n")))
        return false;
    bound_ = on;
    if (on)
        ++appearances_;
    return true;
}

void FfsGadget::ep0Loop() {
    usb_functionfs_event ev[4];
    while (!stop_) {
        ssize_t n = read(ep0_, ev, sizeof ev);
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        for (ssize_t i = 0; i + ssize_t(sizeof ev[0]) <= n; i += sizeof ev[0]) {
            const usb_functionfs_event &e = ev[i / sizeof ev[0]];
            if (e.type == FUNCTIONFS_ENABLE || e.type == FUNCTIONFS_DISABLE ||
                e.type == FUNCTIONFS_UNBIND) {
                std::lock_guard<std::mutex> l(mu_);
                configured_ = e.type == FUNCTIONFS_ENABLE;
                cv_.notify_all();
            }
            if (e.type != FUNCTIONFS_SETUP)
                continue;
            // The board knows no control requests of its own: stall them
            // (an I/O in the wrong direction is FunctionFS's way to say so).
            if (e.u.setup.bRequestType & USB_DIR_IN) {
                if (read(ep0_, nullptr, 0) < 0) {
                }
            } else if (write(ep0_, nullptr, 0) < 0) {
            }
        }
    }
}

void FfsGadget::outLoop() {
    std::vector<uint8_t> buf(kReadChunk);
    uint64_t dataLeft = 0;  // bytes of the announced data phase still to come
    while (!stop_) {
        // A read that asked for more than the host's transfer holds would wait
        // for the next transfer (a length a multiple of the packet size ends
        // without a short packet): ask for exactly the data phase the last
        // packet header announced, or for one packet when a header is due.
        size_t want = dataLeft ? size_t(std::min<uint64_t>(dataLeft, kReadChunk)) : 512;
        ssize_t n = read(epOut_, buf.data(), want);
        if (n < 0) {
            // Disconnected (or woken to stop): whatever was under way is gone;
            // the board forgets it too when it comes back.
            dataLeft = 0;
            if (errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (dataLeft) {
            dataLeft -= std::min<uint64_t>(dataLeft, uint64_t(n));
        } else if (size_t(n) == kCbwSize && rd32(buf.data()) == kCbwSignature) {
            if (buf[12] == 0x00)
                dataLeft = rd32(buf.data() + 8);
            else
                inWanted_ = rd32(buf.data() + 8);
        }
        board_.hostSent(buf.data(), size_t(n));
        cv_.notify_all();
    }
}

void FfsGadget::inLoop() {
    std::vector<uint8_t> buf(1 << 20);
    while (!stop_) {
        {
            std::unique_lock<std::mutex> l(mu_);
            cv_.wait_for(l, std::chrono::milliseconds(2));
        }
        while (!stop_ && board_.hasPendingAnswer()) {
            writing_ = true;
            const size_t n = board_.hostReceive(buf.data(), buf.size());
            if (n > 0 && write(epIn_, buf.data(), n) < 0) {
                // The host went away (or never asked): the answer is lost, as
                // a board's is when the cable is pulled.
            } else if (n > 0 && n < inWanted_.exchange(0) && n % 512 == 0 &&
                       write(epIn_, buf.data(), 0) < 0) {
                // A data phase shorter than the host asked for that ends on a
                // packet boundary needs a zero-length packet to end the
                // host's transfer. Lost like the answer when the host left.
            }
            writing_ = false;
        }
    }
}

void FfsGadget::presenceLoop() {
    uint64_t gen = board_.generation();
    while (!stop_) {
        const bool on = board_.online();
        const uint64_t g = board_.generation();
        bool bound;
        {
            std::lock_guard<std::mutex> l(mu_);
            bound = bound_;
        }
        if (bound && (!on || g != gen)) {
            // The board leaves right after handing over its last answer (the
            // CSW of a "run" component): let the host take it first, as the
            // real board's transfer completes before it resets.
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
            while (writing_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            setBound(false);
        }
        if (!bound && on && setBound(true))
            gen = g;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace kelsim
