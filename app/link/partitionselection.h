// One entry of the partition selection with which the burn tab tells the burn
// worker which target partitions to burn.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
struct PartitionSelection {
    char name[32];     // Latin-1, NUL-terminated (at most 31 characters)
    uint8_t selected;  // 1 = burn the components of this partition, 0 = skip them
};
#pragma pack(pop)

static_assert(sizeof(PartitionSelection) == 33, "the tab and the worker share this layout");
