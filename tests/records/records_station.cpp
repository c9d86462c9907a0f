// One station of the fleet test: records_station URL SPOOL STATION COUNT
// Writes COUNT records (some twice) through a writer of its own, then waits
// until none waits any more. Exit 0 when all were stored, 2 when some still
// wait after a minute, 1 on bad arguments.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

#include "recordwriter.h"

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    RecordTarget target;
    QString error;
    if (args.size() != 5 || !parseDatabaseUrl(args.at(1), &target, &error)) {
        fprintf(stderr, "usage: records_station URL SPOOL STATION COUNT %s\n", qPrintable(error));
        return 1;
    }
    const QString station = args.at(3);
    const int count = args.at(4).toInt();
    RecordWriter writer(target, args.at(2));
    writer.setRetryTiming(50, 400);
    const StationFacts facts{station, QStringLiteral("op"), QStringLiteral("test")};
    for (int i = 0; i < count; ++i) {
        BoardRecord r = BoardRecord::begin(facts, QStringLiteral("burn"), QStringLiteral("usb"));
        r.serialNumber = QStringLiteral("%1-%2").arg(station).arg(i);
        r.result = QStringLiteral("ok");
        r.finish();
        writer.submit(r);
        if (i % 7 == 0)
            writer.submit(r);  // a record sent twice
        QThread::msleep(15);
    }
    QElapsedTimer t;
    t.start();
    while (writer.waitingCount() > 0 || !writer.targetReachable()) {
        if (t.elapsed() > 60000) {
            fprintf(stderr, "%s: %d records still wait\n", qPrintable(station),
                    writer.waitingCount());
            return 2;
        }
        QThread::msleep(20);
    }
    return 0;
}
