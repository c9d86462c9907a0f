// The command layer of the simulated board: command headers, argument and
// data pieces, responses. Every piece arrives as the payload of one transport
// packet; the response bytes wait in out_ until the host reads them with
// receive packets.
#include "board.h"
#include "wire.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace kelsim {

namespace {

constexpr uint32_t kCmdMagic = 0x43475055;   // "UPGC"
constexpr uint32_t kRespMagic = 0x52475055;  // "UPGR"
constexpr size_t kHeaderSize = 16;
constexpr size_t kMetaSize = 512;
constexpr size_t kMediaEntry = 68;
// A 0x18 read larger than this is refused rather than buffered.
constexpr uint64_t kMaxReadBack = 256ull << 20;

bool validHeader(const std::vector<uint8_t> &p) {
    if (p.size() != kHeaderSize)
        return false;
    const uint8_t *h = p.data();
    if (rd32(h) != kCmdMagic || h[4] != 1 || h[5] != 1 || h[7] != 0)
        return false;
    uint32_t sum = rd32(h) + rd32(h + 4) + rd32(h + 8);
    return sum == rd32(h + 12);
}

std::string fixedText(const uint8_t *p, size_t n) {
    size_t len = 0;
    while (len < n && p[len])
        ++len;
    return std::string(reinterpret_cast<const char *>(p), len);
}

bool hasRunWord(const std::string &attrs) {
    return attrs.find("run") != std::string::npos || attrs.find("Run") != std::string::npos ||
           attrs.find("RUN") != std::string::npos;
}

uint32_t crc32Of(const uint8_t *p, size_t n) {
    uLong c = crc32(0L, Z_NULL, 0);
    while (n > 0) {
        uInt step = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
        c = crc32(c, p, step);
        p += step;
        n -= step;
    }
    return static_cast<uint32_t>(c);
}

}  // namespace

uint8_t Board::statusFor(uint8_t code) const {
    auto it = failStatus_.find(code);
    return it == failStatus_.end() ? 0 : it->second;
}

void Board::respondLocked(uint8_t code, uint8_t status, const std::vector<uint8_t> &data,
                          uint32_t announced) {
    uint8_t h[kHeaderSize] = {};
    if (status == 0)
        status = statusFor(code);
    wr32(h, kRespMagic);
    h[4] = 1;
    h[5] = 1;
    h[6] = code;
    h[7] = status;
    wr32(h + 8, announced);
    wr32(h + 12, rd32(h) + rd32(h + 4) + rd32(h + 8));
    out_.insert(out_.end(), h, h + kHeaderSize);
    out_.insert(out_.end(), data.begin(), data.end());
}

void Board::respondLocked(uint8_t code, uint8_t status, const std::vector<uint8_t> &data) {
    respondLocked(code, status, data, static_cast<uint32_t>(data.size()));
}

void Board::respondValueLocked(uint8_t code, uint32_t value) {
    std::vector<uint8_t> v(4);
    wr32(v.data(), value);
    respondLocked(code, 0, v);
}

std::vector<uint8_t> Board::hwinfoLocked() const {
    std::vector<uint8_t> r(108, 0);
    const char chip[] = "KELSIM KV100 upgrade service";
    std::memcpy(r.data(), chip, sizeof(chip) - 1);
    r[40] = static_cast<uint8_t>(stage_);
    r[41] = cfg_.securityFlags;
    r[42] = cfg_.bootDevice1;
    r[43] = cfg_.bootDevice2;
    std::memcpy(r.data() + 44, cfg_.chipId.data(), std::min<size_t>(cfg_.chipId.size(), 64));
    return r;
}

void Board::pieceLocked(const std::vector<uint8_t> &piece) {
    switch (cstate_) {
        case CmdState::Idle:
            headerLocked(piece);
            return;
        case CmdState::Args:
            if (piece.size() != expect_ && validHeader(piece)) {
                // The host gave up on the previous command and starts a new one.
                ++stats_.protocolErrors;
                cstate_ = CmdState::Idle;
                headerLocked(piece);
                return;
            }
            argsLocked(piece);
            return;
        case CmdState::FwcData:
            fwcDataLocked(piece);
            return;
    }
}

void Board::headerLocked(const std::vector<uint8_t> &piece) {
    out_.clear();
    pendingDeparture_ = Departure::None;
    if (!validHeader(piece)) {
        ++stats_.badHeaders;
        respondLocked(piece.size() > 6 ? piece[6] : 0xFF, 1);
        return;
    }
    cmd_ = piece[6];
    cmdLen_ = rd32(piece.data() + 8);
    log_.push_back(cmd_);
    argStep_ = 0;
    acc_.clear();

    auto expectArgs = [this](uint32_t n) {
        cstate_ = CmdState::Args;
        expect_ = n;
    };
    switch (cmd_) {
        case 0x00:
            respondLocked(cmd_, 0, hwinfoLocked());
            break;
        case 0x01: {
            std::string t = std::string("kelsim ") + stageName(stage_) +
                            " packets=" + std::to_string(stats_.packets) +
                            " commands=" + std::to_string(log_.size()) + "\n";
            if (t.size() > maxPacketLocked())
                t.resize(maxPacketLocked());
            respondLocked(cmd_, 0, std::vector<uint8_t>(t.begin(), t.end()));
            break;
        }
        case 0x02:
        case 0x03:
            expectArgs(8);
            break;
        case 0x05:
        case 0x0A:
        case 0x0B:
            expectArgs(4);
            break;
        case 0x10:
            expectArgs(kMetaSize);
            break;
        case 0x11: {
            uint32_t b = zeroBlock_                 ? 0
                         : stage_ == Stage::BootRom ? cfg_.blockSizeBootRom
                                                    : cfg_.blockSizeUBoot;
            respondValueLocked(cmd_, b);
            break;
        }
        case 0x12:
            cstate_ = CmdState::FwcData;
            fwcData_.clear();
            haveResult_ = false;
            // The announced size must be the one the meta record gave.
            fwcBad_ = !metaValid_ || cmdLen_ != meta_.size;
            meta_.bytesReceived = 0;
            if (!fwcBad_)
                fwcData_.reserve(std::min<size_t>(meta_.size, 64u << 20));
            break;
        case 0x13:
        case 0x14:
        case 0x15:
            if (!haveResult_) {
                respondLocked(cmd_, 1);
                break;
            }
            if (cmd_ == 0x13)
                respondValueLocked(cmd_, meta_.crc ^ (wrongCrc_ ? 0xFFFFFFFFu : 0u));
            else
                respondValueLocked(cmd_, cmd_ == 0x14 ? burnResult_ : runResult_);
            break;
        case 0x16: {
            std::vector<uint8_t> list(cfg_.storageMedia.size() * kMediaEntry, 0);
            for (size_t i = 0; i < cfg_.storageMedia.size(); ++i) {
                const std::string &n = cfg_.storageMedia[i];
                std::memcpy(list.data() + i * kMediaEntry, n.data(),
                            std::min(n.size(), kMediaEntry - 1));
            }
            if (list.size() > maxPacketLocked())
                list.resize(maxPacketLocked() / kMediaEntry * kMediaEntry);
            respondLocked(cmd_, 0, list);
            break;
        }
        case 0x17:
            expectArgs(68);
            break;
        case 0x18:
            expectArgs(184);
            break;
        default:
            respondLocked(cmd_, 1);
            break;
    }
}

void Board::argsLocked(const std::vector<uint8_t> &p) {
    auto fail = [&]() {
        ++stats_.protocolErrors;
        cstate_ = CmdState::Idle;
        respondLocked(cmd_, 1);
    };
    auto done = [&](uint8_t status, const std::vector<uint8_t> &data = {}) {
        cstate_ = CmdState::Idle;
        respondLocked(cmd_, status, data);
    };

    if (argStep_ == 0 && p.size() != expect_)
        return fail();

    switch (cmd_) {
        case 0x02:  // memory write: (address, n), then n bytes in pieces
            if (argStep_ == 0) {
                arg0_ = rd32(p.data());
                arg1_ = rd32(p.data() + 4);
                if (arg1_ == 0)
                    return done(cmdLen_ == 8 ? 0 : 1);
                argStep_ = 1;
                acc_.clear();
                expect_ = 0;
                return;
            }
            acc_.insert(acc_.end(), p.begin(), p.end());
            if (acc_.size() < arg1_)
                return;
            for (uint32_t i = 0; i < arg1_; ++i) {
                uint32_t a = arg0_ + i;
                auto &page = ram_[a & ~0xFFFu];
                if (page.empty())
                    page.resize(4096, 0);
                page[a & 0xFFFu] = acc_[i];
            }
            return done(acc_.size() == arg1_ && cmdLen_ == arg1_ + 8 ? 0 : 1);
        case 0x03: {  // memory read
            uint32_t addr = rd32(p.data()), n = rd32(p.data() + 4);
            if (n > (64u << 20))
                return done(1);
            std::vector<uint8_t> v(n, 0);
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t a = addr + i;
                auto it = ram_.find(a & ~0xFFFu);
                if (it != ram_.end())
                    v[i] = it->second[a & 0xFFFu];
            }
            return done(0, v);
        }
        case 0x05:  // command line: length, then the text in one piece
            if (argStep_ == 0) {
                arg1_ = rd32(p.data());
                if (arg1_ > maxPacketLocked())
                    return fail();
                argStep_ = 1;
                expect_ = arg1_;
                return;
            }
            if (p.size() != arg1_)
                return fail();
            {
                std::string text(p.begin(), p.end());
                cmdlines_.push_back(text);
                // The board accepts a trailing NUL or newline after the word.
                std::string word = text.substr(0, text.find_first_of(std::string("\0\r\n", 3)));
                if (word == "reset")
                    pendingDeparture_ = Departure::Reset;
            }
            return done(cmdLen_ == arg1_ + 4 ? 0 : 1);
        case 0x0A:
        case 0x0B:  // 32-byte configuration block behind its length
            if (argStep_ == 0) {
                if (rd32(p.data()) != 32)
                    return fail();
                argStep_ = 1;
                expect_ = 32;
                return;
            }
            if (p.size() != 32)
                return fail();
            if (cmd_ == 0x0A)
                workModes_.push_back(rd32(p.data()));
            else
                ++upgEnds_;
            return done(0);
        case 0x10: {  // FWC meta record
            const uint8_t *m = p.data();
            meta_ = ReceivedComponent{};
            meta_.name = fixedText(m + 8, 64);
            meta_.partition = fixedText(m + 72, 64);
            meta_.offsetField = rd32(m + 136);
            meta_.size = rd32(m + 140);
            meta_.crcField = rd32(m + 144);
            meta_.ramAddress = rd32(m + 148);
            meta_.attributes = fixedText(m + 152, 64);
            meta_.stage = stage_;
            metaValid_ = cmdLen_ == kMetaSize;
            haveResult_ = false;
            if (!vanishComponent_.empty() &&
                (meta_.name == vanishComponent_ || meta_.partition == vanishComponent_)) {
                // Counted from the end of this record: the data command's
                // header and the first half of the data follow.
                vanishAt_ = stats_.bytesFromHost + 16 + std::max<uint64_t>(meta_.size / 2, 1);
                vanishAwayMs_ = vanishComponentAwayMs_;
                // As a board unplugged and plugged in again, it starts over.
                vanishStage_ = cfg_.initialStage;
                vanishComponent_.clear();
            }
            return done(metaValid_ ? 0 : 1);
        }
        case 0x17: {  // partition table as text
            std::vector<uint8_t> t(cfg_.partitionTable.begin(), cfg_.partitionTable.end());
            t.push_back(0);
            if (t.size() > maxPacketLocked())
                return done(1);
            return done(0, t);
        }
        case 0x18: {  // read back: partition name 0..63, offset 104..111, size 112..119
            std::string name = fixedText(p.data(), 64);
            uint64_t off = rd64(p.data() + 104);
            uint64_t size = rd64(p.data() + 112);
            auto it = storage_.find(name);
            if (it == storage_.end() || size > kMaxReadBack)
                return done(1);
            std::vector<uint8_t> v(static_cast<size_t>(size), 0);
            const auto &src = it->second;
            if (off < src.size()) {
                size_t n = std::min<size_t>(static_cast<size_t>(size),
                                            src.size() - static_cast<size_t>(off));
                std::memcpy(v.data(), src.data() + off, n);
            }
            return done(0, v);
        }
        default:
            return fail();
    }
}

void Board::fwcDataLocked(const std::vector<uint8_t> &p) {
    meta_.bytesReceived += p.size();
    if (fwcBad_)
        return;
    size_t want = meta_.size > fwcData_.size() ? meta_.size - fwcData_.size() : 0;
    size_t take = std::min(want, p.size());
    fwcData_.insert(fwcData_.end(), p.begin(), p.begin() + static_cast<std::ptrdiff_t>(take));
    stats_.paddingBytes += p.size() - take;
    // The host pads only the last block; anything beyond that block is a
    // host fault and fails the transfer.
    uint32_t block = stage_ == Stage::BootRom ? cfg_.blockSizeBootRom : cfg_.blockSizeUBoot;
    if (block > 0 && !zeroBlock_) {
        uint64_t limit = (uint64_t(meta_.size) + block - 1) / block * block;
        if (meta_.bytesReceived > limit)
            fwcBad_ = true;
    }
}

void Board::finishFwcLocked() {
    cstate_ = CmdState::Idle;
    ReceivedComponent c = meta_;
    // A board told to refuse the data start keeps nothing of the component:
    // what it answers and what it does must agree (a refused "run" component
    // does not run).
    c.complete = !fwcBad_ && metaValid_ && fwcData_.size() == meta_.size && statusFor(0x12) == 0;
    if (c.complete) {
        c.crc = crc32Of(fwcData_.data(), fwcData_.size());
        meta_.crc = c.crc;
        meta_.complete = true;
        std::string key = c.partition.empty() ? c.name : c.partition;
        storage_[key] = std::move(fwcData_);
        ++stats_.componentsReceived;
        haveResult_ = true;
        if (hasRunWord(c.attributes))
            pendingDeparture_ = Departure::Run;
    } else {
        haveResult_ = false;
    }
    fwcData_.clear();
    fwcData_.shrink_to_fit();
    components_.push_back(c);
    respondLocked(0x12, c.complete ? 0 : 1);
}

void Board::hostWantsAnswerLocked() {
    if (cstate_ == CmdState::FwcData) {
        finishFwcLocked();
    } else if (cstate_ == CmdState::Args) {
        // The host asks for the answer before it sent all arguments.
        ++stats_.protocolErrors;
        cstate_ = CmdState::Idle;
        respondLocked(cmd_, 1);
    }
}

}  // namespace kelsim
