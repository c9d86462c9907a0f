// Packing images and extracting them again; hostile component names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "image_test_util.h"

using namespace imgtest;

namespace {

bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

int fileCount(const std::string &dir) {
    std::string cmd = "ls -A '" + dir + "' | wc -l";
    FILE *p = popen(cmd.c_str(), "r");
    int n = -1;
    if (p) {
        if (fscanf(p, "%d", &n) != 1)
            n = -1;
        pclose(p);
    }
    return n;
}

}  // namespace

TEST(ImagePack, LayoutChecksumsAndSizes) {
    ImagePackSpec spec = sampleSpec();
    spec.components.push_back(component("empty", {}));
    spec.components.push_back(component("tail", bytes(1, 9)));
    std::vector<uint8_t> img = build(spec);
    const uint32_t n = static_cast<uint32_t>(spec.components.size());
    EXPECT_EQ(word(img, IMAGE_HDR_META_SIZE), n * 512);
    EXPECT_EQ(word(img, IMAGE_HDR_META_OFFSET), 2048u);
    EXPECT_EQ(word(img, IMAGE_HDR_FILE_OFFSET), 2048u + n * 512);
    EXPECT_EQ(word(img, IMAGE_HDR_EX_SIZE), 0u);
    EXPECT_EQ(uint64_t(word(img, IMAGE_HDR_META_SIZE)) + word(img, IMAGE_HDR_FILE_SIZE) + 2048,
              img.size());
    uint32_t prevEnd = 2048 + n * 512;
    for (uint32_t i = 0; i < n; ++i) {
        const ImagePackComponent &c = spec.components[i];
        const uint32_t off = word(img, metaField(i, offsetof(FwcMeta, offset)));
        const uint32_t size = word(img, metaField(i, offsetof(FwcMeta, size)));
        EXPECT_EQ(off % 512, 0u) << i;
        EXPECT_GE(off, prevEnd) << i;
        ASSERT_EQ(size, c.data.size()) << i;
        ASSERT_LE(uint64_t(off) + size, img.size());
        if (size) {
            EXPECT_EQ(memcmp(&img[off], c.data.data(), size), 0) << i;
        }
        uint32_t crc = static_cast<uint32_t>(crc32(0, c.data.data(), size));
        EXPECT_EQ(word(img, metaField(i, offsetof(FwcMeta, crc))), crc) << i;
        prevEnd = off + size;
    }
    EXPECT_EQ(prevEnd, img.size());
}

TEST(ImagePack, RefusesFieldsThatWouldLoseTheirTerminator) {
    ImagePackSpec spec = sampleSpec();
    spec.components[1].name = std::string(64, 'x');
    std::vector<uint8_t> img;
    std::string err;
    EXPECT_EQ(image_pack_build(spec, &img, &err), -1);
    EXPECT_NE(err.find("longer than 63"), std::string::npos) << err;
    spec = sampleSpec();
    spec.platform = std::string(70, 'p');
    EXPECT_EQ(image_pack_build(spec, &img, &err), -1);
    EXPECT_NE(err.find("platform"), std::string::npos) << err;
}

TEST(ImagePack, FailedWriteLeavesTheOldFileAndNoTemporary) {
    mkdir("pw", 0755);
    writeFile("pw/out.img", {1, 2, 3});
    ImagePackSpec spec = sampleSpec();
    ImagePackComponent missing;
    missing.name = "gone";
    missing.dataFile = "no-such-file.bin";
    spec.components.push_back(missing);
    std::string err;
    EXPECT_EQ(image_pack_write(spec, "pw/out.img", &err), -1);
    EXPECT_NE(err.find("no-such-file.bin"), std::string::npos) << err;
    EXPECT_EQ(readFile("pw/out.img"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(fileCount("pw"), 1);

    EXPECT_EQ(image_pack_write(sampleSpec(), "no-dir/out.img", &err), -1);
    EXPECT_EQ(image_pack_write(sampleSpec(), "pw", &err), -1);

    ASSERT_EQ(image_pack_write(sampleSpec(), "pw/out.img", &err), 0) << err;
    EXPECT_EQ(readFile("pw/out.img"), build(sampleSpec()));
    EXPECT_EQ(fileCount("pw"), 1);
}

TEST(ImagePack, DataFilesAreStreamed) {
    writeFile("big.bin", bytes(3 << 20, 5));
    ImagePackSpec spec = sampleSpec();
    ImagePackComponent c;
    c.name = "big";
    c.dataFile = "big.bin";
    spec.components.push_back(c);
    std::string err;
    ASSERT_EQ(image_pack_write(spec, "big.img", &err), 0) << err;
    LogCapture log;
    unsigned char hdr[IMAGE_HEADER_SIZE];
    EXPECT_EQ(image_hdr_read("big.img", hdr, nullptr), 0) << log.all();
    std::vector<uint8_t> img = readFile("big.img");
    const uint32_t off = word(img, metaField(3, offsetof(FwcMeta, offset)));
    const std::vector<uint8_t> data = bytes(3 << 20, 5);
    ASSERT_EQ(word(img, metaField(3, offsetof(FwcMeta, size))), data.size());
    EXPECT_EQ(memcmp(&img[off], data.data(), data.size()), 0);
    EXPECT_EQ(word(img, metaField(3, offsetof(FwcMeta, crc))),
              static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
}

TEST(ImageExtract, GivesBackEveryComponentByteForByte) {
    LogCapture log;
    const ImagePackSpec spec = sampleSpec();
    writeFile("x.img", build(spec));
    mkdir("out", 0755);
    StdoutCapture out;
    ASSERT_EQ(image_extract("x.img", "out"), 0) << log.all();
    const std::string text = out.text();
    for (const ImagePackComponent &c : spec.components)
        EXPECT_EQ(readFile("out/" + c.name), c.data) << c.name;
    EXPECT_NE(text.find("  spl                            from 0x"), std::string::npos) << text;
    EXPECT_NE(text.find(" \tsize 3000\n"), std::string::npos) << text;

    // No directory: the current one.
    ASSERT_EQ(image_extract("x.img", nullptr), 0);
    EXPECT_EQ(readFile("rootfs"), spec.components[2].data);
}

TEST(ImageExtract, HostileNamesAreRefusedAndNothingIsWritten) {
    const std::vector<std::string> names = {"../x", "a/b", "",         ".",
                                            "..",   "\\",  "..\\evil", "/etc/passwd"};
    for (const std::string &bad : names) {
        LogCapture log;
        ImagePackSpec spec = sampleSpec();
        spec.components.push_back(component(bad, bytes(10, 3)));
        // The packer accepts any name; a hostile image is what we want here.
        writeFile("h.img", build(spec));
        const std::string dir = "hostile";
        mkdir(dir.c_str(), 0755);
        StdoutCapture out;
        EXPECT_EQ(image_extract("h.img", dir.c_str()), -1) << bad;
        EXPECT_TRUE(log.contains("not a plain file name")) << bad << "\n" << log.all();
        EXPECT_EQ(fileCount(dir), 0) << bad;
        EXPECT_FALSE(exists("x"));
        EXPECT_FALSE(exists("b"));
    }
}

TEST(ImageExtract, UnterminatedNameIsBoundedToItsField) {
    std::vector<uint8_t> img = build(sampleSpec());
    memset(&img[metaField(1, offsetof(FwcMeta, name))], 'n', 64);
    writeFile("u.img", img);
    mkdir("u", 0755);
    LogCapture log;
    StdoutCapture out;
    ASSERT_EQ(image_extract("u.img", "u"), 0) << log.all();
    EXPECT_EQ(readFile("u/" + std::string(64, 'n')), bytes(3000, 1));
}

TEST(ImageExtract, TruncatedComponentFailsAndLeavesNoPartialFile) {
    std::vector<uint8_t> img = build(sampleSpec());
    img.resize(img.size() - 100);
    writeFile("t.img", img);
    mkdir("t", 0755);
    LogCapture log;
    StdoutCapture out;
    EXPECT_EQ(image_extract("t.img", "t"), -1);
    EXPECT_TRUE(log.contains("rootfs")) << log.all();
    EXPECT_FALSE(exists("t/rootfs"));
    EXPECT_TRUE(exists("t/spl"));

    EXPECT_EQ(image_extract("t.img", "no-such-dir"), -1);
    EXPECT_TRUE(log.contains("image_dump()"));
    EXPECT_TRUE(log.contains("Error, failed to create file no-such-dir/image.updater.env"));
    // Into the current directory the file carries the component's name alone.
    remove("image.updater.env");
    ASSERT_EQ(mkdir("image.updater.env", 0755), 0);
    EXPECT_EQ(image_extract("t.img", nullptr), -1);
    EXPECT_TRUE(log.contains("Error, failed to create file image.updater.env")) << log.all();
    rmdir("image.updater.env");

    std::vector<uint8_t> wrong = build(sampleSpec());
    wrong[6] = 'x';
    writeFile("w.img", wrong);
    EXPECT_EQ(image_extract("w.img", "t"), -1);
    EXPECT_TRUE(log.contains("Error, not supportted image file."));
    writeFile("s.img", std::vector<uint8_t>(wrong.begin(), wrong.begin() + 1000));
    EXPECT_EQ(image_extract("s.img", "t"), -1);
    // A meta size beyond the file is a read failure, not a giant allocation.
    std::vector<uint8_t> meta = build(sampleSpec());
    putWord(meta, IMAGE_HDR_META_SIZE, 0xFFFFFE00u);
    writeFile("m.img", meta);
    LogCapture::lines().clear();
    EXPECT_EQ(image_extract("m.img", "t"), -1);
    EXPECT_TRUE(log.contains("Error, read meta data failed."));
}
