#include "serial_raw.h"

#include <algorithm>
#include <cstring>

namespace kelsim {

void RawBoardPort::hostSent(const uint8_t *data, size_t n) {
    std::lock_guard<std::mutex> lk(mutex_);
    sinkCount_ += n;
    if (keep_)
        sink_.insert(sink_.end(), data, data + n);
}

size_t RawBoardPort::hostReceive(uint8_t *buf, size_t max) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (answers_.empty())
        return 0;
    const std::vector<uint8_t> &front = answers_.front();
    size_t n = std::min(max, front.size() - answerPos_);
    if (n)
        memcpy(buf, front.data() + answerPos_, n);
    answerPos_ += n;
    if (answerPos_ == front.size()) {
        answers_.pop_front();
        answerPos_ = 0;
    }
    return n;
}

void RawBoardPort::serve(const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!bytes.empty())
        answers_.push_back(bytes);
}

size_t RawBoardPort::pending() const {
    std::lock_guard<std::mutex> lk(mutex_);
    size_t n = 0;
    for (auto &a : answers_)
        n += a.size();
    return n - answerPos_;
}

void RawBoardPort::setKeepReceived(bool keep) {
    std::lock_guard<std::mutex> lk(mutex_);
    keep_ = keep;
}

std::vector<uint8_t> RawBoardPort::received() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return sink_;
}

uint64_t RawBoardPort::receivedCount() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return sinkCount_;
}

void RawBoardPort::clear() {
    std::lock_guard<std::mutex> lk(mutex_);
    sink_.clear();
    sinkCount_ = 0;
    answers_.clear();
    answerPos_ = 0;
}

}  // namespace kelsim
