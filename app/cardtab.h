// The main window's second page ("制作启动卡"): which card, whether it already
// carries an image and which, making a bring-up card from the selected image,
// and giving a card back to ordinary use with a GPT or an MBR table.
#pragma once

#include <QList>

#include "carddisk.h"
#include "cardscan.h"
#include "jobrecords.h"
#include "keltab.h"

class KelButton;
class KelComboBox;
class KelFormatSDCard;
class KelSwitch;

class CardTab : public KelTab {
    Q_OBJECT

public:
    explicit CardTab(QWidget *parent = nullptr);
    // Waits for a running format, which cannot be stopped.
    ~CardTab() override;

    // The card the tab works on.
    const CardDisk &card() const { return cardDisk; }
    // The cards of the last scan, in list order.
    const QList<CardInfo> &listedCards() const { return cards; }

public slots:
    void scanDevices() override;
    bool isReady() override;
    bool startWork() override;
    void finishWork() override;
    void setProgress(qint64 position) override;
    void onThreadStart() override;
    void onThreadFailed() override;
    void onThreadSuccessful() override;

    // True from the start of a format until its clean-up; the main window asks.
    bool isFormatting();
    void onTableSwitchClicked(bool checked);
    void onFormatClicked();
    void onCardSelected(int oldIndex, int curIndex);
    // Shows the mark of the selected card and how it compares with the image.
    void showCardImage();
    void setControlsEnabled(bool enabled);

    void setVisible(bool visible) override;

private:
    // Builds the page's controls once; every use of them goes through here.
    void ensureLayout();
    void buildLayout();
    // The mark's fields and a full fill; with `compare`, the message line says
    // whether the card holds this image or another version.
    void showMark(bool compare);
    void hideMark();
    void setLinkedLook(bool linked);
    // The refusal for a card that cannot be opened for writing, with what the
    // operator can do about it where that is not running as administrator.
    void showAccessRefusal(const QString &text);
    bool busy() const;
    // Whether the selected card can be written: still the card that was listed
    // (not taken out, nor another one put in since) and not write-protected.
    // Shows why not, and lists the cards again when it has changed.
    bool cardWritable();
    // The record of the job about to start on the selected card, sent with
    // jobRecord once the job is over (endRecord: a stopped job counts as
    // interrupted).
    void beginRecord(const QString &kind);
    void endRecord(const Failure &failure);

    bool hasCard = false;
    bool formatting = false;
    int lastIndex = -1;
    CardDisk cardDisk;
    KelFormatSDCard *formatter = nullptr;
    QList<CardInfo> cards;
    // Bytes the running bring-up job writes in all (its progress runs to this
    // rather than to the image's size); 0 outside such a job.
    quint64 plannedBytes = 0;
    // The scan that follows a job leaves the job's result on the message line.
    bool keepMessage = false;
    // The running job's record; pending from its start until it is sent.
    CardJobFacts jobFacts;
    bool recordPending = false;
    // What the running bring-up job last said it had written: a job that fails
    // or is stopped half-way records these bytes, as the command line does.
    qint64 writtenBytes = 0;

    bool built = false;
    KelComboBox *cardList = nullptr;
    KelSwitch *tableSwitch = nullptr;
    KelButton *formatBtn = nullptr;
    QLabel *cardIcon = nullptr;
    QLabel *cardInfo = nullptr;
};
