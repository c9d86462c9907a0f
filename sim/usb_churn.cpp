#include "usb_churn.h"

#include <cerrno>
#include <cstring>

namespace kelsim {

namespace {

using Clock = std::chrono::steady_clock;

int msBetween(Clock::time_point a, Clock::time_point b) {
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

}  // namespace

const char *churnFaultName(ChurnFault f) {
    switch (f) {
        case ChurnFault::None:
            return "none";
        case ChurnFault::Vanish:
            return "vanish";
        case ChurnFault::NoReturn:
            return "no-return";
        case ChurnFault::LateReturn:
            return "late-return";
        case ChurnFault::WrongCrc:
            return "wrong-crc";
        case ChurnFault::FailedCommand:
            return "fail-cmd";
    }
    return "?";
}

bool churnExpectsSuccess(ChurnFault f) {
    return f == ChurnFault::None || f == ChurnFault::LateReturn;
}

struct UsbChurn::Entry {
    int index = 0;
    std::string chip;
    std::string location;
    ChurnFault fault = ChurnFault::None;
    std::unique_ptr<Board> board;
    int id = -1;
    Clock::time_point arrived;
    Clock::time_point lastChange;
    uint64_t lastBytes = 0;
    bool lastOnline = true;
    bool touched = false;
};

UsbChurn::UsbChurn(UsbBoardSim &sim, BoardConfig base, ChurnOptions opt)
    : sim_(sim), base_(std::move(base)), opt_(std::move(opt)), rng_(opt_.seed) {
    ports_.resize(size_t(opt_.ports));
    // The first boards are there from the start.
    freeSince_.assign(size_t(opt_.ports), Clock::now() - std::chrono::milliseconds(opt_.gapMs));
}

UsbChurn::~UsbChurn() {
    // Boards still in their ports when the run ends: logged as cut short.
    for (size_t p = 0; p < ports_.size(); ++p)
        if (ports_[p])
            takeOut(p, Clock::now(), true);
    if (log_)
        fclose(log_);
}

bool UsbChurn::openLog(const std::string &path, std::string *error) {
    if (path.empty())
        return true;
    log_ = fopen(path.c_str(), "w");
    if (!log_)
        *error = path + ": " + strerror(errno);
    return log_ != nullptr;
}

bool UsbChurn::plugIn(size_t port, Clock::time_point now) {
    auto e = std::make_unique<Entry>();
    e->index = ++next_;
    e->fault = ChurnFault(rng_() % kChurnFaults);
    char chip[16];
    snprintf(chip, sizeof chip, "SIM-%06d", e->index % 1000000);
    e->chip = chip;
    BoardConfig cfg = base_;
    cfg.chipId = chip;
    if (e->fault == ChurnFault::NoReturn)
        cfg.runAwayMs = 600000;
    else if (e->fault == ChurnFault::LateReturn)
        cfg.runAwayMs = opt_.lateReturnMs;
    e->board = std::make_unique<Board>(cfg);
    if (e->fault == ChurnFault::Vanish)
        e->board->vanishInComponent("rootfs");
    else if (e->fault == ChurnFault::WrongCrc)
        e->board->setWrongCrc(true);
    else if (e->fault == ChurnFault::FailedCommand)
        e->board->failCommand(0x12);  // the component's data start is refused
    std::vector<uint8_t> at = opt_.firstPort;
    at.back() = uint8_t(at.back() + port);
    e->location = std::to_string(opt_.bus) + ":";
    for (size_t i = 0; i < at.size(); ++i)
        e->location += (i ? "-" : "") + std::to_string(at[i]);
    e->id = sim_.attach(*e->board, opt_.bus, at);
    if (e->id < 0) {
        fprintf(stderr, "kelsim usb: cannot attach board %d at %s\n", e->index,
                e->location.c_str());
        return false;
    }
    e->arrived = e->lastChange = now;
    if (e->fault != ChurnFault::None)
        ++faulty_;
    ports_[port] = std::move(e);
    return true;
}

void UsbChurn::takeOut(size_t port, Clock::time_point now, bool cut) {
    Entry &e = *ports_[port];
    sim_.detach(e.id);
    int complete = 0, resets = 0;
    const auto comps = e.board->components();
    for (const auto &c : comps)
        complete += c.complete ? 1 : 0;
    for (const auto &line : e.board->cmdlines())
        resets += line == "reset" ? 1 : 0;
    if (log_) {
        fprintf(log_,
                "board=%d chip=%s port=%s fault=%s expect=%s touched=%d received=%zu "
                "complete=%d resets=%d seconds=%.1f%s\n",
                e.index, e.chip.c_str(), e.location.c_str(), churnFaultName(e.fault),
                churnExpectsSuccess(e.fault) ? "ok" : "fail", e.touched ? 1 : 0, comps.size(),
                complete, resets, msBetween(e.arrived, now) / 1000.0, cut ? " cut=1" : "");
        fflush(log_);
    }
    ports_[port].reset();
    freeSince_[port] = now;
    through_ += cut ? 0 : 1;
}

bool UsbChurn::step() {
    const auto now = Clock::now();
    bool busy = false;
    for (size_t p = 0; p < ports_.size(); ++p) {
        if (ports_[p]) {
            Entry &e = *ports_[p];
            const bool on = e.board->online();
            const uint64_t bytes = e.board->stats().bytesFromHost;
            if (bytes != e.lastBytes || on != e.lastOnline) {
                e.lastChange = now;
                e.touched = e.touched || bytes != e.lastBytes;
                e.lastBytes = bytes;
                e.lastOnline = on;
            }
            const int quiet = msBetween(e.lastChange, now);
            if (!e.touched ? quiet >= opt_.untouchedMs
                           : quiet >= (on ? opt_.quietMs : opt_.goneMs))
                takeOut(p, now);
        }
        if (!ports_[p] && next_ < opt_.boards && msBetween(freeSince_[p], now) >= opt_.gapMs &&
            !plugIn(p, now))
            return false;
        busy = busy || ports_[p] != nullptr;
    }
    return busy || next_ < opt_.boards;
}

}  // namespace kelsim
