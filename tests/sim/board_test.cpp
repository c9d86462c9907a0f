// The simulated board's packet and command behaviour, driven directly through
// BoardPort with a host written from the wire rules.
#include "board.h"
#include "sim_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <thread>

using namespace kelsim;
using simtest::Host;

namespace {

Host portHost(Board &b) {
    Host h;
    h.out = [&b](const std::vector<uint8_t> &d) {
        b.hostSent(d.data(), d.size());
        return true;
    };
    h.in = [&b](size_t n) {
        std::vector<uint8_t> v(n);
        v.resize(b.hostReceive(v.data(), n));
        return v;
    };
    return h;
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = uint8_t(seed >> 16);
    }
    return v;
}

uint32_t crcOf(const std::vector<uint8_t> &v) {
    return uint32_t(crc32(crc32(0, Z_NULL, 0), v.data(), uInt(v.size())));
}

TEST(BoardPackets, CswCarriesTheCbwTagAndReceiveReturnsDataThenCsw) {
    Board b;
    auto c = simtest::cbw(0xABCD, 16, true);
    b.hostSent(c.data(), c.size());
    auto h = simtest::header(0x11, 0);
    b.hostSent(h.data(), h.size());
    uint8_t csw[13];
    ASSERT_EQ(b.hostReceive(csw, sizeof csw), 13u);
    EXPECT_EQ(std::memcmp(csw, "USBS", 4), 0);
    EXPECT_EQ(simtest::get32(csw + 4), 0xABCDu);
    EXPECT_EQ(simtest::get32(csw + 8), 0u);
    EXPECT_EQ(csw[12], 0);
    EXPECT_EQ(b.hostReceive(csw, sizeof csw), 0u);  // nothing more pending

    c = simtest::cbw(0xABCE, 16, false);
    b.hostSent(c.data(), c.size());
    uint8_t resp[16];
    ASSERT_EQ(b.hostReceive(resp, 16), 16u);
    EXPECT_EQ(resp[7], 0);
    EXPECT_EQ(simtest::get32(resp + 8), 4u);
    ASSERT_EQ(b.hostReceive(csw, sizeof csw), 13u);
    EXPECT_EQ(simtest::get32(csw + 4), 0xABCEu);
}

TEST(BoardPackets, GarbageInsteadOfCbwIsDroppedAndCounted) {
    Board b;
    std::vector<uint8_t> junk(31, 0x11);
    b.hostSent(junk.data(), junk.size());
    EXPECT_EQ(b.stats().cbwErrors, 1u);
    Host h = portHost(b);
    uint32_t bs = 0;
    EXPECT_TRUE(h.value(0x11, &bs));  // the next real packet works
}

TEST(BoardPackets, BootRomRefusesDataPhasesAbove2048) {
    Board b;
    Host h = portHost(b);
    h.maxPacket = 4096;
    std::vector<uint8_t> big(4096, 1);
    // The packet is swallowed but the data is not taken; the CSW says so.
    uint32_t t = h.tag++;
    h.out(simtest::cbw(t, 4096, true));
    h.out(big);
    auto csw = h.in(13);
    ASSERT_EQ(csw.size(), 13u);
    EXPECT_NE(csw[12], 0);
    EXPECT_EQ(b.stats().refusedPackets, 1u);
    EXPECT_EQ(b.maxPacket(), 2048u);
}

TEST(BoardCommands, HardwareInformationReportsStageAndFlags) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    cfg.securityFlags = 5;
    cfg.bootDevice1 = 3;
    cfg.bootDevice2 = 4;
    Board b(cfg);
    Host h = portHost(b);
    uint32_t len = 0;
    ASSERT_TRUE(h.send(simtest::header(0x00, 0)));
    ASSERT_EQ(h.response(&len), 0);
    ASSERT_EQ(len, 108u);
    bool ok = false;
    auto r = h.recv(108, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(r[40], 1);
    EXPECT_EQ(r[41], 5);
    EXPECT_EQ(r[42], 3);
    EXPECT_EQ(r[43], 4);
    EXPECT_EQ(b.maxPacket(), 65536u);
}

TEST(BoardCommands, BadHeaderGetsFailingStatus) {
    Board b;
    Host h = portHost(b);
    auto hdr = simtest::header(0x00, 0);
    hdr[12] ^= 1;  // checksum
    ASSERT_TRUE(h.send(hdr));
    uint32_t len = 0;
    EXPECT_EQ(h.response(&len), 1);
    EXPECT_EQ(b.stats().badHeaders, 1u);
    EXPECT_TRUE(b.commandLog().empty());
    hdr = simtest::header(0x11, 0);
    std::memcpy(hdr.data(), "UPGD", 4);
    ASSERT_TRUE(h.send(hdr));
    EXPECT_EQ(h.response(&len), 1);
}

TEST(BoardCommands, BurnStoresEveryByteAndAnswersCrc) {
    Board b;
    Host h = portHost(b);
    uint32_t bs = 0;
    ASSERT_TRUE(h.value(0x11, &bs));
    ASSERT_EQ(bs, 512u);
    auto data = pattern(5000, 1);  // padded by the host to 5120
    ASSERT_EQ(h.burn("image.updater.env", "env", data, bs), 0);
    uint32_t crc = 0, burn = 7;
    ASSERT_TRUE(h.value(0x13, &crc));
    EXPECT_EQ(crc, crcOf(data));
    ASSERT_TRUE(h.value(0x14, &burn));
    EXPECT_EQ(burn, 0u);
    EXPECT_EQ(b.partition("env"), data);
    EXPECT_EQ(b.stats().paddingBytes, 120u);
    EXPECT_EQ(b.commandLog(), (std::vector<uint8_t>{0x11, 0x10, 0x12, 0x13, 0x14}));
    auto comps = b.components();
    ASSERT_EQ(comps.size(), 1u);
    EXPECT_EQ(comps[0].name, "image.updater.env");
    EXPECT_TRUE(comps[0].complete);
}

TEST(BoardCommands, ShortOrOverlongDataFailsTheTransfer) {
    Board b;
    Host h = portHost(b);
    auto data = pattern(3000, 2);
    uint32_t len = 0;
    // Short: only 2048 of 3000 bytes, then the host asks for the answer.
    ASSERT_TRUE(h.send(simtest::header(0x10, 512)));
    ASSERT_TRUE(h.send(simtest::meta("a", "p", 3000, 0, "burn")));
    ASSERT_EQ(h.response(&len), 0);
    ASSERT_TRUE(h.send(simtest::header(0x12, 3000)));
    ASSERT_TRUE(h.sendChunks(std::vector<uint8_t>(data.begin(), data.begin() + 2048)));
    EXPECT_EQ(h.response(&len), 1);
    uint32_t crc = 0;
    EXPECT_FALSE(h.value(0x13, &crc));  // no result for a failed transfer
    EXPECT_TRUE(b.partition("p").empty());

    // More than one block of padding is a host fault too.
    std::vector<uint8_t> tooLong = data;
    tooLong.resize(3000 + 512 + 100, 0);
    ASSERT_TRUE(h.send(simtest::header(0x10, 512)));
    ASSERT_TRUE(h.send(simtest::meta("a", "p", 3000, 0, "burn")));
    ASSERT_EQ(h.response(&len), 0);
    ASSERT_TRUE(h.send(simtest::header(0x12, 3000)));
    ASSERT_TRUE(h.sendChunks(tooLong));
    EXPECT_EQ(h.response(&len), 1);

    // A data start whose size differs from the meta record's is refused.
    ASSERT_TRUE(h.send(simtest::header(0x10, 512)));
    ASSERT_TRUE(h.send(simtest::meta("a", "p", 3000, 0, "burn")));
    ASSERT_EQ(h.response(&len), 0);
    ASSERT_TRUE(h.send(simtest::header(0x12, 2999)));
    ASSERT_TRUE(h.sendChunks(data));
    EXPECT_EQ(h.response(&len), 1);
}

TEST(BoardCommands, DataStartWithoutMetaFails) {
    Board b;
    Host h = portHost(b);
    ASSERT_TRUE(h.send(simtest::header(0x12, 100)));
    ASSERT_TRUE(h.send(std::vector<uint8_t>(100, 1)));
    uint32_t len = 0;
    EXPECT_EQ(h.response(&len), 1);
}

TEST(BoardCommands, StorageMediaPartitionTableTraceAndWorkMode) {
    Board b;
    b.setStorageMedia({"emmc0", "sd1", "spinor"});
    Host h = portHost(b);
    uint32_t len = 0;
    bool ok = false;
    ASSERT_TRUE(h.send(simtest::header(0x16, 0)));
    ASSERT_EQ(h.response(&len), 0);
    ASSERT_EQ(len, 3 * 68u);
    auto media = h.recv(len, &ok);
    ASSERT_TRUE(ok);
    EXPECT_STREQ(reinterpret_cast<const char *>(&media[68]), "sd1");

    ASSERT_TRUE(h.send(simtest::header(0x17, 4)));
    ASSERT_TRUE(h.send(std::vector<uint8_t>(68, 0)));
    ASSERT_EQ(h.response(&len), 0);
    auto table = h.recv(len, &ok);
    ASSERT_TRUE(ok);
    EXPECT_STREQ(reinterpret_cast<const char *>(table.data()), "1M@0x4400(boot),4M(env),-(rootfs)");

    ASSERT_TRUE(h.send(simtest::header(0x01, 0)));
    ASSERT_EQ(h.response(&len), 0);
    EXPECT_GT(len, 0u);
    h.recv(len, &ok);
    EXPECT_TRUE(ok);

    std::vector<uint8_t> four(4), cfg(32, 0);
    simtest::put32(four.data(), 32);
    simtest::put32(cfg.data(), 4);
    ASSERT_TRUE(h.send(simtest::header(0x0A, 36)));
    ASSERT_TRUE(h.send(four));
    ASSERT_TRUE(h.send(cfg));
    EXPECT_EQ(h.response(&len), 0);
    ASSERT_TRUE(h.send(simtest::header(0x0B, 36)));
    ASSERT_TRUE(h.send(four));
    ASSERT_TRUE(h.send(std::vector<uint8_t>(32, 0)));
    EXPECT_EQ(h.response(&len), 0);
    EXPECT_EQ(b.workModes(), std::vector<uint32_t>{4});
    EXPECT_EQ(b.upgradeEnds(), 1);
}

TEST(BoardCommands, MemoryWriteReadAndReadBack) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    Board b(cfg);
    Host h = portHost(b);
    h.maxPacket = 65536;
    auto data = pattern(70000, 3);
    std::vector<uint8_t> arg(8);
    simtest::put32(&arg[0], 0x40000FF0);
    simtest::put32(&arg[4], uint32_t(data.size()));
    uint32_t len = 0;
    ASSERT_TRUE(h.send(simtest::header(0x02, uint32_t(data.size()) + 8)));
    ASSERT_TRUE(h.send(arg));
    ASSERT_TRUE(h.sendChunks(data));
    ASSERT_EQ(h.response(&len), 0);
    EXPECT_EQ(b.memory(0x40000FF0, uint32_t(data.size())), data);

    simtest::put32(&arg[4], 100);
    ASSERT_TRUE(h.send(simtest::header(0x03, 8)));
    ASSERT_TRUE(h.send(arg));
    ASSERT_EQ(h.response(&len), 0);
    ASSERT_EQ(len, 100u);
    bool ok = false;
    EXPECT_EQ(h.recv(100, &ok), std::vector<uint8_t>(data.begin(), data.begin() + 100));

    auto part = pattern(100000, 4);
    b.setPartition("rootfs", part);
    std::vector<uint8_t> rb(184, 0);
    std::memcpy(rb.data(), "rootfs", 6);
    rb[104] = 0x10;  // offset 16
    simtest::put32(&rb[112], 70000);
    ASSERT_TRUE(h.send(simtest::header(0x18, 184)));
    ASSERT_TRUE(h.send(rb));
    ASSERT_EQ(h.response(&len), 0);
    ASSERT_EQ(len, 70000u);
    auto first = h.recv(65536, &ok);
    auto rest = h.recv(70000 - 65536, &ok);
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, std::vector<uint8_t>(part.begin() + 16, part.begin() + 16 + 70000));
}

TEST(BoardStages, RunComponentMovesTheBoardToUboot) {
    BoardConfig cfg;
    cfg.runAwayMs = 50;
    Board b(cfg);
    Host h = portHost(b);
    uint64_t g0 = b.generation();
    ASSERT_EQ(h.burn("image.updater.spl", "", pattern(1000, 5), 512, "burn,Run"), 0);
    EXPECT_FALSE(b.online());
    uint32_t v = 0;
    EXPECT_FALSE(h.value(0x11, &v));  // silent while away
    EXPECT_GT(b.stats().droppedWhileAway, 0u);
    EXPECT_TRUE(b.waitOnline(true, 5000));
    EXPECT_EQ(b.stage(), Stage::UBoot);
    EXPECT_EQ(b.generation(), g0 + 2);
    ASSERT_TRUE(h.value(0x11, &v));
    EXPECT_EQ(v, 4096u);
    // Storage survives the stage change.
    EXPECT_EQ(b.partition("image.updater.spl").size(), 1000u);
}

TEST(BoardStages, CommandLineResetRebootsIntoConfiguredStage) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    cfg.resetAwayMs = 30;
    Board b(cfg);
    Host h = portHost(b);
    h.maxPacket = 65536;
    std::vector<uint8_t> n(4);
    simtest::put32(n.data(), 5);
    ASSERT_TRUE(h.send(simtest::header(0x05, 9)));
    ASSERT_TRUE(h.send(n));
    ASSERT_TRUE(h.send(std::vector<uint8_t>{'r', 'e', 's', 'e', 't'}));
    uint32_t len = 0;
    EXPECT_EQ(h.response(&len), 0);
    EXPECT_FALSE(b.online());
    EXPECT_TRUE(b.waitOnline(true, 5000));
    EXPECT_EQ(b.stage(), Stage::BootRom);
    EXPECT_EQ(b.cmdlines(), std::vector<std::string>{"reset"});
}

TEST(BoardFaults, CswSignatureAndTag) {
    Board b;
    Host h = portHost(b);
    uint32_t v = 0;
    b.corruptCsw(1, CswFault::Signature);
    EXPECT_FALSE(h.value(0x11, &v));
    b.clearFaults();
    Board b2;
    Host h2 = portHost(b2);
    b2.corruptCsw(2, CswFault::Tag);
    EXPECT_FALSE(h2.send(simtest::header(0x11, 0)));
    uint32_t len = 0;
    EXPECT_EQ(h2.response(&len), -1);
    EXPECT_TRUE(h2.value(0x11, &v));  // k packets only
}

TEST(BoardFaults, StatusBlockSizeCrcAndResults) {
    Board b;
    Host h = portHost(b);
    b.failCommand(0x10, 3);
    uint32_t len = 0;
    ASSERT_TRUE(h.send(simtest::header(0x10, 512)));
    ASSERT_TRUE(h.send(simtest::meta("a", "p", 10, 0, "burn")));
    EXPECT_EQ(h.response(&len), 3);
    b.clearCommandFailure(0x10);

    b.setZeroBlockSize(true);
    uint32_t v = 1;
    ASSERT_TRUE(h.value(0x11, &v));
    EXPECT_EQ(v, 0u);
    b.setZeroBlockSize(false);

    auto data = pattern(512, 9);
    b.setWrongCrc(true);
    b.setBurnResult(0x55);
    ASSERT_EQ(h.burn("a", "p", data, 512), 0);
    ASSERT_TRUE(h.value(0x13, &v));
    EXPECT_EQ(v, ~crcOf(data));
    ASSERT_TRUE(h.value(0x14, &v));
    EXPECT_EQ(v, 0x55u);
    ASSERT_TRUE(h.value(0x15, &v));
    EXPECT_EQ(v, 0u);
}

TEST(BoardFaults, MuteAndVanishAfterBytes) {
    Board b;
    Host h = portHost(b);
    b.setMute(true);
    uint32_t v = 0;
    EXPECT_FALSE(h.value(0x11, &v));
    b.setMute(false);
    EXPECT_TRUE(h.value(0x11, &v));  // the unread CSW is dropped by the next CBW
    EXPECT_EQ(b.stats().staleAnswersDropped, 1u);

    Board b2;
    Host h2 = portHost(b2);
    b2.vanishAfterBytes(100, 50, Stage::UBoot);
    EXPECT_FALSE(h2.burn("a", "p", pattern(1024, 1), 512) == 0);
    EXPECT_FALSE(b2.online());
    EXPECT_TRUE(b2.waitOnline(true, 5000));
    EXPECT_EQ(b2.stage(), Stage::UBoot);
    h2.tag = 0;
    EXPECT_TRUE(h2.value(0x11, &v));  // protocol state starts afresh

    Board b3;
    b3.vanish();
    EXPECT_FALSE(b3.waitOnline(true, 100));  // gone for good
    b3.comeBack(Stage::BootRom);
    EXPECT_TRUE(b3.online());
}

TEST(BoardThreads, ConcurrentObserversDoNotDisturbTheBurn) {
    BoardConfig cfg;
    cfg.initialStage = Stage::UBoot;
    Board b(cfg);
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
        while (!stop) {
            (void)b.stats();
            (void)b.storage();
            (void)b.online();
        }
    });
    Host h = portHost(b);
    h.maxPacket = 65536;
    auto data = pattern(300000, 11);
    EXPECT_EQ(h.burn("image.target.rootfs", "rootfs", data, 4096), 0);
    stop = true;
    watcher.join();
    EXPECT_EQ(b.partition("rootfs"), data);
}

}  // namespace
