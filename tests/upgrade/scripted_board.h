// A board that answers from a script: it parses the host's transport packets
// (CBW, data phase, CSW) and hands back, for every receive packet, the next
// queued answer. Used where the real simulated board would never say what a
// test needs it to say (short records, odd lengths, bad CSWs).
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "board_port.h"

class ScriptedBoard : public kelsim::BoardPort {
public:
    struct Packet {
        uint32_t tag;
        bool in;                    // device-to-host
        std::vector<uint8_t> data;  // what the host sent (empty for receives)
        uint32_t length;            // data transfer length of the CBW
    };

    // Next receive packet's data phase.
    void queue(std::vector<uint8_t> bytes) {
        std::lock_guard<std::mutex> l(mu_);
        answers_.push_back(std::move(bytes));
    }
    // A 16-byte response header with status and dDataLength.
    void queueResp(uint8_t status, uint32_t dataLength) {
        std::vector<uint8_t> r(16, 0);
        memcpy(r.data(), "UPGR", 4);
        r[7] = status;
        for (int i = 0; i < 4; i++)
            r[8 + i] = uint8_t(dataLength >> (8 * i));
        queue(r);
    }
    // The next CSW gets its tag shifted by delta, or a wrong signature.
    void skewNextCswTag(int delta) {
        std::lock_guard<std::mutex> l(mu_);
        tagSkew_ = delta;
    }
    void breakNextCswSignature() {
        std::lock_guard<std::mutex> l(mu_);
        badSig_ = true;
    }

    std::vector<Packet> packets() const {
        std::lock_guard<std::mutex> l(mu_);
        return packets_;
    }
    void clear() {
        std::lock_guard<std::mutex> l(mu_);
        packets_.clear();
        answers_.clear();
    }
    std::vector<uint32_t> sendSizes() const {
        std::vector<uint32_t> v;
        for (const auto &p : packets())
            if (!p.in)
                v.push_back(uint32_t(p.data.size()));
        return v;
    }
    std::vector<uint8_t> rawCbw(size_t i) const {
        std::lock_guard<std::mutex> l(mu_);
        return i < cbws_.size() ? cbws_[i] : std::vector<uint8_t>{};
    }

    void hostSent(const uint8_t *data, size_t n) override {
        std::lock_guard<std::mutex> l(mu_);
        for (size_t i = 0; i < n; i++) {
            if (!inData_) {
                cbw_.push_back(data[i]);
                if (cbw_.size() == 31)
                    cbwDone();
            } else {
                packets_.back().data.push_back(data[i]);
                if (packets_.back().data.size() == packets_.back().length) {
                    inData_ = false;
                    pushCsw(packets_.back().tag);
                }
            }
        }
    }
    size_t hostReceive(uint8_t *buf, size_t max) override {
        std::lock_guard<std::mutex> l(mu_);
        // One phase at a time: the data phase, then the CSW, never both in one
        // answer (the serial line hands each answer over as one receive).
        if (out_.empty())
            return 0;
        std::vector<uint8_t> &front = out_.front();
        size_t n = std::min(max, front.size());
        memcpy(buf, front.data(), n);
        front.erase(front.begin(), front.begin() + long(n));
        if (front.empty())
            out_.pop_front();
        return n;
    }
    bool online() const override { return true; }

private:
    static uint32_t le32(const uint8_t *p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    void cbwDone() {
        cbws_.push_back(cbw_);
        Packet p;
        p.tag = le32(cbw_.data() + 4);
        p.length = le32(cbw_.data() + 8);
        p.in = (cbw_[12] & 0x80) != 0;
        cbw_.clear();
        packets_.push_back(p);
        if (p.in) {
            std::vector<uint8_t> a;
            if (!answers_.empty()) {
                a = std::move(answers_.front());
                answers_.pop_front();
            }
            a.resize(p.length, 0);
            if (!a.empty())
                out_.push_back(std::move(a));
            pushCsw(p.tag);
        } else if (p.length == 0) {
            pushCsw(p.tag);
        } else {
            inData_ = true;
        }
    }
    void pushCsw(uint32_t tag) {
        uint8_t csw[13] = {0x55, 0x53, 0x42, 0x53};
        if (badSig_)
            csw[3] = 0x00;
        badSig_ = false;
        tag = uint32_t(int64_t(tag) + tagSkew_);
        tagSkew_ = 0;
        for (int i = 0; i < 4; i++)
            csw[4 + i] = uint8_t(tag >> (8 * i));
        out_.emplace_back(csw, csw + 13);
    }

    mutable std::mutex mu_;
    std::vector<uint8_t> cbw_;
    bool inData_ = false;
    std::vector<Packet> packets_;
    std::vector<std::vector<uint8_t>> cbws_;
    std::deque<std::vector<uint8_t>> answers_;
    std::deque<std::vector<uint8_t>> out_;
    int tagSkew_ = 0;
    bool badSig_ = false;
};
