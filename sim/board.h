// kelsim::Board - the simulated board's upgrade service (boot ROM and U-Boot).
//
// The board parses the host's byte stream as transport packets (31-byte CBW,
// data phase, 13-byte CSW) and the packets' payloads as the kelupg command set
// (16-byte command headers, argument and data pieces, 16-byte response headers
// followed by response data). It keeps what every component became per
// partition, logs every command code in wire order and counts what it saw, so
// tests can check the host byte for byte. It is reached through BoardPort
// (USB side: kelsim::UsbBoardSim, serial side: the serial helper).
//
// Typical use in a test:
//     kelsim::BoardConfig cfg;
//     cfg.initialStage = kelsim::Stage::BootRom;
//     kelsim::Board board(cfg);
//     ... drive the host against it ...
//     EXPECT_EQ(board.partition("boot"), expectedBytes);
//     EXPECT_EQ(board.commandLog(), (std::vector<uint8_t>{0x00, 0x10, 0x11, 0x12, 0x13}));
//
// Faults are switched on by the test at any time (see "Fault injection") and
// cleared with clearFaults(). All members are thread-safe.
#pragma once

#include "board_port.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelsim {

enum class Stage : uint8_t { BootRom = 0, UBoot = 1 };

const char *stageName(Stage s);

struct BoardConfig {
    Stage initialStage = Stage::BootRom;
    // Block size answered to command 0x11 in each stage.
    uint32_t blockSizeBootRom = 512;
    uint32_t blockSizeUBoot = 4096;
    // Largest data phase each stage accepts (the boot ROM's buffer is 2 KiB).
    uint32_t maxPacketBootRom = 2048;
    uint32_t maxPacketUBoot = 65536;
    // Names answered to command 0x16, one 68-byte entry each.
    std::vector<std::string> storageMedia{"emmc0", "sd1"};
    // Text answered to command 0x17 (partition list syntax).
    std::string partitionTable = "1M@0x4400(boot),4M(env),-(rootfs)";
    // Time away after a "run" component (then back in the next stage).
    int runAwayMs = 300;
    // Time away after the command line "reset", and the stage it comes back in.
    int resetAwayMs = 300;
    Stage resetStage = Stage::BootRom;
    // Hardware-information bytes 41..43.
    uint8_t securityFlags = 0;
    uint8_t bootDevice1 = 2;
    uint8_t bootDevice2 = 1;
    // Hardware-information bytes 44..107: the chip's identifier (at most 64
    // characters), the same in both stages.
    std::string chipId = "SIM-000001";
};

// One component as the board received it (FWC meta record + data).
struct ReceivedComponent {
    std::string name;
    std::string partition;
    std::string attributes;
    uint32_t offsetField = 0;  // image offset as the record states it
    uint32_t size = 0;         // announced size
    uint32_t crcField = 0;     // CRC the record carries
    uint32_t ramAddress = 0;
    uint32_t crc = 0;              // CRC-32 over the received data (announced size)
    uint64_t bytesReceived = 0;    // including the host's padding
    bool complete = false;         // all announced bytes arrived and the transfer closed
    Stage stage = Stage::BootRom;  // stage that received it
};

struct BoardStats {
    uint64_t packets = 0;         // CBWs accepted
    uint64_t sendPackets = 0;     // host-to-device packets
    uint64_t recvPackets = 0;     // device-to-host packets
    uint64_t cbwErrors = 0;       // transfers that should have been a CBW and were not
    uint64_t refusedPackets = 0;  // data phases above the stage's packet size
    uint64_t badHeaders = 0;      // command headers with wrong magic/checksum/size
    uint64_t protocolErrors = 0;  // pieces that did not fit the current command
    uint64_t bytesFromHost = 0;
    uint64_t bytesToHost = 0;
    uint64_t droppedWhileAway = 0;  // bytes sent to the board while it was away
    uint64_t componentsReceived = 0;
    uint64_t departures = 0;  // times the board left (run, reset, vanish)
    uint64_t returns = 0;
    uint64_t paddingBytes = 0;         // component bytes beyond the announced size
    uint64_t staleAnswersDropped = 0;  // unread answers dropped by a new CBW
};

enum class CswFault { Signature, Tag };

class Board : public BoardPort {
public:
    explicit Board(BoardConfig cfg = {});
    ~Board() override;

    // BoardPort
    void hostSent(const uint8_t *data, size_t n) override;
    size_t hostReceive(uint8_t *buf, size_t max) override;
    bool online() const override;

    // True while an answer (data phase or CSW) waits to be read.
    bool hasPendingAnswer() const;

    // Called from the destructor, so a transport that still refers to the
    // board can let go of it (a test may destroy the board first). Returns a
    // token for removeDestroyListener.
    int addDestroyListener(std::function<void()> f);
    void removeDestroyListener(int token);

    // --- state -----------------------------------------------------------
    Stage stage() const;
    uint32_t maxPacket() const;  // the current stage's largest data phase
    uint32_t blockSize() const;  // what 0x11 answers now
    // Changes whenever the board leaves or comes back; a transport polls it to
    // notice a short absence it might otherwise miss.
    uint64_t generation() const;
    // Blocks until online() equals want or timeoutMs passes; returns online().
    bool waitOnline(bool want, int timeoutMs) const;

    // --- what the board saw ----------------------------------------------
    std::vector<uint8_t> commandLog() const;
    void clearCommandLog();
    // Partition name (or the component name when the record names no
    // partition) -> the bytes it holds (announced size, padding dropped).
    std::map<std::string, std::vector<uint8_t>> storage() const;
    std::vector<uint8_t> partition(const std::string &name) const;
    std::vector<ReceivedComponent> components() const;
    std::vector<std::string> cmdlines() const;
    std::vector<uint32_t> workModes() const;  // argument of every 0x0A
    int upgradeEnds() const;                  // count of 0x0B
    BoardStats stats() const;
    // Board memory as written by 0x02 (unwritten bytes read as 0).
    std::vector<uint8_t> memory(uint32_t address, uint32_t n) const;

    // --- configuration while running ------------------------------------
    void setBlockSize(Stage s, uint32_t size);
    void setStorageMedia(std::vector<std::string> names);
    void setPartitionTable(std::string text);
    void setRunAwayMs(int ms);
    void setReset(int awayMs, Stage backIn);
    // Puts data into a partition (for 0x18 reads).
    void setPartition(const std::string &name, std::vector<uint8_t> data);

    // --- fault injection -------------------------------------------------
    // The next k CSWs carry a wrong signature or a tag off by one.
    void corruptCsw(int k, CswFault kind = CswFault::Signature);
    // Responses to this command code carry the given non-zero status.
    void failCommand(uint8_t code, uint8_t status = 1);
    void clearCommandFailure(uint8_t code);
    // 0x11 answers 0.
    void setZeroBlockSize(bool on);
    // hostReceive returns 0 (the board swallows everything and answers nothing).
    void setMute(bool on);
    // After n more bytes from the host the board vanishes: away for awayMs,
    // or for good when awayMs < 0. It comes back in backIn (default: the stage
    // it left) with its protocol state reset.
    void vanishAfterBytes(uint64_t n, int awayMs = -1, std::optional<Stage> backIn = {});
    // Vanishes in the middle of the named component (name or partition of its
    // meta record), about half-way through its data, for good or for awayMs;
    // it comes back in the stage it started in, as if plugged in again.
    void vanishInComponent(const std::string &name, int awayMs = -1);
    // Vanishes now (same rules).
    void vanish(int awayMs = -1, std::optional<Stage> backIn = {});
    // Brings a vanished board back now, in stage s.
    void comeBack(std::optional<Stage> s = {});
    // 0x13 answers a wrong checksum (the correct one inverted).
    void setWrongCrc(bool on);
    // 0x14 / 0x15 answer these values.
    void setBurnResult(uint32_t v);
    void setRunResult(uint32_t v);
    // The next time the board comes back after a "run" component it answers
    // with this chip identifier: another board was put into its port meanwhile.
    void setChipIdAfterRun(std::string id);
    void clearFaults();

private:
    enum class Departure { None, Run, Reset };
    enum class PacketState { Cbw, Data, Discard };
    enum class CmdState { Idle, Args, FwcData };

    struct InChunk {
        std::vector<uint8_t> bytes;
        size_t pos = 0;
        Departure departAfter = Departure::None;
    };

    // All private helpers expect mu_ to be held.
    void refreshLocked() const;
    uint32_t maxPacketLocked() const;
    void departLocked(int awayMs, Stage backIn);
    void departAfterLocked(Departure d);
    void resetProtocolLocked();
    void feedLocked(const uint8_t *data, size_t n);
    void cbwCompleteLocked();
    void pushCswLocked(uint32_t tag, uint32_t residue, uint8_t status, Departure after);
    std::vector<uint8_t> takeOutboundLocked(uint32_t len);

    // Command layer (board_commands.cpp).
    void pieceLocked(const std::vector<uint8_t> &piece);
    void headerLocked(const std::vector<uint8_t> &piece);
    void argsLocked(const std::vector<uint8_t> &piece);
    void fwcDataLocked(const std::vector<uint8_t> &piece);
    void finishFwcLocked();
    void hostWantsAnswerLocked();
    void respondLocked(uint8_t code, uint8_t status, const std::vector<uint8_t> &data,
                       uint32_t announced);
    void respondLocked(uint8_t code, uint8_t status, const std::vector<uint8_t> &data = {});
    void respondValueLocked(uint8_t code, uint32_t value);
    uint8_t statusFor(uint8_t code) const;
    std::vector<uint8_t> hwinfoLocked() const;

    BoardConfig cfg_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;

    // presence
    mutable Stage stage_;
    mutable bool away_ = false;
    mutable bool awayForever_ = false;
    mutable std::chrono::steady_clock::time_point backAt_{};
    mutable Stage backStage_ = Stage::BootRom;
    mutable uint64_t generation_ = 0;
    mutable BoardStats stats_;

    // packet layer
    PacketState pstate_ = PacketState::Cbw;
    std::vector<uint8_t> cbw_;
    uint32_t tag_ = 0;
    uint32_t dataLen_ = 0;
    std::vector<uint8_t> data_;
    uint32_t discardLeft_ = 0;
    std::deque<InChunk> in_;
    std::deque<uint8_t> out_;  // response bytes not yet read by the host
    Departure pendingDeparture_ = Departure::None;

    // command layer
    CmdState cstate_ = CmdState::Idle;
    uint8_t cmd_ = 0;
    uint32_t cmdLen_ = 0;
    int argStep_ = 0;
    uint32_t expect_ = 0;  // size of the next argument piece
    uint32_t arg0_ = 0, arg1_ = 0;
    std::vector<uint8_t> acc_;
    bool metaValid_ = false;
    ReceivedComponent meta_;
    std::vector<uint8_t> fwcData_;
    bool fwcBad_ = false;
    bool haveResult_ = false;

    // records
    std::vector<uint8_t> log_;
    std::map<std::string, std::vector<uint8_t>> storage_;
    std::vector<ReceivedComponent> components_;
    std::vector<std::string> cmdlines_;
    std::vector<uint32_t> workModes_;
    int upgEnds_ = 0;
    std::map<uint32_t, std::vector<uint8_t>> ram_;  // 4 KiB pages

    std::map<int, std::function<void()>> destroyListeners_;
    int nextListener_ = 0;

    // faults
    int cswFaults_ = 0;
    CswFault cswKind_ = CswFault::Signature;
    std::map<uint8_t, uint8_t> failStatus_;
    bool zeroBlock_ = false;
    bool mute_ = false;
    std::optional<uint64_t> vanishAt_;  // value of bytesFromHost that triggers it
    int vanishAwayMs_ = -1;
    std::optional<Stage> vanishStage_;
    std::string vanishComponent_;
    int vanishComponentAwayMs_ = -1;
    bool wrongCrc_ = false;
    uint32_t burnResult_ = 0;
    uint32_t runResult_ = 0;
    std::string chipAfterRun_;
};

}  // namespace kelsim
