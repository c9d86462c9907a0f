// "kelflash-cli card write": a bring-up card from an image for SD cards, with
// the card tab's worker, and optionally read back and compared.
#include <QJsonObject>
#include <atomic>
#include <cstring>
#include <mutex>

#include "card_common.h"
#include "carddisk.h"
#include "cardthread.h"
#include "cardverify.h"
#include "cli.h"
#include "diskaccess.h"
#include "image_guard.h"
#include "imagefile.h"
#include "run_records.h"

int kelcli_cmd_card_write(int argc, char **argv) {
    CardTargetOptions o;
    o.json = kelcli_card_wants_json(argc, argv);
    RunRecords records;
    o.records = &records;
    QString imagePath;
    bool verify = false;
    ImageGuard guard;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (kelcli_is_help(a)) {
            kelcli_help_card(stdout);
            return KELCLI_OK;
        }
        const int taken = kelcli_card_take_option(argc, argv, &i, &o);
        if (taken == KELCLI_USAGE) {
            return taken;
        }
        if (taken == KELCLI_OK) {
            continue;
        }
        QString guardError;
        const int guarded = kelcli_take_image_guard(argc, argv, &i, &guard, &guardError);
        if (guarded < 0) {
            return kelcli_usage_error("card", "%s", guardError.toLocal8Bit().constData());
        }
        if (guarded > 0) {
            continue;
        }
        if (strcmp(a, "--verify") == 0) {
            verify = true;
        } else if (a[0] != '-' && imagePath.isEmpty()) {
            imagePath = QString::fromLocal8Bit(a);
        } else if (!kelcli_take_verbose(a)) {
            return kelcli_card_usage(o.json, QStringLiteral("unknown or incomplete option '%1' for write")
                                                 .arg(QString::fromLocal8Bit(a)));
        }
    }
    if (imagePath.isEmpty()) {
        return kelcli_card_usage(o.json, QStringLiteral("write needs an IMAGE"));
    }
    QString recordsError;
    if (!records.open(&recordsError)) {
        return kelcli_card_usage(o.json, recordsError);
    }

    CardReport early(o.json, 0);
    std::string why;
    if (!kelcli_image_readable(imagePath.toLocal8Bit().constData(), &why)) {
        return early.fail(Failure(Failure::ImageUnreadable,
                                  QStringLiteral("cannot read '%1': %2")
                                      .arg(imagePath, QString::fromLocal8Bit(why.c_str()))));
    }
    ImageFile image;
    image.setPath(imagePath);
    if (image.loadHeader() != 0 || !image.meta()) {
        return early.fail(Failure(
            Failure::ImageCorrupt,
            QStringLiteral("'%1' is not a firmware image that can be read").arg(imagePath)));
    }
    // The card tab's rule: only images made for SD cards, spelt exactly so.
    if (image.mediaType() != QLatin1String("mmc")) {
        return early.fail(
            Failure(Failure::ImageMismatch,
                    QStringLiteral("'%1' is an image for '%2', not for SD cards (mmc)")
                        .arg(imagePath, image.mediaType())));
    }
    if (!image.partitions()) {
        return early.fail(Failure(Failure::ImageCorrupt,
                                  QStringLiteral("'%1' has no partition list").arg(imagePath)));
    }
    // Before the card is asked for, let alone touched.
    const QString refused = kelcli_image_guard_refusal(image, guard);
    if (!refused.isEmpty()) {
        return early.fail(Failure(Failure::ImageMismatch, refused));
    }

    CardTarget target;
    QString error;
    int status = KELCLI_FAIL;
    Failure::Code code = Failure::None;
    if (!kelcli_card_target("write", o, &target, &error, &status, &code)) {
        if (status == KELCLI_USAGE) {
            return kelcli_card_usage(o.json, error);
        }
        return early.fail(Failure(code, error));
    }
    quint64 sectorSize = 512;
    {
        const DiskHandle h = openDiskHandle(target.disk, DiskAccess::Query, false);
        if (h != kInvalidDisk) {
            diskSectorCount(h, &sectorSize);
        }
        closeDiskHandle(h);
    }
    const quint64 total = CardThread::plannedBytes(&image, sectorSize);
    CardReport report(o.json, total);
    report.keepRecord(&records, kelcli_card_job_facts(QStringLiteral("card-write"), target), &image);
    report.start({{"image", imagePath}, {"device", target.path}},
                 QStringLiteral("Writing %1 to %2 (%3)")
                     .arg(imagePath, target.path, kelcli_size_text(total)));

    CardDisk card;
    card.setDisk(target.disk);
    bool ok = false;
    Failure failure;
    // A stop request reaches the worker while there is one, then the verification.
    std::mutex stopLock;
    CardThread *running = nullptr;
    std::atomic<bool> stopVerify{false};
    report.watchStopRequests([&] {
        std::lock_guard<std::mutex> lock(stopLock);
        if (running) {
            running->resume();
            running->stop();
        }
        stopVerify.store(true);
    });
    {
        CardThread worker(&image, &card);
        QObject::connect(&worker, &KelThread::threadIsRunning, &worker,
                         [&](qint64 bytes) { report.progress(quint64(bytes)); },
                         Qt::DirectConnection);
        QObject::connect(&worker, &KelThread::threadIsSuccessful, &worker, [&] { ok = true; },
                         Qt::DirectConnection);
        report.stage("write", QString());
        {
            std::lock_guard<std::mutex> lock(stopLock);
            running = &worker;
            if (stopVerify.load()) {
                worker.stop();  // asked before it started
            }
        }
        worker.start();
        worker.wait();
        failure = worker.failure();
        std::lock_guard<std::mutex> lock(stopLock);
        running = nullptr;
    }
    auto fail = [&](const Failure &why) {
        kelcli_card_drop_created(target);
        return report.fail(why);
    };
    if (!ok) {
        if (!report.stopRequest().isEmpty()) {
            return fail(
                Failure(Failure::Interrupted,
                        QStringLiteral("interrupted by %1; the card was not written completely")
                            .arg(report.stopRequest())));
        }
        return fail(failure
                        ? failure
                        : Failure(Failure::Internal, QStringLiteral("the card was not written")));
    }
    if (verify) {
        report.stage("verify", QStringLiteral("Reading the card back"));
        QString mismatch;
        if (!verifyBringupCard(
                &image, target.disk,
                [&](quint64 done) {
                    report.progress(done);
                    return !stopVerify.load();
                },
                &mismatch)) {
            if (!report.stopRequest().isEmpty()) {
                return report.fail(Failure(Failure::Interrupted,
                                           QStringLiteral("interrupted by %1 during the "
                                                          "verification; the card was written "
                                                          "but not verified")
                                               .arg(report.stopRequest())));
            }
            return fail(
                Failure(Failure::VerifyFailed, QStringLiteral("verification failed: ") + mismatch));
        }
    }
    report.endStopRequests();
    return report.result(true, QStringLiteral("%1 written to %2%3")
                                   .arg(kelcli_size_text(total), target.path,
                                        verify ? QStringLiteral(" and verified") : QString()));
}
