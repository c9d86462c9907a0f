// Fuzzes the image reader with the input as the image file, the way the
// program reads an image: the header and its size check, the meta records, the
// environment component's partition list; then the info print.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>

#include "image.h"
#include "upg_log.h"

namespace {

// The reader opens files by name: the image is an anonymous in-memory file
// reached through its /proc name, so no file is left behind.
int g_fd = -1;
char g_path[64];

void dropLog(int, const char *) {}

bool load(const uint8_t *data, size_t size) {
    if (ftruncate(g_fd, 0) != 0)
        return false;
    size_t done = 0;
    while (done < size) {
        ssize_t w = pwrite(g_fd, data + done, size - done, off_t(done));
        if (w <= 0)
            return false;
        done += size_t(w);
    }
    return true;
}

void readPartitions(const FwcMeta *records, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (strncmp(records[i].name, IMAGE_ENV_COMPONENT, sizeof(records[i].name)) != 0)
            continue;
        PartitionEntry *list = image_partition_read(g_path, IMAGE_ENV_PARTS_MMC, records[i].offset,
                                                    records[i].size, nullptr);
        image_partition_count(list);
        image_partition_release(list);
        return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    upg_log_set_callback(dropLog);
    g_fd = memfd_create("image_fuzz", 0);
    if (g_fd < 0) {
        perror("image_fuzz: memfd_create");
        abort();
    }
    snprintf(g_path, sizeof(g_path), "/proc/self/fd/%d", g_fd);
    // The info print is formatted in full and goes nowhere.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!load(data, size)) {
        perror("image_fuzz: cannot write the in-memory image");
        abort();
    }
    unsigned char header[IMAGE_HEADER_SIZE];
    if (image_hdr_read(g_path, header, nullptr) == 0) {
        // The header check ties the meta size to the file length, which bounds
        // the record count.
        const uint32_t count = image_hdr_word(header, IMAGE_HDR_META_SIZE) / IMAGE_META_RECORD_SIZE;
        if (count > 0) {
            std::vector<FwcMeta> records(count);
            if (image_meta_read(g_path, records.data(), count, nullptr) == 0)
                readPartitions(records.data(), count);
        }
    }
    image_display_info(g_path);
    return 0;
}
