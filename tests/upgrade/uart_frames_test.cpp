// Frames, block numbers, refusals and receive faults over a real pty against
// the simulated board's serial side.
#include <cstring>

#include "serial_crc.h"
#include "uart_test_util.h"

using namespace uarttest;
using kelsim::SerialFrameRecord;

namespace {

std::vector<SerialFrameRecord> hostFrames(const kelsim::SerialLine &line) {
    std::vector<SerialFrameRecord> out;
    for (auto &f : line.frames())
        if (f.fromHost)
            out.push_back(f);
    return out;
}

std::vector<SerialFrameRecord> boardFrames(const kelsim::SerialLine &line) {
    std::vector<SerialFrameRecord> out;
    for (auto &f : line.frames())
        if (!f.fromHost)
            out.push_back(f);
    return out;
}

}  // namespace

TEST(UartCrc, CheckValuesAndBothSidesAgree) {
    const char *digits = "123456789";
    EXPECT_EQ(libuart_crc16(reinterpret_cast<const uint8_t *>(digits), 9), 0x31C3);
    EXPECT_EQ(libuart_crc16(reinterpret_cast<const uint8_t *>("abc"), 3), 0x9DD6);
    EXPECT_EQ(libuart_crc16(nullptr, 0), 0);
    EXPECT_EQ(kelsim::serialCrc16(reinterpret_cast<const uint8_t *>(digits), 9), 0x31C3);
    EXPECT_EQ(kelsim::serialCrc16(reinterpret_cast<const uint8_t *>("abc"), 3), 0x9DD6);
    std::mt19937 rng(7);
    for (int i = 0; i < 50; ++i) {
        std::vector<uint8_t> v(rng() % 1100);
        for (auto &b : v)
            b = static_cast<uint8_t>(rng());
        ASSERT_EQ(libuart_crc16(v.data(), static_cast<int>(v.size())),
                  kelsim::serialCrc16(v.data(), v.size()));
    }
}

using UartSend = SerialFixture;

TEST_F(UartSend, LongThenShortFrameFor1200Bytes) {
    openConnected();
    auto data = pattern(1200);
    ASSERT_EQ(libuart_send(conn, data.data(), 1200), 1200) << LogCapture::dump();
    EXPECT_EQ(board.received(), data);
    auto f = hostFrames(*line);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].kind, kelsim::kSerSTX);
    EXPECT_EQ(f[0].blk, 1);
    EXPECT_EQ(f[0].len, 1024);
    EXPECT_EQ(f[0].wireBytes, 1029);
    EXPECT_EQ(f[1].kind, kelsim::kSerSOH);
    EXPECT_EQ(f[1].blk, 2);
    EXPECT_EQ(f[1].len, 176);
    EXPECT_EQ(libuart_get_state(conn), LIBUART_STATE_CONNECTED);
}

TEST_F(UartSend, HundredBytesAre106OnTheLine) {
    openConnected();
    line->clearStats();
    auto data = pattern(100);
    ASSERT_EQ(libuart_send(conn, data.data(), 100), 100);
    auto f = hostFrames(*line);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].kind, kelsim::kSerSOH);
    EXPECT_EQ(f[0].len, 100);
    EXPECT_EQ(f[0].wireBytes, 106);
    auto st = line->stats();
    // DC1, the frame, and whatever probes the manager slipped in between.
    EXPECT_EQ(st.bytesFromHost, 1u + 106u + static_cast<unsigned>(st.probes));
    EXPECT_EQ(board.received(), data);
}

TEST_F(UartSend, MidSizesUse176ByteShortFrames) {
    openConnected();
    auto data = pattern(1024 + 500);
    ASSERT_EQ(libuart_send(conn, data.data(), static_cast<int>(data.size())), 1524);
    auto f = hostFrames(*line);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[1].len, 176);
    EXPECT_EQ(f[2].len, 176);
    EXPECT_EQ(f[3].len, 500 - 352);
    EXPECT_EQ(board.received(), data);
    // Nothing to send: announced, but no frame and no failure.
    EXPECT_EQ(libuart_send(conn, data.data(), 0), 0);
}

TEST_F(UartSend, BlockNumbersWrapTo1After255) {
    openConnected();
    auto data = pattern(256 * 1024, 3);
    ASSERT_EQ(libuart_send(conn, data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    auto more = pattern(100, 4);
    ASSERT_EQ(libuart_send(conn, more.data(), 100), 100);
    auto f = hostFrames(*line);
    ASSERT_EQ(f.size(), 257u);
    for (int i = 0; i < 255; ++i)
        ASSERT_EQ(f[i].blk, i + 1);
    EXPECT_EQ(f[255].blk, 1);  // never 0
    EXPECT_EQ(f[256].blk, 2);  // numbering goes on across calls
    auto got = board.received();
    ASSERT_EQ(got.size(), data.size() + 100);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
}

TEST_F(UartSend, TenRefusalsOverOneCallEndIt) {
    openConnected();
    auto data = pattern(3000);
    // Five NAKs on the first frame, then five on the second: ten in one call.
    line->nakPattern("NNNNNANNNNN");
    EXPECT_EQ(libuart_send(conn, data.data(), 3000), 1024) << LogCapture::dump();
    EXPECT_EQ(board.received(), std::vector<uint8_t>(data.begin(), data.begin() + 1024));
    EXPECT_EQ(line->stats().naksSent, 10);
    EXPECT_EQ(libuart_get_state(conn), LIBUART_STATE_CONNECTED);
    EXPECT_TRUE(LogCapture::contains("refusals", UPG_LOG_ERR));
}

TEST_F(UartSend, NineRefusalsStillDeliver) {
    openConnected();
    auto data = pattern(3000);
    line->nakPattern("NNNNNANNNN");
    EXPECT_EQ(libuart_send(conn, data.data(), 3000), 3000);
    EXPECT_EQ(board.received(), data);
    auto f = hostFrames(*line);
    // The resent frame keeps its block number.
    ASSERT_GE(f.size(), 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(f[i].blk, 1);
}

TEST_F(UartSend, SilentAnswerEndsSendAndSwitchesToDetecting) {
    openConnected();
    std::vector<int> states;
    auto data = pattern(4000);
    // The board answers DC1 and the first frame, then goes away for good.
    line->vanishAfter(2, -1);
    auto t0 = Clock::now();
    EXPECT_EQ(libuart_send(conn, data.data(), 4000), 1024);
    EXPECT_LT(msSince(t0), 3000);
    EXPECT_TRUE(LogCapture::contains("Waiting resp timeout, switch to detecting state."));
    EXPECT_EQ(libuart_get_state(conn), LIBUART_STATE_DETECTING);
}

using UartRecv = SerialFixture;

TEST_F(UartRecv, BoardFramesAreReassembled) {
    openConnected();
    auto data = pattern(1300, 9);
    board.serve(data);
    std::vector<uint8_t> buf(1300);
    ASSERT_EQ(libuart_recv(conn, buf.data(), 1300, 5000), 1300) << LogCapture::dump();
    EXPECT_EQ(buf, data);
    // The board notes a frame once it has the host's answer.
    waitFor([this] { return boardFrames(*line).size() >= 3; }, 3000);
    auto f = boardFrames(*line);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].len, 1024);
    EXPECT_EQ(f[1].len, 255);
    EXPECT_EQ(f[2].len, 21);
    for (auto &x : f)
        EXPECT_EQ(x.answer, kelsim::kSerACK);
    EXPECT_EQ(libuart_get_state(conn), LIBUART_STATE_CONNECTED);
}

TEST_F(UartRecv, CanReturnsWhatArrivedAndStaysConnected) {
    openConnected();
    auto data = pattern(3000, 5);
    board.serve(data);
    line->canAfterFrames(2);
    std::vector<uint8_t> buf(3000);
    auto t0 = Clock::now();
    EXPECT_EQ(libuart_recv(conn, buf.data(), 3000, 8000), 2048);
    EXPECT_LT(msSince(t0), 4000);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 2048, data.begin()));
    EXPECT_EQ(libuart_get_state(conn), LIBUART_STATE_CONNECTED);
}

TEST_F(UartRecv, NothingToSayEndsAtOnce) {
    openConnected();
    uint8_t buf[16];
    auto t0 = Clock::now();
    EXPECT_EQ(libuart_recv(conn, buf, 16, 8000), 0);
    EXPECT_LT(msSince(t0), 4000);
}

TEST_F(UartRecv, WrongComplementIsDroppedWithoutNak) {
    openConnected();
    auto data = pattern(300, 11);
    board.serve(data);
    line->wrongComplementNext(1);
    std::vector<uint8_t> buf(300);
    ASSERT_EQ(libuart_recv(conn, buf.data(), 300, 8000), 300) << LogCapture::dump();
    EXPECT_EQ(buf, data);
    auto st = line->stats();
    EXPECT_EQ(st.naksReceived, 0);
    EXPECT_EQ(st.answerTimeouts, 1);  // the board resent it after hearing nothing
    EXPECT_TRUE(LogCapture::contains("blk no error", UPG_LOG_ERR));
}

TEST_F(UartRecv, WrongCrcGetsNak) {
    openConnected();
    auto data = pattern(300, 12);
    board.serve(data);
    line->corruptCrcNext(1);
    std::vector<uint8_t> buf(300);
    ASSERT_EQ(libuart_recv(conn, buf.data(), 300, 8000), 300) << LogCapture::dump();
    EXPECT_EQ(buf, data);
    auto st = line->stats();
    EXPECT_EQ(st.naksReceived, 1);
    EXPECT_EQ(st.answerTimeouts, 0);
    EXPECT_TRUE(LogCapture::contains("CRC16 error", UPG_LOG_ERR));
    auto f = boardFrames(*line);
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ(f[0].answer, kelsim::kSerNAK);
    EXPECT_EQ(f[1].blk, f[0].blk);
}

TEST_F(UartRecv, FrameLongerThanWantedNeverOverflowsTheBuffer) {
    openConnected();
    // A long frame while only 100 bytes are wanted, into a buffer of exactly
    // 100 bytes (the sanitizer tree catches any write behind it).
    board.serve(pattern(1024, 13));
    std::unique_ptr<uint8_t[]> small(new uint8_t[100]);
    memset(small.get(), 0xEE, 100);
    EXPECT_EQ(libuart_recv(conn, small.get(), 100, 1500), 0);
    EXPECT_TRUE(LogCapture::contains("longer than the 100 bytes still wanted", UPG_LOG_ERR))
        << LogCapture::dump();
    EXPECT_TRUE(LogCapture::contains("Read data time out.", UPG_LOG_ERR));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(small[i], 0xEE);
}

TEST_F(UartRecv, ShortFrameLongerThanWantedIsRefusedToo) {
    openConnected();
    // One short frame of 255 bytes while only 50 are wanted.
    board.serve(pattern(255, 14));
    std::unique_ptr<uint8_t[]> small(new uint8_t[50]);
    EXPECT_EQ(libuart_recv(conn, small.get(), 50, 1200), 0);
    EXPECT_TRUE(LogCapture::contains("longer than the 50 bytes still wanted", UPG_LOG_ERR));
}

TEST_F(UartRecv, HostileStreamsNeverHangTheReader) {
    openConnected();
    std::mt19937 rng(21);
    std::vector<std::vector<uint8_t>> streams;
    // Random noise without the two bytes that end a receive early.
    std::vector<uint8_t> noise(3000);
    for (auto &b : noise) {
        do {
            b = static_cast<uint8_t>(rng());
        } while (b == kelsim::kSerCAN || b == kelsim::kSerA);
    }
    streams.push_back(noise);
    // Frame heads that promise more than ever comes, and an empty frame.
    streams.push_back({kelsim::kSerSOH, 1, 254, 255, 1, 2, 3});
    streams.push_back({kelsim::kSerSTX, 1, 254, 9, 9});
    streams.push_back({kelsim::kSerSOH, 1, 254, 0, 0, 0});
    streams.push_back({kelsim::kSerSTX});
    // A header byte, then noise that mostly looks like more header bytes.
    std::vector<uint8_t> heads(2000);
    for (auto &b : heads)
        b = static_cast<uint8_t>(rng() % 2 ? kelsim::kSerSOH : kelsim::kSerSTX);
    streams.push_back(heads);

    const int timeoutMs = 800;
    for (size_t i = 0; i < streams.size(); ++i) {
        ASSERT_TRUE(waitConnected()) << "stream " << i;
        line->scriptNextReceive(streams[i]);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[4096]);
        auto t0 = Clock::now();
        int r = libuart_recv(conn, buf.get(), 4096, timeoutMs);
        auto took = msSince(t0);
        EXPECT_GE(r, 0) << "stream " << i;
        EXPECT_LE(r, 4096) << "stream " << i;
        // Bounded by its own time-out, one frame's read limits (500 + 1000 ms)
        // and scheduling slack, never by the length of the stream.
        EXPECT_LT(took, timeoutMs + 1500 + 3000) << "stream " << i;
    }
    // The line still works afterwards.
    ASSERT_TRUE(waitConnected());
    auto data = pattern(500, 22);
    board.serve(data);
    std::vector<uint8_t> buf(500);
    EXPECT_EQ(libuart_recv(conn, buf.data(), 500, 5000), 500) << LogCapture::dump();
    EXPECT_EQ(buf, data);
}
