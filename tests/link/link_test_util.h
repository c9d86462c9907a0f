// Shared helpers of the link tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "image.h"

inline FwcMeta makeMeta(const char *name, const char *partition, uint32_t size,
                        const char *attributes) {
    FwcMeta meta;
    memset(&meta, 0, sizeof(meta));
    memcpy(meta.magic, "KEL.FWC", 7);
    strncpy(meta.name, name, sizeof(meta.name) - 1);
    strncpy(meta.partition, partition, sizeof(meta.partition) - 1);
    meta.size = size;
    meta.crc = 0x12345678;
    strncpy(meta.attributes, attributes, sizeof(meta.attributes) - 1);
    return meta;
}

inline std::vector<uint8_t> patternData(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = uint8_t(i * 31 + seed + (i >> 8));
    return data;
}

// Sends one component through the link's burn steps, chunk by chunk.
template <class Link>
bool burnComponent(Link &link, const FwcMeta &meta, const std::vector<uint8_t> &data,
                   uint32_t results[3]) {
    if (!link.sendMetaHead(meta))
        return false;
    const size_t chunk = 3000;  // not a multiple of any packet size
    for (size_t off = 0; off < data.size(); off += chunk) {
        const int n = int(std::min(chunk, data.size() - off));
        if (!link.sendData(reinterpret_cast<const char *>(data.data()) + off, n))
            return false;
    }
    return link.metaEnd(meta, results);
}
