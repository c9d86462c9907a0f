#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/types.h>

#include "upg_log.h"

namespace {

void setWhy(const char **why, const char *text) {
    if (why)
        *why = text;
}

// Files are addressed with 64-bit offsets; the size fields are 32-bit, but their
// sums are not.
int seekTo(FILE *f, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return -1;
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
}

int64_t fileLength(FILE *f) {
    if (fseeko(f, 0, SEEK_END) != 0)
        return -1;
    off_t len = ftello(f);
    return len < 0 ? -1 : static_cast<int64_t>(len);
}

bool magicMatches(const unsigned char *header) {
    return memcmp(header, IMAGE_MAGIC, IMAGE_MAGIC_CMP_LEN) == 0;
}

// Reads the header into buf; false on a short read, with the read's error in
// *err (0 when the file simply ended).
bool readHeader(FILE *f, unsigned char *buf, int *err = nullptr) {
    errno = 0;
    const bool ok = seekTo(f, 0) == 0 && fread(buf, 1, IMAGE_HEADER_SIZE, f) == IMAGE_HEADER_SIZE;
    if (err)
        *err = ok || !ferror(f) ? 0 : (errno ? errno : EIO);
    return ok;
}

// Why a header read came short: the system's error, or where the file ends.
std::string shortHeaderWhy(FILE *f, int err) {
    if (err)
        return strerror(err);
    const int64_t len = fileLength(f);
    if (len == 0)
        return "the file is empty";
    return "the file ends after " + std::to_string(len) + " bytes, inside the " +
           std::to_string(IMAGE_HEADER_SIZE) + "-byte header";
}

// Reads len bytes at offset into a fresh buffer. Returns 0, -1 (short read or the
// range lies beyond the end of the file) or -2 (no memory). A range beyond the
// end is refused before allocating, so a hostile size cannot demand gigabytes.
int readRange(FILE *f, uint64_t offset, uint64_t len, unsigned char **out) {
    *out = nullptr;
    int64_t flen = fileLength(f);
    if (flen < 0 || offset > static_cast<uint64_t>(flen) ||
        len > static_cast<uint64_t>(flen) - offset)
        return -1;
    unsigned char *buf = static_cast<unsigned char *>(malloc(len ? len : 1));
    if (!buf)
        return -2;
    if (seekTo(f, offset) != 0 || fread(buf, 1, len, f) != len) {
        free(buf);
        return -1;
    }
    *out = buf;
    return 0;
}

// readRange for the meta area and the components, its failure logged under the
// caller's name; *why (when given) says what went wrong, short being the text
// for a range the file does not hold.
int readRangeLogged(FILE *f, uint64_t offset, uint64_t len, unsigned char **out, const char *func,
                    const char *short_why, const char **why) {
    int rc = readRange(f, offset, len, out);
    if (rc == -2) {
        UPG_LOGE_AS(func, "Error, malloc for meta failed.");
        setWhy(why, "out of memory");
    } else if (rc != 0) {
        UPG_LOGE_AS(func, "Error, read meta data failed.");
        setWhy(why, ferror(f) ? "the file cannot be read" : short_why);
    }
    return rc;
}

// A component name is used as a file name inside the target directory only when
// it is a plain name: no separators, nothing that climbs out.
bool plainFileName(const std::string &name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}

std::string fieldText(const char *field, size_t width) {
    return std::string(field, strnlen(field, width));
}

}  // namespace

uint32_t image_hdr_word(const void *header, size_t offset) {
    const unsigned char *p = static_cast<const unsigned char *>(header) + offset;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int image_hdr_read(const char *path, void *header, const char **why) {
    setWhy(why, "invalid argument");
    if (!path || !header)
        return -1;
    const char *open_why = nullptr;
    FILE *f = image_file_open(path, &open_why);
    if (!f) {
        UPG_LOGE("Cannot open file %s: %s", path, open_why);
        setWhy(why, open_why);
        return -1;
    }
    unsigned char *hdr = static_cast<unsigned char *>(header);
    int err = 0;
    if (!readHeader(f, hdr, &err)) {
        UPG_LOGE("Failed to read(%s): %s", path, shortHeaderWhy(f, err).c_str());
        setWhy(why, err ? strerror(err) : "the file ends inside the image header");
        fclose(f);
        return -1;
    }
    if (!magicMatches(hdr)) {
        UPG_LOGE("Not supportted image file.");
        setWhy(why, "not a firmware image");
        fclose(f);
        return -1;
    }
    int64_t len = fileLength(f);
    fclose(f);
    uint64_t expected = static_cast<uint64_t>(image_hdr_word(hdr, IMAGE_HDR_META_SIZE)) +
                        image_hdr_word(hdr, IMAGE_HDR_FILE_SIZE) + IMAGE_HEADER_SIZE;
    if (len < 0 || expected != static_cast<uint64_t>(len)) {
        UPG_LOGE("file size %lld is illegal.", static_cast<long long>(len));
        setWhy(why, "the file's size does not match its header");
        return -1;
    }
    setWhy(why, nullptr);
    return 0;
}

int image_meta_read(const char *path, FwcMeta *records, uint32_t count, const char **why) {
    setWhy(why, "invalid argument");
    if (!path || !records || count == 0)
        return -1;
    const char *open_why = nullptr;
    FILE *f = image_file_open(path, &open_why);
    if (!f) {
        UPG_LOGE("Cannot open file %s: %s", path, open_why);
        setWhy(why, open_why);
        return -1;
    }
    uint64_t len = static_cast<uint64_t>(count) * IMAGE_META_RECORD_SIZE;
    unsigned char *meta = nullptr;
    int rc = readRangeLogged(f, IMAGE_META_START, len, &meta, __func__,
                             "the file ends inside the component records", why);
    fclose(f);
    if (rc != 0)
        return rc;
    // The caller's array is touched only after the whole area has been read.
    for (uint32_t i = 0; i < count; ++i)
        memcpy(&records[i], meta + static_cast<size_t>(i) * IMAGE_META_RECORD_SIZE,
               sizeof(FwcMeta));
    free(meta);
    setWhy(why, nullptr);
    return 0;
}

PartitionEntry *image_partition_read(const char *path, const char *key, uint32_t offset,
                                     uint32_t size, const char **why) {
    setWhy(why, "invalid argument");
    if (!path || !key)
        return nullptr;
    const char *open_why = nullptr;
    FILE *f = image_file_open(path, &open_why);
    if (!f) {
        UPG_LOGE("Cannot open file %s: %s", path, open_why);
        setWhy(why, open_why);
        return nullptr;
    }
    unsigned char *data = nullptr;
    int rc = readRangeLogged(f, offset, size, &data, __func__,
                             "the file ends inside the environment component", why);
    fclose(f);
    if (rc != 0)
        return nullptr;

    const size_t keyLen = strlen(key);
    const char *value = nullptr;
    size_t pos = 0;
    // Strings end at a NUL; the sequence at an empty string or erased flash
    // (0xFF). A last string without its NUL ends the scan: nothing may be read
    // past the component's data.
    while (pos < size && data[pos] != 0x00 && data[pos] != 0xFF) {
        const char *s = reinterpret_cast<const char *>(data + pos);
        size_t remain = size - pos;
        size_t len = strnlen(s, remain);
        if (len >= remain)
            break;
        if (strncmp(s, key, keyLen) == 0) {
            // "key" alone, without "=value", has an empty value.
            value = len > keyLen ? s + keyLen + 1 : s + len;
            break;
        }
        pos += len + 1;
    }
    if (!value) {
        UPG_LOGE("Error: Failed to parse env data.");
        setWhy(why, "the environment component holds no partition list");
        free(data);
        return nullptr;
    }
    PartitionEntry *list = image_partition_parse(value, IMAGE_FIRST_PART_START);
    free(data);
    if (!list) {
        UPG_LOGE("Error: Failed to parse partition.");
        setWhy(why, "the partition list is malformed");
        return nullptr;
    }
    setWhy(why, nullptr);
    if (list->start != IMAGE_FIRST_PART_START)
        UPG_LOGE("First partition start offset is not correct");
    return list;
}

int image_display_info(const char *path) {
    if (!path)
        return -1;
    const char *why = nullptr;
    FILE *f = image_file_open(path, &why);
    if (!f) {
        UPG_LOGE("Cannot open file %s: %s", path, why);
        return -1;
    }
    unsigned char hdr[IMAGE_HEADER_SIZE];
    if (!readHeader(f, hdr)) {
        fclose(f);
        return -1;
    }
    if (!magicMatches(hdr)) {
        UPG_LOGE("Error, not supportted image file.");
        fclose(f);
        return -1;
    }
    const uint32_t metaSize = image_hdr_word(hdr, IMAGE_HDR_META_SIZE);
    int64_t len = fileLength(f);
    uint64_t expected = static_cast<uint64_t>(metaSize) + image_hdr_word(hdr, IMAGE_HDR_FILE_SIZE) +
                        image_hdr_word(hdr, IMAGE_HDR_EX_SIZE) + IMAGE_HEADER_SIZE;
    if (len < 0 || expected != static_cast<uint64_t>(len)) {
        UPG_LOGE("Error, file size is illegal.");
        fclose(f);
        return -1;
    }
    unsigned char *meta = nullptr;
    int rc = readRangeLogged(f, IMAGE_META_START, metaSize, &meta, __func__,
                             "the file ends inside the component records", nullptr);
    fclose(f);
    if (rc != 0)
        return rc;

    // Text fields are printed within their width: a completely filled field has
    // no terminator.
    const int tl = IMAGE_HDR_TEXT_LEN;
    auto text = [&](size_t off) { return reinterpret_cast<const char *>(hdr + off); };
    printf("Image header:\n");
    printf("\tmagic      : %.*s\n", IMAGE_HDR_MAGIC_LEN, text(IMAGE_HDR_MAGIC));
    printf("\tplatform   : %.*s\n", tl, text(IMAGE_HDR_PLATFORM));
    printf("\tproduct    : %.*s\n", tl, text(IMAGE_HDR_PRODUCT));
    printf("\tversion    : %.*s\n", tl, text(IMAGE_HDR_VERSION));
    printf("\tmedia type : %.*s\n", tl, text(IMAGE_HDR_MEDIA_TYPE));
    printf("\tmedia id   : %.*s\n", tl, text(IMAGE_HDR_MEDIA_ID));
    printf("\tmeta offset: 0x%X\n", image_hdr_word(hdr, IMAGE_HDR_META_OFFSET));
    printf("\tmeta size  : 0x%X\n", metaSize);
    printf("\tfile offset: 0x%X\n", image_hdr_word(hdr, IMAGE_HDR_FILE_OFFSET));
    printf("\tfile size  : 0x%X\n", image_hdr_word(hdr, IMAGE_HDR_FILE_SIZE));
    printf("\tex flag    : 0x%X\n", image_hdr_word(hdr, IMAGE_HDR_EX_FLAG));
    printf("\tex offset  : 0x%X\n", image_hdr_word(hdr, IMAGE_HDR_EX_OFFSET));
    printf("\tex size    : 0x%X\n", image_hdr_word(hdr, IMAGE_HDR_EX_SIZE));

    const uint32_t count = metaSize / IMAGE_META_RECORD_SIZE;
    for (uint32_t i = 0; i < count; ++i) {
        FwcMeta m;
        memcpy(&m, meta + static_cast<size_t>(i) * IMAGE_META_RECORD_SIZE, sizeof(m));
        printf("FWC Info %d:\n", static_cast<int>(i));
        printf("\tmagic      : %.*s\n", static_cast<int>(sizeof(m.magic)), m.magic);
        printf("\tname       : %.*s\n", static_cast<int>(sizeof(m.name)), m.name);
        printf("\tpartition  : %.*s\n", static_cast<int>(sizeof(m.partition)), m.partition);
        printf("\toffset     : 0x%X\n", m.offset);
        printf("\tsize       : 0x%X\n", m.size);
        printf("\tCRC        : 0x%X\n", m.crc);
        printf("\tRAM        : 0x%X\n", m.ram);
        printf("\tAttributes : %.*s\n", static_cast<int>(sizeof(m.attributes)), m.attributes);
    }
    fflush(stdout);
    free(meta);
    return 0;
}

namespace {

// Copies one component into its file. A component that cannot be read or
// written completely leaves no file behind, so a partial file is never
// mistaken for the component.
int image_dump(FILE *img, const FwcMeta &m, const std::string &dir, const std::string &name) {
    // Without a target directory the file goes to the current one under the
    // component's own name.
    std::string out = dir.empty() ? name : dir + "/" + name;
    FILE *o = fopen(out.c_str(), "wb");
    if (!o) {
        UPG_LOGE("Error, failed to create file %s: %s", out.c_str(), strerror(errno));
        return -1;
    }
    unsigned char buf[2048];
    uint32_t left = m.size;
    int rc = 0;
    if (seekTo(img, m.offset) != 0) {
        UPG_LOGE("Error, failed to read data of %s", name.c_str());
        rc = -1;
    }
    while (rc == 0 && left > 0) {
        size_t want = left < sizeof(buf) ? left : sizeof(buf);
        size_t got = fread(buf, 1, want, img);
        if (got == 0) {
            UPG_LOGE("Error, image ends inside %s (%u of %u bytes missing)", name.c_str(), left,
                     m.size);
            rc = -1;
            break;
        }
        if (fwrite(buf, 1, got, o) != got) {
            UPG_LOGE("Error, failed to write file %s: %s", out.c_str(), strerror(errno));
            rc = -1;
            break;
        }
        left -= static_cast<uint32_t>(got);
    }
    // Buffered data meets a full disk only here.
    if (fclose(o) != 0 && rc == 0) {
        UPG_LOGE("Error, failed to write file %s: %s", out.c_str(), strerror(errno));
        rc = -1;
    }
    if (rc != 0)
        remove(out.c_str());
    return rc;
}

}  // namespace

int image_extract(const char *path, const char *dir) {
    if (!path)
        return -1;
    const std::string target = dir ? dir : "";
    const char *why = nullptr;
    FILE *f = image_file_open(path, &why);
    if (!f) {
        UPG_LOGE("Cannot open file %s: %s", path, why);
        return -1;
    }
    unsigned char hdr[IMAGE_HEADER_SIZE];
    if (!readHeader(f, hdr) || !magicMatches(hdr)) {
        UPG_LOGE("Error, not supportted image file.");
        fclose(f);
        return -1;
    }
    const uint32_t metaSize = image_hdr_word(hdr, IMAGE_HDR_META_SIZE);
    unsigned char *meta = nullptr;
    int rc = readRangeLogged(f, IMAGE_META_START, metaSize, &meta, __func__,
                             "the file ends inside the component records", nullptr);
    if (rc != 0) {
        fclose(f);
        return rc;
    }

    const uint32_t count = metaSize / IMAGE_META_RECORD_SIZE;
    // Every name is checked before the first file is written: a hostile image
    // extracts nothing rather than part of itself.
    for (uint32_t i = 0; i < count; ++i) {
        FwcMeta m;
        memcpy(&m, meta + static_cast<size_t>(i) * IMAGE_META_RECORD_SIZE, sizeof(m));
        std::string name = fieldText(m.name, sizeof(m.name));
        if (!plainFileName(name)) {
            UPG_LOGE(
                "Error, component %u has the name \"%s\", which is not a plain file name; "
                "nothing extracted.",
                i, name.c_str());
            free(meta);
            fclose(f);
            return -1;
        }
    }
    for (uint32_t i = 0; i < count && rc == 0; ++i) {
        FwcMeta m;
        memcpy(&m, meta + static_cast<size_t>(i) * IMAGE_META_RECORD_SIZE, sizeof(m));
        std::string name = fieldText(m.name, sizeof(m.name));
        printf("  %-30s from 0x%x \tsize %u\n", name.c_str(), m.offset, m.size);
        fflush(stdout);
        rc = image_dump(f, m, target, name);
    }
    free(meta);
    fclose(f);
    return rc;
}
