// What "kelflash-cli burn" was asked to do, shared by the one-board burn and
// the station that burns several boards at once.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "image_guard.h"
#include "partitionselection.h"

class ImageFile;
class RunRecords;

struct BurnArgs {
    QString image;
    QString usb;
    // Serial ports: one for a single burn, any number with --all.
    QStringList serials;
    bool first = false;
    bool partsGiven = false;
    QStringList parts;
    int retries = -1;
    bool reboot = true;
    bool force = false;
    bool json = false;
    bool verify = false;
    // Checked once before the first board is touched.
    ImageGuard guard;
    // Every board now in upgrade mode (--all), or each board as it appears
    // (--watch) until count boards are done (0: until stopped).
    bool all = false;
    bool watch = false;
    int count = 0;
    // Where each board's record goes (--db, --operator); owned by the command.
    RunRecords *records = nullptr;
};

// Burns several boards at once (--all, --watch) with the image whose header is
// loaded and the selection built from --parts (empty: everything). The upgrade
// library is initialised. Returns the exit status.
int kelcli_burn_station(const BurnArgs &a, ImageFile &image,
                        std::vector<PartitionSelection> &selection);
