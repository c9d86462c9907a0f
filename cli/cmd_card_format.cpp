// "kelflash-cli card format": one FAT32 partition over the whole card.
#include <QJsonObject>
#include <cstring>

#include "card_common.h"
#include "carddisk.h"
#include "cli.h"
#include "kelformatsdcard.h"
#include "run_records.h"

int kelcli_cmd_card_format(int argc, char **argv) {
    CardTargetOptions o;
    o.json = kelcli_card_wants_json(argc, argv);
    RunRecords records;
    o.records = &records;
    bool mbr = false;
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
        if (strcmp(a, "--mbr") == 0) {
            mbr = true;
        } else if (!kelcli_take_verbose(a)) {
            return kelcli_card_usage(o.json, QStringLiteral("unknown or incomplete option '%1' for format")
                                                 .arg(QString::fromLocal8Bit(a)));
        }
    }
    QString recordsError;
    if (!records.open(&recordsError)) {
        return kelcli_card_usage(o.json, recordsError);
    }
    CardReport report(o.json, 100, false);
    CardTarget target;
    QString error;
    int status = KELCLI_FAIL;
    Failure::Code code = Failure::None;
    if (!kelcli_card_target("format", o, &target, &error, &status, &code)) {
        if (status == KELCLI_USAGE) {
            return kelcli_card_usage(o.json, error);
        }
        return report.fail(Failure(code, error));
    }
    report.keepRecord(&records, kelcli_card_job_facts(QStringLiteral("card-format"), target),
                      nullptr);
    CardDisk card;
    card.setDisk(target.disk);
    report.start({{"device", target.path}, {"table", mbr ? "mbr" : "gpt"}},
                 QStringLiteral("Formatting %1 as FAT32 in %2 table").arg(target.path, mbr ? "an MBR" : "a GPT"));
    bool ok = false;
    Failure failure;
    {
        KelFormatSDCard worker(mbr, &card);
        QObject::connect(
            &worker, &KelFormatSDCard::threadIsRunning, &worker,
            [&](qint64 stage) { report.progress(quint64(stage)); }, Qt::DirectConnection);
        QObject::connect(&worker, &KelFormatSDCard::threadIsSuccessful, &worker,
                         [&] { ok = true; }, Qt::DirectConnection);
        report.stage("format", QString());
        // The format stops between its steps; the card may then be left
        // without a table or a file system, which the result says.
        report.watchStopRequests([&worker] { worker.requestInterruption(); });
        worker.start();
        worker.wait();
        report.endStopRequests();
        failure = worker.failure();
    }
    if (ok) {
        return report.result(true, QStringLiteral("%1 holds one FAT32 volume").arg(target.path));
    }
    kelcli_card_drop_created(target);
    if (!report.stopRequest().isEmpty()) {
        failure = Failure(Failure::Interrupted,
                          QStringLiteral("interrupted by %1; the format was not finished")
                              .arg(report.stopRequest()));
    } else if (!failure) {
        failure = Failure(Failure::Internal, QStringLiteral("the format failed"));
    }
    return report.fail(failure);
}
