// ImageFile: the program's view of an image.
#include <gtest/gtest.h>

#include <QFile>
#include <QString>
#include <QStringList>

#include "image_test_util.h"
#include "imagefile.h"
#include "msg_capture.h"

using namespace imgtest;

TEST(ImageFile, EmptyUntilLoaded) {
    ImageFile f;
    EXPECT_TRUE(f.path().isEmpty());
    EXPECT_EQ(f.fwcCount(), 0u);
    EXPECT_EQ(f.partitionCount(), 0u);
    EXPECT_EQ(f.meta(), nullptr);
    EXPECT_EQ(f.partitions(), nullptr);
    EXPECT_EQ(f.platform(), QString());
    EXPECT_EQ(f.setPath("x.img"), 0);
    EXPECT_EQ(f.path(), "x.img");
}

TEST(ImageFile, HeaderMetaAndPartitions) {
    LogCapture log;
    writeFile("a.img", build(sampleSpec()));
    ImageFile f;
    f.setPath("a.img");
    ASSERT_EQ(f.loadHeader(), 0) << log.all();
    EXPECT_EQ(f.platform(), "KV7210");
    EXPECT_EQ(f.product(), "kv7210-evb");
    EXPECT_EQ(f.version(), "2.1.0");
    EXPECT_EQ(f.mediaType(), "mmc");
    EXPECT_EQ(f.mediaId(), "emmc0");
    EXPECT_EQ(f.headerWord264(), 0x12345678u);
    EXPECT_EQ(f.fwcCount(), 3u);
    EXPECT_EQ(f.fileSize(), readFile("a.img").size() - 2048 - 3 * 512);
    const FwcMeta *m = f.meta();
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m[1].name, "spl");
    EXPECT_EQ(f.meta(), m);  // read once
    PartitionEntry *p = f.partitions();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(f.partitionCount(), 2u);
    EXPECT_STREQ(p->name, "boot");
    EXPECT_EQ(p->next->start, 0x1004400u);
    EXPECT_EQ(f.partitions(), p);

    // Reloading releases both; a failed load keeps the count.
    ASSERT_EQ(f.loadHeader(), 0);
    EXPECT_EQ(f.partitionCount(), 0u);
    f.setPath("missing.img");
    EXPECT_EQ(f.loadHeader(), -1);
    EXPECT_EQ(f.fwcCount(), 3u);
    EXPECT_TRUE(log.contains("Cannot open file missing.img"));
}

TEST(ImageFile, MetaSizeRemainderIsIgnoredByTheCount) {
    ImagePackSpec spec = sampleSpec();
    spec.components.resize(2);
    std::vector<uint8_t> img = build(spec);
    putWord(img, IMAGE_HDR_META_SIZE, 1000);
    putWord(img, IMAGE_HDR_FILE_SIZE, word(img, IMAGE_HDR_FILE_SIZE) + 24);
    writeFile("r.img", img);
    ImageFile f;
    f.setPath("r.img");
    ASSERT_EQ(f.loadHeader(), 0);
    EXPECT_EQ(f.fwcCount(), 1u);
}

TEST(ImageFile, NoEnvironmentComponentMeansNoPartitionsSilently) {
    ImagePackSpec spec = sampleSpec();
    spec.components.erase(spec.components.begin());
    writeFile("n.img", build(spec));
    ImageFile f;
    f.setPath("n.img");
    ASSERT_EQ(f.loadHeader(), 0);
    MsgCapture msgs;
    LogCapture log;
    EXPECT_EQ(f.partitions(), nullptr);
    EXPECT_EQ(f.partitionCount(), 0u);
    EXPECT_TRUE(msgs.all().isEmpty());
    EXPECT_TRUE(LogCapture::lines().empty());
}

TEST(ImageFile, BadListAndVanishedMetaAreReported) {
    writeFile("b.img", build(sampleSpec("16m,boot")));
    ImageFile f;
    f.setPath("b.img");
    ASSERT_EQ(f.loadHeader(), 0);
    MsgCapture msgs;
    EXPECT_EQ(f.partitions(), nullptr);
    EXPECT_TRUE(msgs.contains("Failed to parse the partition table"));

    // The file shrinks between header load and meta read.
    ImageFile g;
    g.setPath("c.img");
    writeFile("c.img", build(sampleSpec()));
    ASSERT_EQ(g.loadHeader(), 0);
    writeFile("c.img", std::vector<uint8_t>(2100, 0));
    EXPECT_EQ(g.meta(), nullptr);
    EXPECT_TRUE(msgs.contains("Failed to read meta data"));
}

TEST(ImageFile, PathsWithNonAsciiCharacters) {
    const QString name = QString::fromUtf8("bild-\xc3\xbc\xe5\x9b\xbe.img");
    std::vector<uint8_t> img = build(sampleSpec());
    QFile out(name);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(reinterpret_cast<const char *>(img.data()), static_cast<qint64>(img.size()));
    out.close();
    ImageFile f;
    f.setPath(name);
    EXPECT_EQ(f.loadHeader(), 0);
    EXPECT_NE(f.partitions(), nullptr);
}
