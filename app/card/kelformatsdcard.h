// Gives a card back to ordinary use: one partition over the whole card in a
// GPT or an MBR table, formatted FAT32 by the system's own format command.
// Reports the fixed stages 10, 20, 50 and 100 through threadIsRunning; a
// failed format ends with its reason (fail()), like every worker.
#pragma once

#include <QStringList>

#include "kelthread.h"

class CardDisk;
struct DiskNode;

class KelFormatSDCard : public KelThread {
    Q_OBJECT

public:
    // The card disk is not owned and must outlive the job.
    KelFormatSDCard(bool useMbr, CardDisk *card, QObject *parent = nullptr);
    // There is no stop: the format runs to its end, which this waits for. A
    // stop request (requestInterruption) is honoured between its steps.
    ~KelFormatSDCard() override;

    // Waits for the card's new volume and formats it; false with the reason
    // logged and in *why.
    bool formatVolume(const DiskNode &disk, Failure *why = nullptr);

    // The format command of the last formatVolume(), as run.
    QStringList lastCommand() const { return command; }

protected:
    void run() override;

private:
    // The table steps on the card held open: the current table read, the old
    // one cleared, the new one written (stages 10, 20 and 50).
    bool writeTable(const DiskNode &disk, Failure *why);
    // False with the command's own words (its last line of output) in *why.
    bool runCommand(const QStringList &argv, Failure *why);

    bool useMbr;
    bool currentIsGpt = false;
    CardDisk *card;
    QStringList command;
};
