// Writes the seed corpora of the fuzz targets into DIR/<target>/: images made
// with the tests' image packer, partition lists like the ones images and
// boards carry, and well-formed exchanges for the UART and command targets.
// Usage: fuzz_seeds DIR
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "image.h"
#include "image_pack.h"
#include "libkelupg.h"
#include "libuart.h"
#include "pack_sample.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char *const kPartitionLists[] = {
    "1m(spl),2m(uboot),16m(kernel),-(rootfs)",
    "s:2048k(x),1m@0X200000(y),-(z),4m@64m(w)",
    "16M(a),16MB(b),16MiB(c),16m(d),0x10k(e),010(f),1g(g),3kiB(h),5(i)",
    "512k@0x4400(env),0x100000(boot_partition_with_a_long_name),-(data)",
};

std::string g_dir;
int g_failures = 0;

void put(const std::string &target, const std::string &name, const Bytes &data) {
    const std::string dir = g_dir + "/" + target;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "fuzz_seeds: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        ++g_failures;
        return;
    }
    const std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
        fprintf(stderr, "fuzz_seeds: cannot write %s\n", path.c_str());
        ++g_failures;
    }
}

void le16(Bytes &b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void le32(Bytes &b, uint32_t v) {
    le16(b, uint16_t(v));
    le16(b, uint16_t(v >> 16));
}

Bytes filler(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 13);
    return b;
}

// ---- images

ImagePackComponent component(const std::string &name, const std::string &partition, size_t size,
                             const std::string &attributes) {
    return packtest::component(name, partition, filler(size, uint8_t(name.size())), attributes);
}

void image(const std::string &name, const ImagePackSpec &spec) {
    Bytes out;
    std::string error;
    if (image_pack_build(spec, &out, &error) != 0) {
        fprintf(stderr, "fuzz_seeds: cannot pack %s: %s\n", name.c_str(), error.c_str());
        ++g_failures;
        return;
    }
    put("image", name, out);
}

void images() {
    ImagePackSpec full = packtest::evbSpec();
    full.components = {
        image_pack_env_component(
            {"bootdelay=1", std::string(IMAGE_ENV_PARTS_MMC) + "=" + kPartitionLists[0]}),
        component("spl.bin", "spl", 700, "run"),
        component("u-boot.bin", "uboot", 300, "run"),
        component("rootfs.ext4", "rootfs", 100, "burn"),
    };
    image("full.img", full);

    ImagePackSpec forms = packtest::evbSpec();
    forms.components = {
        component("spl.bin", "spl", 64, "run"),
        image_pack_env_component({std::string(IMAGE_ENV_PARTS_MMC) + "=" + kPartitionLists[1]}),
    };
    image("partition_forms.img", forms);

    ImagePackSpec keyOnly = packtest::evbSpec();
    keyOnly.components = {image_pack_env_component({"bootdelay=3", IMAGE_ENV_PARTS_MMC})};
    image("key_without_value.img", keyOnly);

    ImagePackSpec noEnv = packtest::evbSpec();
    noEnv.components = {component("kernel", "kernel", 1000, "burn")};
    image("no_env.img", noEnv);

    image("header_only.img", packtest::evbSpec());
}

// ---- partition lists

void partitionLists() {
    int i = 0;
    for (const char *list : kPartitionLists)
        put("partition_list", "list" + std::to_string(i++), Bytes(list, list + strlen(list)));
}

// ---- UART exchanges

constexpr uint8_t kSOH = 0x01, kSTX = 0x02, kACK = 0x06, kNAK = 0x15, kCAN = 0x18;

void frame(Bytes &line, uint8_t blk, const Bytes &payload) {
    const bool isLong = payload.size() == 1024;
    line.push_back(isLong ? kSTX : kSOH);
    line.push_back(blk);
    line.push_back(uint8_t(255 - blk));
    if (!isLong)
        line.push_back(uint8_t(payload.size()));
    line.insert(line.end(), payload.begin(), payload.end());
    const uint16_t crc = libuart_crc16(payload.data(), int(payload.size()));
    line.push_back(uint8_t(crc >> 8));
    line.push_back(uint8_t(crc));
}

Bytes uartHead(bool send, uint16_t length) {
    Bytes b{uint8_t(send ? 1 : 0)};
    le16(b, length);
    return b;
}

void uart() {
    // A CSW in one short frame, as the packet transport receives it.
    Bytes csw = uartHead(false, UPG_CSW_SIZE);
    csw.push_back(kACK);
    frame(csw, 1, filler(UPG_CSW_SIZE, 1));
    put("uart", "recv_short", csw);

    // A long frame, a short one behind it, and the device's CAN.
    Bytes two = uartHead(false, 1024 + 100);
    two.push_back(kACK);
    frame(two, 1, filler(1024, 2));
    frame(two, 2, filler(100, 3));
    two.push_back(kCAN);
    put("uart", "recv_long", two);

    // A frame the host refuses (bad CRC), sent again.
    Bytes again = uartHead(false, 20);
    again.push_back(kACK);
    frame(again, 7, filler(20, 4));
    again[again.size() - 1] ^= 0xFF;
    frame(again, 7, filler(20, 4));
    put("uart", "recv_resent", again);

    // The device drops out with "A".
    Bytes gone = uartHead(false, 64);
    gone.push_back(kACK);
    gone.push_back('A');
    put("uart", "recv_device_gone", gone);

    // A send of two frames, the second refused once.
    Bytes sent = uartHead(true, 1024 + 31);
    for (uint8_t b : {kACK, kACK, kNAK, kACK})
        sent.push_back(b);
    put("uart", "send", sent);
}

// ---- command answers

// The response header as boards send it: "UPGR", protocol and version 1,
// the command, the status, the data length and the sum of the three words.
Bytes resp(uint8_t code, uint8_t status, uint32_t length) {
    Bytes h;
    le32(h, 0x52475055u);
    h.insert(h.end(), {1, 1, code, status});
    le32(h, length);
    uint32_t sum = 0x52475055u + (0x0101u | uint32_t(code) << 16 | uint32_t(status) << 24) + length;
    le32(h, sum);
    return h;
}

void append(Bytes &a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
}

// Each step is a seed of its own (behind an accepted meta record where the
// command needs one) and a part of the whole session.
struct Steps {
    Bytes all;
    Bytes meta;
    void add(const std::string &name, const Bytes &step, bool needsMeta = false) {
        Bytes alone = needsMeta ? meta : Bytes();
        append(alone, step);
        put("cmd", name, alone);
        append(all, step);
    }
};

Bytes withStep(fuzzin::CmdStep s, std::initializer_list<Bytes> parts) {
    Bytes b{uint8_t(s)};
    for (const Bytes &p : parts)
        append(b, p);
    return b;
}

Bytes u16(uint16_t v) {
    Bytes b;
    le16(b, v);
    return b;
}

Bytes u32(uint32_t v) {
    Bytes b;
    le32(b, v);
    return b;
}

Bytes word(uint8_t code, uint32_t v) {
    Bytes b = resp(code, 0, 4);
    le32(b, v);
    return b;
}

void commands() {
    using namespace fuzzin;
    Steps s;
    Bytes hw = filler(sizeof(upg_hw_info), 9);
    hw[40] = UPG_BOOT_STAGE_BROM;
    hw[41] = UPG_SEC_SECURE_BOOT;
    s.add("probe", withStep(kProbePacketSize, {resp(0x00, 0, 108), hw}));
    s.add("hwinfo", withStep(kGetHwinfo, {resp(0x00, 0, 108), hw}));
    s.add("traceinfo", withStep(kGetTraceinfo, {resp(0x01, 0, 40), filler(40, 1)}));
    s.add("write", withStep(kWrite, {u16(3000), resp(0x02, 0, 0)}));
    s.add("read", withStep(kRead, {u16(2100), resp(0x03, 0, 2100), filler(2100, 2)}));
    const char cmdline[] = "setenv bootdelay 0";
    Bytes text(cmdline, cmdline + sizeof(cmdline) - 1);
    s.add("cmdline",
          withStep(kSendCmdline, {Bytes{uint8_t(text.size() - 1)}, text, resp(0x05, 0, 0)}));
    s.add("upg_cfg", withStep(kSetUpgCfg, {resp(0x0A, 0, 0)}));
    Bytes media = filler(2 * UPG_STORAGE_MEDIA_ENTRY_SIZE, 0);
    memcpy(media.data(), "mmc0", 5);
    memcpy(media.data() + UPG_STORAGE_MEDIA_ENTRY_SIZE, "spinand0", 9);
    s.add("storage_media",
          withStep(kGetStorageMedia, {resp(0x16, 0, uint32_t(media.size())), media}));
    const char *list = kPartitionLists[0];
    s.add("partition_table", withStep(kGetPartitionTable, {resp(0x17, 0, uint32_t(strlen(list))),
                                                           Bytes(list, list + strlen(list))}));
    s.meta = withStep(kSetFwcMeta, {resp(0x10, 0, 0)});
    s.add("fwc_meta", s.meta);
    s.add("block_size", withStep(kGetBlockSize, {word(0x11, 512)}));
    s.add("data_start", withStep(kFwcDataStart, {u32(4096)}), true);
    s.add("data_update", withStep(kFwcDataUpdate, {u16(4096)}), true);
    s.add("data_final", withStep(kFwcDataFinal, {resp(0x12, 0, 0)}), true);
    s.add("crc", withStep(kGetFwcCrc, {word(0x13, 0x1234ABCD)}), true);
    s.add("burn_result", withStep(kGetFwcBurnResult, {word(0x14, 0)}), true);
    s.add("run_result", withStep(kGetFwcRunResult, {word(0x15, 0)}), true);
    s.add("read_start", withStep(kReadFwcDataStart, {u32(3000), resp(0x18, 0, 3000)}));
    s.add("read_data", withStep(kReadFwcData, {u16(3000), filler(3000, 5)}));
    s.add("upg_end", withStep(kSetUpgEnd, {resp(0x0B, 0, 0)}));
    put("cmd", "session", s.all);
    // A U-Boot stage that takes 64 KiB packets, then a long trace.
    hw[40] = UPG_BOOT_STAGE_UBOOT_LARGE;
    Bytes large = withStep(kProbePacketSize, {resp(0x00, 0, 108), hw});
    append(large, withStep(kGetTraceinfo, {resp(0x01, 0, 5000), filler(5000, 6)}));
    put("cmd", "large_packets", large);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    g_dir = argv[1];
    if (mkdir(g_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "fuzz_seeds: cannot create %s: %s\n", g_dir.c_str(), strerror(errno));
        return 1;
    }
    images();
    partitionLists();
    uart();
    commands();
    return g_failures ? 1 : 0;
}
