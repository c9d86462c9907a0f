// Fuzzes the command set's handling of what a board answers: response
// headers, lengths, statuses and the data behind them, for every kelupg_cmd_
// function. The board sits at the bottom of the USB path: this program
// defines libusb_bulk_transfer, which the linker takes before the one in
// libusb, so every packet the library moves goes to the fake board below and
// no device is touched. The input layout is described in fuzz_input.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "image.h"
#include "libkelupg.h"
#include "upg_log.h"

namespace {

// The board's side of the packet transport: each packet is a CBW, one data
// phase in the direction the CBW names, and a CSW. Data the host sends is
// taken whole; data phases towards the host come from the input, and a
// phase the input cannot fill is a short transfer (or, empty, a time-out).
// CSWs are made here with the right tag, so that the input is spent on the
// command set's answers.
struct FakeBoard {
    fuzzin::Reader *input = nullptr;
    enum Phase { kCbw, kData, kCsw } phase = kCbw;
    uint32_t tag = 0;
    uint32_t length = 0;
    bool to_host = false;
};
FakeBoard g_board;

// Any packet out of the transport's order is a fault of the library.
[[noreturn]] void protocolFault(const char *what) {
    fprintf(stderr, "cmd_fuzz: packet order broken: %s\n", what);
    abort();
}

uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// Every message is formatted, as the program's sink would have it, and dropped.
void dropLog(int, const char *) {}

upg_device g_dev;
// libusb is never handed the handle; it only has to be there.
char g_handle_stand_in;

}  // namespace

extern "C" int libusb_bulk_transfer(libusb_device_handle *, unsigned char endpoint,
                                    unsigned char *data, int length, int *transferred,
                                    unsigned int) {
    *transferred = 0;
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (length <= 0 || !data)
        protocolFault("empty transfer");
    // A new CBW starts a packet in any phase: the host gives up on a packet
    // after a failed transfer and starts the next one.
    if (!in && length == UPG_CBW_SIZE && le32(data) == 0x43425355u) {
        g_board.tag = le32(data + 4);
        g_board.length = le32(data + 8);
        g_board.to_host = (data[12] & 0x80) != 0;
        g_board.phase = FakeBoard::kData;
        *transferred = length;
        return 0;
    }
    switch (g_board.phase) {
        case FakeBoard::kCbw:
            protocolFault("data without a CBW");
        case FakeBoard::kData: {
            if (in != g_board.to_host || uint32_t(length) != g_board.length)
                protocolFault("data phase other than the CBW announced");
            g_board.phase = FakeBoard::kCsw;
            if (!in) {
                *transferred = length;
                return 0;
            }
            size_t got = g_board.input->take(data, size_t(length));
            *transferred = int(got);
            return got ? 0 : LIBUSB_ERROR_TIMEOUT;
        }
        case FakeBoard::kCsw: {
            if (!in || length != UPG_CSW_SIZE)
                protocolFault("CSW phase without a CSW read");
            memset(data, 0, UPG_CSW_SIZE);
            putLe32(data, 0x53425355u);
            putLe32(data + 4, g_board.tag);
            g_board.phase = FakeBoard::kCbw;
            *transferred = length;
            return 0;
        }
    }
    return LIBUSB_ERROR_OTHER;
}

namespace {

[[noreturn]] void resultFault(const char *func, int ret) {
    fprintf(stderr, "cmd_fuzz: %s returned %d, outside its contract\n", func, ret);
    abort();
}

// The result codes every command may return besides success.
void checkFailure(const char *func, int ret) {
    if (ret != -1 && ret != -2 && ret != -3 && ret != -4)
        resultFault(func, ret);
}

void storageMedia() {
    uint8_t *buf = nullptr;
    int n = kelupg_cmd_get_storage_media(&g_dev, &buf);
    if (n < 0) {
        checkFailure(__func__, n);
        if (buf)
            resultFault("kelupg_cmd_get_storage_media left a buffer", n);
        return;
    }
    if (n == 0 || !buf)
        resultFault("kelupg_cmd_get_storage_media", n);
    int count = kelupg_storage_media_count(n);
    for (int i = 0; i <= count; ++i) {
        char name[UPG_STORAGE_MEDIA_ENTRY_SIZE + 1];
        int rc = kelupg_storage_media_name(buf, n, i, name, sizeof(name));
        if ((rc == 0) != (i < count) || (rc == 0 && strlen(name) >= sizeof(name)))
            resultFault("kelupg_storage_media_name", rc);
    }
    // A short name buffer cuts the name.
    if (count > 0) {
        char small[4];
        if (kelupg_storage_media_name(buf, n, 0, small, sizeof(small)) != 0 ||
            strlen(small) >= sizeof(small))
            resultFault("kelupg_storage_media_name", -1);
    }
    free(buf);
}

void traceInfo() {
    uint8_t *buf = nullptr;
    int n = kelupg_cmd_get_traceinfo(&g_dev, &buf);
    if (n < 0)
        checkFailure(__func__, n);
    if ((n > 0) != (buf != nullptr))
        resultFault("kelupg_cmd_get_traceinfo", n);
    if (buf)
        memset(buf, 0, size_t(n));  // all n bytes are the caller's
    free(buf);
}

void partitionTable() {
    kelupg_part_table_args args;
    memset(&args, 0, sizeof(args));
    strcpy(args.media, "mmc0");
    int rc = kelupg_cmd_get_partition_table(&g_dev, &args);
    if (rc != 0) {
        checkFailure(__func__, rc);
        if (args.parts)
            resultFault("kelupg_cmd_get_partition_table left a list", rc);
        return;
    }
    if (!args.parts || args.part_count != uint32_t(image_partition_count(args.parts)))
        resultFault("kelupg_cmd_get_partition_table", rc);
    image_partition_release(args.parts);
}

void readData(fuzzin::Reader &in, bool fwc) {
    uint16_t n = in.u16();
    std::vector<uint8_t> buf(n ? n : 1);
    int rc = fwc ? kelupg_cmd_read_fwc_data(&g_dev, buf.data(), n)
                 : kelupg_cmd_read(&g_dev, 0x80000000u, buf.data(), n);
    if (rc < 0)
        checkFailure(__func__, rc);
    else if (rc != n)
        resultFault(fwc ? "kelupg_cmd_read_fwc_data" : "kelupg_cmd_read", rc);
}

// For the commands whose success is 0.
void zeroOrFailure(const char *func, int rc) {
    if (rc != 0)
        checkFailure(func, rc);
}

void step(fuzzin::Reader &in) {
    using namespace fuzzin;
    static const std::vector<uint8_t> filler(UPG_PKT_SIZE_LARGE, 0x5A);
    int rc = 0;
    uint32_t value = 0;
    switch (in.u8() % kStepCount) {
        case kGetHwinfo: {
            upg_hw_info info;
            zeroOrFailure("kelupg_cmd_get_hwinfo", kelupg_cmd_get_hwinfo(&g_dev, &info));
            break;
        }
        case kGetTraceinfo:
            traceInfo();
            break;
        case kWrite: {
            uint16_t n = in.u16();
            rc = kelupg_cmd_write(&g_dev, 0x80000000u, filler.data(), n);
            if (rc >= 0 && rc != n)
                resultFault("kelupg_cmd_write", rc);
            if (rc < 0)
                checkFailure("kelupg_cmd_write", rc);
            break;
        }
        case kRead:
            readData(in, false);
            break;
        case kSendCmdline: {
            char text[256];
            int n = in.u8() + 1;
            in.take(reinterpret_cast<uint8_t *>(text), size_t(n));
            zeroOrFailure("kelupg_cmd_send_cmdline", kelupg_cmd_send_cmdline(&g_dev, text, n));
            break;
        }
        case kSetUpgCfg: {
            upg_cfg cfg;
            memset(&cfg, 0, sizeof(cfg));
            cfg.work_mode = UPG_WORK_MODE_STORAGE_QUERY;
            zeroOrFailure("kelupg_cmd_set_upg_cfg", kelupg_cmd_set_upg_cfg(&g_dev, &cfg));
            break;
        }
        case kSetUpgEnd:
            zeroOrFailure("kelupg_cmd_set_upg_end", kelupg_cmd_set_upg_end(&g_dev));
            break;
        case kSetFwcMeta: {
            uint8_t meta[UPG_FWC_META_SIZE] = {'K', 'E', 'L', '.', 'F', 'W', 'C'};
            zeroOrFailure("kelupg_cmd_set_fwc_meta", kelupg_cmd_set_fwc_meta(&g_dev, meta));
            break;
        }
        case kGetBlockSize:
            rc = kelupg_cmd_get_block_size(&g_dev);
            if (rc < 0)
                checkFailure("kelupg_cmd_get_block_size", rc);
            break;
        case kFwcDataStart:
            zeroOrFailure("kelupg_cmd_send_fwc_data_start",
                          kelupg_cmd_send_fwc_data_start(&g_dev, in.u32()));
            break;
        case kFwcDataUpdate: {
            uint16_t n = in.u16();
            rc = kelupg_cmd_send_fwc_data_update(&g_dev, filler.data(), n);
            if (rc >= 0 && rc != n)
                resultFault("kelupg_cmd_send_fwc_data_update", rc);
            if (rc < 0)
                checkFailure("kelupg_cmd_send_fwc_data_update", rc);
            break;
        }
        case kFwcDataFinal:
            zeroOrFailure("kelupg_cmd_send_fwc_data_final", kelupg_cmd_send_fwc_data_final(&g_dev));
            break;
        case kGetFwcCrc:
            zeroOrFailure("kelupg_cmd_get_fwc_crc", kelupg_cmd_get_fwc_crc(&g_dev, &value));
            break;
        case kGetFwcBurnResult:
            zeroOrFailure("kelupg_cmd_get_fwc_burn_result",
                          kelupg_cmd_get_fwc_burn_result(&g_dev, &value));
            break;
        case kGetFwcRunResult:
            zeroOrFailure("kelupg_cmd_get_fwc_run_result",
                          kelupg_cmd_get_fwc_run_result(&g_dev, &value));
            break;
        case kGetStorageMedia:
            storageMedia();
            break;
        case kGetPartitionTable:
            partitionTable();
            break;
        case kReadFwcDataStart: {
            kelupg_read_fwc_args args;
            memset(&args, 0, sizeof(args));
            strcpy(args.partition, "rootfs");
            args.size = in.u32();
            zeroOrFailure("kelupg_cmd_read_fwc_data_start",
                          kelupg_cmd_read_fwc_data_start(&g_dev, &args));
            break;
        }
        case kReadFwcData:
            readData(in, true);
            break;
        case kProbePacketSize: {
            bool large = false;
            zeroOrFailure("kelupg_probe_packet_size", kelupg_probe_packet_size(&g_dev, &large));
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    upg_log_set_callback(dropLog);
    if (libkelupg_init() != 0) {
        fprintf(stderr, "cmd_fuzz: the library does not initialise\n");
        abort();
    }
    g_dev.type = UPG_DEV_TYPE_USB;
    g_dev.handle = reinterpret_cast<libusb_device_handle *>(&g_handle_stand_in);
    g_dev.ep_out = 0x01;
    g_dev.ep_in = 0x81;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Every input starts from a freshly initialised library and device.
    libkelupg_init();
    kelupg_set_max_transfer_size(UPG_PKT_SIZE_SMALL);
    g_dev.last_error = 0;
    fuzzin::Reader in(data, size);
    g_board = FakeBoard();
    g_board.input = &in;
    while (in.left() > 0)
        step(in);
    g_board.input = nullptr;
    return 0;
}
