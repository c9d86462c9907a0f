// Header, meta and environment reading from image files, including damaged and
// hostile ones.
#include <gtest/gtest.h>

#include <cstring>

#include <sys/stat.h>

#include "image_test_util.h"

using namespace imgtest;

namespace {

class ImageReader : public ::testing::Test {
protected:
    void SetUp() override {
        img = build(sampleSpec());
        writeFile(path, img);
    }
    void rewrite() { writeFile(path, img); }

    std::string path = "sample.img";
    std::vector<uint8_t> img;
    LogCapture log;
};

}  // namespace

TEST_F(ImageReader, PackedImagePassesTheHeaderCheck) {
    unsigned char hdr[IMAGE_HEADER_SIZE];
    ASSERT_EQ(image_hdr_read(path.c_str(), hdr, nullptr), 0) << log.all();
    EXPECT_EQ(memcmp(hdr, "KEL.FW\0", 7), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(hdr + IMAGE_HDR_PRODUCT), "kv7210-evb");
    EXPECT_EQ(image_hdr_word(hdr, IMAGE_HDR_META_SIZE), 3u * 512);
    EXPECT_EQ(image_hdr_word(hdr, IMAGE_HDR_WORD264), 0x12345678u);
    EXPECT_TRUE(LogCapture::lines().empty());
    EXPECT_EQ(image_hdr_read(nullptr, hdr, nullptr), -1);
    EXPECT_EQ(image_hdr_read(path.c_str(), nullptr, nullptr), -1);
    EXPECT_TRUE(LogCapture::lines().empty());
}

TEST_F(ImageReader, HeaderFailures) {
    unsigned char hdr[IMAGE_HEADER_SIZE];
    // Each failure is logged and handed back as a reason for the operator.
    const char *why = nullptr;
    EXPECT_EQ(image_hdr_read("missing.img", hdr, &why), -1);
    EXPECT_TRUE(log.contains("Cannot open file missing.img", 3));
    EXPECT_STREQ(why, "No such file or directory");

    writeFile("short.img", std::vector<uint8_t>(img.begin(), img.begin() + 2047));
    EXPECT_EQ(image_hdr_read("short.img", hdr, &why), -1);
    EXPECT_TRUE(log.contains("Failed to read(short.img): the file ends after 2047 bytes"));
    EXPECT_STREQ(why, "the file ends inside the image header");

    // The NUL behind the six letters is part of the magic.
    img[6] = '!';
    rewrite();
    EXPECT_EQ(image_hdr_read(path.c_str(), hdr, &why), -1);
    EXPECT_TRUE(log.contains("Not supportted image file."));
    EXPECT_STREQ(why, "not a firmware image");
    img[6] = 0;

    img.push_back(0);
    rewrite();
    EXPECT_EQ(image_hdr_read(path.c_str(), hdr, &why), -1);
    EXPECT_TRUE(log.contains("file size " + std::to_string(img.size()) + " is illegal."));
    EXPECT_STREQ(why, "the file's size does not match its header");

    img.pop_back();
    rewrite();
    EXPECT_EQ(image_hdr_read(path.c_str(), hdr, &why), 0);
    EXPECT_EQ(why, nullptr);
}

TEST_F(ImageReader, SizesThatOnlyMatchWhenWrappedTo32BitsAreRejected) {
    // meta size + file size + 2048 equals the file length only modulo 2^32.
    putWord(img, IMAGE_HDR_META_SIZE, word(img, IMAGE_HDR_META_SIZE) + 0x80000000u);
    putWord(img, IMAGE_HDR_FILE_SIZE, word(img, IMAGE_HDR_FILE_SIZE) + 0x80000000u);
    rewrite();
    unsigned char hdr[IMAGE_HEADER_SIZE];
    EXPECT_EQ(image_hdr_read(path.c_str(), hdr, nullptr), -1);
    EXPECT_TRUE(log.contains("is illegal."));

    StdoutCapture out;
    EXPECT_EQ(image_display_info(path.c_str()), -1);
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(log.contains("Error, file size is illegal."));
}

TEST_F(ImageReader, ExSizeCountsOnlyForTheDisplay) {
    img.resize(img.size() + 512, 0);
    putWord(img, IMAGE_HDR_EX_SIZE, 512);
    rewrite();
    unsigned char hdr[IMAGE_HEADER_SIZE];
    EXPECT_EQ(image_hdr_read(path.c_str(), hdr, nullptr), -1);
    StdoutCapture out;
    EXPECT_EQ(image_display_info(path.c_str()), 0) << log.all();
    EXPECT_NE(out.text().find("\tex size    : 0x200\n"), std::string::npos);
}

TEST_F(ImageReader, MetaRecordsAreCopiedAndAShortReadLeavesTheArrayAlone) {
    FwcMeta m[3];
    ASSERT_EQ(image_meta_read(path.c_str(), m, 3, nullptr), 0) << log.all();
    EXPECT_STREQ(m[0].name, "image.updater.env");
    EXPECT_STREQ(m[1].name, "spl");
    EXPECT_STREQ(m[1].attributes, "run");
    EXPECT_EQ(m[1].size, 3000u);
    EXPECT_EQ(m[1].offset % 512, 0u);
    EXPECT_EQ(m[2].size, 70000u);

    EXPECT_EQ(image_meta_read(path.c_str(), m, 0, nullptr), -1);
    EXPECT_EQ(image_meta_read(nullptr, m, 1, nullptr), -1);
    EXPECT_TRUE(LogCapture::lines().empty());

    FwcMeta untouched[2];
    memset(untouched, 0xAB, sizeof(untouched));
    writeFile("cut.img", std::vector<uint8_t>(img.begin(), img.begin() + 2048 + 700));
    const char *why = nullptr;
    EXPECT_EQ(image_meta_read("cut.img", untouched, 2, &why), -1);
    EXPECT_TRUE(log.contains("Error, read meta data failed."));
    EXPECT_STREQ(why, "the file ends inside the component records");
    for (size_t i = 0; i < sizeof(untouched); ++i)
        ASSERT_EQ(reinterpret_cast<unsigned char *>(untouched)[i], 0xAB);

    // A count far beyond the file is refused without trying to allocate it.
    FwcMeta one;
    EXPECT_EQ(image_meta_read(path.c_str(), &one, 0xFFFFFFFFu, nullptr), -1);
}

TEST_F(ImageReader, DisplayInfoPrintsEveryField) {
    StdoutCapture out;
    ASSERT_EQ(image_display_info(path.c_str()), 0) << log.all();
    const std::string text = out.text();
    const uint32_t splOffset = word(img, metaField(1, offsetof(FwcMeta, offset)));
    char expectSpl[512];
    snprintf(expectSpl, sizeof(expectSpl),
             "FWC Info 1:\n\tmagic      : KEL.FWC\n\tname       : spl\n\tpartition  : spl\n"
             "\toffset     : 0x%X\n\tsize       : 0xBB8\n\tCRC        : 0x%X\n"
             "\tRAM        : 0x0\n\tAttributes : run\n",
             splOffset, word(img, metaField(1, offsetof(FwcMeta, crc))));
    const std::string head =
        "Image header:\n\tmagic      : KEL.FW\n\tplatform   : KV7210\n\tproduct    : kv7210-evb\n"
        "\tversion    : 2.1.0\n\tmedia type : mmc\n\tmedia id   : emmc0\n"
        "\tmeta offset: 0x800\n\tmeta size  : 0x600\n\tfile offset: 0xE00\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.find(expectSpl), std::string::npos) << text;
    EXPECT_NE(text.find("FWC Info 2:\n"), std::string::npos);
    EXPECT_EQ(text.find("FWC Info 3:"), std::string::npos);
}

TEST_F(ImageReader, DisplayKeepsCompletelyFilledFieldsInside) {
    memset(&img[IMAGE_HDR_PLATFORM], 'P', IMAGE_HDR_TEXT_LEN);
    memset(&img[metaField(2, offsetof(FwcMeta, attributes))], 'A', 64);
    memset(&img[metaField(2, offsetof(FwcMeta, name))], 'N', 64);
    rewrite();
    StdoutCapture out;
    ASSERT_EQ(image_display_info(path.c_str()), 0);
    const std::string text = out.text();
    EXPECT_NE(text.find("\tplatform   : " + std::string(64, 'P') + "\n"), std::string::npos);
    EXPECT_NE(text.find("\tname       : " + std::string(64, 'N') + "\n"), std::string::npos);
    EXPECT_NE(text.find("\tAttributes : " + std::string(64, 'A') + "\n"), std::string::npos);
}

TEST_F(ImageReader, DisplayFailures) {
    StdoutCapture out;
    EXPECT_EQ(image_display_info("missing.img"), -1);
    EXPECT_TRUE(log.contains("Cannot open file missing.img"));
    img[0] = 'X';
    rewrite();
    EXPECT_EQ(image_display_info(path.c_str()), -1);
    EXPECT_TRUE(log.contains("Error, not supportted image file."));
    writeFile("short.img", std::vector<uint8_t>(100, 0));
    LogCapture::lines().clear();
    EXPECT_EQ(image_display_info("short.img"), -1);
    EXPECT_TRUE(LogCapture::lines().empty());
    EXPECT_EQ(out.text(), "");
}

// Every reader refuses what is not a file with the reason, instead of waiting
// on a FIFO for a writer that never comes. The test holds a writer with
// headers queued, so that a reader that does not refuse gets data, not a hang.
TEST_F(ImageReader, EveryReaderRefusesAFifoOrADirectoryWithTheReason) {
    unlink("fifo.img");
    ASSERT_EQ(mkfifo("fifo.img", 0600), 0);
    const int writer = open("fifo.img", O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(write(writer, img.data(), IMAGE_HEADER_SIZE), IMAGE_HEADER_SIZE);
    mkdir("dir.img", 0755);
    const struct {
        const char *path;
        std::string message;
    } cases[] = {
        {"fifo.img", "Cannot open file fifo.img: Is a FIFO, not a regular file"},
        {"dir.img", "Cannot open file dir.img: Is a directory"},
    };
    for (const auto &c : cases) {
        LogCapture::lines().clear();
        unsigned char hdr[IMAGE_HEADER_SIZE];
        FwcMeta m;
        StdoutCapture out;
        EXPECT_EQ(image_hdr_read(c.path, hdr, nullptr), -1);
        EXPECT_EQ(image_meta_read(c.path, &m, 1, nullptr), -1);
        EXPECT_EQ(image_partition_read(c.path, "parts_mmc", 0, 16, nullptr), nullptr);
        EXPECT_EQ(image_display_info(c.path), -1);
        EXPECT_EQ(image_extract(c.path, nullptr), -1);
        int said = 0;
        for (const auto &l : LogCapture::lines())
            said += l.second.find(c.message) != std::string::npos ? 1 : 0;
        EXPECT_EQ(said, 5) << c.path << "\n" << log.all();
    }
    close(writer);
}

TEST_F(ImageReader, PartitionListFromTheEnvironment) {
    const uint32_t off = word(img, metaField(0, offsetof(FwcMeta, offset)));
    const uint32_t size = word(img, metaField(0, offsetof(FwcMeta, size)));
    PartitionEntry *list = image_partition_read(path.c_str(), "parts_mmc", off, size, nullptr);
    ASSERT_NE(list, nullptr) << log.all();
    EXPECT_STREQ(list->name, "boot");
    EXPECT_EQ(list->start, 0x4400u);
    EXPECT_EQ(list->size, 0x1000000u);
    ASSERT_NE(list->next, nullptr);
    EXPECT_STREQ(list->next->name, "data");
    EXPECT_EQ(list->next->start, 0x1004400u);
    EXPECT_EQ(list->next->size, 0u);
    EXPECT_EQ(list->next->next, nullptr);
    EXPECT_FALSE(log.contains("First partition"));
    image_partition_release(list);

    const char *why = nullptr;
    EXPECT_EQ(image_partition_read(path.c_str(), "nokey", off, size, &why), nullptr);
    EXPECT_TRUE(log.contains("Error: Failed to parse env data."));
    EXPECT_STREQ(why, "the environment component holds no partition list");
    // The range must lie inside the file.
    EXPECT_EQ(image_partition_read(path.c_str(), "parts_mmc", off, 0xFFFFFF00u, &why), nullptr);
    EXPECT_TRUE(log.contains("Error, read meta data failed."));
    EXPECT_STREQ(why, "the file ends inside the environment component");
    EXPECT_EQ(image_partition_read("missing.img", "parts_mmc", off, size, nullptr), nullptr);
    EXPECT_TRUE(log.contains("Cannot open file missing.img"));
}

namespace {

// Env data alone in a file; returns the parse of "parts_mmc" from all of it.
PartitionEntry *envFrom(const std::vector<uint8_t> &data) {
    writeFile("env.bin", data);
    return image_partition_read("env.bin", "parts_mmc", 0, static_cast<uint32_t>(data.size()),
                                nullptr);
}

std::vector<uint8_t> text(const std::string &s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

TEST(EnvScan, EndsAtErasedFlashEmptyStringOrTheEndOfTheData) {
    LogCapture log;
    EXPECT_EQ(envFrom(text(std::string("\xFF"
                                       "parts_mmc=1m(a)\0",
                                       17))),
              nullptr);
    EXPECT_TRUE(log.contains("Error: Failed to parse env data."));

    LogCapture::lines().clear();
    EXPECT_EQ(envFrom(text(std::string("a=1\0\0parts_mmc=1m(a)\0", 21))), nullptr);
    EXPECT_TRUE(log.contains("Error: Failed to parse env data."));

    // The last string has no NUL: the scan must not run past the data (ASan
    // watches the exact-size buffer).
    LogCapture::lines().clear();
    EXPECT_EQ(envFrom(text(std::string("a=1\0parts_mmc=1m(a)", 19))), nullptr);
    EXPECT_TRUE(log.contains("Error: Failed to parse env data."));
    EXPECT_EQ(envFrom(text("parts_mmc=1m(a)")), nullptr);
    EXPECT_EQ(envFrom({}), nullptr);

    PartitionEntry *l = envFrom(text(std::string("x=\0parts_mmc=1m(a)\0", 19)));
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l->name, "a");
    image_partition_release(l);
}

TEST(EnvScan, KeyWithoutValueOrWithALongerNameSharingItsBeginning) {
    LogCapture log;
    // "parts_mmc" alone: an empty value, which is no partition list; the next
    // string is not taken for the value.
    EXPECT_EQ(envFrom(text(std::string("parts_mmc\0"
                                       "1m(x)\0\0",
                                       17))),
              nullptr);
    EXPECT_TRUE(log.contains("Error: Failed to parse partition."));
    // The key is compared over its own length only: a longer key is taken, and
    // its value read from one character behind the shorter key.
    LogCapture::lines().clear();
    PartitionEntry *l = envFrom(text(std::string("parts_mmc_2m(y)\0\0", 17)));
    ASSERT_NE(l, nullptr) << log.all();
    EXPECT_STREQ(l->name, "y");
    image_partition_release(l);
    EXPECT_EQ(envFrom(text(std::string("parts_mmcX=2m(y)\0\0", 18))), nullptr);
    EXPECT_FALSE(log.contains("Failed to parse env data."));
    EXPECT_TRUE(log.contains("Error: Failed to parse partition."));
}

TEST(EnvScan, FirstStartOtherThan0x4400IsReportedButKept) {
    LogCapture log;
    PartitionEntry *l = envFrom(text(std::string("parts_mmc=1m@0x100000(spl)\0\0", 28)));
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->start, 0x100000u);
    EXPECT_EQ(l->size, 0x100000u);
    EXPECT_TRUE(log.contains("First partition start offset is not correct", 3));
    image_partition_release(l);

    LogCapture::lines().clear();
    EXPECT_EQ(envFrom(text(std::string("parts_mmc=16m,boot\0\0", 20))), nullptr);
    EXPECT_TRUE(log.contains("Partition name should be next of size."));
    EXPECT_TRUE(log.contains("Error: Failed to parse partition."));
}
