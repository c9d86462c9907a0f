// Byte layouts of the transport and command headers, and the small text and
// list helpers, checked without any device.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libkelupg.h"

namespace {

std::vector<uint8_t> bytes(const uint8_t *p, size_t n) {
    return std::vector<uint8_t>(p, p + n);
}

TEST(Wire, CbwForSendAndReceive) {
    uint8_t cbw[UPG_CBW_SIZE];
    kelupg_trans_build_cbw(cbw, 0x01020304, 2048, false);
    std::vector<uint8_t> want = {0x55, 0x53, 0x42, 0x43, 0x04, 0x03, 0x02, 0x01,
                                 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01};
    want.resize(UPG_CBW_SIZE, 0);
    EXPECT_EQ(bytes(cbw, sizeof(cbw)), want);

    kelupg_trans_build_cbw(cbw, 7, 16, true);
    EXPECT_EQ(cbw[4], 7);
    EXPECT_EQ(cbw[8], 16);
    EXPECT_EQ(cbw[12], 0x80);
    EXPECT_EQ(cbw[14], 1);
    EXPECT_EQ(cbw[15], 0x02);
    for (int i = 16; i < UPG_CBW_SIZE; i++)
        EXPECT_EQ(cbw[i], 0) << i;
}

TEST(Wire, CswSignatureAndTag) {
    uint8_t csw[UPG_CSW_SIZE] = {0x55, 0x53, 0x42, 0x53, 0x05, 0, 0, 0, 0xff, 0xff, 0, 0, 0x7f};
    uint32_t sig = 0, tag = 0;
    EXPECT_EQ(kelupg_trans_check_csw(csw, 5, &sig, &tag), 0);  // residue and status ignored
    EXPECT_EQ(sig, 0x53425355u);
    EXPECT_EQ(kelupg_trans_check_csw(csw, 4, nullptr, &tag), -1);
    EXPECT_EQ(tag, 5u);
    csw[3] = 0x43;  // "USBC": a CBW echoed back is no status
    EXPECT_EQ(kelupg_trans_check_csw(csw, 5, &sig, nullptr), -1);
    EXPECT_EQ(sig, 0x43425355u);
}

TEST(Wire, CommandHeaders) {
    uint8_t hdr[UPG_CMD_HDR_SIZE];
    kelupg_cmd_build_header(hdr, KELUPG_CMD_GET_BLOCK_SIZE, 0);
    EXPECT_EQ(bytes(hdr, sizeof(hdr)),
              (std::vector<uint8_t>{0x55, 0x50, 0x47, 0x43, 0x01, 0x01, 0x11, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x56, 0x51, 0x58, 0x43}));

    kelupg_cmd_build_header(hdr, KELUPG_CMD_SEND_FWC_DATA, 0x1000);
    EXPECT_EQ(kelupg_cmd_checksum(KELUPG_CMD_SEND_FWC_DATA, 0x1000), 0x43596156u);
    EXPECT_EQ(hdr[8], 0x00);
    EXPECT_EQ(hdr[9], 0x10);
    EXPECT_EQ(memcmp(hdr + 12, "\x56\x61\x59\x43", 4), 0);

    kelupg_cmd_build_header(hdr, KELUPG_CMD_GET_HWINFO, 0);
    EXPECT_EQ(memcmp(hdr + 12, "VQGC", 4), 0);
    kelupg_cmd_build_header(hdr, KELUPG_CMD_SET_FWC_META, 512);
    EXPECT_EQ(memcmp(hdr + 12, "VSWC", 4), 0);

    // The sum wraps modulo 2^32.
    EXPECT_EQ(kelupg_cmd_checksum(0x12, 0xFFFFFFFFu), 0x43475055u + 0x00120101u - 1u);
}

TEST(Wire, StorageMediaEntries) {
    std::vector<uint8_t> buf(136, 0);
    memcpy(buf.data(), "emmc", 5);
    memcpy(buf.data() + 68, "sd", 3);
    char name[80];
    EXPECT_EQ(kelupg_storage_media_count(136), 2);
    EXPECT_EQ(kelupg_storage_media_count(100), 1);
    EXPECT_EQ(kelupg_storage_media_count(67), 0);
    ASSERT_EQ(kelupg_storage_media_name(buf.data(), 136, 1, name, sizeof(name)), 0);
    EXPECT_STREQ(name, "sd");
    EXPECT_EQ(kelupg_storage_media_name(buf.data(), 100, 1, name, sizeof(name)), -3);
    // A name that fills its entry without a terminator stays inside the entry.
    memset(buf.data(), 'x', 68);
    ASSERT_EQ(kelupg_storage_media_name(buf.data(), 136, 0, name, sizeof(name)), 0);
    EXPECT_EQ(strlen(name), 68u);
    ASSERT_EQ(kelupg_storage_media_name(buf.data(), 136, 0, name, 5), 0);
    EXPECT_STREQ(name, "xxxx");
}

TEST(Wire, LocationText) {
    const uint8_t port[UPG_PORT_PATH_LEN] = {2, 3, 0, 0, 0, 0, 0};
    char text[32];
    upg_dev_format_location(text, sizeof(text), 1, port);
    EXPECT_STREQ(text, "1:2-3");
    const uint8_t none[UPG_PORT_PATH_LEN] = {0};
    upg_dev_format_location(text, sizeof(text), 4, none);
    EXPECT_STREQ(text, "4:");
    const uint8_t deep[UPG_PORT_PATH_LEN] = {1, 2, 3, 4, 5, 6, 7};
    upg_dev_format_location(text, 6, 1, deep);  // truncated, still terminated
    EXPECT_STREQ(text, "1:1-2");

    uint8_t bus = 0, p[UPG_PORT_PATH_LEN];
    ASSERT_EQ(upg_dev_parse_location("1:2-3", &bus, p), 0);
    EXPECT_EQ(bus, 1);
    EXPECT_EQ(bytes(p, 7), (std::vector<uint8_t>{2, 3, 0, 0, 0, 0, 0}));
    ASSERT_EQ(upg_dev_parse_location("3-1.4", &bus, p), 0);
    EXPECT_EQ(bus, 3);
    EXPECT_EQ(bytes(p, 7), (std::vector<uint8_t>{1, 4, 0, 0, 0, 0, 0}));
    for (const char *bad :
         {"", "1", "1:", "x:1", "1:2-", "1:0", "1:256", "256:1", "1:1-2-3-4-5-6-7-8", "1:2x"})
        EXPECT_EQ(upg_dev_parse_location(bad, &bus, p), -3) << bad;
}

// Every part of the program writes a location with the one formatter and
// reads it with the one parser: what one writes the other reads back.
TEST(Wire, LocationRoundTrip) {
    const struct {
        uint8_t bus;
        std::vector<uint8_t> ports;
        const char *text;
    } cases[] = {
        {1, {2, 3}, "1:2-3"},
        {0, {1}, "0:1"},
        {255, {255, 255, 255, 255, 255, 255, 255}, "255:255-255-255-255-255-255-255"},
        {3, {1, 4, 2}, "3:1-4-2"},
    };
    for (const auto &c : cases) {
        uint8_t port[UPG_PORT_PATH_LEN] = {0};
        memcpy(port, c.ports.data(), c.ports.size());
        char text[UPG_LOCATION_TEXT_SIZE];
        EXPECT_EQ(upg_dev_format_location(text, sizeof(text), c.bus, port), int(strlen(c.text)));
        EXPECT_STREQ(text, c.text);
        for (int flags : {0, UPG_LOC_SHOWN_FORM}) {
            uint8_t bus = 0, back[UPG_PORT_PATH_LEN];
            int bad = -1;
            ASSERT_EQ(upg_dev_parse_location_ex(text, flags, &bus, back, &bad), 0) << text;
            EXPECT_EQ(bad, 0);
            EXPECT_EQ(bus, c.bus) << text;
            EXPECT_EQ(bytes(back, 7), bytes(port, 7)) << text;
        }
    }

    // The shown form only, and which part is wrong (the link's messages say so).
    const struct {
        const char *text;
        int bad;
    } refused[] = {
        {"1-2-3", UPG_LOC_BAD_FORM}, {"1:2:3", UPG_LOC_BAD_FORM},
        {"", UPG_LOC_BAD_FORM},      {"x:1", UPG_LOC_BAD_BUS},
        {"256:1", UPG_LOC_BAD_BUS},  {"1x:1", UPG_LOC_BAD_BUS},
        {"1:", UPG_LOC_BAD_PORT},    {"1:2-a", UPG_LOC_BAD_PORT},
        {"1:2.3", UPG_LOC_BAD_PORT}, {"1:1-2-3-4-5-6-7-8", UPG_LOC_BAD_PORT},
    };
    for (const auto &r : refused) {
        uint8_t bus = 7, port[UPG_PORT_PATH_LEN] = {9};
        int bad = 0;
        EXPECT_EQ(upg_dev_parse_location_ex(r.text, UPG_LOC_SHOWN_FORM, &bus, port, &bad), -3)
            << r.text;
        EXPECT_EQ(bad, r.bad) << r.text;
        EXPECT_EQ(bus, 7) << "untouched on refusal: " << r.text;
    }
}

TEST(Wire, LibraryStateDefaults) {
    EXPECT_EQ(kelupg_get_max_transfer_size(), UPG_PKT_SIZE_SMALL);
    EXPECT_EQ(kelupg_get_transfer_timeout(), UPG_DEFAULT_TRANSFER_TIMEOUT_MS);
    EXPECT_FALSE(kelupg_cmd_fwc_meta_sent());
    // Commands that need a component meta record refuse before touching the device.
    upg_device dev;
    memset(&dev, 0, sizeof(dev));
    uint32_t v = 1;
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(&dev, &v), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_start(&dev, 16), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_update(&dev, "x", 1), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_final(&dev), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_final(nullptr), -3);
    EXPECT_EQ(kelupg_cmd_get_hwinfo(nullptr, nullptr), -3);
    EXPECT_EQ(upg_dev_get_last_error(nullptr), 0);
    EXPECT_EQ(upg_dev_get_bus_port(nullptr, nullptr, nullptr), -1);
    EXPECT_FALSE(upg_uart_dev_connected(nullptr));
    EXPECT_EQ(kelupg_trans_send_pkt(nullptr, "x", 1), 0);
    EXPECT_EQ(kelupg_trans_recv_pkt(nullptr, &v, 4), 0);
}

}  // namespace

namespace {

std::string slurp(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return {};
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

TEST(UdevRule, GrantsTheSeatAccessAndInstalls) {
    const char *src = getenv("KELFLASH_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    const std::string rule = slurp(std::string(src) + "/" UPG_UDEV_RULE_FILE);
    ASSERT_FALSE(rule.empty());
    for (const char *part : {"SUBSYSTEM==\"usb\"", "ATTR{idVendor}==\"33c3\"",
                             "ATTR{idProduct}==\"6677\"", "TAG+=\"uaccess\""})
        EXPECT_NE(rule.find(part), std::string::npos) << part;

    // Installing into a directory of our own: the file arrives unchanged.
    const std::string cmd = std::string(src) + "/scripts/install-udev-rules rules.d >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(slurp("rules.d/70-kelflash.rules"), rule);
}

}  // namespace
