// A minimal host written from the wire rules for the simulator's own tests
// (deliberately not the upgrade library): packet and command framing over
// any byte pipe.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace simtest {

inline void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline std::vector<uint8_t> cbw(uint32_t tag, uint32_t len, bool hostSends) {
    std::vector<uint8_t> c(31, 0);
    std::memcpy(c.data(), "USBC", 4);
    put32(&c[4], tag);
    put32(&c[8], len);
    c[12] = hostSends ? 0x00 : 0x80;
    c[14] = 1;
    c[15] = hostSends ? 0x01 : 0x02;
    return c;
}

inline std::vector<uint8_t> header(uint8_t code, uint32_t len) {
    std::vector<uint8_t> h(16, 0);
    std::memcpy(h.data(), "UPGC", 4);
    h[4] = 1;
    h[5] = 1;
    h[6] = code;
    put32(&h[8], len);
    put32(&h[12], 0x43475055u + 0x0101u + uint32_t(code) * 0x10000u + len);
    return h;
}

inline std::vector<uint8_t> meta(const std::string &name, const std::string &part, uint32_t size,
                                 uint32_t crc, const std::string &attrs) {
    std::vector<uint8_t> m(512, 0);
    std::memcpy(&m[0], "FWCMETA", 7);
    std::memcpy(&m[8], name.data(), std::min<size_t>(name.size(), 63));
    std::memcpy(&m[72], part.data(), std::min<size_t>(part.size(), 63));
    put32(&m[140], size);
    put32(&m[144], crc);
    std::memcpy(&m[152], attrs.data(), std::min<size_t>(attrs.size(), 63));
    return m;
}

// Transport-agnostic host: out() sends one transfer, in() reads one (returns
// the bytes read, empty on failure).
struct Host {
    std::function<bool(const std::vector<uint8_t> &)> out;
    std::function<std::vector<uint8_t>(size_t)> in;
    uint32_t tag = 0;
    uint32_t maxPacket = 2048;

    bool cswOk(uint32_t t) {
        auto c = in(13);
        return c.size() == 13 && std::memcmp(c.data(), "USBS", 4) == 0 && get32(&c[4]) == t;
    }
    bool send(const std::vector<uint8_t> &data) {
        uint32_t t = tag++;
        if (!out(cbw(t, uint32_t(data.size()), true)) || !out(data))
            return false;
        return cswOk(t);
    }
    std::vector<uint8_t> recv(size_t n, bool *ok = nullptr) {
        uint32_t t = tag++;
        bool good = out(cbw(t, uint32_t(n), false));
        std::vector<uint8_t> d;
        if (good)
            d = in(n);
        good = good && cswOk(t);
        if (ok)
            *ok = good && d.size() == n;
        return d;
    }
    // Reads a 16-byte response; returns status (or -1) and the data length.
    int response(uint32_t *len) {
        bool ok = false;
        auto r = recv(16, &ok);
        if (!ok)
            return -1;
        *len = get32(&r[8]);
        return r[7];
    }
    bool sendChunks(const std::vector<uint8_t> &data) {
        for (size_t off = 0; off < data.size(); off += maxPacket) {
            size_t n = std::min<size_t>(maxPacket, data.size() - off);
            if (!send(std::vector<uint8_t>(data.begin() + off, data.begin() + off + n)))
                return false;
        }
        return true;
    }
    // Command without arguments whose answer is a 32-bit value.
    bool value(uint8_t code, uint32_t *v) {
        uint32_t len = 0;
        if (!send(header(code, 0)) || response(&len) < 0 || len != 4)
            return false;
        bool ok = false;
        auto d = recv(4, &ok);
        if (ok)
            *v = get32(d.data());
        return ok;
    }
    // The whole burn conversation for one component; returns the 0x12 status.
    int burn(const std::string &name, const std::string &part, const std::vector<uint8_t> &data,
             uint32_t block, const std::string &attrs = "burn") {
        uint32_t len = 0;
        if (!send(header(0x10, 512)) || !send(meta(name, part, uint32_t(data.size()), 0, attrs)) ||
            response(&len) != 0)
            return -1;
        if (!send(header(0x12, uint32_t(data.size()))))
            return -1;
        std::vector<uint8_t> padded = data;
        if (block && padded.size() % block)
            padded.resize((padded.size() / block + 1) * block, 0);
        if (!sendChunks(padded))
            return -1;
        return response(&len);
    }
};

}  // namespace simtest
