#include "serial_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "serial_crc.h"

namespace kelsim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kLongData = 1024;
constexpr int kShortMax = 255;
constexpr int kHeadMs = 500;
constexpr int kBodyMs = 1000;
constexpr int kQuietMs = 20;
constexpr int kIdlePollMs = 50;
// Bursts small enough that pacing by sleeping stays within a few ms of the
// wire, large enough not to wake up for every byte.
constexpr size_t kPacedInBurst = 32;
constexpr size_t kPacedOutBurst = 16;
constexpr int kWriteStallMs = 1000;

// Rounded up, so that a wait never ends before its time point.
int msUntil(Clock::time_point t) {
    auto d = std::chrono::duration_cast<std::chrono::microseconds>(t - Clock::now()).count();
    return d > 0 ? static_cast<int>((d + 999) / 1000) : 0;
}

}  // namespace

SerialLine::SerialLine(BoardPort &board) : SerialLine(board, Options()) {}

SerialLine::SerialLine(BoardPort &board, Options options) : board_(board), opt_(options) {}

SerialLine::~SerialLine() {
    stop();
}

bool SerialLine::start(std::string *error) {
    if (thread_.joinable())
        return true;
    if (!pty_.open(error))
        return false;
    stop_ = false;
    thread_ = std::thread(&SerialLine::run, this);
    return true;
}

void SerialLine::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    pty_.close();
}

std::string SerialLine::slavePath() const {
    return pty_.slavePath();
}

std::chrono::nanoseconds SerialLine::byteTime() const {
    // 8N1: start bit, eight data bits, stop bit.
    return std::chrono::nanoseconds(10LL * 1000000000LL / std::max(opt_.baud, 1));
}

void SerialLine::nakNext(int frames) {
    std::lock_guard<std::mutex> lk(mutex_);
    nakPattern_ = std::string(static_cast<size_t>(std::max(frames, 0)), 'N');
}

void SerialLine::nakPattern(const std::string &pattern) {
    std::lock_guard<std::mutex> lk(mutex_);
    nakPattern_ = pattern;
}

void SerialLine::corruptCrcNext(int frames) {
    std::lock_guard<std::mutex> lk(mutex_);
    corruptCrc_ = frames;
}

void SerialLine::wrongComplementNext(int frames) {
    std::lock_guard<std::mutex> lk(mutex_);
    wrongComplement_ = frames;
}

void SerialLine::refuseNext(int count) {
    std::lock_guard<std::mutex> lk(mutex_);
    refuse_ = count;
}

void SerialLine::canAfterFrames(int frames) {
    std::lock_guard<std::mutex> lk(mutex_);
    canAfter_ = frames;
}

void SerialLine::setProbeAnswer(uint8_t byte) {
    std::lock_guard<std::mutex> lk(mutex_);
    probeAnswer_ = byte;
}

void SerialLine::setMute(bool mute) {
    std::lock_guard<std::mutex> lk(mutex_);
    mute_ = mute;
}

void SerialLine::setIgnoreTransfers(bool ignore) {
    std::lock_guard<std::mutex> lk(mutex_);
    ignoreTransfers_ = ignore;
}

void SerialLine::vanishAfter(int64_t bytes, int comeBackMs) {
    std::lock_guard<std::mutex> lk(mutex_);
    vanishLimit_ = static_cast<int64_t>(stats_.bytesToHost) + std::max<int64_t>(bytes, 0);
    vanishComeBackMs_ = comeBackMs;
}

void SerialLine::scriptNextReceive(const std::vector<uint8_t> &raw) {
    std::lock_guard<std::mutex> lk(mutex_);
    script_ = raw;
    scripted_ = true;
}

void SerialLine::injectToHost(const std::vector<uint8_t> &raw) {
    std::lock_guard<std::mutex> lk(mutex_);
    inject_.insert(inject_.end(), raw.begin(), raw.end());
}

void SerialLine::clearFaults() {
    std::lock_guard<std::mutex> lk(mutex_);
    nakPattern_.clear();
    corruptCrc_ = 0;
    wrongComplement_ = 0;
    refuse_ = 0;
    canAfter_ = -1;
    probeAnswer_ = kSerACK;
    mute_ = false;
    ignoreTransfers_ = false;
    vanishLimit_ = -1;
    vanished_ = false;
    script_.clear();
    scripted_ = false;
    inject_.clear();
}

std::vector<SerialFrameRecord> SerialLine::frames() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return frames_;
}

SerialLineStats SerialLine::stats() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return stats_;
}

void SerialLine::clearStats() {
    std::lock_guard<std::mutex> lk(mutex_);
    uint64_t out = stats_.bytesToHost;
    stats_ = SerialLineStats();
    // Keep the byte count that a pending vanish is measured against.
    stats_.bytesToHost = out;
    frames_.clear();
}

void SerialLine::record(const SerialFrameRecord &r) {
    std::lock_guard<std::mutex> lk(mutex_);
    // Bounded: a benchmark may run for a long time.
    if (frames_.size() < 100000)
        frames_.push_back(r);
}

// The line's own faults (mute, vanished): they silence even what the board
// has already handed over.
bool SerialLine::faulted() {
    std::lock_guard<std::mutex> lk(mutex_);
    if (mute_)
        return true;
    if (vanished_) {
        if (vanishComeBackMs_ < 0 || Clock::now() < vanishedUntil_)
            return true;
        vanished_ = false;
    }
    return false;
}

bool SerialLine::away() {
    return faulted() || !board_.online();
}

// Something the board says of its own accord now: nothing while it is away.
void SerialLine::sayByte(uint8_t b) {
    if (!away())
        writeByte(b);
}

bool SerialLine::fill(int timeoutMs) {
    pollfd p{pty_.masterFd(), POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r <= 0)
        return false;
    uint8_t buf[4096];
    size_t want = opt_.pace ? kPacedInBurst : sizeof(buf);
    ssize_t n = ::read(pty_.masterFd(), buf, want);
    if (n <= 0) {
        // EIO while no slave is open; nothing to read then.
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            std::this_thread::sleep_for(milliseconds(std::min(timeoutMs, 10)));
        return false;
    }
    if (opt_.pace) {
        // The bytes are in the pty at once; on the wire they would still be
        // arriving. Hand them on only when the last of them would be here.
        // Bytes that were already waiting when the previous burst was done
        // follow it back to back; only after an idle line does the clock
        // start again from now (so wake-up latency does not add up).
        auto base = inBacklog_ ? inClock_ : std::max(inClock_, Clock::now());
        inClock_ = base + byteTime() * n;
        std::this_thread::sleep_until(inClock_);
        int queued = 0;
        inBacklog_ = ioctl(pty_.masterFd(), FIONREAD, &queued) == 0 && queued > 0;
    }
    {
        std::lock_guard<std::mutex> lk(mutex_);
        stats_.bytesFromHost += static_cast<uint64_t>(n);
    }
    in_.insert(in_.end(), buf, buf + n);
    return true;
}

int SerialLine::getByte(int timeoutMs) {
    auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (in_.empty()) {
        if (stop_)
            return -1;
        if (!fill(std::min(msUntil(deadline), kIdlePollMs)) && Clock::now() >= deadline)
            return -1;
    }
    uint8_t b = in_.front();
    in_.pop_front();
    return b;
}

bool SerialLine::readN(uint8_t *buf, int n, int timeoutMs) {
    auto deadline = Clock::now() + milliseconds(timeoutMs);
    for (int i = 0; i < n; ++i) {
        int b = getByte(msUntil(deadline));
        if (b < 0)
            return false;
        buf[i] = static_cast<uint8_t>(b);
    }
    return true;
}

void SerialLine::drainQuiet() {
    auto limit = Clock::now() + milliseconds(kBodyMs);
    while (Clock::now() < limit && getByte(kQuietMs) >= 0) {
    }
}

// Bytes the board has already committed to (an answer it took from the
// service, an injected stream) go out even if the board leaves meanwhile; only
// the line's own faults stop them.
void SerialLine::writeOut(const uint8_t *data, size_t n) {
    if (faulted())
        return;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (vanishLimit_ >= 0) {
            int64_t allowed = vanishLimit_ - static_cast<int64_t>(stats_.bytesToHost);
            if (static_cast<int64_t>(n) >= allowed) {
                n = static_cast<size_t>(std::max<int64_t>(allowed, 0));
                vanishLimit_ = -1;
                vanished_ = true;
                vanishedUntil_ = Clock::now() + milliseconds(std::max(vanishComeBackMs_, 0));
            }
        }
    }
    size_t burst = opt_.pace ? kPacedOutBurst : n;
    size_t off = 0;
    bool first = true;
    while (off < n && !stop_) {
        size_t k = std::min(burst, n - off);
        if (opt_.pace) {
            // One write is one continuous transmission.
            auto base = first ? std::max(outClock_, Clock::now()) : outClock_;
            outClock_ = base + byteTime() * k;
            std::this_thread::sleep_until(outClock_);
        }
        first = false;
        size_t done = 0;
        auto stall = Clock::now() + milliseconds(kWriteStallMs);
        while (done < k) {
            ssize_t w = ::write(pty_.masterFd(), data + off + done, k - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR)
                continue;
            // Nobody reads the host side: the bytes are lost, as on a wire.
            if (Clock::now() >= stall || stop_)
                break;
            pollfd p{pty_.masterFd(), POLLOUT, 0};
            poll(&p, 1, 10);
        }
        {
            std::lock_guard<std::mutex> lk(mutex_);
            stats_.bytesToHost += k;
        }
        off += k;
    }
}

// A real board answers within microseconds; the host gives it 60 ms for a
// frame and 200 ms for a probe. On a busy machine an ordinary thread can wait
// longer than that for a CPU, and the host would see a board that is not
// there. Take a real-time slot where the system grants one (root,
// CAP_SYS_NICE or an RLIMIT_RTPRIO); the thread only ever blocks in poll() or
// sleeps, so it cannot starve anyone. Without the slot it runs as before.
static void preferPromptWakeUps() {
    sched_param sp{};
    sp.sched_priority = sched_get_priority_min(SCHED_RR);
    if (sp.sched_priority >= 0)
        pthread_setschedparam(pthread_self(), SCHED_RR, &sp);
}

void SerialLine::run() {
    preferPromptWakeUps();
    while (!stop_) {
        std::vector<uint8_t> unasked;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            unasked.swap(inject_);
        }
        if (!unasked.empty() && !away())
            writeOut(unasked.data(), unasked.size());
        int b = getByte(kIdlePollMs);
        if (b < 0)
            continue;
        // A board that is away hears nothing and says nothing.
        if (away())
            continue;
        handleByte(static_cast<uint8_t>(b));
    }
}

void SerialLine::handleByte(uint8_t b) {
    switch (b) {
        case kSerC: {
            uint8_t answer;
            {
                std::lock_guard<std::mutex> lk(mutex_);
                stats_.probes++;
                answer = probeAnswer_;
            }
            sayByte(answer);
            if (answer == kSerA) {
                // The host acknowledges an "A"; anything else is its next command.
                int r = getByte(opt_.answerTimeoutMs);
                if (r >= 0 && r != kSerACK)
                    in_.push_front(static_cast<uint8_t>(r));
            }
            return;
        }
        case kSerDC1:
        case kSerDC2: {
            bool ignore;
            bool refuse = false;
            {
                std::lock_guard<std::mutex> lk(mutex_);
                (b == kSerDC1 ? stats_.dc1 : stats_.dc2)++;
                ignore = ignoreTransfers_;
                if (!ignore && refuse_ > 0) {
                    refuse_--;
                    refuse = true;
                }
            }
            if (ignore)
                return;
            if (refuse) {
                sayByte(kSerA);
                return;
            }
            sayByte(kSerACK);
            if (b == kSerDC1)
                lastBlk_ = -1;
            else
                serveReceive();
            return;
        }
        case kSerSOH:
        case kSerSTX:
            receiveFrame(b);
            return;
        default:
            // Stray answers and noise between exchanges.
            return;
    }
}

void SerialLine::receiveFrame(uint8_t head) {
    SerialFrameRecord rec;
    rec.fromHost = true;
    rec.kind = head;
    const bool isShort = head == kSerSOH;
    uint8_t hdr[3] = {0, 0, 0};
    auto dropped = [&]() {
        std::lock_guard<std::mutex> lk(mutex_);
        stats_.framesDropped++;
    };
    if (!readN(hdr, isShort ? 3 : 2, kHeadMs)) {
        dropped();
        return;
    }
    rec.blk = hdr[0];
    if (hdr[1] != static_cast<uint8_t>(255 - hdr[0])) {
        // Not a frame we can trust to be one: skip what follows, say nothing.
        drainQuiet();
        dropped();
        record(rec);
        return;
    }
    int len = isShort ? hdr[2] : kLongData;
    rec.len = len;
    rec.wireBytes = (isShort ? 4 : 3) + len + 2;
    uint8_t body[kLongData + 2];
    if (!readN(body, len + 2, kBodyMs) || len == 0) {
        dropped();
        record(rec);
        return;
    }
    uint16_t crc = static_cast<uint16_t>((body[len] << 8) | body[len + 1]);
    bool nak = crc != serialCrc16(body, static_cast<size_t>(len));
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!nakPattern_.empty()) {
            if (!nak && nakPattern_.front() == 'N')
                nak = true;
            nakPattern_.erase(0, 1);
        }
        if (nak)
            stats_.naksSent++;
    }
    if (nak) {
        sayByte(kSerNAK);
        rec.answer = kSerNAK;
        record(rec);
        return;
    }
    rec.answer = kSerACK;
    if (hdr[0] == lastBlk_) {
        // The host sent it again because it did not get our ACK.
        rec.duplicate = true;
    } else {
        lastBlk_ = hdr[0];
        // Before the ACK: once the host has its answer, the board has the data.
        board_.hostSent(body, static_cast<size_t>(len));
    }
    record(rec);
    // A board that died taking in this frame does not acknowledge it.
    sayByte(kSerACK);
}

void SerialLine::serveReceive() {
    std::vector<uint8_t> raw;
    bool scripted;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        scripted = scripted_;
        scripted_ = false;
        raw.swap(script_);
    }
    if (scripted) {
        writeOut(raw.data(), raw.size());
        return;
    }
    phase_.resize(opt_.phaseMax);
    size_t n = board_.hostReceive(phase_.data(), phase_.size());
    if (n == 0) {
        // Nothing to say: end the host's receive at once instead of letting
        // it wait for its time-out.
        sayByte(kSerCAN);
        return;
    }
    size_t off = 0;
    int acked = 0;
    uint8_t frame[kLongData + 5];
    while (off < n && !stop_) {
        bool cancel = false;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (canAfter_ >= 0 && acked >= canAfter_) {
                canAfter_ = -1;
                cancel = true;
            }
        }
        if (cancel) {
            writeByte(kSerCAN);
            return;
        }
        size_t len = n - off >= kLongData ? kLongData : std::min<size_t>(kShortMax, n - off);
        bool isLong = len == kLongData;
        int tries = 0;
        for (;;) {
            bool badCrc = false;
            bool badCompl = false;
            {
                std::lock_guard<std::mutex> lk(mutex_);
                if (corruptCrc_ > 0) {
                    corruptCrc_--;
                    badCrc = true;
                }
                if (wrongComplement_ > 0) {
                    wrongComplement_--;
                    badCompl = true;
                }
            }
            size_t pos = 0;
            frame[pos++] = isLong ? kSerSTX : kSerSOH;
            frame[pos++] = txBlk_;
            frame[pos++] = badCompl ? txBlk_ : static_cast<uint8_t>(255 - txBlk_);
            if (!isLong)
                frame[pos++] = static_cast<uint8_t>(len);
            memcpy(frame + pos, phase_.data() + off, len);
            pos += len;
            uint16_t crc = serialCrc16(phase_.data() + off, len);
            if (badCrc)
                crc ^= 0x0101;
            frame[pos++] = static_cast<uint8_t>(crc >> 8);
            frame[pos++] = static_cast<uint8_t>(crc & 0xFF);

            SerialFrameRecord rec;
            rec.fromHost = false;
            rec.kind = frame[0];
            rec.blk = txBlk_;
            rec.len = static_cast<int>(len);
            rec.wireBytes = static_cast<int>(pos);
            // The answer is the board's already (taken from its service
            // above): a board that reboots after it, on "reset" or after
            // running a component, still sends it first. Only the line's own
            // faults cut it off.
            if (faulted())
                return;
            writeOut(frame, pos);
            int a = getByte(opt_.answerTimeoutMs);
            if (a >= 0)
                rec.answer = static_cast<uint8_t>(a == kSerACK || a == kSerNAK ? a : 0);
            record(rec);
            if (a == kSerACK)
                break;
            if (a == kSerC || a == kSerDC1 || a == kSerDC2 || a == kSerSOH || a == kSerSTX) {
                // The host has moved on (it wanted fewer bytes than we had).
                in_.push_front(static_cast<uint8_t>(a));
                return;
            }
            {
                std::lock_guard<std::mutex> lk(mutex_);
                if (a == kSerNAK)
                    stats_.naksReceived++;
                else
                    stats_.answerTimeouts++;
            }
            if (++tries >= opt_.maxTries || stop_)
                return;
        }
        off += len;
        acked++;
        txBlk_ = static_cast<uint8_t>((txBlk_ < 255 ? txBlk_ : 0) + 1);
    }
}

}  // namespace kelsim
