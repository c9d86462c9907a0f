// Firmware image ("*.img") reader: the 2048-byte header, the 512-byte FWC meta
// records, the environment component and its partition list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Header layout (all integers little-endian).
#define IMAGE_HEADER_SIZE 2048
#define IMAGE_MAGIC "KEL.FW"
#define IMAGE_MAGIC_CMP_LEN 7  // the six letters and their NUL
#define IMAGE_HDR_MAGIC 0
#define IMAGE_HDR_MAGIC_LEN 8
#define IMAGE_HDR_PLATFORM 8
#define IMAGE_HDR_PRODUCT 72
#define IMAGE_HDR_VERSION 136
#define IMAGE_HDR_MEDIA_TYPE 200
#define IMAGE_HDR_WORD264 264
#define IMAGE_HDR_MEDIA_ID 268
#define IMAGE_HDR_TEXT_LEN 64
#define IMAGE_HDR_META_OFFSET 332
#define IMAGE_HDR_META_SIZE 336
#define IMAGE_HDR_FILE_OFFSET 340
#define IMAGE_HDR_FILE_SIZE 344
#define IMAGE_HDR_EX_FLAG 348
#define IMAGE_HDR_EX_OFFSET 352
#define IMAGE_HDR_EX_SIZE 356

// Meta area: one record per component, from the end of the header.
#define IMAGE_META_START IMAGE_HEADER_SIZE
#define IMAGE_META_RECORD_SIZE 512

// Name of the component that carries the environment strings, and the key of
// the eMMC/SD partition list inside it.
#define IMAGE_ENV_COMPONENT "image.updater.env"
#define IMAGE_ENV_PARTS_MMC "parts_mmc"

// Default start of the first partition: sector 34, the first one behind a primary GPT.
#define IMAGE_FIRST_PART_START 0x4400ULL

// The first 216 bytes of a meta record, as the host keeps it. Text fields are
// NUL-terminated unless completely filled.
struct FwcMeta {
    char magic[8];
    char name[64];
    char partition[64];
    uint32_t offset;  // absolute byte offset of the data in the image file
    uint32_t size;
    uint32_t crc;
    uint32_t ram;
    char attributes[64];
};
static_assert(sizeof(FwcMeta) == 216, "FwcMeta mirrors the first 216 bytes of a meta record");

#define PARTITION_NAME_LEN 32

// One entry of a parsed partition list. The name is NUL-padded but has no
// terminator when all 32 bytes are used.
struct PartitionEntry {
    char name[PARTITION_NAME_LEN];
    uint64_t start;
    uint64_t size;  // 0: the rest of the device
    PartitionEntry *next;
};

// Opens an image file for reading. Only a regular file or a block device is
// opened: a directory, FIFO, socket or terminal is refused before anything
// could block on it, and the kind is checked again on the opened descriptor, so
// a path swapped between the check and the open is refused too. Returns a
// binary read-only stream (close-on-exec, blocking reads) for fclose, or none
// with errno set (the system's error; EISDIR for a directory, ENODEV for any
// other kind of file that is not an image). When why is given, a failure sets
// *why to a static text saying what is wrong ("No such file or directory",
// "Is a FIFO, not a regular file"). Logs nothing: the caller knows what the
// file was for.
FILE *image_file_open(const char *path, const char **why);

// Reads the little-endian word at a header offset.
uint32_t image_hdr_word(const void *header, size_t offset);

// Each returns 0 on success, -1 on failure (logged). When why is given, a
// failure sets *why to a static text saying what is wrong, for the operator
// ("No such file or directory", "not a firmware image", "the file ends inside
// the component records"); success sets it to none. The texts of the open are
// image_file_open's; a read the file cannot satisfy says where the file ends,
// a read error is the system's.
int image_hdr_read(const char *path, void *header /* IMAGE_HEADER_SIZE bytes */, const char **why);
int image_meta_read(const char *path, FwcMeta *records, uint32_t count, const char **why);
// The partition list stored under key in the env data at offset/size, or none
// (with *why as above: also when the key is missing or the list is malformed).
PartitionEntry *image_partition_read(const char *path, const char *key, uint32_t offset,
                                     uint32_t size, const char **why);
// Parses a partition list text ("16m(boot),-(data)"); the first entry starts at
// first_start unless it names its own start. None when the text is malformed.
PartitionEntry *image_partition_parse(const char *text, uint64_t first_start);
void image_partition_release(PartitionEntry *list);
int image_partition_count(const PartitionEntry *list);

// Prints the header and every meta record to standard output.
int image_display_info(const char *path);
// Writes every component into dir (none: the current directory) as a file named
// after the component. Names that are not plain file names are refused.
int image_extract(const char *path, const char *dir);
