#include "board_report.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

const char *enabled(uint8_t flags, uint8_t bit) {
    return (flags & bit) ? "enabled" : "disabled";
}

}  // namespace

int board_report(upg_device *dev, bool probe_size, FILE *out, FILE *err) {
    upg_hw_info info;
    int ret;
    if (probe_size) {
        bool large = false;
        ret = kelupg_probe_packet_size(dev, &large);
        if (ret == 0)
            ret = kelupg_cmd_get_hwinfo(dev, &info);
    } else {
        ret = kelupg_cmd_get_hwinfo(dev, &info);
    }
    if (ret != 0) {
        fprintf(err, "error: the board did not report its hardware information\n");
        return -1;
    }
    const bool uboot = info.boot_stage != UPG_BOOT_STAGE_BROM;
    fprintf(out, "Boot stage:      %s\n", uboot ? "U-Boot" : "BROM");
    fprintf(out, "Packet size:     %d bytes\n", kelupg_get_max_transfer_size());
    fprintf(out, "Secure boot:     %s\n", enabled(info.security, UPG_SEC_SECURE_BOOT));
    fprintf(out, "Boot encryption: %s\n", enabled(info.security, UPG_SEC_BOOT_ENCRYPTION));
    fprintf(out, "Anti-rollback:   %s\n", enabled(info.security, UPG_SEC_ANTI_ROLLBACK));
    fprintf(out, "Boot device 1:   %u\n", unsigned(info.boot_dev1));
    fprintf(out, "Boot device 2:   %u\n", unsigned(info.boot_dev2));
    if (!uboot) {
        fprintf(out, "Storage media:   (reported in U-Boot only)\n");
        return 0;
    }
    // The board lists its media only in the storage-query work mode.
    upg_cfg cfg{};
    cfg.work_mode = UPG_WORK_MODE_STORAGE_QUERY;
    if (kelupg_cmd_set_upg_cfg(dev, &cfg) != 0) {
        fprintf(err, "error: the board refused the storage-query work mode\n");
        return -1;
    }
    uint8_t *media = nullptr;
    int n = kelupg_cmd_get_storage_media(dev, &media);
    if (n < 0) {
        fprintf(err, "error: the board did not list its storage media\n");
        return -1;
    }
    fprintf(out, "Storage media:  ");
    int count = kelupg_storage_media_count(n);
    for (int i = 0; i < count; i++) {
        char name[UPG_STORAGE_MEDIA_ENTRY_SIZE + 1];
        kelupg_storage_media_name(media, n, i, name, sizeof(name));
        fprintf(out, "%s %s", i ? "," : "", name);
    }
    fprintf(out, "%s\n", count ? "" : " none");
    free(media);
    return 0;
}

upg_device *board_open_usb(const std::string &location, FILE *err) {
    uint8_t bus = 0;
    uint8_t port[UPG_PORT_PATH_LEN];
    if (upg_dev_parse_location(location.c_str(), &bus, port) != 0) {
        fprintf(err, "error: \"%s\" is no USB location; write BUS:PORTS, e.g. 1:2-3\n",
                location.c_str());
        return nullptr;
    }
    upg_device *dev = upg_usb_dev_open(bus, port);
    if (!dev)
        fprintf(err, "error: no upgrade device could be opened at %s\n", location.c_str());
    return dev;
}

upg_device *board_open_serial(const std::string &port, int wait_ms, FILE *err) {
    upg_device *dev = upg_uart_dev_open(port.c_str(), nullptr);
    if (!dev) {
        fprintf(err, "error: cannot open serial port %s\n", port.c_str());
        return nullptr;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!upg_uart_dev_connected(dev)) {
        if (std::chrono::steady_clock::now() >= until) {
            fprintf(err, "error: no board answers on %s\n", port.c_str());
            upg_uart_dev_close(dev);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return dev;
}
