// The emulated USB bus: root hubs, hubs, dummy devices and the boards'
// appearances in umockdev's sysfs, plus the monitor thread that follows each
// board's presence (leaving the bus and coming back with a new address).
#include "usb_board.h"
#include "usb_dev.h"
#include "wire.h"

#include <umockdev.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kelsim {

namespace {

constexpr uint16_t kVendor = 0x33C3;
constexpr uint16_t kProduct = 0x6677;

std::vector<uint8_t> deviceDescriptor(uint8_t cls, uint16_t vid, uint16_t pid, uint16_t bcd) {
    std::vector<uint8_t> d(18, 0);
    d[0] = 18;
    d[1] = 1;  // DEVICE
    wr16(&d[2], 0x0200);
    d[4] = cls;
    d[7] = 64;  // ep0 packet size
    wr16(&d[8], vid);
    wr16(&d[10], pid);
    wr16(&d[12], bcd);
    d[17] = 1;  // one configuration
    return d;
}

// Configuration with one interface of class ifClass and the given endpoints
// (address, attributes, max packet, interval).
std::vector<uint8_t> configDescriptor(uint8_t ifClass,
                                      const std::vector<std::array<uint16_t, 4>> &eps) {
    std::vector<uint8_t> c(9, 0);
    c[0] = 9;
    c[1] = 2;  // CONFIGURATION
    c[4] = 1;  // one interface
    c[5] = 1;  // bConfigurationValue
    c[7] = 0x80;
    c[8] = 50;
    std::vector<uint8_t> i(9, 0);
    i[0] = 9;
    i[1] = 4;  // INTERFACE
    i[4] = static_cast<uint8_t>(eps.size());
    i[5] = ifClass;
    if (ifClass == 0x08) {
        i[6] = 0x06;  // SCSI
        i[7] = 0x50;  // bulk-only
    }
    c.insert(c.end(), i.begin(), i.end());
    for (auto &e : eps) {
        uint8_t ep[7] = {7, 5, uint8_t(e[0]), uint8_t(e[1]), 0, 0, uint8_t(e[3])};
        wr16(&ep[4], e[2]);
        c.insert(c.end(), ep, ep + 7);
    }
    wr16(&c[2], static_cast<uint16_t>(c.size()));
    return c;
}

std::vector<uint8_t> boardDescriptors() {
    auto d = deviceDescriptor(0x00, kVendor, kProduct, 0x0100);
    auto c = configDescriptor(0xFF, {{{0x01, 2, 512, 0}}, {{0x81, 2, 512, 0}}});
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

std::vector<uint8_t> hubDescriptors(bool root) {
    auto d = deviceDescriptor(0x09, root ? 0x1D6B : 0x05E3, root ? 0x0002 : 0x0608, 0x0606);
    auto c = configDescriptor(0x09, {{{0x81, 3, 1, 12}}});
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

std::vector<uint8_t> dummyDescriptors(int i) {
    static const uint16_t ids[][2] = {
        {0x0BDA, 0x0129}, {0x046D, 0xC52B}, {0x8087, 0x0A2B}, {0x0781, 0x5581}, {0x1A86, 0x7523}};
    const auto &id = ids[i % 5];
    auto d = deviceDescriptor(0x00, id[0], id[1], static_cast<uint16_t>(0x0100 + i));
    auto c = configDescriptor(0x08, {{{0x02, 2, 512, 0}}, {{0x83, 2, 512, 0}}});
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

std::string hex4(uint16_t v) {
    char b[8];
    snprintf(b, sizeof b, "%04x", v);
    return b;
}

std::string portName(int bus, const std::vector<uint8_t> &path, size_t n) {
    std::string s = std::to_string(bus) + "-";
    for (size_t i = 0; i < n; ++i) {
        if (i)
            s += ".";
        s += std::to_string(path[i]);
    }
    return s;
}

void mkdirs(const std::string &path) {
    for (size_t p = 1; p != std::string::npos; p = path.find('/', p + 1)) {
        if (p >= path.size())
            break;
        mkdir(path.substr(0, p).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

gboolean onIoctlCb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    return static_cast<UsbDev *>(self)->onIoctl(client);
}

void onVanishedCb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    static_cast<UsbDev *>(self)->onClientVanished(client);
}

}  // namespace

struct UsbSlot {
    int id = 0;
    Board *board = nullptr;
    int bus = 1;
    std::vector<uint8_t> path;
    std::string name;
    std::string parentSys;
    bool present = false;
    uint64_t gen = 0;
    int appearances = 0;
    int listener = -1;  // the board's destroy listener
    std::shared_ptr<UsbDev> dev;
};

struct UsbBoardSim::Impl {
    UMockdevTestbed *tb = nullptr;
    std::string root;
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::map<int, UsbSlot> slots;
    int nextId = 0;
    std::map<int, std::vector<bool>> devnumUsed;
    std::map<int, int> lastDevnum;
    std::map<std::string, std::string> hubs;  // sysfs name -> syspath
    std::map<std::string, int> hubDevnum;
    std::vector<std::pair<std::string, std::pair<int, int>>> dummies;  // syspath, (bus, devnum)
    std::map<int, int> dummyPorts;
    std::vector<std::shared_ptr<UsbDev>> graveyard;  // handlers that may still have clients
    std::thread mon;
    bool stop = false;
    bool uevents = true;
    UsbLinkModel link;
};

bool UsbBoardSim::available() {
    const char *pre = getenv("LD_PRELOAD");
    return pre && strstr(pre, "libumockdev-preload") != nullptr;
}

UsbBoardSim::UsbBoardSim() : d_(new Impl) {
    d_->tb = umockdev_testbed_new();
    gchar *r = umockdev_testbed_get_root_dir(d_->tb);
    d_->root = r;
    g_free(r);
    d_->mon = std::thread([this] { monitor(); });
}

UsbBoardSim::~UsbBoardSim() {
    {
        std::lock_guard<std::mutex> l(d_->mu);
        d_->stop = true;
    }
    d_->cv.notify_all();
    d_->mon.join();
    detach();
    std::lock_guard<std::mutex> l(d_->mu);
    for (auto &dev : d_->graveyard)
        umockdev_testbed_detach_ioctl(d_->tb, dev->devnode.c_str(), nullptr);
    // Handlers go only after umockdev stopped serving them.
    g_object_unref(d_->tb);
    d_->graveyard.clear();
}

std::string UsbBoardSim::rootDir() const {
    return d_->root;
}

int UsbBoardSim::allocDevnum(int bus) {
    auto &used = d_->devnumUsed[bus];
    if (used.empty())
        used.assign(128, false);
    used[1] = true;  // the root hub
    int &last = d_->lastDevnum[bus];
    if (last < 1)
        last = 1;
    // Like the kernel: addresses go round-robin, so a device that comes back
    // gets a new one.
    for (int k = 0; k < 126; ++k) {
        int n = last + 1 + k;
        n = (n - 2) % 126 + 2;
        if (!used[n]) {
            used[n] = true;
            last = n;
            return n;
        }
    }
    return -1;
}

std::string UsbBoardSim::addDevice(int bus, const std::string &name, const std::string &parentSys,
                                   const std::vector<uint8_t> &desc, int devnum,
                                   const std::string &vidpid, bool announce) {
    std::string syspath =
        (parentSys.empty() ? std::string("/sys/devices") : parentSys) + "/" + name;
    // The descriptors go in before the device exists: the "add" event may be
    // handled at once, and libusb reads them when it sees that event.
    std::string dir = d_->root + syspath;
    mkdirs(dir);
    {
        std::ofstream f(dir + "/descriptors", std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(desc.data()), std::streamsize(desc.size()));
    }
    char node[64];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, devnum);
    std::string busS = std::to_string(bus), devS = std::to_string(devnum);
    char busP[8], devP[8];
    snprintf(busP, sizeof busP, "%03d", bus);
    snprintf(devP, sizeof devP, "%03d", devnum);
    std::string vid = vidpid.substr(0, 4), pid = vidpid.substr(5, 4);
    std::string cls = hex4(desc[4]).substr(2);
    std::string product = vid + "/" + pid + "/" + hex4(rd32(&desc[12]) & 0xFFFF);
    std::string type = cls + "/0/0";
    std::string devpath = name.substr(name.find('-') == std::string::npos ? 0 : name.find('-') + 1);
    if (name.rfind("usb", 0) == 0)
        devpath = "0";
    const gchar *attrs[] = {"busnum",
                            busS.c_str(),
                            "devnum",
                            devS.c_str(),
                            "speed",
                            "480",
                            "bConfigurationValue",
                            "1",
                            "bNumConfigurations",
                            "1",
                            "bDeviceClass",
                            cls.c_str(),
                            "idVendor",
                            vid.c_str(),
                            "idProduct",
                            pid.c_str(),
                            "devpath",
                            devpath.c_str(),
                            "version",
                            " 2.00",
                            nullptr};
    const gchar *props[] = {"SUBSYSTEM", "usb",           "DEVTYPE", "usb_device", "DEVNAME",
                            node,        "BUSNUM",        busP,      "DEVNUM",     devP,
                            "PRODUCT",   product.c_str(), "TYPE",    type.c_str(), nullptr};
    if (!announce)
        return writeDevice(syspath, attrs, props) ? syspath : std::string();
    gchar *p = umockdev_testbed_add_devicev(
        d_->tb, "usb", name.c_str(), parentSys.empty() ? nullptr : parentSys.c_str(),
        const_cast<gchar **>(attrs), const_cast<gchar **>(props));
    std::string out = p ? p : "";
    g_free(p);
    return out;
}

// What the kernel does when a device appears, without the event umockdev would
// send with it: the device's directory with its attributes and its "uevent"
// file, the subsystem link and the entry under /sys/bus/usb/devices. umockdev
// removes such an entry like one of its own.
bool UsbBoardSim::writeDevice(const std::string &syspath, const char *const *attrs,
                              const char *const *props) {
    std::string dir = d_->root + syspath;
    mkdirs(dir);
    auto put = [&dir](const std::string &name, const std::string &text) {
        std::ofstream f(dir + "/" + name, std::ios::binary | std::ios::trunc);
        f << text;
    };
    for (int i = 0; attrs[i] && attrs[i + 1]; i += 2)
        put(attrs[i], attrs[i + 1]);
    std::string uevent;
    for (int i = 0; props[i] && props[i + 1]; i += 2) {
        std::string value = props[i + 1];
        if (strcmp(props[i], "DEVNAME") == 0 && value.rfind("/dev/", 0) == 0)
            value = value.substr(5);  // the kernel names the node below /dev
        uevent += std::string(props[i]) + "=" + value + "\n";
    }
    put("uevent", uevent);
    std::string below = syspath.substr(strlen("/sys/"));
    std::string up;
    for (size_t n = std::count(below.begin(), below.end(), '/') + 1; n > 0; --n)
        up += "../";
    std::string busDir = d_->root + "/sys/bus/usb/devices";
    mkdirs(busDir);
    std::string name = syspath.substr(syspath.rfind('/') + 1);
    return symlink((up + "bus/usb").c_str(), (dir + "/subsystem").c_str()) == 0 &&
           symlink(("../../../" + below).c_str(), (busDir + "/" + name).c_str()) == 0;
}

std::string UsbBoardSim::ensureRootHub(int bus) {
    std::string name = "usb" + std::to_string(bus);
    auto it = d_->hubs.find(name);
    if (it != d_->hubs.end())
        return it->second;
    auto &used = d_->devnumUsed[bus];
    if (used.empty())
        used.assign(128, false);
    used[1] = true;
    std::string sys = addDevice(bus, name, "", hubDescriptors(true), 1, "1d6b:0002", true);
    d_->hubs[name] = sys;
    d_->hubDevnum[name] = 1;
    return sys;
}

std::string UsbBoardSim::ensureParents(int bus, const std::vector<uint8_t> &path) {
    std::string parent = ensureRootHub(bus);
    for (size_t n = 1; n < path.size(); ++n) {
        std::string name = portName(bus, path, n);
        auto it = d_->hubs.find(name);
        if (it != d_->hubs.end()) {
            parent = it->second;
            continue;
        }
        int devnum = allocDevnum(bus);
        parent = addDevice(bus, name, parent, hubDescriptors(false), devnum, "05e3:0608", true);
        d_->hubs[name] = parent;
        d_->hubDevnum[name] = devnum;
    }
    return parent;
}

int UsbBoardSim::attach(Board &board, int bus, std::vector<uint8_t> portPath) {
    if (bus < 1 || bus > 254 || portPath.empty() || portPath.size() > 7)
        return -1;
    for (uint8_t p : portPath)
        if (p == 0)
            return -1;
    std::unique_lock<std::mutex> l(d_->mu);
    std::string name = portName(bus, portPath, portPath.size());
    for (auto &kv : d_->slots)
        if (kv.second.name == name)
            return -1;
    if (d_->hubs.count(name))
        return -1;
    UsbSlot s;
    s.id = d_->nextId++;
    s.board = &board;
    s.bus = bus;
    s.path = portPath;
    s.name = name;
    s.parentSys = ensureParents(bus, portPath);
    auto &slot = d_->slots[s.id] = s;
    int id = slot.id;
    // A board destroyed while attached takes itself off the bus first.
    slot.listener = board.addDestroyListener([this, id] { dropSlot(id, false); });
    syncSlot(slot);
    return id;
}

bool UsbBoardSim::addBoardDevice(UsbSlot &slot) {
    int devnum = allocDevnum(slot.bus);
    if (devnum < 0)
        return false;
    auto dev = std::make_shared<UsbDev>(*slot.board, slot.bus, devnum, d_->link);
    dev->handler = umockdev_ioctl_base_new();
    g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(onIoctlCb), dev.get());
    g_signal_connect(dev->handler, "client-vanished", G_CALLBACK(onVanishedCb), dev.get());
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(d_->tb, dev->devnode.c_str(), dev->handler, &err)) {
        if (err)
            g_error_free(err);
        d_->devnumUsed[slot.bus][devnum] = false;
        return false;
    }
    std::string node = d_->root + dev->devnode;
    mkdirs(node.substr(0, node.rfind('/')));
    dev->makeNode(node);
    dev->syspath = addDevice(slot.bus, slot.name, slot.parentSys, boardDescriptors(), devnum,
                             "33c3:6677", d_->uevents);
    slot.dev = dev;
    slot.present = true;
    ++slot.appearances;
    return true;
}

void UsbBoardSim::removeBoardDevice(UsbSlot &slot) {
    auto dev = slot.dev;
    slot.dev.reset();
    slot.present = false;
    if (!dev)
        return;
    dev->vanish();
    // umockdev does not announce a removal by itself.
    if (d_->uevents)
        umockdev_testbed_uevent(d_->tb, dev->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(d_->tb, dev->syspath.c_str());
    unlink(dev->nodePath.c_str());
    // The handler stays attached while clients still hold the old node open:
    // they must still be able to reap their failed transfers.
    d_->graveyard.push_back(dev);
}

void UsbBoardSim::syncSlot(UsbSlot &slot) {
    bool on = slot.board->online();
    uint64_t gen = slot.board->generation();
    if (slot.present && (!on || gen != slot.gen)) {
        removeBoardDevice(slot);
        d_->cv.notify_all();
    }
    if (!slot.present && on) {
        slot.gen = gen;
        if (addBoardDevice(slot))
            d_->cv.notify_all();
    }
}

void UsbBoardSim::monitor() {
    std::unique_lock<std::mutex> l(d_->mu);
    while (!d_->stop) {
        d_->cv.wait_for(l, std::chrono::milliseconds(5));
        if (d_->stop)
            break;
        for (auto &kv : d_->slots) {
            syncSlot(kv.second);
            if (kv.second.dev)
                kv.second.dev->pump();
        }
        // Old appearances whose clients are all gone can be dropped.
        for (auto it = d_->graveyard.begin(); it != d_->graveyard.end();) {
            if ((*it)->idle()) {
                umockdev_testbed_detach_ioctl(d_->tb, (*it)->devnode.c_str(), nullptr);
                d_->devnumUsed[(*it)->bus][(*it)->devnum] = false;
                it = d_->graveyard.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void UsbBoardSim::dropSlot(int id, bool unhook) {
    std::lock_guard<std::mutex> l(d_->mu);
    auto it = d_->slots.find(id);
    if (it == d_->slots.end())
        return;
    removeBoardDevice(it->second);
    if (unhook)
        it->second.board->removeDestroyListener(it->second.listener);
    d_->slots.erase(it);
    d_->cv.notify_all();
}

void UsbBoardSim::detach(int id) {
    dropSlot(id, true);
}

void UsbBoardSim::detach() {
    std::vector<int> ids;
    {
        std::lock_guard<std::mutex> l(d_->mu);
        for (auto &kv : d_->slots)
            ids.push_back(kv.first);
    }
    for (int id : ids)
        dropSlot(id, true);
    std::lock_guard<std::mutex> l(d_->mu);
    for (auto &dm : d_->dummies) {
        umockdev_testbed_uevent(d_->tb, dm.first.c_str(), "remove");
        umockdev_testbed_remove_device(d_->tb, dm.first.c_str());
    }
    d_->dummies.clear();
    d_->cv.notify_all();
}

int UsbBoardSim::addDummyDevices(int n, int bus) {
    std::lock_guard<std::mutex> l(d_->mu);
    std::string parent = ensureRootHub(bus);
    int &port = d_->dummyPorts[bus];
    if (port == 0)
        port = 20;
    for (int i = 0; i < n; ++i) {
        int devnum = allocDevnum(bus);
        if (devnum < 0)
            break;
        std::string name = std::to_string(bus) + "-" + std::to_string(port++);
        auto desc = dummyDescriptors(int(d_->dummies.size()));
        std::string vidpid =
            hex4(uint16_t(desc[8] | desc[9] << 8)) + ":" + hex4(uint16_t(desc[10] | desc[11] << 8));
        std::string sys = addDevice(bus, name, parent, desc, devnum, vidpid, true);
        d_->dummies.push_back({sys, {bus, devnum}});
    }
    int count = 0;
    for (auto &dm : d_->dummies)
        if (dm.second.first == bus)
            ++count;
    return count;
}

void UsbBoardSim::setUevents(bool on) {
    std::lock_guard<std::mutex> l(d_->mu);
    d_->uevents = on;
}

void UsbBoardSim::setLink(UsbLinkModel link) {
    std::lock_guard<std::mutex> l(d_->mu);
    d_->link = link;
}

int UsbBoardSim::deviceAddress(int id) const {
    std::lock_guard<std::mutex> l(d_->mu);
    auto it = d_->slots.find(id);
    return it != d_->slots.end() && it->second.dev ? it->second.dev->devnum : 0;
}

bool UsbBoardSim::present(int id) const {
    std::lock_guard<std::mutex> l(d_->mu);
    auto it = d_->slots.find(id);
    return it != d_->slots.end() && it->second.present;
}

int UsbBoardSim::appearances(int id) const {
    std::lock_guard<std::mutex> l(d_->mu);
    auto it = d_->slots.find(id);
    return it != d_->slots.end() ? it->second.appearances : 0;
}

bool UsbBoardSim::waitPresent(int id, bool want, int timeoutMs) const {
    std::unique_lock<std::mutex> l(d_->mu);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto is = [&] {
        auto it = d_->slots.find(id);
        return it != d_->slots.end() && it->second.present;
    };
    while (is() != want && std::chrono::steady_clock::now() < deadline)
        d_->cv.wait_until(l, deadline);
    return is() == want;
}

}  // namespace kelsim
