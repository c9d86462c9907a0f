#include "msg_capture.h"
#include "settings.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

void writeHistory(const QByteArray &bytes) {
    QDir().rmdir("img_history.txt");
    QFile::remove("img_history.txt");
    QFile file("img_history.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QStringList paths(const HistoryList &list) {
    QStringList out;
    for (const HistoryRecord &r : list.records()) {
        out << r.path;
    }
    return out;
}

}  // namespace

TEST(History, MissingFileIsEmptyAnUnreadableOneIsReportedAndKeepsTheList) {
    QDir().rmdir("img_history.txt");
    QFile::remove("img_history.txt");
    HistoryList list;
    list.add({"/a.img", "2023-08-08_17:36:31"});
    MsgCapture messages;
    EXPECT_TRUE(list.load());
    EXPECT_EQ(messages.of(QtCriticalMsg), QStringList());
    ASSERT_TRUE(QDir().mkdir("img_history.txt"));
    EXPECT_FALSE(list.load());
    EXPECT_TRUE(messages.contains(QtCriticalMsg, "Open img history failed!"));
    QDir().rmdir("img_history.txt");
    EXPECT_EQ(list.records().size(), 1);
    EXPECT_EQ(HistoryList::filePath(), QDir::current().absoluteFilePath("img_history.txt"));
}

TEST(History, LoadTrimsFieldsKeepsFileOrderAndSkipsMalformedLines) {
    writeHistory(
        "  D:/images/demo.img ,  2023-08-08_17:36:31  \n"
        "no comma at all\n"
        "\n"
        "/srv/a,b.img, 2024-01-01_00:00:00\n"
        "/srv/old.img, 2020-05-05_05:05:05\n"
        "/srv/new.img, 2025-05-05_05:05:05");
    HistoryList list;
    ASSERT_TRUE(list.load());
    ASSERT_EQ(list.records().size(), 3);
    EXPECT_EQ(list.records().at(0).path, QString("D:/images/demo.img"));
    EXPECT_EQ(list.records().at(0).time, QString("2023-08-08_17:36:31"));
    // Not sorted by loading.
    EXPECT_EQ(paths(list), QStringList({"D:/images/demo.img", "/srv/old.img", "/srv/new.img"}));
}

TEST(History, AddUpdatesInPlaceAndSortsNewestFirst) {
    HistoryList list;
    list.add({"/b.img", "2023-01-02_10:00:00"});
    list.add({"/a.img", "2023-01-01_10:00:00"});
    list.add({"/c.img", "2023-01-03_10:00:00"});
    EXPECT_EQ(paths(list), QStringList({"/c.img", "/b.img", "/a.img"}));

    list.add({"/a.img", "2023-01-04_09:00:00"});
    ASSERT_EQ(list.records().size(), 3);
    EXPECT_EQ(list.records().first().path, QString("/a.img"));
    EXPECT_EQ(list.records().first().time, QString("2023-01-04_09:00:00"));

    list.add({"/A.img", "2023-01-01_00:00:00"});  // paths compare case-sensitively
    EXPECT_EQ(list.records().size(), 4);
    list.clear();
    EXPECT_TRUE(list.records().isEmpty());
}

TEST(History, SaveRoundTripsUtf8AndDropsACommaPathAtNextLoad) {
    QFile::remove("img_history.txt");
    {
        HistoryList list;
        list.add({QString::fromUtf8("/固件/镜像.img"), "2023-08-08_17:36:31"});
        list.add({"/x,y.img", "2023-08-09_08:00:00"});
        ASSERT_TRUE(list.save());
    }
    QFile file("img_history.txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("/x,y.img, 2023-08-09_08:00:00\n") +
                                  QString::fromUtf8("/固件/镜像.img").toUtf8() +
                                  ", 2023-08-08_17:36:31\n");
    file.close();

    HistoryList again;
    ASSERT_TRUE(again.load());
    ASSERT_EQ(again.records().size(), 1);
    EXPECT_EQ(again.records().first().path, QString::fromUtf8("/固件/镜像.img"));

    // Saving the cleared list empties the file.
    again.clear();
    ASSERT_TRUE(again.save());
    EXPECT_EQ(QFile("img_history.txt").size(), 0);
}

TEST(History, UnwritableFileIsReportedAndNotCorrupted) {
    QFile::remove("img_history.txt");
    QDir().mkdir("img_history.txt");
    HistoryList list;
    list.add({"/a.img", "2023-08-08_17:36:31"});
    MsgCapture messages;
    EXPECT_FALSE(list.save());
    EXPECT_TRUE(messages.contains(QtWarningMsg, "Save img history failed"));
    QDir().rmdir("img_history.txt");
}
