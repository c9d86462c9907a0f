// Gives a card back to ordinary use: one partition over the whole card in a
// GPT or an MBR table, formatted FAT32 by the system's own format command.
// Reports the fixed stages 10, 20, 50 and 100 through threadIsRunning.
#pragma once

#include <QStringList>
#include <QThread>

class CardDisk;

class KelFormatSDCard : public QThread {
    Q_OBJECT

public:
    // The card disk is not owned and must outlive the job.
    KelFormatSDCard(bool useMbr, CardDisk *card, QObject *parent = nullptr);
    ~KelFormatSDCard() override;

    // Waits for the card's new volume and formats it.
    bool formatVolume(int diskNumber);

    // The format command of the last formatVolume(), as run.
    QStringList lastCommand() const { return command; }

signals:
    void threadIsStart();
    void threadIsRunning(int postition);
    void threadIsFailed();
    void threadIsSuccessful();

protected:
    void run() override;

private:
    bool runCommand(const QStringList &argv);

    bool useMbr;
    bool currentIsGpt = false;
    CardDisk *card;
    QStringList command;
};
