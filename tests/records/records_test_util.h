// Records with every field set, and a test body run on both databases.
#pragma once

#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>

#include "boardrecord.h"
#include "pg_cluster.h"
#include "recordtarget.h"

// A test body on data.db in a folder of its own (SQLite) and on a private
// PostgreSQL server of its own (skipped where the server is not installed).
class RecordTargetTest : public ::testing::TestWithParam<RecordTarget::Kind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        if (pg()) {
            if (!PgCluster::available())
                GTEST_SKIP() << "PostgreSQL 15 server programs are not installed";
            m_pg = std::make_unique<PgCluster>();
            ASSERT_TRUE(m_pg->create()) << qPrintable(m_pg->error());
            QString error;
            ASSERT_TRUE(parseDatabaseUrl(m_pg->url(), &m_target, &error)) << qPrintable(error);
        } else {
            m_target = RecordTarget::sqlite(m_dir.filePath(QStringLiteral("data.db")));
        }
    }

    bool pg() const { return GetParam() == RecordTarget::Postgres; }

    QTemporaryDir m_dir;
    std::unique_ptr<PgCluster> m_pg;
    RecordTarget m_target;
};

inline StationFacts testFacts(const QString &station = QStringLiteral("ST-1")) {
    return StationFacts{station, QStringLiteral("alice"), QStringLiteral("1.0.8")};
}

// A finished burn with an image and a board; `kind` picks the job's shape.
enum class JobShape { UsbOk, SerialOk, Failed, Interrupted, Card };

inline BoardRecord sampleRecord(JobShape shape, int n = 0) {
    const bool card = shape == JobShape::Card;
    BoardRecord r = BoardRecord::begin(testFacts(), card ? QStringLiteral("card-write")
                                                         : QStringLiteral("burn"),
                                       card                         ? QStringLiteral("card")
                                       : shape == JobShape::SerialOk ? QStringLiteral("serial")
                                                                     : QStringLiteral("usb"));
    // Whole milliseconds in UTC: what both databases keep.
    r.startedUtc = QDateTime(QDate(2026, 12, 7), QTime(22, 30, 1, 250), Qt::UTC).addSecs(n);
    r.endedUtc = r.startedUtc.addMSecs(4321);
    r.utcOffsetS = 3600;
    r.stationDay = QStringLiteral("2026-12-07");
    r.location = card ? QStringLiteral("/dev/sdc") : QStringLiteral("1-2.%1").arg(n);
    if (!card) {
        r.setBoard(QStringLiteral("USB设备：1-2\n启动阶段：BROM\n序列号：SN%1").arg(n),
                   QByteArray("KV2-") + QByteArray::number(n));
    } else {
        r.cardVendor = QStringLiteral("SanDisk");
        r.cardProduct = QStringLiteral("Ultra");
        r.cardSize = 31914983424LL;
        r.cardIdentity = QStringLiteral("seq:42");
    }
    r.imagePath = QStringLiteral("/srv/images/demo v2.img");
    r.imageName = QStringLiteral("demo v2.img");
    r.imageSize = 123456789;
    r.imagePlatform = QStringLiteral("kv2");
    r.imageProduct = QStringLiteral("gateway");
    r.imageVersion = QStringLiteral("2.4.1");
    r.imageSha256 = QString(64, QLatin1Char('a'));
    r.components = QStringLiteral("uboot,kernel,rootfs");
    r.bytesWritten = 98765432100LL;
    r.durationMs = 4321;
    r.retries = 2;
    switch (shape) {
    case JobShape::Failed:
        r.result = QStringLiteral("failed");
        r.failureCode = QStringLiteral("verify-failed");
        r.failureMessage = QStringLiteral("kernel: checksum 0x1234 ≠ 0x5678");
        r.failedComponent = QStringLiteral("kernel");
        break;
    case JobShape::Interrupted:
        r.result = QStringLiteral("interrupted");
        r.failureCode = QStringLiteral("interrupted");
        break;
    default:
        r.result = QStringLiteral("ok");
    }
    return r;
}

// Polls `done` (letting queued signals through) until it holds or `ms` pass.
inline bool waitFor(const std::function<bool()> &done, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}
