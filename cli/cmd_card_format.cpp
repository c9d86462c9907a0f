// "kelflash-cli card format": one FAT32 partition over the whole card.
#include <QJsonObject>
#include <cstring>

#include "card_common.h"
#include "carddisk.h"
#include "cli.h"
#include "kelformatsdcard.h"

int kelcli_cmd_card_format(int argc, char **argv) {
    CardTargetOptions o;
    bool mbr = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
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
            return kelcli_usage_error("card", "unknown or incomplete option '%s' for format", a);
        }
    }
    CardReport report(o.json, 100, false);
    CardTarget target;
    QString error;
    int status = KELCLI_FAIL;
    if (!kelcli_card_target("format", o, &target, &error, &status)) {
        if (status == KELCLI_USAGE) {
            return kelcli_usage_error("card", "%s", error.toLocal8Bit().constData());
        }
        return report.result(false, error);
    }
    CardDisk card;
    card.setDiskNumber(target.number);
    report.start({{"device", target.path}, {"table", mbr ? "mbr" : "gpt"}},
                 QStringLiteral("Formatting %1 as FAT32 in %2 table").arg(target.path, mbr ? "an MBR" : "a GPT"));
    bool ok = false;
    {
        KelFormatSDCard worker(mbr, &card);
        QObject::connect(&worker, &KelFormatSDCard::threadIsRunning, &worker,
                         [&](int stage) { report.progress(quint64(stage)); }, Qt::DirectConnection);
        QObject::connect(&worker, &KelFormatSDCard::threadIsSuccessful, &worker,
                         [&] { ok = true; }, Qt::DirectConnection);
        report.stage("format", QString());
        worker.start();
        worker.wait();
    }
    QString reason = kelcli_card_last_error();
    if (reason.isEmpty()) {
        reason = QStringLiteral("the format failed");
    }
    return report.result(ok, ok ? QStringLiteral("%1 holds one FAT32 volume").arg(target.path) : reason);
}
