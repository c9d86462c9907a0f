// Presence, the transport packet layer and the test-facing accessors of the
// simulated board. The command layer lives in board_commands.cpp.
#include "board.h"
#include "wire.h"

#include <algorithm>
#include <cstring>

namespace kelsim {

namespace {
constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
}  // namespace

const char *stageName(Stage s) {
    return s == Stage::BootRom ? "BROM" : "U-Boot";
}

Board::Board(BoardConfig cfg) : cfg_(std::move(cfg)), stage_(cfg_.initialStage) {}

Board::~Board() {
    std::map<int, std::function<void()>> listeners;
    {
        std::lock_guard<std::mutex> l(mu_);
        listeners.swap(destroyListeners_);
    }
    for (auto &kv : listeners)
        kv.second();
}

int Board::addDestroyListener(std::function<void()> f) {
    std::lock_guard<std::mutex> l(mu_);
    destroyListeners_[nextListener_] = std::move(f);
    return nextListener_++;
}

void Board::removeDestroyListener(int token) {
    std::lock_guard<std::mutex> l(mu_);
    destroyListeners_.erase(token);
}

// ---------------------------------------------------------------- presence

void Board::refreshLocked() const {
    if (!away_ || awayForever_)
        return;
    if (std::chrono::steady_clock::now() < backAt_)
        return;
    away_ = false;
    stage_ = backStage_;
    ++generation_;
    ++stats_.returns;
    cv_.notify_all();
}

void Board::departLocked(int awayMs, Stage backIn) {
    away_ = true;
    awayForever_ = awayMs < 0;
    backAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(awayMs, 0));
    backStage_ = backIn;
    ++generation_;
    ++stats_.departures;
    resetProtocolLocked();
    cv_.notify_all();
}

void Board::departAfterLocked(Departure d) {
    if (d == Departure::Run) {
        if (!chipAfterRun_.empty()) {
            cfg_.chipId = chipAfterRun_;
            chipAfterRun_.clear();
        }
        departLocked(cfg_.runAwayMs, Stage::UBoot);
    } else if (d == Departure::Reset) {
        departLocked(cfg_.resetAwayMs, cfg_.resetStage);
    }
}

// A board that left forgets every half-done exchange; only its storage and
// what the test may inspect survive.
void Board::resetProtocolLocked() {
    pstate_ = PacketState::Cbw;
    cbw_.clear();
    data_.clear();
    discardLeft_ = 0;
    in_.clear();
    out_.clear();
    pendingDeparture_ = Departure::None;
    cstate_ = CmdState::Idle;
    acc_.clear();
    metaValid_ = false;
    fwcData_.clear();
    fwcData_.shrink_to_fit();
    fwcBad_ = false;
    haveResult_ = false;
}

bool Board::online() const {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    return !away_;
}

bool Board::waitOnline(bool want, int timeoutMs) const {
    std::unique_lock<std::mutex> l(mu_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        refreshLocked();
        if (!away_ == want)
            return !away_;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return !away_;
        auto until = deadline;
        if (away_ && !awayForever_ && backAt_ < until)
            until = backAt_;
        cv_.wait_until(l, until);
    }
}

uint64_t Board::generation() const {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    return generation_;
}

// ------------------------------------------------------------ packet layer

void Board::hostSent(const uint8_t *data, size_t n) {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    if (away_) {
        stats_.droppedWhileAway += n;
        return;
    }
    if (vanishAt_ && stats_.bytesFromHost + n >= *vanishAt_) {
        // The board dies in the middle of this transfer: whatever it got of it
        // is lost with the rest of its RAM.
        stats_.bytesFromHost += n;
        vanishAt_.reset();
        departLocked(vanishAwayMs_, vanishStage_.value_or(stage_));
        return;
    }
    stats_.bytesFromHost += n;
    feedLocked(data, n);
}

void Board::feedLocked(const uint8_t *data, size_t n) {
    size_t i = 0;
    while (i < n && !away_) {
        switch (pstate_) {
            case PacketState::Cbw: {
                size_t take = std::min(n - i, kCbwSize - cbw_.size());
                cbw_.insert(cbw_.end(), data + i, data + i + take);
                i += take;
                if (cbw_.size() >= 4 && rd32(cbw_.data()) != kCbwSignature) {
                    // Not a CBW: a real device would stall; drop the transfer so
                    // the next one can start clean.
                    ++stats_.cbwErrors;
                    cbw_.clear();
                    return;
                }
                if (cbw_.size() == kCbwSize)
                    cbwCompleteLocked();
                break;
            }
            case PacketState::Data: {
                size_t take = std::min<size_t>(n - i, dataLen_ - data_.size());
                data_.insert(data_.end(), data + i, data + i + take);
                i += take;
                if (data_.size() == dataLen_) {
                    pstate_ = PacketState::Cbw;
                    std::vector<uint8_t> piece;
                    piece.swap(data_);
                    pieceLocked(piece);
                    pushCswLocked(tag_, 0, 0, Departure::None);
                }
                break;
            }
            case PacketState::Discard: {
                size_t take = std::min<size_t>(n - i, discardLeft_);
                discardLeft_ -= static_cast<uint32_t>(take);
                i += take;
                if (discardLeft_ == 0) {
                    pstate_ = PacketState::Cbw;
                    pushCswLocked(tag_, dataLen_, 2, Departure::None);
                }
                break;
            }
        }
    }
}

void Board::cbwCompleteLocked() {
    if (!in_.empty()) {
        // The host gave up on an answer (time-out) and starts a new packet:
        // the board drops what it still had queued, as its firmware restarts
        // its packet state machine on every CBW.
        Departure d = in_.back().departAfter;
        stats_.staleAnswersDropped += in_.size();
        in_.clear();
        if (d != Departure::None) {
            cbw_.clear();
            departAfterLocked(d);
            return;
        }
    }
    const uint8_t *c = cbw_.data();
    tag_ = rd32(c + 4);
    dataLen_ = rd32(c + 8);
    uint8_t flags = c[12];
    uint8_t op = c[15];
    cbw_.clear();

    bool hostSends = flags == 0x00 && op == 0x01;
    bool hostReceives = flags == 0x80 && op == 0x02;
    if (!hostSends && !hostReceives) {
        ++stats_.cbwErrors;
        pushCswLocked(tag_, dataLen_, 1, Departure::None);
        return;
    }
    ++stats_.packets;
    if (hostSends) {
        ++stats_.sendPackets;
        if (dataLen_ > maxPacketLocked()) {
            ++stats_.refusedPackets;
            pstate_ = PacketState::Discard;
            discardLeft_ = dataLen_;
            return;
        }
        if (dataLen_ == 0) {
            pieceLocked({});
            pushCswLocked(tag_, 0, 0, Departure::None);
            return;
        }
        pstate_ = PacketState::Data;
        data_.clear();
        data_.reserve(dataLen_);
        return;
    }

    ++stats_.recvPackets;
    if (dataLen_ > maxPacketLocked()) {
        // Only the CSW comes back, so the host's read ends short.
        ++stats_.refusedPackets;
        pushCswLocked(tag_, dataLen_, 2, Departure::None);
        return;
    }
    if (out_.empty())
        hostWantsAnswerLocked();
    InChunk chunk;
    chunk.bytes = takeOutboundLocked(dataLen_);
    uint32_t residue = dataLen_ - static_cast<uint32_t>(chunk.bytes.size());
    if (!chunk.bytes.empty())
        in_.push_back(std::move(chunk));
    Departure after = Departure::None;
    if (out_.empty()) {
        after = pendingDeparture_;
        pendingDeparture_ = Departure::None;
    }
    pushCswLocked(tag_, residue, residue ? 1 : 0, after);
}

std::vector<uint8_t> Board::takeOutboundLocked(uint32_t len) {
    size_t n = std::min<size_t>(len, out_.size());
    std::vector<uint8_t> v(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
    return v;
}

void Board::pushCswLocked(uint32_t tag, uint32_t residue, uint8_t status, Departure after) {
    InChunk chunk;
    chunk.bytes.resize(kCswSize);
    uint32_t sig = kCswSignature;
    if (cswFaults_ > 0) {
        --cswFaults_;
        if (cswKind_ == CswFault::Signature)
            sig = 0x53425356;  // "VSBS"
        else
            tag += 1;
    }
    wr32(chunk.bytes.data(), sig);
    wr32(chunk.bytes.data() + 4, tag);
    wr32(chunk.bytes.data() + 8, residue);
    chunk.bytes[12] = status;
    chunk.departAfter = after;
    in_.push_back(std::move(chunk));
}

size_t Board::hostReceive(uint8_t *buf, size_t max) {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    if (away_ || mute_ || in_.empty() || max == 0)
        return 0;
    InChunk &c = in_.front();
    size_t n = std::min(max, c.bytes.size() - c.pos);
    std::memcpy(buf, c.bytes.data() + c.pos, n);
    c.pos += n;
    stats_.bytesToHost += n;
    if (c.pos == c.bytes.size()) {
        Departure d = c.departAfter;
        in_.pop_front();
        departAfterLocked(d);
    }
    return n;
}

bool Board::hasPendingAnswer() const {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    return !away_ && !mute_ && !in_.empty();
}

// ------------------------------------------------------------------ state

uint32_t Board::maxPacketLocked() const {
    return stage_ == Stage::BootRom ? cfg_.maxPacketBootRom : cfg_.maxPacketUBoot;
}

Stage Board::stage() const {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    return stage_;
}

uint32_t Board::maxPacket() const {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    return maxPacketLocked();
}

uint32_t Board::blockSize() const {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    if (zeroBlock_)
        return 0;
    return stage_ == Stage::BootRom ? cfg_.blockSizeBootRom : cfg_.blockSizeUBoot;
}

std::vector<uint8_t> Board::commandLog() const {
    std::lock_guard<std::mutex> l(mu_);
    return log_;
}

void Board::clearCommandLog() {
    std::lock_guard<std::mutex> l(mu_);
    log_.clear();
}

std::map<std::string, std::vector<uint8_t>> Board::storage() const {
    std::lock_guard<std::mutex> l(mu_);
    return storage_;
}

std::vector<uint8_t> Board::partition(const std::string &name) const {
    std::lock_guard<std::mutex> l(mu_);
    auto it = storage_.find(name);
    return it == storage_.end() ? std::vector<uint8_t>{} : it->second;
}

std::vector<ReceivedComponent> Board::components() const {
    std::lock_guard<std::mutex> l(mu_);
    return components_;
}

std::vector<std::string> Board::cmdlines() const {
    std::lock_guard<std::mutex> l(mu_);
    return cmdlines_;
}

std::vector<uint32_t> Board::workModes() const {
    std::lock_guard<std::mutex> l(mu_);
    return workModes_;
}

int Board::upgradeEnds() const {
    std::lock_guard<std::mutex> l(mu_);
    return upgEnds_;
}

BoardStats Board::stats() const {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    return stats_;
}

std::vector<uint8_t> Board::memory(uint32_t address, uint32_t n) const {
    std::lock_guard<std::mutex> l(mu_);
    std::vector<uint8_t> v(n, 0);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t a = address + i;
        auto it = ram_.find(a & ~0xFFFu);
        if (it != ram_.end())
            v[i] = it->second[a & 0xFFFu];
    }
    return v;
}

void Board::setBlockSize(Stage s, uint32_t size) {
    std::lock_guard<std::mutex> l(mu_);
    (s == Stage::BootRom ? cfg_.blockSizeBootRom : cfg_.blockSizeUBoot) = size;
}

void Board::setStorageMedia(std::vector<std::string> names) {
    std::lock_guard<std::mutex> l(mu_);
    cfg_.storageMedia = std::move(names);
}

void Board::setPartitionTable(std::string text) {
    std::lock_guard<std::mutex> l(mu_);
    cfg_.partitionTable = std::move(text);
}

void Board::setRunAwayMs(int ms) {
    std::lock_guard<std::mutex> l(mu_);
    cfg_.runAwayMs = ms;
}

void Board::setReset(int awayMs, Stage backIn) {
    std::lock_guard<std::mutex> l(mu_);
    cfg_.resetAwayMs = awayMs;
    cfg_.resetStage = backIn;
}

void Board::setPartition(const std::string &name, std::vector<uint8_t> data) {
    std::lock_guard<std::mutex> l(mu_);
    storage_[name] = std::move(data);
}

// ----------------------------------------------------------------- faults

void Board::corruptCsw(int k, CswFault kind) {
    std::lock_guard<std::mutex> l(mu_);
    cswFaults_ = k;
    cswKind_ = kind;
}

void Board::failCommand(uint8_t code, uint8_t status) {
    std::lock_guard<std::mutex> l(mu_);
    failStatus_[code] = status ? status : 1;
}

void Board::clearCommandFailure(uint8_t code) {
    std::lock_guard<std::mutex> l(mu_);
    failStatus_.erase(code);
}

void Board::setZeroBlockSize(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    zeroBlock_ = on;
}

void Board::setMute(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    mute_ = on;
}

void Board::vanishAfterBytes(uint64_t n, int awayMs, std::optional<Stage> backIn) {
    std::lock_guard<std::mutex> l(mu_);
    vanishAt_ = stats_.bytesFromHost + std::max<uint64_t>(n, 1);
    vanishAwayMs_ = awayMs;
    vanishStage_ = backIn;
}

void Board::vanishInComponent(const std::string &name, int awayMs) {
    std::lock_guard<std::mutex> l(mu_);
    vanishComponent_ = name;
    vanishComponentAwayMs_ = awayMs;
}

void Board::vanish(int awayMs, std::optional<Stage> backIn) {
    std::lock_guard<std::mutex> l(mu_);
    refreshLocked();
    departLocked(awayMs, backIn.value_or(stage_));
}

void Board::comeBack(std::optional<Stage> s) {
    std::lock_guard<std::mutex> l(mu_);
    if (!away_)
        return;
    awayForever_ = false;
    backAt_ = std::chrono::steady_clock::now();
    if (s)
        backStage_ = *s;
    refreshLocked();
}

void Board::setWrongCrc(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    wrongCrc_ = on;
}

void Board::setBurnResult(uint32_t v) {
    std::lock_guard<std::mutex> l(mu_);
    burnResult_ = v;
}

void Board::setRunResult(uint32_t v) {
    std::lock_guard<std::mutex> l(mu_);
    runResult_ = v;
}

void Board::setChipIdAfterRun(std::string id) {
    std::lock_guard<std::mutex> l(mu_);
    chipAfterRun_ = std::move(id);
}

void Board::clearFaults() {
    std::lock_guard<std::mutex> l(mu_);
    cswFaults_ = 0;
    failStatus_.clear();
    zeroBlock_ = false;
    mute_ = false;
    vanishAt_.reset();
    vanishComponent_.clear();
    wrongCrc_ = false;
    burnResult_ = 0;
    runResult_ = 0;
    chipAfterRun_.clear();
}

}  // namespace kelsim
