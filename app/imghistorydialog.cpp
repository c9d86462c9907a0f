#include "imghistorydialog.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QVBoxLayout>

#include "kelbutton.h"

ImgHistoryDialog::ImgHistoryDialog(QWidget *parent) : KelDialog(parent, true) {
    setTitle(tr("历史镜像文件"));
    setFixedSize(820, 400);
    setModal(true);

    listView = new QListWidget(this);
    listView->setObjectName("history_list");
    KelButton *clearBtn = new KelButton(tr("清除"), this);
    clearBtn->setObjectName("history_clear_btn");
    clearBtn->setFixedWidthForText(60);
    KelButton *closeBtn = new KelButton(tr("关闭"), this);
    closeBtn->setObjectName("history_close_btn");
    closeBtn->setFixedWidthForText(60);

    QHBoxLayout *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(0);
    buttons->addWidget(clearBtn);
    buttons->addStretch(1);
    buttons->addWidget(closeBtn);
    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);
    layout->addWidget(listView, 1);
    layout->addLayout(buttons);
    setContentLayout(layout);

    connect(listView, &QListWidget::itemClicked, this, [this](QListWidgetItem *item) {
        const QString path = item->text();
        emit imgSelected(path);
        close();
    });
    connect(clearBtn, &KelButton::clicked, this, [this] {
        list.clear();
        listView->clear();
    });
    connect(closeBtn, &KelButton::clicked, this, &ImgHistoryDialog::close);

    list.load();
    refreshList();
}

ImgHistoryDialog::~ImgHistoryDialog() {
    list.save();
}

void ImgHistoryDialog::addRecord(const HistoryRecord &record) {
    list.add(record);
}

void ImgHistoryDialog::refreshList() {
    listView->clear();
    for (const HistoryRecord &record : list.records()) {
        listView->addItem(record.path);
    }
}
