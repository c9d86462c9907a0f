// What the three "card" commands share: the card a --device argument names,
// the confirmation before a card is destroyed, and the options. Their output
// (the engine's messages, progress and result) is in card_report.h.
#pragma once

#include <QString>
#include <QtGlobal>

#include "card_report.h"
#include "diskaccess.h"
#include "jobrecords.h"

class RunRecords;

struct CardTarget {
    // The card as it was when it was named: the job refuses it if the node or
    // file has come to hold another card since.
    DiskNode disk;
    QString path;
    bool file = false;     // a card image rather than a device
    bool created = false;  // made by this command: nothing on it to lose
};

struct CardTargetOptions {
    QString device;
    quint64 size = 0;  // --size: create (or grow) a card image to this size
    bool yes = false;
    bool force = false;
    bool json = false;
    // Takes --db and --operator for the job's record when set.
    RunRecords *records = nullptr;
};

// Turns --device into a disk. Refuses (with the message in *error, the exit
// status in *status and the failure's code in *code) the system's disks
// always, a partition, a device that is not removable without --force, and a
// missing file without --size. Asks the operator before anything is
// destroyed unless --yes.
bool kelcli_card_target(const char *command, const CardTargetOptions &o, CardTarget *target,
                        QString *error, int *status, Failure::Code *code = nullptr);

// What a record says of the card a job runs on, its start time now.
CardJobFacts kelcli_card_job_facts(const QString &kind, const CardTarget &target);

// The options write and format share (--device, --size, --yes, --force,
// --json, and --db and --operator with `records`) at argv[*i]: KELCLI_OK when
// taken (*i moved past its value), KELCLI_USAGE after reporting a bad value,
// -1 when it is none of them.
int kelcli_card_take_option(int argc, char **argv, int *i, CardTargetOptions *o);
// Whether --json is among the arguments, looked for before they are judged so
// that a usage error ends the JSON stream with its result line too.
bool kelcli_card_wants_json(int argc, char **argv);
// Removes a card image file the command created for a job that failed: a file
// that never became a card is no card image.
void kelcli_card_drop_created(const CardTarget &target);

// "29.7 GiB"
QString kelcli_size_text(quint64 bytes);
// "64M", "2G", "512K", "1000000" (bytes); 0 on a malformed size.
quint64 kelcli_parse_size(const char *text);
