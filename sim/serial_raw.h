// A board without an upgrade service: it keeps whatever the host sends and
// answers receives from a byte stream given by the test. For transport-level
// tests and benchmarks of the serial line.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "board_port.h"

namespace kelsim {

class RawBoardPort : public BoardPort {
public:
    void hostSent(const uint8_t *data, size_t n) override;
    size_t hostReceive(uint8_t *buf, size_t max) override;
    bool online() const override { return online_.load(); }

    void setOnline(bool on) { online_.store(on); }
    // Queues one answer: each receive announcement is answered with (what is
    // left of) the oldest queued answer, never with two of them at once.
    void serve(const std::vector<uint8_t> &bytes);
    size_t pending() const;
    // Received bytes are kept unless told otherwise (benchmarks only count).
    void setKeepReceived(bool keep);
    std::vector<uint8_t> received() const;
    uint64_t receivedCount() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<uint8_t> sink_;
    uint64_t sinkCount_ = 0;
    bool keep_ = true;
    std::deque<std::vector<uint8_t>> answers_;
    size_t answerPos_ = 0;
    std::atomic<bool> online_{true};
};

}  // namespace kelsim
