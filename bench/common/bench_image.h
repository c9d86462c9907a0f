// What the burn benchmarks share: a one-component image of filler bytes, and
// silence for the library's and Qt's log lines while they measure.
#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image_pack.h"

inline void benchQuietLog(int, const char *) {}
inline void benchQuietQt(QtMsgType, const QMessageLogContext &, const QString &) {}

// Writes an image with one target component of `bytes` filler bytes, streamed
// from a data file so that building it never holds it in memory.
inline bool makeBenchImage(const std::string &path, size_t bytes, uint32_t seed) {
    const std::string data = path + ".data";
    FILE *f = fopen(data.c_str(), "wb");
    if (!f)
        return false;
    std::vector<unsigned char> block(1 << 20);
    uint32_t x = seed;
    bool written = true;
    for (size_t done = 0; done < bytes && written;) {
        for (auto &b : block) {
            x = x * 1103515245u + 12345u;
            b = uint8_t(x >> 24);
        }
        const size_t n = std::min(block.size(), bytes - done);
        written = fwrite(block.data(), 1, n, f) == n;
        done += n;
    }
    written = fclose(f) == 0 && written;
    ImagePackSpec spec;
    spec.platform = "KV7210";
    spec.product = "bench";
    spec.version = "1";
    ImagePackComponent c;
    c.name = "image.target.rootfs";
    c.partition = "rootfs";
    c.attributes = "burn";
    c.dataFile = data;
    spec.components.push_back(c);
    std::string error;
    const bool ok = written && image_pack_write(spec, path, &error) == 0;
    remove(data.c_str());
    if (!ok)
        fprintf(stderr, "pack: %s\n", written ? error.c_str() : "cannot write the filler data");
    return ok;
}
