// Helpers for the image tests: images built with the packer, captured library
// messages and captured standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "image.h"
#include "image_pack.h"
#include "pack_sample.h"
#include "upg_log.h"

namespace imgtest {

// Collects every library message while alive.
class LogCapture {
public:
    LogCapture() {
        lines().clear();
        upg_log_set_callback(&LogCapture::sink);
    }
    ~LogCapture() { upg_log_set_callback(nullptr); }
    static std::vector<std::pair<int, std::string>> &lines() {
        static std::vector<std::pair<int, std::string>> l;
        return l;
    }
    bool contains(const std::string &text, int level = 0) const {
        for (const auto &l : lines())
            if (l.second.find(text) != std::string::npos && (level == 0 || l.first == level))
                return true;
        return false;
    }
    std::string all() const {
        std::string s;
        for (const auto &l : lines())
            s += std::to_string(l.first) + " " + l.second + "\n";
        return s;
    }

private:
    static void sink(int level, const char *text) { lines().emplace_back(level, text); }
};

// Redirects standard output into a file while alive; text() returns what was printed.
class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        m_saved = dup(1);
        m_path = "stdout_capture.txt";
        int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutCapture() { restore(); }
    std::string text() {
        restore();
        std::ifstream in(m_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    void restore() {
        if (m_saved < 0)
            return;
        fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
        m_saved = -1;
    }
    int m_saved = -1;
    std::string m_path;
};

inline std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
    return packtest::fillBytes(n, seed, 1);
}

inline ImagePackComponent component(const std::string &name, const std::vector<uint8_t> &data,
                                    const std::string &attributes = "") {
    return packtest::component(name, name, data, attributes);
}

inline ImagePackSpec sampleSpec(const std::string &partsMmc = "16m(boot),-(data)") {
    ImagePackSpec s = packtest::evbSpec();
    s.headerWord264 = 0x12345678;
    s.components.push_back(image_pack_env_component({"a=1", "parts_mmc=" + partsMmc}));
    s.components.push_back(component("spl", bytes(3000, 1), "run"));
    s.components.push_back(component("rootfs", bytes(70000, 2)));
    return s;
}

inline void writeFile(const std::string &path, const std::vector<uint8_t> &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

inline std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<uint8_t> build(const ImagePackSpec &spec) {
    std::vector<uint8_t> img;
    std::string err;
    EXPECT_EQ(image_pack_build(spec, &img, &err), 0) << err;
    return img;
}

inline void putWord(std::vector<uint8_t> &img, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        img[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t word(const std::vector<uint8_t> &img, size_t off) {
    return image_hdr_word(img.data(), off);
}

// Offset of a field of meta record i.
inline size_t metaField(size_t i, size_t fieldOffset) {
    return IMAGE_META_START + i * IMAGE_META_RECORD_SIZE + fieldOffset;
}

}  // namespace imgtest
