// Builds firmware images: the header, one meta record per component and the
// components' data, each starting on a 512-byte boundary, with the CRC-32 of
// every component. Images made here pass image_hdr_read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ImagePackComponent {
    std::string name;
    std::string partition;
    std::string attributes;  // "run" makes the board start the component
    std::string magic = "KEL.FWC";
    uint32_t ram = 0;
    // The data: dataFile when it is set (read while writing, so a large file
    // never sits in memory), data otherwise.
    std::string dataFile;
    std::vector<uint8_t> data;
};

struct ImagePackSpec {
    std::string platform;
    std::string product;
    std::string version;
    std::string mediaType = "mmc";
    std::string mediaId;
    uint32_t headerWord264 = 0;
    std::vector<ImagePackComponent> components;
};

// The data of an environment component: each "key=value" string with its NUL,
// then the empty string that ends the sequence.
std::vector<uint8_t> image_pack_env(const std::vector<std::string> &strings);

// A component named "image.updater.env" holding the given strings.
ImagePackComponent image_pack_env_component(const std::vector<std::string> &strings,
                                            const std::string &partition = "env");

// Lays the image out in memory. 0 on success, -1 with *error set otherwise.
int image_pack_build(const ImagePackSpec &spec, std::vector<uint8_t> *out, std::string *error);

// Writes the image to outPath through a temporary file in the same directory
// that is renamed into place only when complete. 0 or -1 with *error set.
int image_pack_write(const ImagePackSpec &spec, const std::string &outPath, std::string *error);

// Reads a JSON manifest (see README, "Using kelflash-cli"); relative data file
// paths are resolved against the manifest's directory. 0 or -1 with *error set.
int image_pack_load_manifest(const std::string &manifestPath, ImagePackSpec *spec,
                             std::string *error);

// image_pack_load_manifest followed by image_pack_write.
int image_pack_manifest(const std::string &manifestPath, const std::string &outPath,
                        std::string *error);
