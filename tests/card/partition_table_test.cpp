// The partition tables on plain files and on loop devices of 512- and
// 4096-byte sectors, read back with util-linux's sfdisk and blkid and with
// gdisk's sgdisk, none of which share code with the writer.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QUuid>
#include <QtEndian>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "diskaccess.h"
#include "diskregistry.h"
#include "image.h"
#include "card_fixture.h"
#include "msg_capture.h"
#include "parttable.h"

namespace {

const quint64 kMiB = 1 << 20;
const char *const kBasicData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
const char *const kLinuxReserved = "8DA63339-0007-60C0-C436-083AC8230908";

// A GUID as the GPT stores it: the first three fields little-endian.
QByteArray guidBytes(const char *text) {
    QByteArray b = QUuid(QString(text)).toRfc4122();
    std::reverse(b.begin(), b.begin() + 4);
    std::reverse(b.begin() + 4, b.begin() + 6);
    std::reverse(b.begin() + 6, b.begin() + 8);
    return b;
}

quint64 le64(const QByteArray &b, int at) {
    return qFromLittleEndian<quint64>(b.constData() + at);
}

struct ListPtr {
    explicit ListPtr(const char *text, quint64 first = 0x4400)
        : list(image_partition_parse(text, first)) {}
    ~ListPtr() { image_partition_release(list); }
    PartitionEntry *list;
};

bool writeList(const Card &card, const char *text) {
    ListPtr l(text);
    return l.list && generateGptTable(card.handle, card.path, l.list,
                                      image_partition_count(l.list), card.diskSize,
                                      card.sectorBytes);
}

struct GptCase {
    const char *what;
    bool loop;
    int sectorSize;
    const char *list;
    struct Part {
        quint64 start, length;  // bytes; length 0: up to 68 sectors before the end
        const char *name;
        const char *type = kLinuxReserved;
    };
    std::vector<Part> parts;
};

class GptLayout : public ::testing::TestWithParam<GptCase> {};

TEST_P(GptLayout, EachPartitionLiesWhereItsComponentIsWritten) {
    const GptCase &c = GetParam();
    Card card(64 * kMiB, c.sectorSize, c.loop);
    NEED_CARD(card);
    ASSERT_TRUE(writeList(card, c.list));

    const QJsonObject t = sfdisk(card.path);
    EXPECT_EQ(t.value("label").toString(), "gpt");
    EXPECT_EQ(t.value("id").toString(), CARD_DISK_GUID);
    EXPECT_EQ(t.value("sectorsize").toInt(), c.sectorSize);
    // The table area only: protective MBR, header and 128 entries.
    EXPECT_EQ(t.value("firstlba").toInt(), c.sectorSize == 512 ? 34 : 6);
    const QJsonArray parts = t.value("partitions").toArray();
    ASSERT_EQ(parts.size(), int(c.parts.size()));
    QSet<QString> uuids;
    for (int i = 0; i < parts.size(); ++i) {
        const QJsonObject p = parts[i].toObject();
        const GptCase::Part &e = c.parts[i];
        const quint64 length = e.length ? e.length : card.diskSize - e.start - 68 * card.sectorBytes;
        EXPECT_EQ(quint64(p.value("start").toDouble()) * card.sectorBytes, e.start) << i;
        EXPECT_EQ(quint64(p.value("size").toDouble()) * card.sectorBytes, length) << i;
        EXPECT_EQ(p.value("type").toString(), e.type) << i;
        EXPECT_EQ(p.value("name").toString(), e.name) << i;
        uuids.insert(p.value("uuid").toString());
    }
    EXPECT_EQ(uuids.size(), parts.size());
    // The same, byte for byte: header at sector 1, 128 entries of 128 bytes behind it.
    const quint64 ss = card.sectorBytes;
    const QByteArray raw = card.bytes();
    const QByteArray header = raw.mid(int(ss), 92);
    EXPECT_EQ(header.left(8), QByteArray("EFI PART"));
    EXPECT_EQ(header.mid(56, 16), guidBytes(CARD_DISK_GUID));
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 80), 128u);
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 84), 128u);
    for (int i = 0; i < parts.size(); ++i) {
        const QByteArray entry = raw.mid(int(2 * ss) + 128 * i, 128);
        const GptCase::Part &e = c.parts[i];
        const quint64 end = e.length ? e.start + e.length : card.diskSize - 68 * ss;
        EXPECT_EQ(entry.left(16), guidBytes(e.type)) << i;
        EXPECT_EQ(le64(entry, 32) * ss, e.start) << i;
        EXPECT_EQ((le64(entry, 40) + 1) * ss, end) << i;
        EXPECT_EQ(le64(entry, 48), 0u) << i;
        EXPECT_EQ(entry.mid(56), QByteArray(reinterpret_cast<const char *>(
                                                QString(e.name).utf16()),
                                            2 * int(strlen(e.name)))
                                     .leftJustified(72, '\0'))
            << i;
    }
    EXPECT_TRUE(run("sgdisk", {"-v", card.path}).contains("No problems found"))
        << run("sgdisk", {"-v", card.path}).toStdString();
    EXPECT_TRUE(run("blkid", {"-p", card.path}).contains("PTTYPE=\"gpt\""));
    if (c.loop) {
        // The kernel shows the new partitions at once.
        const QString base = QString("/sys/class/block/%1/%1p%2/start")
                                 .arg(card.path.mid(5));
        for (int i = 0; i < parts.size(); ++i) {
            QFile f(base.arg(i + 1));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << f.fileName().toStdString();
            EXPECT_EQ(f.readAll().trimmed().toULongLong() * 512, c.parts[i].start);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, GptLayout,
    ::testing::Values(
        // 16 MiB boot at 34 sectors, data to 68 sectors before the end.
        GptCase{"usual", false, 512, "16m(boot),-(data)",
                {{17408, 16777216, "boot"}, {16794624, 0, "data"}}},
        GptCase{"usualloop", true, 512, "16m(boot),-(data)",
                {{17408, 16777216, "boot"}, {16794624, 0, "data"}}},
        GptCase{"explicit", false, 512, "1m@0x100000(spl),4m@0x400000(boot),-(data)",
                {{kMiB, kMiB, "spl"}, {4 * kMiB, 4 * kMiB, "boot"}, {8 * kMiB, 0, "data"}}},
        GptCase{"sectors4k", true, 4096, "1m@0x100000(spl),-(data)",
                {{kMiB, kMiB, "spl"}, {2 * kMiB, 0, "data"}}},
        // Only a partition named exactly "user" holds basic data.
        GptCase{"user", false, 512, "1m(user),1m(User),-(user1)",
                {{17408, kMiB, "user", kBasicData},
                 {17408 + kMiB, kMiB, "User"},
                 {17408 + 2 * kMiB, 0, "user1"}}}),
    [](const ::testing::TestParamInfo<GptCase> &i) { return std::string(i.param.what); });

TEST(GptTable, AListThatDoesNotFitTheCardIsRefusedBeforeAnythingIsWritten) {
    struct Refusal {
        int sectorSize;
        const char *list;
        const char *why;
    } cases[] = {
        {512, "1m@0x200(boot)", "inside the partition table"},
        {512, "2m(a),1m@0x104400(b)", "overlaps partition 0"},
        {512, "100m(big)", "past the usable end"},
        {512, "16m(a),-(b)", "no room left"},
        {512, "-(a),1m(b)", "not the last one"},
        {512, "1m@0x4500(a)", "sector boundary"},
        // The usual first start on a 4096-byte card: its table takes 6 sectors, 24576 bytes.
        {4096, "1m(boot),-(data)", "inside the partition table"},
    };
    for (const Refusal &r : cases) {
        Card card(16 * kMiB, r.sectorSize, r.sectorSize != 512);
        if (!card.usable()) {
            continue;
        }
        QByteArray before(int(card.diskSize), '\0');
        for (int i = 0; i < before.size(); i += 4096) {
            before[i] = char(i / 4096 + 1);
        }
        ASSERT_TRUE(writeSectors(card.handle, before.constData(), 0,
                                 card.diskSize / card.sectorBytes, card.sectorBytes));
        MsgCapture msgs;
        EXPECT_FALSE(writeList(card, r.list)) << r.list;
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, r.why)) << r.list;
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, "generateGptTable")) << r.list;
        EXPECT_TRUE(card.bytes() == before) << r.list;
    }
}

TEST(FormatterTables, OneVolumeForTheWholeCard) {
    Card card(32 * kMiB, 512, false);
    const quint64 d = card.diskSize;

    ASSERT_TRUE(writeGptTable(card.handle, card.path, d, 512));
    QJsonObject t = sfdisk(card.path);
    EXPECT_EQ(t.value("id").toString(), CARD_DISK_GUID);
    QJsonObject p = t.value("partitions").toArray().at(0).toObject();
    EXPECT_EQ(p.value("start").toInt(), 34);
    EXPECT_EQ(quint64(p.value("size").toInt()) * 512, d - 68 * 512);
    EXPECT_EQ(p.value("type").toString(), kBasicData);
    EXPECT_EQ(p.value("name").toString(), "Basic data partition");
    EXPECT_TRUE(run("sgdisk", {"-v", card.path}).contains("No problems found"));
    bool gpt = false;
    EXPECT_TRUE(parsePartTable(card.handle, card.path, &gpt));
    EXPECT_TRUE(gpt);

    ASSERT_TRUE(writeMbrTable(card.handle, card.path, d, 512));
    const QByteArray s0 = card.bytes().left(512);
    EXPECT_EQ(s0.mid(440, 4), QByteArray("\xC3\x33\0\0", 4));
    EXPECT_EQ(quint8(s0[446 + 4]), 0x0B);
    EXPECT_EQ(s0.mid(446 + 8, 4), QByteArray("\x80\0\0\0", 4));  // sector 128: byte 65536
    t = sfdisk(card.path);
    EXPECT_EQ(t.value("label").toString(), "dos");
    // Nothing of the GPT it replaced is left, backup header included.
    EXPECT_TRUE(run("sgdisk", {"-v", card.path}).contains("Found invalid GPT and valid MBR"));
    EXPECT_TRUE(run("blkid", {"-p", card.path}).contains("PTUUID=\"000033c3\" PTTYPE=\"dos\""));
    p = t.value("partitions").toArray().at(0).toObject();
    EXPECT_EQ(quint64(p.value("size").toInt()) * 512, d - 65536);
    EXPECT_TRUE(parsePartTable(card.handle, card.path, &gpt));
    EXPECT_FALSE(gpt);

    ASSERT_TRUE(cleanGptPart(card.handle, card.path, d, 512));
    t = sfdisk(card.path);
    EXPECT_EQ(t.value("label").toString(), "gpt");
    EXPECT_EQ(t.value("id").toString(), CARD_DISK_GUID);
    EXPECT_TRUE(t.value("partitions").toArray().isEmpty());
    EXPECT_TRUE(run("sgdisk", {"-v", card.path}).contains("No problems found"));
}

TEST(Sector0, RawRewritesKeepWhatTheyDoNotClear) {
    Card card(1 * kMiB, 512, false);
    QByteArray sector(512, '\0');
    for (int i = 0; i < 512; ++i) {
        sector[i] = char(i * 7 + 1);
    }
    struct Rewrite {
        bool (*op)(DiskHandle, quint64, Failure *);
        std::vector<std::pair<int, QByteArray>> changed;
    } cases[] = {
        {resetMbrPartitions, {{440, QByteArray("\xC3\x33", 2)}, {446, QByteArray(64, '\0')}}},
        {clearBootCode, {{0, QByteArray(256, '\0')}}},
    };
    for (const Rewrite &r : cases) {
        ASSERT_TRUE(writeSectors(card.handle, sector.constData(), 0, 1, 512));
        ASSERT_TRUE(r.op(card.handle, 512, nullptr));
        QByteArray expected = sector;
        for (const auto &c : r.changed) {
            expected.replace(c.first, c.second.size(), c.second);
        }
        EXPECT_EQ(card.bytes().left(512), expected);
    }
}

TEST(ParsePartTable, ARawCardCountsAsMbrAnUnreadableOneFails) {
    Card card(4 * kMiB, 512, false);
    MsgCapture msgs;
    bool gpt = true;
    EXPECT_TRUE(parsePartTable(card.handle, card.path, &gpt));
    EXPECT_FALSE(gpt);
    EXPECT_TRUE(msgs.contains(QtDebugMsg, "The SDCard is MBR format."));
    EXPECT_FALSE(parsePartTable(kInvalidDisk, card.path, &gpt));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "parsePartTable"));

    // More partitions than the card jobs handle: the table counts as unreadable.
    QStringList parts;
    for (int i = 0; i < 33; ++i) {
        parts << QString("64k(p%1)").arg(i);
    }
    ASSERT_TRUE(writeList(card, parts.join(',').toLatin1().constData()));
    EXPECT_FALSE(parsePartTable(card.handle, card.path, &gpt));
    EXPECT_TRUE(msgs.contains(QtCriticalMsg, "more than 32"));
}

}  // namespace

namespace {

TEST(GptTable, APartitionInUseKeepsTheSystemsViewAndTheFailureIsReported) {
    Card card(64 * kMiB, 512, true);
    NEED_CARD(card);
    ASSERT_TRUE(writeList(card, "16m(boot),-(data)"));
    const QString start = QString("/sys/class/block/%1/%1p1/start").arg(card.path.mid(5));
    auto kernelStart = [&] {
        QFile f(start);
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toULongLong() : 0;
    };
    {
        QFile inUse(card.path + "p1");
        ASSERT_TRUE(inUse.open(QIODevice::ReadOnly));
        MsgCapture msgs;
        EXPECT_FALSE(writeList(card, "1m@0x100000(boot),-(data)"));
        EXPECT_TRUE(msgs.contains(QtCriticalMsg, "Delete partition error:"));
        EXPECT_EQ(kernelStart(), 34u);
    }
    ASSERT_TRUE(writeList(card, "1m@0x100000(boot),-(data)"));
    EXPECT_EQ(kernelStart(), 2048u);
}

}  // namespace
