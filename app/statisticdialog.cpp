#include "statisticdialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include "kelbutton.h"
#include "statisticstore.h"

StatisticDialog::StatisticDialog(QWidget *parent) : KelDialog(parent, true) {
    setTitle(tr("烧写统计"));
    setFixedSize(600, 422);
    setModal(true);

    view = new QTableWidget(pageSize, 5, this);
    view->setObjectName("statistic_table");
    view->setHorizontalHeaderLabels({tr("日期"), tr("成功"), tr("失败"), tr("总计"), tr("成功率")});
    view->verticalHeader()->hide();
    // Ten rows fill the fixed height without a scroll bar.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::NoSelection);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    view->horizontalHeader()->setHighlightSections(false);
    view->setFocusPolicy(Qt::NoFocus);

    prevBtn = new KelButton(tr("上一页"), this);
    prevBtn->setObjectName("statistic_prev_btn");
    prevBtn->setFixedWidthForText(100);
    nextBtn = new KelButton(tr("下一页"), this);
    nextBtn->setObjectName("statistic_next_btn");
    nextBtn->setFixedWidthForText(100);
    QHBoxLayout *pageRow = new QHBoxLayout;
    pageRow->setContentsMargins(0, 0, 0, 0);
    pageRow->setSpacing(30);
    pageRow->addStretch(1);
    pageRow->addWidget(prevBtn);
    pageRow->addWidget(nextBtn);
    pageRow->addStretch(1);

    QVBoxLayout *layout = new QVBoxLayout;
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);
    layout->addWidget(view, 1);
    layout->addLayout(pageRow);
    setContentLayout(layout);

    connect(prevBtn, &KelButton::clicked, this, [this] {
        // The button is disabled on page 1; a page below 1 would list every row.
        if (page > 1) {
            --page;
        }
        refresh();
    });
    connect(nextBtn, &KelButton::clicked, this, [this] {
        ++page;
        refresh();
    });
    refresh();
}

void StatisticDialog::setCell(int row, int column, const QString &text, const char *objectName) {
    QLabel *label = new QLabel(text);
    label->setObjectName(objectName);
    label->setProperty("class", "statistic_label");
    label->setAlignment(Qt::AlignCenter);
    view->setCellWidget(row, column, label);
}

void StatisticDialog::refresh() {
    StatisticStore &store = StatisticStore::instance();
    const QList<StatisticRecord> rows = store.page(page, pageSize);
    const int n = qMin(rows.size(), pageSize);

    view->clearContents();
    for (int i = 0; i < n; ++i) {
        const StatisticRecord &r = rows.at(i);
        // Counts edited by hand may be negative or huge; the sum must not wrap.
        const qint64 total = qint64(r.successCount) + r.failCount;
        QString rate = QStringLiteral("0.0%");
        if (total != 0) {
            const qint64 percent = qint64(double(r.successCount) * 100.0 / double(total));
            rate = QString::number(double(percent), 'f', 1) + "%";
        }
        setCell(i, 0, r.date, "date_str");
        setCell(i, 1, QString::number(r.successCount), "success_label");
        setCell(i, 2, QString::number(r.failCount), "fail_label");
        setCell(i, 3, QString::number(total), "total_label");
        setCell(i, 4, rate, "rate_label");
    }

    const int count = store.rowCount();
    pages = (count + pageSize - 1) / pageSize;
    prevBtn->setEnabled(page != 1);
    nextBtn->setEnabled(page != pages);
}
