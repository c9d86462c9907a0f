// The recently chosen images; a click picks one.
#pragma once

#include "keldialog.h"
#include "settings.h"

class QListWidget;

class ImgHistoryDialog : public KelDialog {
    Q_OBJECT

public:
    // Loads the history file once; the list is saved back when the dialog goes.
    explicit ImgHistoryDialog(QWidget *parent = nullptr);
    ~ImgHistoryDialog() override;

    // Adds to the list only; refreshList() shows it.
    void addRecord(const HistoryRecord &record);
    void refreshList();
    const HistoryList &history() const { return list; }
    QListWidget *listWidget() const { return listView; }

signals:
    void imgSelected(QString imgPath);

private:
    HistoryList list;
    QListWidget *listView = nullptr;
};
