// The history, settings and statistics dialogs and the log window, on their own.
#include <QApplication>
#include <QDate>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>
#include <gtest/gtest.h>

#include "imghistorydialog.h"
#include "kelbutton.h"
#include "kelcombobox.h"
#include "kellogdialog.h"
#include "kelspinbox.h"
#include "kelswitch.h"
#include "settingdialog.h"
#include "settings.h"
#include "statisticdialog.h"
#include "statisticstore.h"

namespace {

void writeFile(const QString &name, const QByteArray &data) {
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QString cellText(QTableWidget *table, int row, int column) {
    auto *label = qobject_cast<QLabel *>(table->cellWidget(row, column));
    return label ? label->text() : QString();
}

TEST(ImgHistoryDialog, ListsClearsAndSavesOnDestruction) {
    writeFile("img_history.txt",
              "/imgs/a.img, 2026-01-02_10:00:00\n"
              "hand-edited line without time\n"
              "/imgs/b.img, 2026-01-01_10:00:00\n");
    {
        ImgHistoryDialog dialog;
        QListWidget *list = dialog.listWidget();
        ASSERT_EQ(list->count(), 2);
        EXPECT_EQ(list->item(0)->text(), "/imgs/a.img");

        // A new record is listed only after a refresh, newest first.
        dialog.addRecord({"/imgs/c.img", "2026-02-01_08:00:00"});
        EXPECT_EQ(list->count(), 2);
        dialog.refreshList();
        EXPECT_EQ(list->item(0)->text(), "/imgs/c.img");

        QTest::mouseClick(dialog.findChild<QPushButton *>("history_clear_btn"), Qt::LeftButton);
        EXPECT_EQ(list->count(), 0);
        // Only the destruction writes the file.
        QFile f("img_history.txt");
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll().contains("a.img"));
    }
    QFile f("img_history.txt");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray());
}

TEST(SettingDialog, OptionsPersist) {
    for (const char *key :
         {"auto_burn", "show_statistic", "is_verbose", "retry_cnt", "verify_crc", "check_crc"}) {
        Settings::instance().setValue("debug", key, QString());
    }
    SettingDialog dialog;
    dialog.show();
    dialog.loadValues();
    // Nothing stored: the spin box shows 1, and saving stores 1.
    EXPECT_EQ(dialog.retrySpinBox()->getValue(), 1);

    QSignalSpy changed(&dialog, &SettingDialog::settingChanged);
    for (KelSwitch *s : {dialog.autoBurnSwitch(), dialog.statisticSwitch(), dialog.verboseSwitch(),
                         dialog.verifySwitch(), dialog.checkCrcSwitch()}) {
        QTest::mouseClick(s, Qt::LeftButton);
    }
    dialog.retrySpinBox()->setValue(4);
    QTest::mouseClick(dialog.findChild<QPushButton *>("setting_save_btn"), Qt::LeftButton);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(dialog.isVisible());

    Settings reread;  // a second reader of the same file
    EXPECT_TRUE(reread.autoBurn());
    EXPECT_TRUE(reread.showStatistic());
    EXPECT_TRUE(reread.isVerbose());
    EXPECT_EQ(reread.retryCount(), 4);
    EXPECT_TRUE(reread.verifyChecksum());
    EXPECT_TRUE(reread.checkImageCrc());

    // A hand-edited count out of range leaves the shown value.
    Settings::instance().setValue("debug", "retry_cnt", "9");
    dialog.loadValues();
    EXPECT_EQ(dialog.retrySpinBox()->getValue(), 4);
    Settings::instance().setVerbose(false);
    Settings::instance().setVerifyChecksum(false);
    Settings::instance().setCheckImageCrc(false);
}

// The process-wide store on this test's data.db: empty first, then 25 days.
TEST(StatisticDialog, EmptyStoreThenPagesThrough25Days) {
    QFile::remove("data.db");
    StatisticStore::instance();
    {
        StatisticDialog dialog;
        EXPECT_EQ(dialog.pageCount(), 0);
        EXPECT_FALSE(dialog.previousButton()->isEnabled());
        // With no page at all, "next" stays usable and shows further empty pages.
        EXPECT_TRUE(dialog.nextButton()->isEnabled());
        QTest::mouseClick(dialog.nextButton(), Qt::LeftButton);
        EXPECT_EQ(dialog.currentPage(), 2);
        EXPECT_EQ(cellText(dialog.table(), 0, 0), "");
    }

    QSqlQuery insert(QSqlDatabase::database());
    const QDate first(2026, 3, 1);
    for (int day = 0; day < 25; ++day) {
        ASSERT_TRUE(insert.prepare(
            "INSERT INTO T_STATISTIC(success_cnt, fail_cnt, date_str) VALUES(?, ?, ?)"));
        insert.addBindValue(day == 24 ? 1 : day);
        insert.addBindValue(day == 24 ? 2 : 0);
        insert.addBindValue(first.addDays(day).toString("yyyy-MM-dd"));
        ASSERT_TRUE(insert.exec());
    }
    // A hand-edited row: text where a count belongs, no failures.
    ASSERT_TRUE(insert.exec("UPDATE T_STATISTIC SET success_cnt = 'many' WHERE date_str = '2026-03-01'"));

    StatisticDialog dialog;
    QTableWidget *table = dialog.table();
    EXPECT_EQ(dialog.pageCount(), 3);
    EXPECT_EQ(table->rowCount(), 10);
    EXPECT_EQ(table->columnCount(), 5);
    // Newest first: 1 success and 2 failures.
    const QStringList newest{"2026-03-25", "1", "2", "3", "33.0%"};
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(cellText(table, 0, column), newest[column]);
    }
    EXPECT_FALSE(dialog.previousButton()->isEnabled());
    EXPECT_TRUE(dialog.nextButton()->isEnabled());

    QTest::mouseClick(dialog.nextButton(), Qt::LeftButton);
    QTest::mouseClick(dialog.nextButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.currentPage(), 3);
    EXPECT_EQ(cellText(table, 4, 0), "2026-03-01");
    EXPECT_EQ(cellText(table, 4, 4), "0.0%");
    EXPECT_EQ(cellText(table, 5, 0), "");
    EXPECT_TRUE(dialog.previousButton()->isEnabled());
    EXPECT_FALSE(dialog.nextButton()->isEnabled());
    QTest::mouseClick(dialog.previousButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.currentPage(), 2);
    EXPECT_EQ(cellText(table, 0, 0), "2026-03-15");
}

TEST(KelLogDialog, ColoursPrefixesFontSizeAndClear) {
    KelLogDialog dialog;
    dialog.show();
    QTextEdit *view = dialog.textView();
    struct Case {
        QtMsgType type;
        const char *prefix;
        const char *color;
    };
    const Case cases[] = {
        {QtDebugMsg, "[debug] ", "#333333"}, {QtInfoMsg, "[info ] ", "#0000ff"},
        {QtWarningMsg, "[warn ] ", "#afa82e"}, {QtCriticalMsg, "[error] ", "#ff0000"},
        {QtFatalMsg, "[fatal] ", "#ff7f27"},
    };
    for (const Case &c : cases) {
        dialog.clearLog();
        dialog.appendText(c.type, "a <b> line", true);
        EXPECT_EQ(view->toPlainText(), QString(c.prefix) + "a <b> line");
        QTextCursor cursor(view->document());
        cursor.movePosition(QTextCursor::End);
        EXPECT_EQ(cursor.charFormat().foreground().color().name(), c.color) << c.prefix;
    }

    dialog.clearLog();
    dialog.appendText(QtInfoMsg, "first\nsecond", false);
    EXPECT_EQ(view->toPlainText().split('\n', Qt::SkipEmptyParts),
              QStringList({"first", "second"}));
    // The view follows the newest message.
    EXPECT_EQ(view->textCursor().position(), view->document()->characterCount() - 1);

    auto *sizes = dialog.findChild<KelComboBox *>("log_font_size");
    ASSERT_EQ(sizes->count(), 19);
    sizes->setCurrentIndex(sizes->findData(22));
    EXPECT_EQ(view->font().pixelSize(), 22);

    QTest::mouseClick(dialog.findChild<QPushButton *>("log_clear_btn"), Qt::LeftButton);
    EXPECT_TRUE(view->toPlainText().isEmpty());
    // No log file yet: the open button has nothing to open.
    EXPECT_FALSE(dialog.openLogFile());
}

}  // namespace
