// A plain libusb program that burns two components into whatever upgrade
// device it finds: one "run" component in the boot ROM, then - after the
// board came back in U-Boot - one "burn" component. Used as the COMMAND of
// "kelsim usb" in the end-to-end test. Exit status: 0 done, 10+ the step that
// failed.
#include "sim_host.h"

#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

libusb_device_handle *openAt(libusb_context *ctx, const std::string &port, int *addr) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle *h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i) {
        libusb_device_descriptor dd;
        libusb_get_device_descriptor(list[i], &dd);
        if (dd.idVendor != 0x33C3 || dd.idProduct != 0x6677)
            continue;
        uint8_t ports[7];
        int np = libusb_get_port_numbers(list[i], ports, 7);
        std::string p;
        for (int k = 0; k < np; ++k)
            p += (k ? "." : "") + std::to_string(ports[k]);
        if (p != port)
            continue;
        if (libusb_open(list[i], &h) == 0) {
            *addr = libusb_get_device_address(list[i]);
            if (libusb_claim_interface(h, 0) != 0) {
                libusb_close(h);
                h = nullptr;
            }
        }
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return h;
}

simtest::Host hostFor(libusb_device_handle *h) {
    simtest::Host host;
    host.out = [h](const std::vector<uint8_t> &d) {
        int m = 0;
        return libusb_bulk_transfer(h, 0x01, const_cast<uint8_t *>(d.data()), int(d.size()), &m,
                                    5000) == 0 &&
               m == int(d.size());
    };
    host.in = [h](size_t n) {
        std::vector<uint8_t> b(n);
        int m = 0;
        int r = libusb_bulk_transfer(h, 0x81, b.data(), int(n), &m, 5000);
        b.resize(r == 0 ? size_t(m) : 0);
        return b;
    };
    return host;
}

int stageOf(simtest::Host &host) {
    uint32_t len = 0;
    if (!host.send(simtest::header(0x00, 0)) || host.response(&len) != 0 || len != 108)
        return -1;
    bool ok = false;
    auto info = host.recv(108, &ok);
    return ok ? info[40] : -1;
}

}  // namespace

int main(int argc, char **argv) {
    std::string port = argc > 1 ? argv[1] : "4";
    size_t size = argc > 2 ? size_t(strtoul(argv[2], nullptr, 0)) : 100000;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 10;
    int rc = 0, addr1 = 0, addr2 = 0;
    libusb_device_handle *h = openAt(ctx, port, &addr1);
    if (!h) {
        libusb_exit(ctx);
        return 11;
    }
    simtest::Host host = hostFor(h);
    uint32_t block = 0;
    std::vector<uint8_t> spl(3000), rootfs(size);
    for (size_t i = 0; i < spl.size(); ++i)
        spl[i] = uint8_t(i * 7);
    for (size_t i = 0; i < rootfs.size(); ++i)
        rootfs[i] = uint8_t(i * 13 + 1);
    if (stageOf(host) != 0 || !host.value(0x11, &block))
        rc = 12;
    else if (host.burn("image.updater.spl", "spl", spl, block, "run") != 0)
        rc = 13;
    libusb_release_interface(h, 0);
    libusb_close(h);
    h = nullptr;

    // The board leaves the bus and comes back in U-Boot with a new address.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (!rc && !h && std::chrono::steady_clock::now() < deadline) {
        h = openAt(ctx, port, &addr2);
        if (h && addr2 == addr1) {
            libusb_release_interface(h, 0);
            libusb_close(h);
            h = nullptr;
        }
        if (!h)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!rc && !h)
        rc = 14;
    if (!rc) {
        simtest::Host host2 = hostFor(h);
        host2.maxPacket = 65536;
        if (stageOf(host2) != 1 || !host2.value(0x11, &block))
            rc = 15;
        else if (host2.burn("image.target.rootfs", "rootfs", rootfs, block) != 0)
            rc = 16;
    }
    if (h) {
        libusb_release_interface(h, 0);
        libusb_close(h);
    }
    libusb_exit(ctx);
    return rc;
}
