// Shared pieces of the burn worker tests: sample images and a job runner that
// records what the worker reported.
#pragma once

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "burnthread.h"
#include "image_pack.h"
#include "imagefile.h"

struct SampleComponent {
    std::string name;
    std::string partition;
    std::string attributes;
    size_t size;
};

inline std::vector<uint8_t> sampleData(size_t n, uint32_t seed) {
    std::vector<uint8_t> d(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        d[i] = uint8_t(x);
    }
    return d;
}

// Writes an image with an environment component (partition list `parts`, none
// when empty) followed by the given components; returns each component's data
// by partition name (the key the simulated board stores it under).
inline std::map<std::string, std::vector<uint8_t>> writeImage(
    const std::string &path, const std::vector<SampleComponent> &comps,
    const std::string &parts = "1m(spl),1m(boot),-(rootfs)") {
    ImagePackSpec spec;
    spec.platform = "KV7210";
    spec.product = "test-board";
    spec.version = "1.0";
    spec.mediaId = "emmc0";
    std::map<std::string, std::vector<uint8_t>> want;
    if (!parts.empty()) {
        spec.components.push_back(image_pack_env_component({"bootdelay=0", "parts_mmc=" + parts}));
        want["env"] = image_pack_env({"bootdelay=0", "parts_mmc=" + parts});
    }
    uint32_t seed = 1;
    for (const auto &c : comps) {
        ImagePackComponent p;
        p.name = c.name;
        p.partition = c.partition;
        p.attributes = c.attributes;
        p.data = sampleData(c.size, seed++);
        want[c.partition.empty() ? c.name : c.partition] = p.data;
        spec.components.push_back(p);
    }
    std::string error;
    EXPECT_EQ(image_pack_write(spec, path, &error), 0) << error;
    return want;
}

// Writes the image as writeImage does and opens it the way the program does;
// *img gets the file with its header loaded.
inline std::map<std::string, std::vector<uint8_t>> writeAndLoadImage(
    const QString &path, const std::vector<SampleComponent> &comps, std::unique_ptr<ImageFile> *img,
    const std::string &parts = "1m(spl),1m(boot),-(rootfs)") {
    auto want = writeImage(path.toStdString(), comps, parts);
    *img = std::make_unique<ImageFile>();
    (*img)->setPath(path);
    EXPECT_EQ((*img)->loadHeader(), 0);
    return want;
}

inline PartitionSelection selection(const char *name, bool selected) {
    PartitionSelection e;
    memset(&e, 0, sizeof(e));
    strncpy(e.name, name, sizeof(e.name) - 1);
    e.selected = selected ? 1 : 0;
    return e;
}

// What the worker reported, recorded on the worker's thread.
struct JobRecord {
    std::mutex m;
    int started = 0, failed = 0, succeeded = 0, uboot = 0;
    std::vector<int> progress;
    std::vector<std::string> events;  // "start i", "done i", "skip i", "retry i n", "uboot"

    void attach(BurnThread &w) {
        auto add = [this](const std::string &e) {
            std::lock_guard<std::mutex> l(m);
            events.push_back(e);
        };
        QObject::connect(&w, &KelThread::threadIsStart, [this] {
            std::lock_guard<std::mutex> l(m);
            ++started;
        });
        QObject::connect(&w, &KelThread::threadIsFailed, [this] {
            std::lock_guard<std::mutex> l(m);
            ++failed;
        });
        QObject::connect(&w, &KelThread::threadIsSuccessful, [this] {
            std::lock_guard<std::mutex> l(m);
            ++succeeded;
        });
        QObject::connect(&w, &KelThread::threadIsRunning, [this](int p) {
            std::lock_guard<std::mutex> l(m);
            progress.push_back(p);
        });
        QObject::connect(&w, &BurnThread::inUboot, [this, add] {
            {
                std::lock_guard<std::mutex> l(m);
                ++uboot;
            }
            add("uboot");
        });
        QObject::connect(&w, &BurnThread::componentStarted, [add](int i, const QString &, quint32) {
            add("start " + std::to_string(i));
        });
        QObject::connect(&w, &BurnThread::componentDone, [add](int i, bool skipped) {
            add((skipped ? "skip " : "done ") + std::to_string(i));
        });
        QObject::connect(&w, &BurnThread::componentRetry, [add](int i, const QString &, int n) {
            add("retry " + std::to_string(i) + " " + std::to_string(n));
        });
    }
    int lastProgress() {
        std::lock_guard<std::mutex> l(m);
        return progress.empty() ? -1 : progress.back();
    }
    int count(const std::string &prefix) {
        std::lock_guard<std::mutex> l(m);
        int n = 0;
        for (const auto &e : events)
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

// Starts the worker and waits for it; a job that does not end is a failure
// of its own (the worker must never hang).
inline bool runJob(BurnThread &w, int timeoutMs = 60000) {
    w.start();
    const bool ended = w.wait(unsigned(timeoutMs));
    EXPECT_TRUE(ended) << "the burn job did not end";
    if (!ended) {
        w.resume();
        w.stop();
        w.wait();
    }
    return ended;
}
