// The command set against simulated boards, run once over USB and once over
// the serial line: what goes on the wire, what the host accepts back and what
// it refuses.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <functional>
#include <numeric>

#include "board.h"
#include "image.h"
#include "harness.h"
#include "scripted_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The header as the board expects it, computed apart from the library.
Bytes expectedHeader(uint8_t code, uint32_t len) {
    Bytes h = {'U', 'P', 'G', 'C', 1, 1, code, 0};
    for (int i = 0; i < 4; i++)
        h.push_back(uint8_t(len >> (8 * i)));
    uint32_t sum = 0x43475055u + (0x0101u + uint32_t(code) * 0x10000u) + len;
    for (int i = 0; i < 4; i++)
        h.push_back(uint8_t(sum >> (8 * i)));
    return h;
}

Bytes metaRecord(const std::string &name, const std::string &part, uint32_t size, uint32_t crc) {
    Bytes m(512, 0);
    memcpy(m.data(), "KEL.FWC", 7);
    memcpy(m.data() + 8, name.data(), name.size());
    memcpy(m.data() + 72, part.data(), part.size());
    for (int i = 0; i < 4; i++) {
        m[140 + i] = uint8_t(size >> (8 * i));
        m[144 + i] = uint8_t(crc >> (8 * i));
    }
    return m;
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(i * 7 + (i >> 8));
    return b;
}

using LinkFactory = std::function<std::unique_ptr<BoardLink>()>;

struct LinkParam {
    const char *name;
    LinkFactory make;
};

void PrintTo(const LinkParam &p, std::ostream *os) {
    *os << p.name;
}

// A line to a board and the boards a test puts behind it; each fixture picks the line.
class LinkTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (dev_)
            link_->detach();
        kelupg_set_max_transfer_size(UPG_PKT_SIZE_SMALL);
    }
    upg_device *attach(kelsim::BoardPort &b) {
        dev_ = link_->attach(b);
        return dev_;
    }

    // Boards outlive the line: its service thread talks to them until detach.
    template <typename B, typename... A>
    B &make(A &&...args) {
        auto b = std::make_unique<B>(std::forward<A>(args)...);
        B &ref = *b;
        boards_.push_back(std::move(b));
        return ref;
    }

    LogCapture log_;
    std::vector<std::unique_ptr<kelsim::BoardPort>> boards_;
    std::unique_ptr<BoardLink> link_;
    upg_device *dev_ = nullptr;
};

class Commands : public LinkTest, public ::testing::WithParamInterface<LinkParam> {
protected:
    void SetUp() override { link_ = GetParam().make(); }
};

// A scripted board says what a real one never would (odd lengths, broken
// CSWs); it sits behind the serial line, whose framing hands every packet to
// it unchanged.
class Scripted : public LinkTest {
protected:
    void SetUp() override { link_ = makeSerialLink(); }
};

TEST_F(Scripted, EveryHeaderOnTheWire) {
    ScriptedBoard &b = make<ScriptedBoard>();
    ASSERT_TRUE(attach(b));
    upg_hw_info info;
    uint8_t *buf = nullptr;
    uint32_t v;
    Bytes data = pattern(100);

    struct Case {
        uint8_t code;
        uint32_t len;
        std::function<void()> run;
    };
    const Bytes meta = metaRecord("boot.bin", "boot", 0x1000, 0);
    std::vector<Case> cases = {
        {0x00, 0,
         [&] {
             b.queueResp(0, 108);
             kelupg_cmd_get_hwinfo(dev_, &info);
         }},
        {0x01, 0,
         [&] {
             b.queueResp(0, 0);
             kelupg_cmd_get_traceinfo(dev_, &buf);
         }},
        {0x02, 108,
         [&] {
             b.queueResp(0, 0);
             kelupg_cmd_write(dev_, 0x1000, data.data(), 100);
         }},
        {0x03, 8,
         [&] {
             b.queueResp(0, 100);
             kelupg_cmd_read(dev_, 0x1000, data.data(), 100);
         }},
        {0x05, 9,
         [&] {
             b.queueResp(0, 0);
             kelupg_cmd_send_cmdline(dev_, "reset", 5);
         }},
        {0x0A, 36,
         [&] {
             upg_cfg c{};
             c.work_mode = 4;
             b.queueResp(0, 0);
             kelupg_cmd_set_upg_cfg(dev_, &c);
         }},
        {0x0B, 36,
         [&] {
             b.queueResp(0, 0);
             kelupg_cmd_set_upg_end(dev_);
         }},
        {0x10, 512,
         [&] {
             b.queueResp(0, 0);
             kelupg_cmd_set_fwc_meta(dev_, meta.data());
         }},
        {0x11, 0,
         [&] {
             b.queueResp(0, 4);
             kelupg_cmd_get_block_size(dev_);
         }},
        {0x12, 0x1000, [&] { kelupg_cmd_send_fwc_data_start(dev_, 0x1000); }},
        {0x13, 0,
         [&] {
             b.queueResp(0, 4);
             kelupg_cmd_get_fwc_crc(dev_, &v);
         }},
        {0x14, 0,
         [&] {
             b.queueResp(0, 4);
             kelupg_cmd_get_fwc_burn_result(dev_, &v);
         }},
        {0x15, 0,
         [&] {
             b.queueResp(0, 4);
             kelupg_cmd_get_fwc_run_result(dev_, &v);
         }},
        {0x16, 0,
         [&] {
             b.queueResp(0, 68);
             if (kelupg_cmd_get_storage_media(dev_, &buf) > 0)
                 free(buf);
         }},
        {0x17, 4,
         [&] {
             kelupg_part_table_args a{};
             b.queueResp(1, 0);
             kelupg_cmd_get_partition_table(dev_, &a);
         }},
        {0x18, 184,
         [&] {
             kelupg_read_fwc_args a{};
             b.queueResp(0, 0);
             kelupg_cmd_read_fwc_data_start(dev_, &a);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        b.clear();
        log_.clear();
        c.run();
        EXPECT_FALSE(log_.has("CSW")) << log_.dump();
        auto pk = b.packets();
        ASSERT_FALSE(pk.empty()) << std::hex << int(c.code);
        EXPECT_FALSE(pk[0].in);
        EXPECT_EQ(pk[0].data, expectedHeader(c.code, c.len))
            << "command 0x" << std::hex << int(c.code);
    }
    // The documented examples, spelled out.
    EXPECT_EQ(expectedHeader(0x11, 0), (Bytes{0x55, 0x50, 0x47, 0x43, 0x01, 0x01, 0x11, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x56, 0x51, 0x58, 0x43}));
    const Bytes hw = expectedHeader(0x00, 0);
    EXPECT_EQ(Bytes(hw.begin() + 12, hw.end()), (Bytes{'V', 'Q', 'G', 'C'}));
    const Bytes meta512 = expectedHeader(0x10, 512);
    EXPECT_EQ(Bytes(meta512.begin() + 12, meta512.end()), (Bytes{'V', 'S', 'W', 'C'}));
}

TEST_F(Scripted, TagsAndCswChecks) {
    ScriptedBoard &b = make<ScriptedBoard>();
    ASSERT_TRUE(attach(b));
    EXPECT_EQ(kelupg_trans_get_tag(), 0u);
    uint8_t one[4] = {1, 2, 3, 4};
    ASSERT_EQ(kelupg_trans_send_pkt(dev_, one, 4), 4) << log_.dump();
    ASSERT_EQ(kelupg_trans_recv_pkt(dev_, one, 4), 4) << log_.dump();
    auto pk = b.packets();
    ASSERT_EQ(pk.size(), 2u);
    EXPECT_EQ(pk[0].tag, 0u);
    EXPECT_EQ(pk[1].tag, 1u);
    EXPECT_EQ(b.rawCbw(0)[12], 0x00);
    EXPECT_EQ(b.rawCbw(0)[15], 0x01);
    EXPECT_EQ(b.rawCbw(1)[12], 0x80);
    EXPECT_EQ(b.rawCbw(1)[15], 0x02);

    b.skewNextCswTag(1);
    EXPECT_EQ(kelupg_trans_send_pkt(dev_, one, 4), 0);
    EXPECT_TRUE(log_.has("CSW is not matched, Sig 0x53425355, Tag got 0x3, expect 0x2"))
        << log_.dump();
    b.skewNextCswTag(-1);
    EXPECT_EQ(kelupg_trans_recv_pkt(dev_, one, 4), 0);
    EXPECT_TRUE(log_.has("CSW is not matched, Sig 0x53425355, Tag 0x2/0x3")) << log_.dump();
    b.breakNextCswSignature();
    EXPECT_EQ(kelupg_trans_send_pkt(dev_, one, 4), 0);
    EXPECT_TRUE(log_.has("CSW is not matched, Sig 0x425355")) << log_.dump();
    EXPECT_EQ(kelupg_trans_get_tag(), 5u);

    // A data phase over the maximum never reaches the line.
    b.clear();
    Bytes big(UPG_PKT_SIZE_SMALL + 1);
    EXPECT_EQ(kelupg_trans_send_pkt(dev_, big.data(), int(big.size())), 0);
    EXPECT_EQ(kelupg_trans_recv_pkt(dev_, big.data(), int(big.size())), 0);
    EXPECT_TRUE(log_.has("Data length is over size."));
    EXPECT_TRUE(b.packets().empty());
    EXPECT_EQ(kelupg_trans_get_tag(), 5u);
}

TEST_F(Scripted, ResponseChecks) {
    ScriptedBoard &b = make<ScriptedBoard>();
    ASSERT_TRUE(attach(b));

    // A record of the wrong size is not read.
    upg_hw_info info;
    b.queueResp(0, 100);
    EXPECT_EQ(kelupg_cmd_get_hwinfo(dev_, &info), -1);
    EXPECT_TRUE(log_.has("RESP data is size is not correct."));
    EXPECT_EQ(b.packets().size(), 2u);

    // Storage media: whole 68-byte entries only.
    for (auto [len, entries] : {std::pair<uint32_t, int>{136, 2}, {100, 1}}) {
        b.clear();
        b.queueResp(0, len);
        Bytes answer(len, 0);
        memcpy(answer.data(), "emmc0", 5);
        if (len >= 136)
            memcpy(answer.data() + 68, "sd1", 3);
        b.queue(answer);
        uint8_t *media = nullptr;
        int n = kelupg_cmd_get_storage_media(dev_, &media);
        ASSERT_EQ(n, int(len));
        ASSERT_NE(media, nullptr);
        EXPECT_EQ(kelupg_storage_media_count(n), entries);
        char name[70];
        kelupg_storage_media_name(media, n, entries - 1, name, sizeof(name));
        EXPECT_STREQ(name, entries == 2 ? "sd1" : "emmc0");
        free(media);
    }
    b.clear();
    b.queueResp(0, 0);
    uint8_t *media = reinterpret_cast<uint8_t *>(&info);
    EXPECT_EQ(kelupg_cmd_get_storage_media(dev_, &media), -1);
    EXPECT_EQ(media, nullptr);
    EXPECT_TRUE(log_.has("no available storage media devices"));
    b.clear();
    b.queueResp(0, UPG_PKT_SIZE_SMALL + 1);
    EXPECT_EQ(kelupg_cmd_get_storage_media(dev_, &media), -1);
    EXPECT_EQ(b.packets().size(), 2u);  // the oversized answer is not read

    // Status bytes.
    b.clear();
    b.queueResp(3, 0);
    EXPECT_EQ(kelupg_cmd_set_fwc_meta(dev_, metaRecord("a", "a", 1, 0).data()), -1);
    EXPECT_TRUE(log_.has("RESP status is not ok."));
    EXPECT_FALSE(kelupg_cmd_fwc_meta_sent());
    upg_cfg cfg{};
    b.queueResp(1, 0);
    EXPECT_EQ(kelupg_cmd_set_upg_cfg(dev_, &cfg), -1);
    b.queueResp(1, 0);
    EXPECT_EQ(kelupg_cmd_write(dev_, 0, "abc", 3), -1);
    EXPECT_TRUE(log_.has("RESP status is not ok"));
    // Commands that ignore the status byte.
    b.queueResp(9, 4);
    b.queue({0x00, 0x02, 0, 0});
    EXPECT_EQ(kelupg_cmd_get_block_size(dev_), 512);
    b.queueResp(0, 8);
    EXPECT_EQ(kelupg_cmd_get_block_size(dev_), -1);
    EXPECT_TRUE(log_.has("RESP datga length is not expected. ret = 16"));

    // Read: the answer must match what was asked for.
    Bytes rb(64);
    b.queueResp(0, 63);
    EXPECT_EQ(kelupg_cmd_read(dev_, 0, rb.data(), 64), -1);
    EXPECT_TRUE(log_.has("RESP data length is not matched."));
    // Read-back of component data: the size at bytes 112..119 is the contract.
    kelupg_read_fwc_args ra{};
    ra.size = 5000;
    b.queueResp(0, 4999);
    EXPECT_EQ(kelupg_cmd_read_fwc_data_start(dev_, &ra), -1);
    EXPECT_TRUE(log_.has("Error, recv size is illegal."));
}

TEST_F(Scripted, MetaFlagAndPacketSplitting) {
    ScriptedBoard &b = make<ScriptedBoard>();
    ASSERT_TRUE(attach(b));
    uint32_t v = 77;
    Bytes data = pattern(5000);
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(dev_, &v), -4);
    EXPECT_EQ(kelupg_cmd_get_fwc_burn_result(dev_, &v), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_start(dev_, 5000), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_update(dev_, data.data(), 5000), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_final(dev_), -4);
    EXPECT_TRUE(log_.has("FWC Meta is not sent."));
    EXPECT_TRUE(b.packets().empty());
    EXPECT_EQ(kelupg_trans_get_tag(), 0u);

    b.queueResp(0, 0);
    ASSERT_EQ(kelupg_cmd_set_fwc_meta(dev_, metaRecord("x", "x", 5000, 0).data()), 0);
    EXPECT_TRUE(kelupg_cmd_fwc_meta_sent());
    b.clear();
    ASSERT_EQ(kelupg_cmd_send_fwc_data_start(dev_, 5000), 0);
    ASSERT_EQ(kelupg_cmd_send_fwc_data_update(dev_, data.data(), 5000), 5000);
    EXPECT_EQ(b.sendSizes(), (std::vector<uint32_t>{16, 2048, 2048, 904}));
    auto pk = b.packets();
    Bytes joined;
    for (size_t i = 1; i < pk.size(); i++)
        joined.insert(joined.end(), pk[i].data.begin(), pk[i].data.end());
    EXPECT_EQ(joined, data);
    b.queueResp(0, 0);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_final(dev_), 0);
    b.queueResp(0, 4);
    b.queue({0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(dev_, &v), 0);
    EXPECT_EQ(v, 0x12345678u);
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(dev_, nullptr), -3);
    b.queueResp(0, 2);
    EXPECT_EQ(kelupg_cmd_get_fwc_run_result(dev_, &v), -1);
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(log_.has("RESP data length is not 4, got 2"));
    b.queueResp(5, 0);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_final(dev_), -1);
    EXPECT_TRUE(log_.has("Recv resp status is not ok."));

    // The command line travels as one packet, so a longer text is refused unsent.
    b.clear();
    std::string text(UPG_PKT_SIZE_SMALL + 1, 'a');
    EXPECT_EQ(kelupg_cmd_send_cmdline(dev_, text.c_str(), int(text.size())), -1);
    EXPECT_TRUE(b.packets().empty());
    EXPECT_EQ(kelupg_cmd_send_cmdline(nullptr, "reset", 5), -1);  // fails at its first packet
}

// Which commands look at the response status byte: the queries take their
// answer whatever the status says, the others stop at a non-zero status before
// looking at the length or reading data.
TEST_F(Scripted, StatusByteOnlyWhereItCounts) {
    ScriptedBoard &b = make<ScriptedBoard>();
    ASSERT_TRUE(attach(b));
    b.queueResp(0, 0);
    ASSERT_EQ(kelupg_cmd_set_fwc_meta(dev_, metaRecord("x", "x", 16, 0).data()), 0);

    const uint8_t bad = 0x5A;
    upg_hw_info info;
    b.queueResp(bad, 108);
    b.queue(Bytes(108, 0));
    EXPECT_EQ(kelupg_cmd_get_hwinfo(dev_, &info), 0);
    uint8_t *buf = nullptr;
    b.queueResp(bad, 10);
    b.queue(pattern(10));
    ASSERT_EQ(kelupg_cmd_get_traceinfo(dev_, &buf), 10);
    EXPECT_EQ(Bytes(buf, buf + 10), pattern(10));
    free(buf);
    b.queueResp(bad, 68);
    b.queue(Bytes(68, 'm'));
    ASSERT_EQ(kelupg_cmd_get_storage_media(dev_, &buf), 68);
    free(buf);
    uint32_t v = 0;
    for (auto fn :
         {kelupg_cmd_get_fwc_crc, kelupg_cmd_get_fwc_burn_result, kelupg_cmd_get_fwc_run_result}) {
        b.queueResp(bad, 4);
        b.queue({1, 0, 0, 0});
        EXPECT_EQ(fn(dev_, &v), 0);
        EXPECT_EQ(v, 1u);
    }
    EXPECT_FALSE(log_.has("status")) << log_.dump();

    // Status checked first: a wrong length behind a bad status is not looked at.
    Bytes rb(64);
    b.clear();
    b.queueResp(1, 63);
    EXPECT_EQ(kelupg_cmd_read(dev_, 0, rb.data(), 64), -1);
    EXPECT_TRUE(log_.has("RESP status is not ok."));
    EXPECT_FALSE(log_.has("RESP data length is not matched."));
    EXPECT_EQ(b.packets().size(), 3u);  // header, arguments, response: no data read
    b.queueResp(1, 0);
    EXPECT_EQ(kelupg_cmd_set_upg_end(dev_), -1);
    b.queueResp(1, 0);
    EXPECT_EQ(kelupg_cmd_send_cmdline(dev_, "reset", 5), -1);
    kelupg_part_table_args pa{};
    b.clear();
    b.queueResp(2, 10);
    EXPECT_EQ(kelupg_cmd_get_partition_table(dev_, &pa), -1);
    EXPECT_EQ(pa.parts, nullptr);
    EXPECT_EQ(b.packets().size(), 3u);
    kelupg_read_fwc_args ra{};
    ra.size = 10;
    b.queueResp(2, 10);
    EXPECT_EQ(kelupg_cmd_read_fwc_data_start(dev_, &ra), -1);
    EXPECT_FALSE(log_.has("Error, recv size is illegal."));
}

// Messages name the command that failed, even when a shared step logs them;
// the flag and tag belong to the library's initialisation, not to an open.
TEST_F(Scripted, FailuresNameTheCommandAndInitResetsState) {
    ScriptedBoard &b = make<ScriptedBoard>();
    ASSERT_TRUE(attach(b));
    auto lineWith = [&](const std::string &func, const std::string &text) {
        for (const std::string &l : log_.lines())
            if (l.rfind(func + "()", 0) == 0 && l.find(text) != std::string::npos)
                return true;
        return false;
    };
    b.queueResp(0, 0);
    ASSERT_EQ(kelupg_cmd_set_fwc_meta(dev_, metaRecord("x", "x", 16, 0).data()), 0);

    uint32_t v = 9;
    b.breakNextCswSignature();
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(dev_, &v), -1);
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(lineWith("kelupg_cmd_get_fwc_crc", "Send command failed. ret = 0")) << log_.dump();
    EXPECT_TRUE(lineWith("kelupg_cmd_get_fwc_crc", "Send command failed. ret = 0, siz = 16"));
    b.breakNextCswSignature();
    EXPECT_EQ(kelupg_cmd_get_block_size(dev_), -1);
    EXPECT_TRUE(lineWith("kelupg_cmd_get_block_size", "Send command failed. ret = 0, siz = 16"));
    Bytes data = pattern(100);
    b.breakNextCswSignature();
    EXPECT_EQ(kelupg_cmd_send_fwc_data_update(dev_, data.data(), 100), -1);
    EXPECT_TRUE(lineWith("kelupg_cmd_send_fwc_data_update",
                         "Send out data length is not expected. ret = 0"));
    EXPECT_TRUE(lineWith("kelupg_trans_send_pkt", "CSW is not matched"));

    // Opening another device initialises only a library that is not yet up.
    EXPECT_EQ(libkelupg_init_once(), 0);
    EXPECT_TRUE(kelupg_cmd_fwc_meta_sent());
    EXPECT_NE(kelupg_trans_get_tag(), 0u);
    // A fresh initialisation starts over, and the open line keeps working.
    ASSERT_EQ(libkelupg_init(), 0);
    EXPECT_FALSE(kelupg_cmd_fwc_meta_sent());
    EXPECT_EQ(kelupg_trans_get_tag(), 0u);
    b.clear();
    log_.clear();
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(dev_, &v), -4);
    EXPECT_TRUE(lineWith("kelupg_cmd_get_fwc_crc", "FWC Meta is not sent."));
    EXPECT_TRUE(b.packets().empty());
    b.queueResp(0, 4);
    b.queue({0x00, 0x02, 0, 0});
    EXPECT_EQ(kelupg_cmd_get_block_size(dev_), 512) << log_.dump();
    EXPECT_EQ(b.packets().front().tag, 0u);
}

TEST_P(Commands, ComponentIntoRealBoard) {
    kelsim::BoardConfig cfg;
    cfg.securityFlags = UPG_SEC_SECURE_BOOT | UPG_SEC_ANTI_ROLLBACK;
    cfg.bootDevice1 = 3;
    cfg.bootDevice2 = 5;
    kelsim::Board &board = make<kelsim::Board>(cfg);
    ASSERT_TRUE(attach(board));

    upg_hw_info info;
    ASSERT_EQ(kelupg_cmd_get_hwinfo(dev_, &info), 0) << log_.dump();
    EXPECT_EQ(info.boot_stage, UPG_BOOT_STAGE_BROM);
    EXPECT_EQ(info.security, UPG_SEC_SECURE_BOOT | UPG_SEC_ANTI_ROLLBACK);
    EXPECT_EQ(info.boot_dev1, 3);
    EXPECT_EQ(info.boot_dev2, 5);
    bool large = true;
    kelupg_set_max_transfer_size(UPG_PKT_SIZE_LARGE);
    ASSERT_EQ(kelupg_probe_packet_size(dev_, &large), 0);
    EXPECT_FALSE(large);
    EXPECT_EQ(kelupg_get_max_transfer_size(), UPG_PKT_SIZE_SMALL);

    const Bytes data = pattern(5000);
    const uint32_t crc = uint32_t(crc32(0, data.data(), uInt(data.size())));
    ASSERT_EQ(kelupg_cmd_set_fwc_meta(dev_, metaRecord("boot.bin", "boot", 5000, crc).data()), 0);
    EXPECT_EQ(kelupg_cmd_get_block_size(dev_), 512);
    ASSERT_EQ(kelupg_cmd_send_fwc_data_start(dev_, 5000), 0);
    ASSERT_EQ(kelupg_cmd_send_fwc_data_update(dev_, data.data(), 3000), 3000);
    ASSERT_EQ(kelupg_cmd_send_fwc_data_update(dev_, data.data() + 3000, 2000), 2000);
    ASSERT_EQ(kelupg_cmd_send_fwc_data_final(dev_), 0) << log_.dump();
    uint32_t got = 0, burn = 1;
    ASSERT_EQ(kelupg_cmd_get_fwc_crc(dev_, &got), 0);
    EXPECT_EQ(got, crc);
    ASSERT_EQ(kelupg_cmd_get_fwc_burn_result(dev_, &burn), 0);
    EXPECT_EQ(burn, 0u);
    EXPECT_EQ(board.partition("boot"), data);

    // Memory writes and reads through the board.
    const Bytes mem = pattern(3000);
    ASSERT_EQ(kelupg_cmd_write(dev_, 0x40000000, mem.data(), 3000), 3000);
    Bytes back(3000);
    ASSERT_EQ(kelupg_cmd_read(dev_, 0x40000000, back.data(), 3000), 3000);
    EXPECT_EQ(back, mem);

    ASSERT_EQ(kelupg_cmd_send_cmdline(dev_, "setenv a b", 10), 0);
    EXPECT_EQ(board.cmdlines(), (std::vector<std::string>{"setenv a b"}));
    EXPECT_EQ(board.commandLog(),
              (Bytes{0x00, 0x00, 0x10, 0x11, 0x12, 0x13, 0x14, 0x02, 0x03, 0x05}));
}

TEST_P(Commands, UBootStageQueries) {
    kelsim::BoardConfig cfg;
    cfg.initialStage = kelsim::Stage::UBoot;
    kelsim::Board &board = make<kelsim::Board>(cfg);
    ASSERT_TRUE(attach(board));
    bool large = false;
    ASSERT_EQ(kelupg_probe_packet_size(dev_, &large), 0);
    EXPECT_TRUE(large);
    EXPECT_EQ(kelupg_get_max_transfer_size(), UPG_PKT_SIZE_LARGE);

    upg_cfg c{};
    c.work_mode = UPG_WORK_MODE_STORAGE_QUERY;
    ASSERT_EQ(kelupg_cmd_set_upg_cfg(dev_, &c), 0);
    EXPECT_EQ(board.workModes(), (std::vector<uint32_t>{4}));
    uint8_t *media = nullptr;
    int n = kelupg_cmd_get_storage_media(dev_, &media);
    ASSERT_EQ(n, 136);
    char name[70];
    kelupg_storage_media_name(media, n, 0, name, sizeof(name));
    EXPECT_STREQ(name, "emmc0");
    free(media);

    kelupg_part_table_args pa{};
    strcpy(pa.media, "emmc0");
    ASSERT_EQ(kelupg_cmd_get_partition_table(dev_, &pa), 0) << log_.dump();
    ASSERT_EQ(pa.part_count, 3u);
    EXPECT_STREQ(pa.parts->name, "boot");
    EXPECT_EQ(pa.parts->start, 0x4400u);
    EXPECT_EQ(pa.parts->next->start, 0x4400u + 0x100000u);
    image_partition_release(pa.parts);

    ASSERT_EQ(kelupg_cmd_set_upg_end(dev_), 0);
    EXPECT_EQ(board.upgradeEnds(), 1);
}

TEST_P(Commands, FaultsAndRefusals) {
    kelsim::Board &board = make<kelsim::Board>();
    ASSERT_TRUE(attach(board));
    EXPECT_EQ(kelupg_trans_get_tag(), 0u);

    // Nothing reaches the board without a meta record, or above the packet size.
    uint32_t v;
    Bytes data = pattern(5000);
    EXPECT_EQ(kelupg_cmd_get_fwc_crc(dev_, &v), -4);
    EXPECT_EQ(kelupg_cmd_send_fwc_data_update(dev_, data.data(), 5000), -4);
    EXPECT_EQ(kelupg_trans_send_pkt(dev_, data.data(), UPG_PKT_SIZE_SMALL + 1), 0);
    EXPECT_TRUE(log_.has("Data length is over size."));
    EXPECT_EQ(board.stats().packets, 0u);
    EXPECT_EQ(board.stats().bytesFromHost, 0u);
    EXPECT_EQ(kelupg_trans_get_tag(), 0u);

    // A CSW with the neighbour's tag fails the packet; the next command works.
    upg_hw_info info;
    board.corruptCsw(1, kelsim::CswFault::Tag);
    EXPECT_EQ(kelupg_cmd_get_hwinfo(dev_, &info), -1);
    EXPECT_TRUE(log_.has("CSW is not matched, Sig 0x53425355, Tag got 0x1, expect 0"))
        << log_.dump();
    EXPECT_TRUE(log_.has("Send command failed. ret = 0, siz = 16"));
    board.corruptCsw(1, kelsim::CswFault::Signature);
    EXPECT_EQ(kelupg_cmd_get_block_size(dev_), -1);
    EXPECT_TRUE(log_.has("CSW is not matched, Sig "));
    board.clearFaults();
    board.clearCommandLog();

    // A refused meta record leaves the flag clear.
    board.failCommand(0x10, 2);
    const Bytes meta = metaRecord("kernel", "kernel", 5000, 0);
    EXPECT_EQ(kelupg_cmd_set_fwc_meta(dev_, meta.data()), -1);
    EXPECT_TRUE(log_.has("RESP status is not ok."));
    EXPECT_FALSE(kelupg_cmd_fwc_meta_sent());
    board.clearCommandFailure(0x10);

    // 5000 bytes at 2048 per packet: three data packets behind the header.
    ASSERT_EQ(kelupg_cmd_set_fwc_meta(dev_, meta.data()), 0);
    const uint64_t before = board.stats().sendPackets;
    ASSERT_EQ(kelupg_cmd_send_fwc_data_start(dev_, 5000), 0);
    ASSERT_EQ(kelupg_cmd_send_fwc_data_update(dev_, data.data(), 5000), 5000);
    EXPECT_EQ(board.stats().sendPackets - before, 4u);
    ASSERT_EQ(kelupg_cmd_send_fwc_data_final(dev_), 0);
    EXPECT_EQ(board.partition("kernel"), data);
    EXPECT_EQ(board.stats().badHeaders, 0u);
    EXPECT_EQ(board.stats().protocolErrors, 0u);
    EXPECT_EQ(upg_dev_get_last_error(dev_), 0);
}

std::vector<LinkParam> links() {
    std::vector<LinkParam> v;
    v.push_back({"usb", makeUsbLink});
    v.push_back({"serial", makeSerialLink});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Lines, Commands, ::testing::ValuesIn(links()),
                         [](const ::testing::TestParamInfo<LinkParam> &i) { return i.param.name; });

}  // namespace
