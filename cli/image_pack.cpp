#include "image_pack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "image.h"

namespace {

constexpr uint64_t kAlign = 512;

std::string errnoText(const std::string &what) {
    return what + ": " + strerror(errno);
}

// Where the image bytes go: a memory buffer or a file. Gaps are zero in both.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool writeAt(uint64_t offset, const void *data, size_t n, std::string *error) = 0;
};

class MemorySink : public Sink {
public:
    explicit MemorySink(std::vector<uint8_t> *out) : m_out(out) {}
    bool writeAt(uint64_t offset, const void *data, size_t n, std::string *) override {
        if (m_out->size() < offset + n)
            m_out->resize(offset + n, 0);
        memcpy(m_out->data() + offset, data, n);
        return true;
    }

private:
    std::vector<uint8_t> *m_out;
};

class FileSink : public Sink {
public:
    FileSink(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    bool writeAt(uint64_t offset, const void *data, size_t n, std::string *error) override {
        const char *p = static_cast<const char *>(data);
        while (n > 0) {
            ssize_t w = pwrite(m_fd, p, n, static_cast<off_t>(offset));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                *error = errnoText("cannot write " + m_path);
                return false;
            }
            p += w;
            n -= static_cast<size_t>(w);
            offset += static_cast<uint64_t>(w);
        }
        return true;
    }

private:
    int m_fd;
    std::string m_path;
};

void putWord(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Text fields keep their terminator, so every reader finds the end inside the field.
bool putText(uint8_t *field, size_t width, const std::string &text, const std::string &what,
             std::string *error) {
    if (text.size() >= width) {
        *error =
            what + " \"" + text + "\" is longer than " + std::to_string(width - 1) + " characters";
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        *error = what + " contains a NUL character";
        return false;
    }
    memcpy(field, text.data(), text.size());
    return true;
}

bool componentSize(const ImagePackComponent &c, uint64_t *size, std::string *error) {
    if (c.dataFile.empty()) {
        *size = c.data.size();
        return true;
    }
    struct stat st;
    if (stat(c.dataFile.c_str(), &st) != 0) {
        *error = errnoText("cannot read " + c.dataFile);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = c.dataFile + " is not a regular file";
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Copies a component's data to the sink at offset; returns its CRC-32 in *crc.
bool writeComponent(const ImagePackComponent &c, uint64_t offset, uint64_t size, Sink &sink,
                    uint32_t *crc, std::string *error) {
    uLong sum = crc32(0L, Z_NULL, 0);
    if (c.dataFile.empty()) {
        sum = crc32(sum, c.data.data(), static_cast<uInt>(c.data.size()));
        *crc = static_cast<uint32_t>(sum);
        return c.data.empty() || sink.writeAt(offset, c.data.data(), c.data.size(), error);
    }
    FILE *in = fopen(c.dataFile.c_str(), "rb");
    if (!in) {
        *error = errnoText("cannot read " + c.dataFile);
        return false;
    }
    std::vector<uint8_t> buf(1 << 20);
    uint64_t left = size;
    bool ok = true;
    while (left > 0) {
        size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
        size_t got = fread(buf.data(), 1, want, in);
        if (got == 0) {
            *error = c.dataFile + " became shorter while it was packed";
            ok = false;
            break;
        }
        sum = crc32(sum, buf.data(), static_cast<uInt>(got));
        if (!sink.writeAt(offset, buf.data(), got, error)) {
            ok = false;
            break;
        }
        offset += got;
        left -= got;
    }
    fclose(in);
    *crc = static_cast<uint32_t>(sum);
    return ok;
}

// Writes the whole image to the sink; returns its total length in *total.
bool packTo(const ImagePackSpec &spec, Sink &sink, uint64_t *total, std::string *error) {
    const size_t n = spec.components.size();
    const uint64_t metaSize = static_cast<uint64_t>(n) * IMAGE_META_RECORD_SIZE;
    std::vector<uint8_t> header(IMAGE_HEADER_SIZE, 0);
    std::vector<uint8_t> meta(static_cast<size_t>(metaSize), 0);

    memcpy(header.data(), IMAGE_MAGIC, IMAGE_MAGIC_CMP_LEN);
    if (!putText(&header[IMAGE_HDR_PLATFORM], IMAGE_HDR_TEXT_LEN, spec.platform, "platform",
                 error) ||
        !putText(&header[IMAGE_HDR_PRODUCT], IMAGE_HDR_TEXT_LEN, spec.product, "product", error) ||
        !putText(&header[IMAGE_HDR_VERSION], IMAGE_HDR_TEXT_LEN, spec.version, "version", error) ||
        !putText(&header[IMAGE_HDR_MEDIA_TYPE], IMAGE_HDR_TEXT_LEN, spec.mediaType, "media type",
                 error) ||
        !putText(&header[IMAGE_HDR_MEDIA_ID], IMAGE_HDR_TEXT_LEN, spec.mediaId, "media id", error))
        return false;

    // Offsets and sizes are 32-bit fields: the whole image must stay below 4 GiB.
    std::vector<uint64_t> offsets(n), sizes(n);
    uint64_t pos = IMAGE_META_START + metaSize;
    for (size_t i = 0; i < n; ++i) {
        const ImagePackComponent &c = spec.components[i];
        const std::string what = "component " + std::to_string(i) + " (" + c.name + ")";
        uint8_t *rec = &meta[i * IMAGE_META_RECORD_SIZE];
        FwcMeta probe;
        if (!putText(rec + offsetof(FwcMeta, magic), sizeof(probe.magic), c.magic, what + ": magic",
                     error) ||
            !putText(rec + offsetof(FwcMeta, name), sizeof(probe.name), c.name, what + ": name",
                     error) ||
            !putText(rec + offsetof(FwcMeta, partition), sizeof(probe.partition), c.partition,
                     what + ": partition", error) ||
            !putText(rec + offsetof(FwcMeta, attributes), sizeof(probe.attributes), c.attributes,
                     what + ": attributes", error))
            return false;
        if (!componentSize(c, &sizes[i], error))
            return false;
        pos = (pos + kAlign - 1) / kAlign * kAlign;
        offsets[i] = pos;
        pos += sizes[i];
        if (pos > UINT32_MAX) {
            *error = what + " ends beyond 4 GiB, the limit of the image format";
            return false;
        }
    }
    const uint64_t end = pos;

    putWord(&header[IMAGE_HDR_WORD264], spec.headerWord264);
    putWord(&header[IMAGE_HDR_META_OFFSET], IMAGE_META_START);
    putWord(&header[IMAGE_HDR_META_SIZE], static_cast<uint32_t>(metaSize));
    putWord(&header[IMAGE_HDR_FILE_OFFSET], static_cast<uint32_t>(IMAGE_META_START + metaSize));
    putWord(&header[IMAGE_HDR_FILE_SIZE], static_cast<uint32_t>(end - IMAGE_META_START - metaSize));

    for (size_t i = 0; i < n; ++i) {
        const ImagePackComponent &c = spec.components[i];
        uint32_t crc = 0;
        if (!writeComponent(c, offsets[i], sizes[i], sink, &crc, error))
            return false;
        uint8_t *rec = &meta[i * IMAGE_META_RECORD_SIZE];
        putWord(rec + offsetof(FwcMeta, offset), static_cast<uint32_t>(offsets[i]));
        putWord(rec + offsetof(FwcMeta, size), static_cast<uint32_t>(sizes[i]));
        putWord(rec + offsetof(FwcMeta, crc), crc);
        putWord(rec + offsetof(FwcMeta, ram), c.ram);
    }
    if (!sink.writeAt(0, header.data(), header.size(), error))
        return false;
    if (!meta.empty() && !sink.writeAt(IMAGE_META_START, meta.data(), meta.size(), error))
        return false;
    *total = end;
    return true;
}

std::string dirOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string baseOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<uint8_t> image_pack_env(const std::vector<std::string> &strings) {
    std::vector<uint8_t> data;
    for (const std::string &s : strings) {
        data.insert(data.end(), s.begin(), s.end());
        data.push_back(0);
    }
    data.push_back(0);
    return data;
}

ImagePackComponent image_pack_env_component(const std::vector<std::string> &strings,
                                            const std::string &partition) {
    ImagePackComponent c;
    c.name = IMAGE_ENV_COMPONENT;
    c.partition = partition;
    c.data = image_pack_env(strings);
    return c;
}

int image_pack_build(const ImagePackSpec &spec, std::vector<uint8_t> *out, std::string *error) {
    std::string dummy;
    std::string *err = error ? error : &dummy;
    if (!out) {
        *err = "no output buffer";
        return -1;
    }
    out->assign(IMAGE_HEADER_SIZE, 0);
    MemorySink sink(out);
    uint64_t total = 0;
    if (!packTo(spec, sink, &total, err))
        return -1;
    out->resize(total, 0);
    return 0;
}

int image_pack_write(const ImagePackSpec &spec, const std::string &outPath, std::string *error) {
    std::string dummy;
    std::string *err = error ? error : &dummy;
    if (outPath.empty() || outPath.back() == '/') {
        *err = "output path \"" + outPath + "\" is not a file name";
        return -1;
    }
    struct stat st;
    if (stat(outPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *err = outPath + " is a directory";
        return -1;
    }
    // A temporary file next to the target, renamed only when complete: a failed
    // or interrupted pack never leaves a half image under the target's name.
    std::string tmpl = dirOf(outPath) + "/." + baseOf(outPath) + ".tmp.XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back('\0');
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        *err = errnoText("cannot create a file in " + dirOf(outPath));
        return -1;
    }
    const std::string tmpPath(tmp.data());
    FileSink sink(fd, outPath);
    uint64_t total = 0;
    bool ok = packTo(spec, sink, &total, err);
    if (ok && ftruncate(fd, static_cast<off_t>(total)) != 0) {
        *err = errnoText("cannot write " + outPath);
        ok = false;
    }
    if (ok && fchmod(fd, 0644) != 0) {
        *err = errnoText("cannot set the permissions of " + outPath);
        ok = false;
    }
    if (ok && fsync(fd) != 0) {
        *err = errnoText("cannot write " + outPath);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        *err = errnoText("cannot write " + outPath);
        ok = false;
    }
    if (ok && rename(tmpPath.c_str(), outPath.c_str()) != 0) {
        *err = errnoText("cannot rename the packed image to " + outPath);
        ok = false;
    }
    if (!ok)
        unlink(tmpPath.c_str());
    return ok ? 0 : -1;
}
