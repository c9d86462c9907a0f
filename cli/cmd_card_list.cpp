// "kelflash-cli card list": the cards the card tab would offer.
#include <QJsonObject>
#include <cstring>

#include "card_common.h"
#include "carddisk.h"
#include "cardscan.h"
#include "cli.h"

int kelcli_cmd_card_list(int argc, char **argv) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (kelcli_is_help(argv[i])) {
            kelcli_help_card(stdout);
            return KELCLI_OK;
        }
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (!kelcli_take_verbose(argv[i])) {
            return kelcli_usage_error("card", "unknown option '%s' for list", argv[i]);
        }
    }
    const QList<CardInfo> cards = scanCards();
    if (!json && cards.isEmpty()) {
        fprintf(stderr, "No card found (removable disks with a medium are listed).\n");
        return KELCLI_OK;
    }
    if (!json) {
        printf("%-5s %-16s %-8s %-10s %-28s %s\n", "DISK", "NODE", "BUS", "SIZE", "VENDOR MODEL",
               "IMAGE");
    }
    for (const CardInfo &card : cards) {
        CardDisk disk;
        disk.setDisk(card.disk);
        // A card without a mark is the usual case, not a warning: a mark is
        // only looked for when the card can be read at all.
        QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &,
                                                              const QString &) {});
        const bool marked = disk.readImageMark();
        qInstallMessageHandler(previous);
        const QString name = (card.properties.vendor + QLatin1Char(' ') + card.properties.model)
                                 .simplified();
        if (json) {
            QJsonObject o{{"number", card.disk.number},
                          {"node", card.disk.path},
                          {"vendor", card.properties.vendor.trimmed()},
                          {"model", card.properties.model.trimmed()},
                          {"bus", busTypeName(card.properties.busType)},
                          {"size", double(card.size())},
                          {"sectorSize", double(card.sectorSize)}};
            if (marked) {
                o.insert(QStringLiteral("mark"), QJsonObject{{"platform", disk.markPlatform()},
                                                             {"product", disk.markProduct()},
                                                             {"version", disk.markVersion()}});
            }
            kelcli_card_json(o);
            continue;
        }
        const QString mark =
            marked ? QStringLiteral("%1 %2 %3")
                         .arg(disk.markPlatform(), disk.markProduct(), disk.markVersion())
                   : QStringLiteral("-");
        printf("%-5d %-16s %-8s %-10s %-28s %s\n", card.disk.number,
               card.disk.path.toLocal8Bit().constData(),
               busTypeName(card.properties.busType).toLocal8Bit().constData(),
               kelcli_size_text(card.size()).toLocal8Bit().constData(),
               name.toLocal8Bit().constData(), mark.toLocal8Bit().constData());
    }
    return KELCLI_OK;
}
