// Fuzzes the partition-list parser with the input as the list text, as it
// comes from an image's environment or from a device.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image.h"
#include "upg_log.h"

namespace {
void dropLog(int, const char *) {}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    upg_log_set_callback(dropLog);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Both callers hand over NUL-terminated text; a NUL inside ends it.
    const std::string text(reinterpret_cast<const char *>(data), size);
    PartitionEntry *list = image_partition_parse(text.c_str(), IMAGE_FIRST_PART_START);
    int n = image_partition_count(list);
    if ((n > 0) != (list != nullptr)) {
        fprintf(stderr, "partition_list_fuzz: %d entries in %s list\n", n, list ? "a" : "no");
        abort();
    }
    image_partition_release(list);
    return 0;
}
