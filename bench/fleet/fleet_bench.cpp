// What a board record costs: the time submit() takes on the caller's thread
// (a burn's or the window's; it only queues, so the goal is about zero) and
// the time until the record is stored, on the station's SQLite file and on a
// PostgreSQL server on this machine (goal: under 5 ms). The server is a
// private one in a temporary folder, with fsync on, as a real one would run,
// and once more without it: the difference is the disk's flush.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QTemporaryDir>
#include <QWaitCondition>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "pg_cluster.h"
#include "recordwriter.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

BoardRecord makeRecord(int i) {
    const StationFacts facts{QStringLiteral("BENCH"), QStringLiteral("op"),
                             QStringLiteral("bench")};
    BoardRecord r = BoardRecord::begin(facts, QStringLiteral("burn"), QStringLiteral("usb"));
    r.location = QStringLiteral("1-2.%1").arg(i % 8);
    r.boardInfo = QStringLiteral("USB设备：1-2\n启动阶段：BROM\n安全启动：否");
    r.chipId = QStringLiteral("KV2-%1").arg(i);
    r.imagePath = QStringLiteral("/srv/images/demo.img");
    r.imageName = QStringLiteral("demo.img");
    r.imageSize = 512 << 20;
    r.imageSha256 = QString(64, QLatin1Char('e'));
    r.components = QStringLiteral("uboot,kernel,rootfs");
    r.bytesWritten = 512 << 20;
    r.result = QStringLiteral("ok");
    r.finish();
    return r;
}

void measure(const char *name, const RecordTarget &target, const QString &spool, int count) {
    RecordWriter writer(target, spool);
    QMutex mutex;
    QWaitCondition written;
    QString lastId;
    bool lastSpooled = false;
    QObject::connect(&writer, &RecordWriter::recordWritten, &writer,
                     [&](const QString &id, bool spooled) {
                         QMutexLocker lock(&mutex);
                         lastId = id;
                         lastSpooled = spooled;
                         written.wakeAll();
                     },
                     Qt::DirectConnection);
    // Warm up: the connection and the schema.
    writer.submit(makeRecord(-1));
    writer.flush(30000);

    // One record at a time: submit, then wait for it to be stored.
    std::vector<double> submitUs, storedMs;
    int spooled = 0;
    for (int i = 0; i < count; ++i) {
        const BoardRecord r = makeRecord(i);
        QMutexLocker lock(&mutex);
        const auto t0 = Clock::now();
        writer.submit(r);
        const auto t1 = Clock::now();
        while (lastId != r.recordId)
            written.wait(&mutex, 10000);
        const auto t2 = Clock::now();
        spooled += lastSpooled ? 1 : 0;
        submitUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        storedMs.push_back(std::chrono::duration<double, std::milli>(t2 - t0).count());
    }
    // A burst, as when many boards end at once: the caller's cost only.
    std::vector<double> burstUs;
    std::vector<BoardRecord> burst;
    for (int i = 0; i < count; ++i)
        burst.push_back(makeRecord(count + i));
    for (const BoardRecord &r : burst) {
        const auto t0 = Clock::now();
        writer.submit(r);
        burstUs.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    QElapsedTimer drain;
    drain.start();
    writer.flush(60000);
    const qint64 drainMs = drain.elapsed();
    printf("%-22s submit() on the caller: median %.1f us, p99 %.1f us (burst of %d: median "
           "%.1f us, p99 %.1f us)\n",
           name, percentile(submitUs, 0.5), percentile(submitUs, 0.99), count,
           percentile(burstUs, 0.5), percentile(burstUs, 0.99));
    printf("%-22s until stored: median %.2f ms, p90 %.2f ms, max %.2f ms; burst written in "
           "%lld ms (%.0f records/s)%s\n",
           name, percentile(storedMs, 0.5), percentile(storedMs, 0.9),
           percentile(storedMs, 1.0), drainMs, drainMs > 0 ? count * 1000.0 / drainMs : 0.0,
           spooled ? " -- some went to the spool!" : "");
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? qMax(10, atoi(argv[1])) : 500;
    QTemporaryDir dir;

    measure("SQLite data.db", RecordTarget::sqlite(dir.filePath(QStringLiteral("data.db"))),
            dir.filePath(QStringLiteral("spool.db")), count);

    if (!PgCluster::available()) {
        printf("PostgreSQL 15 server programs are not installed: no fleet figures\n");
        return 0;
    }
    // With fsync on, as a server runs; then without it, which leaves the
    // program's and the server's own share (the rest is the disk's flush).
    for (const bool durable : {true, false}) {
        PgCluster pg(durable);
        if (!pg.create()) {
            fprintf(stderr, "cannot start a private server: %s\n", qPrintable(pg.error()));
            return 1;
        }
        RecordTarget target;
        QString error;
        if (!parseDatabaseUrl(pg.url(), &target, &error)) {
            fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        measure(durable ? "PostgreSQL (local)" : "PostgreSQL, no fsync", target,
                dir.filePath(durable ? QStringLiteral("spool-pg.db")
                                     : QStringLiteral("spool-pg2.db")),
                count);
    }
    return 0;
}
