// The per-day burn counts, ten days to a page.
#pragma once

#include "keldialog.h"

class QTableWidget;
class KelButton;

class StatisticDialog : public KelDialog {
    Q_OBJECT

public:
    explicit StatisticDialog(QWidget *parent = nullptr);

    // Reloads the current page from the statistics store.
    void refresh();

    int currentPage() const { return page; }
    int pageCount() const { return pages; }
    QTableWidget *table() const { return view; }
    KelButton *previousButton() const { return prevBtn; }
    KelButton *nextButton() const { return nextBtn; }

private:
    void setCell(int row, int column, const QString &text, const char *objectName);

    int page = 1;
    int pageSize = 10;
    int pages = 0;
    QTableWidget *view = nullptr;
    KelButton *prevBtn = nullptr;
    KelButton *nextBtn = nullptr;
};
