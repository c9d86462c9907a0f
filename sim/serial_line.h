// The board's end of the serial line: serves the master side of a pty and
// speaks the device side of the framed UART protocol (probe answers, DC1
// receive sessions, DC2 send sessions) on its own thread, on behalf of any
// BoardPort. Faults can be switched on by tests while it runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board_port.h"
#include "pty_pair.h"

namespace kelsim {

// Control bytes of the line.
enum SerialByte : uint8_t {
    kSerSOH = 0x01,
    kSerSTX = 0x02,
    kSerACK = 0x06,
    kSerDC1 = 0x11,
    kSerDC2 = 0x12,
    kSerNAK = 0x15,
    kSerCAN = 0x18,
    kSerA = 'A',
    kSerC = 'C',
};

// One frame seen on the line, in either direction.
struct SerialFrameRecord {
    bool fromHost = true;  // host -> board (a send), else board -> host
    uint8_t kind = 0;      // SOH or STX
    uint8_t blk = 0;
    int len = 0;             // payload bytes
    int wireBytes = 0;       // the whole frame as it went over the line
    uint8_t answer = 0;      // ACK or NAK, 0 when there was none (dropped, timed out)
    bool duplicate = false;  // acknowledged again, not delivered twice
};

struct SerialLineStats {
    uint64_t bytesFromHost = 0;
    uint64_t bytesToHost = 0;
    int probes = 0;  // "C" seen while present
    int dc1 = 0;
    int dc2 = 0;
    int naksSent = 0;
    int naksReceived = 0;
    int answerTimeouts = 0;  // frames sent to the host that got no answer
    int framesDropped = 0;   // frames from the host that got no answer
};

class SerialLine {
public:
    struct Options {
        // Model the 115200 baud line: bytes leave and arrive no faster than
        // the wire carries them (about 86.8 us each).
        bool pace = false;
        int baud = 115200;
        // How long the board waits for the host's answer to a frame it sent.
        // Generous: the host does not compare block numbers, so a frame sent
        // again after a late ACK would reach it twice; a busy host machine
        // may well take some hundred ms to answer.
        int answerTimeoutMs = 1000;
        int maxTries = 10;
        // Largest answer the board is asked for on one receive announcement.
        size_t phaseMax = 1u << 20;
    };

    explicit SerialLine(BoardPort &board);
    SerialLine(BoardPort &board, Options options);
    ~SerialLine();
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;

    bool start(std::string *error = nullptr);
    void stop();
    std::string slavePath() const;

    // Fault injection; each call is safe while the line runs.
    void nakNext(int frames);                     // NAK the next frames from the host
    void nakPattern(const std::string &pattern);  // per frame from the host: 'N' NAK, else normal
    void corruptCrcNext(int frames);              // frames to the host with a wrong CRC
    void wrongComplementNext(int frames);  // frames to the host with a wrong block complement
    void refuseNext(int count);            // answer the next DC1/DC2 with "A"
    void canAfterFrames(int frames);       // next receive: CAN after so many acknowledged frames
    void setProbeAnswer(uint8_t byte);     // the answer to "C" (ACK by default)
    void setMute(bool mute);               // answer nothing at all
    void setIgnoreTransfers(bool ignore);  // answer "C" but never DC1/DC2
    void vanishAfter(int64_t bytes, int comeBackMs);  // go away after so many more bytes out
    void scriptNextReceive(const std::vector<uint8_t> &raw);  // next DC2: ACK, then these bytes
    void injectToHost(const std::vector<uint8_t> &raw);       // unasked bytes, sent when idle
    void clearFaults();

    std::vector<SerialFrameRecord> frames() const;
    SerialLineStats stats() const;
    void clearStats();

private:
    void run();
    bool away();
    bool faulted();
    int getByte(int timeoutMs);
    bool readN(uint8_t *buf, int n, int timeoutMs);
    bool fill(int timeoutMs);
    void drainQuiet();
    void writeOut(const uint8_t *data, size_t n);
    void writeByte(uint8_t b) { writeOut(&b, 1); }
    void sayByte(uint8_t b);
    void handleByte(uint8_t b);
    void receiveFrame(uint8_t head);
    void serveReceive();
    void record(const SerialFrameRecord &r);
    std::chrono::nanoseconds byteTime() const;

    BoardPort &board_;
    Options opt_;
    PtyPair pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    // Service thread only.
    std::deque<uint8_t> in_;
    std::chrono::steady_clock::time_point inClock_{};
    bool inBacklog_ = false;
    std::chrono::steady_clock::time_point outClock_{};
    int lastBlk_ = -1;  // last frame accepted in this receive session
    uint8_t txBlk_ = 1;
    std::vector<uint8_t> phase_;

    // Faults and statistics.
    mutable std::mutex mutex_;
    std::string nakPattern_;
    int corruptCrc_ = 0;
    int wrongComplement_ = 0;
    int refuse_ = 0;
    int canAfter_ = -1;
    uint8_t probeAnswer_ = kSerACK;
    bool mute_ = false;
    bool ignoreTransfers_ = false;
    int64_t vanishLimit_ = -1;  // absolute bytesToHost at which the board goes away
    int vanishComeBackMs_ = -1;
    bool vanished_ = false;
    std::chrono::steady_clock::time_point vanishedUntil_{};
    std::vector<uint8_t> script_;
    std::vector<uint8_t> inject_;
    bool scripted_ = false;
    SerialLineStats stats_;
    std::vector<SerialFrameRecord> frames_;
};

}  // namespace kelsim
