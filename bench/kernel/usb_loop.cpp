// The plain loop the kernel benchmark sets the burner against: one burn
// component of MiB filler bytes sent to a U-Boot board with the upgrade
// library's own command functions, nothing around them (no image file, no
// worker thread, no link layer, no Qt): meta record, block size, data start,
// 1 MiB data updates (what the burn worker hands over per call), final, and
// the board's checksum and burn result checked.
//
// Usage: usb_loop BUS:PORT MiB   (waits up to 10 s for the board to appear)
// Prints "loop: BYTES bytes SECONDS s" on success; exit status 0, else 1.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "image.h"
#include "libkelupg.h"

namespace {

constexpr uint32_t kChunk = 1u << 20;

uint32_t crc32_update(uint32_t crc, const uint8_t *p, size_t n) {
    static uint32_t table[256];
    if (!table[1])
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    crc = ~crc;
    while (n--)
        crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int fail(const char *what) {
    fprintf(stderr, "usb_loop: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    unsigned bus = 0, port = 0, mib = 0;
    if (argc != 3 || sscanf(argv[1], "%u:%u", &bus, &port) != 2 || bus > 255 || port == 0 ||
        port > 255 || (mib = unsigned(atoi(argv[2]))) == 0 || mib > 2048) {
        fprintf(stderr, "usage: usb_loop BUS:PORT MiB\n");
        return 2;
    }
    const uint32_t total = mib << 20;
    std::vector<uint8_t> chunk(kChunk);
    for (uint32_t i = 0; i < kChunk; i++)
        chunk[i] = uint8_t(i * 13 + (i >> 10));
    uint32_t crc = 0;
    for (uint32_t done = 0; done < total; done += kChunk)
        crc = crc32_update(crc, chunk.data(), kChunk);

    FwcMeta meta;
    memset(&meta, 0, sizeof(meta));
    memcpy(meta.magic, "KEL.FWC", 7);
    strcpy(meta.name, "image.target.rootfs");
    strcpy(meta.partition, "rootfs");
    meta.size = total;
    meta.crc = crc;
    strcpy(meta.attributes, "burn");
    uint8_t record[UPG_FWC_META_SIZE] = {0};
    memcpy(record, &meta, sizeof(meta));

    // The clock runs from the start of the search, as the burner's does from
    // its start: both wait for the same enumeration.
    const double t0 = now_s();
    if (libkelupg_init() != 0)
        return fail("cannot start libusb");
    const uint8_t path[UPG_PORT_PATH_LEN] = {uint8_t(port)};
    upg_device *dev = nullptr;
    while (!(dev = upg_usb_dev_open(uint8_t(bus), path)) && now_s() - t0 < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!dev)
        return fail("no board at that port");
    bool large = false;
    if (kelupg_probe_packet_size(dev, &large) != 0)
        return fail("the board does not answer");
    if (kelupg_cmd_set_fwc_meta(dev, record) != 0 || kelupg_cmd_get_block_size(dev) <= 0 ||
        kelupg_cmd_send_fwc_data_start(dev, total) != 0)
        return fail("the board refused the meta record");
    for (uint32_t done = 0; done < total; done += kChunk)
        if (kelupg_cmd_send_fwc_data_update(dev, chunk.data(), int(kChunk)) != int(kChunk))
            return fail("a data transfer failed");
    uint32_t got = 0, result = 1;
    if (kelupg_cmd_send_fwc_data_final(dev) != 0 || kelupg_cmd_get_fwc_crc(dev, &got) != 0 ||
        kelupg_cmd_get_fwc_burn_result(dev, &result) != 0)
        return fail("the board did not end the component");
    const double seconds = now_s() - t0;
    upg_usb_dev_close(dev);
    libkelupg_exit();
    if (got != crc || result != 0) {
        fprintf(stderr, "usb_loop: checksum %08x (sent %08x), burn result %u\n", got, crc, result);
        return 1;
    }
    printf("loop: %u bytes %.3f s\n", total, seconds);
    return 0;
}
