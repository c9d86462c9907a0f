// The kelupg command set: a 16-byte command header, optional argument and data
// packets, a 16-byte response header and optional response data, each piece one
// transport packet.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "image.h"
#include "kelupg_internal.h"
#include "libkelupg.h"
#include "upg_log.h"

namespace {

// Set by an accepted component meta record; the data and result commands mean
// nothing to the device without one.
bool meta_sent(upg_device *dev) {
    kelupg_dev_sync(dev);
    return dev->fwc_meta_sent;
}

constexpr int kHwInfoSize = int(sizeof(upg_hw_info));

struct Resp {
    uint8_t raw[UPG_RESP_HDR_SIZE];
    uint8_t status() const { return raw[7]; }
    uint32_t data_length() const { return kelupg_get_le32(raw + 8); }
};

// Sends the header; 0 or the failing packet result (already logged under func).
int send_header(upg_device *dev, uint8_t code, uint32_t data_length, const char *func) {
    uint8_t hdr[UPG_CMD_HDR_SIZE];
    kelupg_cmd_build_header(hdr, code, data_length);
    int ret = kelupg_trans_send_pkt(dev, hdr, UPG_CMD_HDR_SIZE);
    if (ret != UPG_CMD_HDR_SIZE) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Send command failed. ret = %d, siz = %d", ret,
                        UPG_CMD_HDR_SIZE);
        return -1;
    }
    return 0;
}

int recv_resp(upg_device *dev, Resp *resp, const char *func) {
    int ret = kelupg_trans_recv_pkt(dev, resp->raw, UPG_RESP_HDR_SIZE);
    if (ret != UPG_RESP_HDR_SIZE) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Read RESP failed. ret = %d, siz = %d", ret,
                        UPG_RESP_HDR_SIZE);
        return -1;
    }
    return 0;
}

// A response whose status must be 0; not_ok is the command's own wording for a refusal.
int recv_resp_status(upg_device *dev, Resp *resp, const char *func, const char *not_ok) {
    if (recv_resp(dev, resp, func) != 0)
        return -1;
    if (resp->status() != 0) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_REFUSED, func, "%s", not_ok);
        return -1;
    }
    return 0;
}

// The response of 0x12..0x15 has its own wording.
int recv_resp_fwc(upg_device *dev, Resp *resp, const char *func) {
    int ret = kelupg_trans_recv_pkt(dev, resp->raw, UPG_RESP_HDR_SIZE);
    if (ret != UPG_RESP_HDR_SIZE) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Recv resp failed, expect %d, got %d",
                        UPG_RESP_HDR_SIZE, ret);
        return -1;
    }
    return 0;
}

int send_u32_packet(upg_device *dev, uint32_t value) {
    uint8_t buf[4];
    kelupg_put_le32(buf, value);
    return kelupg_trans_send_pkt(dev, buf, 4);
}

// Bulk data in packets of exactly the maximum transfer size and one shorter
// remainder; every packet must be taken whole.
int send_bulk(upg_device *dev, const uint8_t *data, uint32_t n, const char *func) {
    const uint32_t max = uint32_t(upg_dev_get_max_transfer_size(dev));
    uint32_t done = 0;
    while (done < n) {
        int piece = int(n - done < max ? n - done : max);
        int ret = kelupg_trans_send_pkt(dev, data + done, piece);
        if (ret != piece) {
            UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func,
                            "Send out data length is not expected. ret = %d", ret);
            return -1;
        }
        done += uint32_t(piece);
    }
    return 0;
}

int recv_bulk(upg_device *dev, uint8_t *buf, uint32_t n, const char *func, const char *msg) {
    const uint32_t max = uint32_t(upg_dev_get_max_transfer_size(dev));
    uint32_t done = 0;
    while (done < n) {
        int piece = int(n - done < max ? n - done : max);
        int ret = kelupg_trans_recv_pkt(dev, buf + done, piece);
        if (ret != piece) {
            UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, msg, ret);
            return -1;
        }
        done += uint32_t(piece);
    }
    return 0;
}

// Commands 0x13..0x15: a 32-bit answer about the component just sent.
int get_fwc_word(upg_device *dev, uint8_t code, uint32_t *out, const char *func,
                 const char *short_msg) {
    if (!dev) {
        UPG_LOGE_AS(func, "Invalid handle.");
        return -3;
    }
    if (!meta_sent(dev)) {
        UPG_LOGE_AS(func, "FWC Meta is not sent.");
        return -4;
    }
    if (!out) {
        UPG_LOGE_AS(func, "Invalid parameter.");
        return -3;
    }
    *out = 0;
    uint8_t hdr[UPG_CMD_HDR_SIZE];
    kelupg_cmd_build_header(hdr, code, 0);
    int ret = kelupg_trans_send_pkt(dev, hdr, UPG_CMD_HDR_SIZE);
    if (ret != UPG_CMD_HDR_SIZE) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Send command failed. ret = %d", ret);
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Send command failed. ret = %d, siz = %d", ret,
                        UPG_CMD_HDR_SIZE);
        return -1;
    }
    Resp resp;
    if (recv_resp_fwc(dev, &resp, func) != 0)
        return -1;
    if (resp.data_length() != 4) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_BAD_REPLY, func, "RESP data length is not 4, got %d",
                        int(resp.data_length()));
        return -1;
    }
    uint8_t word[4];
    ret = kelupg_trans_recv_pkt(dev, word, 4);
    if (ret != 4) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, short_msg, ret);
        return -1;
    }
    *out = kelupg_get_le32(word);
    return 0;
}

// Commands 0x01 and 0x16: a bounded answer into a buffer the caller frees.
int get_buffer(upg_device *dev, uint8_t code, uint8_t **out, const char *func, bool media) {
    if (!dev || !out) {
        UPG_LOGE_AS(func, "Invalid parameter.");
        return -3;
    }
    *out = nullptr;
    if (send_header(dev, code, 0, func) != 0)
        return -1;
    Resp resp;
    if (recv_resp(dev, &resp, func) != 0)
        return -1;
    const uint32_t len = resp.data_length();
    if (len > uint32_t(upg_dev_get_max_transfer_size(dev))) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_BAD_REPLY, func, "RESP data length is not expected.");
        return -1;
    }
    if (len == 0) {
        if (media) {
            UPG_DEV_FAIL_AS(dev, UPG_ERR_REFUSED, func, "no available storage media devices");
            return -1;
        }
        return 0;
    }
    uint8_t *buf = static_cast<uint8_t *>(malloc(len));
    if (!buf) {
        UPG_LOGE_AS(func, "No mem");
        return -1;
    }
    int ret = kelupg_trans_recv_pkt(dev, buf, int(len));
    if (ret != int(len)) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Read data failed. ret = %d, siz = %d", ret,
                        int(len));
        free(buf);
        return -1;
    }
    *out = buf;
    return int(len);
}

// Commands that hand the device one data packet (configuration, command line,
// component meta record): the header, a 4-byte length packet where the command
// has one, the data, and a response that must report success.
int send_data_cmd(upg_device *dev, uint8_t code, const void *data, int n, bool length_packet,
                  const char *func) {
    const uint32_t extra = length_packet ? 4 : 0;
    if (send_header(dev, code, uint32_t(n) + extra, func) != 0)
        return -1;
    if (length_packet && send_u32_packet(dev, uint32_t(n)) != 4) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Send args failed.");
        return -1;
    }
    if (kelupg_trans_send_pkt(dev, data, n) != n) {
        UPG_DEV_FAIL_AS(dev, UPG_ERR_TRANSFER, func, "Send data failed.");
        return -1;
    }
    Resp resp;
    return recv_resp_status(dev, &resp, func, "RESP status is not ok.");
}

}  // namespace

uint32_t kelupg_cmd_checksum(uint8_t code, uint32_t data_length) {
    const uint32_t word1 = KELUPG_CMD_PROTOCOL | KELUPG_CMD_VERSION << 8 | uint32_t(code) << 16;
    return KELUPG_CMD_MAGIC + word1 + data_length;
}

void kelupg_cmd_build_header(uint8_t hdr[UPG_CMD_HDR_SIZE], uint8_t code, uint32_t data_length) {
    kelupg_put_le32(hdr, KELUPG_CMD_MAGIC);
    hdr[4] = KELUPG_CMD_PROTOCOL;
    hdr[5] = KELUPG_CMD_VERSION;
    hdr[6] = code;
    hdr[7] = 0;
    kelupg_put_le32(hdr + 8, data_length);
    kelupg_put_le32(hdr + 12, kelupg_cmd_checksum(code, data_length));
}

int kelupg_cmd_get_hwinfo(upg_device *dev, upg_hw_info *info) {
    if (!dev || !info) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    if (send_header(dev, KELUPG_CMD_GET_HWINFO, 0, __func__) != 0)
        return -1;
    Resp resp;
    if (recv_resp(dev, &resp, __func__) != 0)
        return -1;
    if (resp.data_length() != uint32_t(kHwInfoSize)) {
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "RESP data is size is not correct.");
        return -1;
    }
    int ret = kelupg_trans_recv_pkt(dev, info, kHwInfoSize);
    if (ret != kHwInfoSize) {
        UPG_DEV_FAIL(dev, UPG_ERR_TRANSFER, "Read data failed. ret = %d, siz = %d", ret,
                     kHwInfoSize);
        return -1;
    }
    return 0;
}

int kelupg_cmd_get_traceinfo(upg_device *dev, uint8_t **out) {
    return get_buffer(dev, KELUPG_CMD_GET_TRACEINFO, out, __func__, false);
}

int kelupg_cmd_write(upg_device *dev, uint32_t address, const void *data, uint32_t n) {
    if (!dev || (!data && n > 0)) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    if (n > uint32_t(INT_MAX) - 8) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    if (send_header(dev, KELUPG_CMD_WRITE, n + 8, __func__) != 0)
        return -1;
    uint8_t args[8];
    kelupg_put_le32(args, address);
    kelupg_put_le32(args + 4, n);
    int ret = kelupg_trans_send_pkt(dev, args, 8);
    if (ret != 8) {
        UPG_DEV_FAIL(dev, UPG_ERR_TRANSFER, "Send ARGS failed. ret = %d, siz = %d", ret, 8);
        return -1;
    }
    if (send_bulk(dev, static_cast<const uint8_t *>(data), n, __func__) != 0)
        return -1;
    Resp resp;
    if (recv_resp_status(dev, &resp, __func__, "RESP status is not ok") != 0)
        return -1;
    return int(n);
}

int kelupg_cmd_read(upg_device *dev, uint32_t address, void *buf, uint32_t n) {
    if (!dev || (!buf && n > 0) || n > uint32_t(INT_MAX)) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    if (send_header(dev, KELUPG_CMD_READ, 8, __func__) != 0)
        return -1;
    uint8_t args[8];
    kelupg_put_le32(args, address);
    kelupg_put_le32(args + 4, n);
    if (kelupg_trans_send_pkt(dev, args, 8) != 8) {
        UPG_DEV_FAIL(dev, UPG_ERR_TRANSFER, "Send args failed.");
        return -1;
    }
    Resp resp;
    if (recv_resp_status(dev, &resp, __func__, "RESP status is not ok.") != 0)
        return -1;
    if (resp.data_length() != n) {
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "RESP data length is not matched.");
        return -1;
    }
    if (recv_bulk(dev, static_cast<uint8_t *>(buf), n, __func__,
                  "Recv data length is not expected. ret = %d") != 0)
        return -1;
    return int(n);
}

int kelupg_cmd_send_cmdline(upg_device *dev, const char *text, int n) {
    if (!text || n <= 0) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    // The device takes the text as one packet.
    if (n > upg_dev_get_max_transfer_size(dev)) {
        UPG_LOGE("Command line too long: %d bytes, at most %d", n,
                 upg_dev_get_max_transfer_size(dev));
        return -1;
    }
    return send_data_cmd(dev, KELUPG_CMD_SEND_CMDLINE, text, n, true, __func__);
}

int kelupg_cmd_set_upg_cfg(upg_device *dev, const upg_cfg *cfg) {
    if (!cfg) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    return send_data_cmd(dev, KELUPG_CMD_SET_UPG_CFG, cfg, UPG_UPG_CFG_SIZE, true, __func__);
}

int kelupg_cmd_set_upg_end(upg_device *dev) {
    upg_cfg zero;
    memset(&zero, 0, sizeof(zero));
    return send_data_cmd(dev, KELUPG_CMD_SET_UPG_END, &zero, UPG_UPG_CFG_SIZE, true, __func__);
}

int kelupg_cmd_set_fwc_meta(upg_device *dev, const void *meta512) {
    if (!dev || !meta512) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    const int ret =
        send_data_cmd(dev, KELUPG_CMD_SET_FWC_META, meta512, UPG_FWC_META_SIZE, false, __func__);
    if (ret == 0)
        kelupg_dev_set_meta_sent(dev, true);
    return ret;
}

int kelupg_cmd_get_block_size(upg_device *dev) {
    if (!dev) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    if (send_header(dev, KELUPG_CMD_GET_BLOCK_SIZE, 0, __func__) != 0)
        return -1;
    Resp resp;
    if (recv_resp(dev, &resp, __func__) != 0)
        return -1;
    if (resp.data_length() != 4) {
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "RESP datga length is not expected. ret = %d",
                     UPG_RESP_HDR_SIZE);
        return -1;
    }
    uint8_t word[4];
    if (kelupg_trans_recv_pkt(dev, word, 4) != 4) {
        UPG_DEV_FAIL(dev, UPG_ERR_TRANSFER, "Read block size failed.");
        return -1;
    }
    const uint32_t size = kelupg_get_le32(word);
    // A block size is returned as the result, so it must not look like an error code.
    if (size > uint32_t(INT_MAX)) {
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "Block size %u is out of range.", size);
        return -1;
    }
    return int(size);
}

int kelupg_cmd_send_fwc_data_start(upg_device *dev, uint32_t size) {
    if (!dev)
        return -3;
    if (!meta_sent(dev))
        return -4;
    if (send_header(dev, KELUPG_CMD_SEND_FWC_DATA, size, __func__) != 0)
        return -1;
    return 0;
}

int kelupg_cmd_send_fwc_data_update(upg_device *dev, const void *data, int n) {
    if (!dev || !data || n < 0)
        return -3;
    if (!meta_sent(dev))
        return -4;
    if (send_bulk(dev, static_cast<const uint8_t *>(data), uint32_t(n), __func__) != 0)
        return -1;
    return n;
}

int kelupg_cmd_send_fwc_data_final(upg_device *dev) {
    if (!dev) {
        UPG_LOGE("Invalid handle.");
        return -3;
    }
    if (!meta_sent(dev)) {
        UPG_LOGE("FWC Meta is not sent.");
        return -4;
    }
    Resp resp;
    if (recv_resp_fwc(dev, &resp, __func__) != 0)
        return -1;
    if (resp.status() != 0) {
        UPG_DEV_FAIL(dev, UPG_ERR_REFUSED, "Recv resp status is not ok.");
        return -1;
    }
    return 0;
}

int kelupg_cmd_get_fwc_crc(upg_device *dev, uint32_t *crc) {
    return get_fwc_word(dev, KELUPG_CMD_GET_FWC_CRC, crc, __func__,
                        "Recv CRC failed, expect 4, got %d");
}

int kelupg_cmd_get_fwc_burn_result(upg_device *dev, uint32_t *result) {
    return get_fwc_word(dev, KELUPG_CMD_GET_FWC_BURN_RESULT, result, __func__,
                        "Recv Result failed, expect 4, got %d");
}

int kelupg_cmd_get_fwc_run_result(upg_device *dev, uint32_t *result) {
    return get_fwc_word(dev, KELUPG_CMD_GET_FWC_RUN_RESULT, result, __func__,
                        "Recv Result failed, expect 4, got %d");
}

int kelupg_cmd_get_storage_media(upg_device *dev, uint8_t **out) {
    return get_buffer(dev, KELUPG_CMD_GET_STORAGE_MEDIA, out, __func__, true);
}

int kelupg_cmd_get_partition_table(upg_device *dev, kelupg_part_table_args *args) {
    if (!dev || !args) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    args->parts = nullptr;
    args->part_count = 0;
    // The device announces 4 bytes of argument but reads the whole 68-byte block.
    if (send_header(dev, KELUPG_CMD_GET_PARTITION_TABLE, 4, __func__) != 0)
        return -1;
    uint8_t wire[UPG_PART_TABLE_ARGS_SIZE];
    memcpy(wire, args->media, sizeof(args->media));
    kelupg_put_le32(wire + sizeof(args->media), args->flags);
    int ret = kelupg_trans_send_pkt(dev, wire, UPG_PART_TABLE_ARGS_SIZE);
    if (ret != UPG_PART_TABLE_ARGS_SIZE) {
        UPG_DEV_FAIL(dev, UPG_ERR_TRANSFER, "Send ARGS failed. ret = %d, siz = %d", ret,
                     UPG_PART_TABLE_ARGS_SIZE);
        return -1;
    }
    Resp resp;
    if (recv_resp_status(dev, &resp, __func__, "RESP status is not ok") != 0)
        return -1;
    const uint32_t len = resp.data_length();
    if (len > uint32_t(upg_dev_get_max_transfer_size(dev)) || len == 0) {
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "RESP data length is not ok");
        return -1;
    }
    // One more byte for the terminator the parser needs.
    char *text = static_cast<char *>(malloc(len + 1));
    if (!text) {
        UPG_LOGE("No mem");
        return -2;
    }
    ret = kelupg_trans_recv_pkt(dev, text, int(len));
    if (ret != int(len)) {
        UPG_DEV_FAIL(dev, UPG_ERR_TRANSFER, "Read data failed. ret = %d, siz = %d", ret, int(len));
        free(text);
        return -1;
    }
    text[len] = '\0';
    PartitionEntry *list = image_partition_parse(text, 0);
    free(text);
    if (!list) {
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "Get partition table failed.");
        return -1;
    }
    args->parts = list;
    args->part_count = uint32_t(image_partition_count(list));
    return 0;
}

int kelupg_cmd_read_fwc_data_start(upg_device *dev, const kelupg_read_fwc_args *args) {
    if (!dev || !args) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    if (send_header(dev, KELUPG_CMD_READ_FWC_DATA, UPG_READ_FWC_ARGS_SIZE, __func__) != 0)
        return -1;
    int ret = kelupg_trans_send_pkt(dev, args, UPG_READ_FWC_ARGS_SIZE);
    if (ret != UPG_READ_FWC_ARGS_SIZE) {
        UPG_DEV_FAIL(dev, UPG_ERR_TRANSFER, "Send ARGS failed. ret = %d, siz = %d", ret,
                     UPG_READ_FWC_ARGS_SIZE);
        return -1;
    }
    Resp resp;
    if (recv_resp_status(dev, &resp, __func__, "RESP status is not ok") != 0)
        return -1;
    uint64_t expected = 0;
    memcpy(&expected, reinterpret_cast<const uint8_t *>(args) + 112, sizeof(expected));
    if (uint64_t(resp.data_length()) != expected) {
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "resp.dDataLength:%u,part.siz:%lu", resp.data_length(),
                     static_cast<unsigned long>(expected));
        UPG_DEV_FAIL(dev, UPG_ERR_BAD_REPLY, "Error, recv size is illegal.");
        return -1;
    }
    return 0;
}

int kelupg_cmd_read_fwc_data(upg_device *dev, void *buf, int n) {
    if (!dev || !buf || n < 0) {
        UPG_LOGE("Invalid parameter.");
        return -3;
    }
    if (recv_bulk(dev, static_cast<uint8_t *>(buf), uint32_t(n), __func__,
                  "Read data size is not expected. ret = %d") != 0)
        return -1;
    return n;
}

int kelupg_probe_packet_size(upg_device *dev, bool *large) {
    return kelupg_probe_packet_size_info(dev, large, nullptr);
}

int kelupg_probe_packet_size_info(upg_device *dev, bool *large, upg_hw_info *info) {
    upg_hw_info answer;
    int ret = kelupg_cmd_get_hwinfo(dev, &answer);
    if (ret != 0)
        return ret;
    const bool big = answer.boot_stage == UPG_BOOT_STAGE_UBOOT_LARGE;
    upg_dev_set_max_transfer_size(dev, big ? UPG_PKT_SIZE_LARGE : UPG_PKT_SIZE_SMALL);
    if (large)
        *large = big;
    if (info)
        *info = answer;
    return 0;
}

int kelupg_storage_media_count(int nbytes) {
    return nbytes > 0 ? nbytes / UPG_STORAGE_MEDIA_ENTRY_SIZE : 0;
}

int kelupg_storage_media_name(const uint8_t *buf, int nbytes, int index, char *name, size_t size) {
    if (!buf || !name || size == 0 || index < 0 || index >= kelupg_storage_media_count(nbytes))
        return -3;
    const char *entry = reinterpret_cast<const char *>(buf) + index * UPG_STORAGE_MEDIA_ENTRY_SIZE;
    size_t len = strnlen(entry, UPG_STORAGE_MEDIA_ENTRY_SIZE);
    if (len >= size)
        len = size - 1;
    memcpy(name, entry, len);
    name[len] = '\0';
    return 0;
}
