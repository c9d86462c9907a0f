// Sample images for the tests that need one: filler data that is the same on
// every run, components, and the evaluation board's header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image_pack.h"

namespace packtest {

// The same bytes for the same (seed, salt) on every run. Suites pass the salt
// their expectations were written against, so their data stays as it was.
inline std::vector<uint8_t> fillBytes(size_t n, uint32_t seed, uint32_t salt) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + salt;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

inline ImagePackComponent component(const std::string &name, const std::string &partition,
                                    const std::vector<uint8_t> &data,
                                    const std::string &attributes) {
    ImagePackComponent c;
    c.name = name;
    c.partition = partition;
    c.attributes = attributes;
    c.data = data;
    return c;
}

// The evaluation board's header, without components.
inline ImagePackSpec evbSpec() {
    ImagePackSpec s;
    s.platform = "KV7210";
    s.product = "kv7210-evb";
    s.version = "2.1.0";
    s.mediaType = "mmc";
    s.mediaId = "emmc0";
    return s;
}

}  // namespace packtest
