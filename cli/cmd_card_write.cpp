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

namespace {

struct WriteArgs {
    CardTargetOptions o;
    QString imagePath;
    bool verify = false;
    ImageGuard guard;
};

// KELCLI_OK with the arguments taken; -1 after the help; otherwise the status
// of a usage error, reported already.
int parseWriteArgs(int argc, char **argv, WriteArgs *w) {
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (kelcli_is_help(a)) {
            kelcli_help_card(stdout);
            return -1;
        }
        const int taken = kelcli_card_take_option(argc, argv, &i, &w->o);
        if (taken == KELCLI_USAGE) {
            return taken;
        }
        if (taken == KELCLI_OK) {
            continue;
        }
        QString guardError;
        const int guarded = kelcli_take_image_guard(argc, argv, &i, &w->guard, &guardError);
        if (guarded < 0) {
            return kelcli_usage_error("card", "%s", guardError.toLocal8Bit().constData());
        }
        if (guarded > 0) {
            continue;
        }
        if (strcmp(a, "--verify") == 0) {
            w->verify = true;
        } else if (a[0] != '-' && w->imagePath.isEmpty()) {
            w->imagePath = QString::fromLocal8Bit(a);
        } else if (!kelcli_take_verbose(a)) {
            return kelcli_card_usage(w->o.json, QStringLiteral("unknown or incomplete option '%1' for write")
                                                    .arg(QString::fromLocal8Bit(a)));
        }
    }
    if (w->imagePath.isEmpty()) {
        return kelcli_card_usage(w->o.json, QStringLiteral("write needs an IMAGE"));
    }
    return KELCLI_OK;
}

// Why the image cannot make a bring-up card (its header is loaded into
// `image` on the way); no failure when it can. Before the card is asked for,
// let alone touched.
Failure imageRefusal(const WriteArgs &w, ImageFile *image) {
    const QString &path = w.imagePath;
    std::string why;
    if (!kelcli_image_readable(path.toLocal8Bit().constData(), &why)) {
        return Failure(Failure::ImageUnreadable, QStringLiteral("cannot read '%1': %2")
                                                     .arg(path, QString::fromLocal8Bit(why.c_str())));
    }
    image->setPath(path);
    if (image->loadHeader() != 0 || !image->meta()) {
        return Failure(Failure::ImageCorrupt,
                       QStringLiteral("'%1' is not a firmware image that can be read").arg(path));
    }
    // The card tab's rule: only images made for SD cards, spelt exactly so.
    if (image->mediaType() != QLatin1String("mmc")) {
        return Failure(Failure::ImageMismatch,
                       QStringLiteral("'%1' is an image for '%2', not for SD cards (mmc)")
                           .arg(path, image->mediaType()));
    }
    if (!image->partitions()) {
        return Failure(Failure::ImageCorrupt, QStringLiteral("'%1' has no partition list").arg(path));
    }
    const QString refused = kelcli_image_guard_refusal(*image, w.guard);
    if (!refused.isEmpty()) {
        return Failure(Failure::ImageMismatch, refused);
    }
    return Failure();
}

quint64 sectorSizeOf(const DiskNode &disk) {
    quint64 sectorSize = 512;
    const DiskHandle h = openDiskHandle(disk, DiskAccess::Query, false);
    if (h != kInvalidDisk) {
        diskSectorCount(h, &sectorSize);
    }
    closeDiskHandle(h);
    return sectorSize;
}

// A stop request reaches the worker while there is one, then the verification.
struct StopRelay {
    std::mutex lock;
    CardThread *running = nullptr;
    std::atomic<bool> stopped{false};

    void stop() {
        std::lock_guard<std::mutex> hold(lock);
        if (running) {
            running->resume();
            running->stop();
        }
        stopped.store(true);
    }
};

// Runs the card tab's worker; no failure when the card was written.
Failure writeCard(ImageFile &image, const CardTarget &target, CardReport &report, StopRelay &relay) {
    CardDisk card;
    card.setDisk(target.disk);
    bool ok = false;
    CardThread worker(&image, &card);
    QObject::connect(&worker, &KelThread::threadIsRunning, &worker,
                     [&](qint64 bytes) { report.progress(quint64(bytes)); }, Qt::DirectConnection);
    QObject::connect(&worker, &KelThread::threadIsSuccessful, &worker, [&] { ok = true; },
                     Qt::DirectConnection);
    report.stage("write", QString());
    {
        std::lock_guard<std::mutex> hold(relay.lock);
        relay.running = &worker;
        if (relay.stopped.load()) {
            worker.stop();  // asked before it started
        }
    }
    worker.start();
    worker.wait();
    {
        std::lock_guard<std::mutex> hold(relay.lock);
        relay.running = nullptr;
    }
    if (ok) {
        return Failure();
    }
    if (!report.stopRequest().isEmpty()) {
        return Failure(Failure::Interrupted,
                       QStringLiteral("interrupted by %1; the card was not written completely")
                           .arg(report.stopRequest()));
    }
    const Failure failure = worker.failure();
    return failure ? failure : Failure(Failure::Internal, QStringLiteral("the card was not written"));
}

}  // namespace

int kelcli_cmd_card_write(int argc, char **argv) {
    WriteArgs w;
    w.o.json = kelcli_card_wants_json(argc, argv);
    RunRecords records;
    w.o.records = &records;
    const int parsed = parseWriteArgs(argc, argv, &w);
    if (parsed != KELCLI_OK) {
        return parsed < 0 ? KELCLI_OK : parsed;
    }
    QString recordsError;
    if (!records.open(&recordsError)) {
        return kelcli_card_usage(w.o.json, recordsError);
    }

    CardReport early(w.o.json, 0);
    ImageFile image;
    const Failure refused = imageRefusal(w, &image);
    if (refused) {
        return early.fail(refused);
    }
    CardTarget target;
    QString error;
    int status = KELCLI_FAIL;
    Failure::Code code = Failure::None;
    if (!kelcli_card_target("write", w.o, &target, &error, &status, &code)) {
        if (status == KELCLI_USAGE) {
            return kelcli_card_usage(w.o.json, error);
        }
        return early.fail(Failure(code, error));
    }
    const quint64 total = CardThread::plannedBytes(&image, sectorSizeOf(target.disk));
    CardReport report(w.o.json, total);
    report.keepRecord(&records, kelcli_card_job_facts(QStringLiteral("card-write"), target), &image);
    report.start({{"image", w.imagePath}, {"device", target.path}},
                 QStringLiteral("Writing %1 to %2 (%3)")
                     .arg(w.imagePath, target.path, kelcli_size_text(total)));

    StopRelay relay;
    report.watchStopRequests([&relay] { relay.stop(); });
    const Failure failure = writeCard(image, target, report, relay);
    if (failure) {
        kelcli_card_drop_created(target);
        return report.fail(failure);
    }
    if (w.verify) {
        report.stage("verify", QStringLiteral("Reading the card back"));
        QString mismatch;
        if (!verifyBringupCard(
                &image, target.disk,
                [&](quint64 done) {
                    report.progress(done);
                    return !relay.stopped.load();
                },
                &mismatch)) {
            if (!report.stopRequest().isEmpty()) {
                return report.fail(Failure(Failure::Interrupted,
                                           QStringLiteral("interrupted by %1 during the "
                                                          "verification; the card was written "
                                                          "but not verified")
                                               .arg(report.stopRequest())));
            }
            kelcli_card_drop_created(target);
            return report.fail(
                Failure(Failure::VerifyFailed, QStringLiteral("verification failed: ") + mismatch));
        }
    }
    report.endStopRequests();
    return report.result(true, QStringLiteral("%1 written to %2%3")
                                   .arg(kelcli_size_text(total), target.path,
                                        w.verify ? QStringLiteral(" and verified") : QString()));
}
