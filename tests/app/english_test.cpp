// The interface language: the choice from the command line and the settings, and
// the window and its dialogs in English with every text translated and whole.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTabBar>
#include <QTest>
#include <gtest/gtest.h>

#include <unistd.h>

#include "dialog_util.h"
#include "hostprobelauncher.h"
#include "kelabout.h"
#include "kelflash.h"
#include "keltranslation.h"
#include "language.h"
#include "pack_sample.h"
#include "private_adb.h"
#include "qt_wait.h"
#include "settings.h"

namespace {

bool hasChinese(const QString &text) {
    static const QRegularExpression cjk(
        QStringLiteral("[\\x{3000}-\\x{303f}\\x{4e00}-\\x{9fff}"
                       "\\x{ff00}-\\x{ffef}]"));
    return text.contains(cjk);
}

// What a visible widget shows that is Chinese, or cut off by its width; the
// language choice of the about box names each language in itself.
QStringList faults(QWidget *top) {
    QStringList found;
    QList<QWidget *> widgets = top->findChildren<QWidget *>();
    widgets.prepend(top);
    for (QWidget *w : widgets) {
        if (!w->isVisible() || w->objectName() == QLatin1String("about_language")) {
            continue;
        }
        QStringList texts{w->windowTitle()};
        const QString where =
            QString::fromLatin1(w->metaObject()->className()) + " " + w->objectName() + ": ";
        if (auto *label = qobject_cast<QLabel *>(w)) {
            texts << label->text();
            if (!label->wordWrap() && label->sizeHint().width() > label->width()) {
                found << where + "cut off: " + label->text();
            }
        } else if (auto *button = qobject_cast<QAbstractButton *>(w)) {
            texts << button->text();
            if (!button->text().isEmpty() && button->sizeHint().width() > button->width()) {
                found << where + "cut off: " + button->text();
            }
        } else if (auto *edit = qobject_cast<QLineEdit *>(w)) {
            texts << edit->text() << edit->placeholderText();
        } else if (auto *box = qobject_cast<QComboBox *>(w)) {
            for (int i = 0; i < box->count(); ++i) {
                texts << box->itemText(i);
            }
        } else if (auto *bar = qobject_cast<QTabBar *>(w)) {
            for (int i = 0; i < bar->count(); ++i) {
                texts << bar->tabText(i);
                if (bar->tabRect(i).width() <
                    bar->fontMetrics().horizontalAdvance(bar->tabText(i))) {
                    found << where + "cut off: " + bar->tabText(i);
                }
            }
        }
        for (const QString &text : texts) {
            if (hasChinese(text)) {
                found << where + "Chinese: " + text;
            }
        }
    }
    return found;
}

TEST(LanguageChoice, CommandLineOverStoredSetting) {
    struct Case {
        const char *stored;  // nullptr: no [ui] section at all
        QStringList arguments;
        const char *chosen;
    };
    const Case cases[] = {
        {nullptr, {}, "zh"},
        {"en", {}, "en"},
        {" en ", {}, "en"},
        {"EN_us", {}, "zh"},
        {"fr", {}, "zh"},
        {"zh", {"--lang", "en"}, "en"},
        {"en", {"--lang=zh"}, "zh"},
        {nullptr, {"--user-data", "--lang", "en"}, "en"},
        // An unknown or missing language on the command line leaves the setting.
        {"en", {"--lang", "de"}, "en"},
        {"zh", {"--lang"}, "zh"},
    };
    for (const Case &c : cases) {
        QFile::remove("choice.ini");
        if (c.stored) {
            QFile file("choice.ini");
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(QByteArray("[ui]\nlanguage=") + c.stored + "\n");
        }
        Settings settings("choice.ini");
        EXPECT_EQ(chooseLanguage(QStringList{"KelFlash"} + c.arguments, settings), c.chosen)
            << (c.stored ? c.stored : "(none)") << " " << c.arguments.join(' ').toStdString();
    }
    // The about box's choice is stored as the program reads it.
    Settings settings("choice.ini");
    settings.setLanguage("en");
    EXPECT_EQ(Settings("choice.ini").language(), "en");
    settings.setLanguage("anything");
    EXPECT_EQ(Settings("choice.ini").language(), "zh");
}

// Installs the English catalogues for the rest of this program: every test
// below it speaks English.
TEST(EnglishWindow, EveryVisibleTextIsEnglishAndWhole) {
    installLanguage(*qApp, "en");
    ASSERT_EQ(currentLanguage(), "en");
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");

    PrivateAdb adb{"#!/bin/sh\necho 'error: no devices/emulators found'\n"};
    ImagePackSpec spec = packtest::evbSpec();
    spec.components.push_back(image_pack_env_component({"parts_mmc=16m(boot),-(data)"}));
    std::string error;
    ASSERT_EQ(image_pack_write(spec, "english.img", &error), 0) << error;
    Settings::instance().setImagePath(QString());
    Settings::instance().setShowStatistic(true);

    KelFlash window;
    window.show();
    window.selectImage("english.img");
    window.setFixedSize(window.size());
    QTest::qWait(50);
    EXPECT_EQ(faults(&window).join('\n').toStdString(), "");
    auto *tabs = window.findChild<QTabBar *>();
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->tabText(0), "Burn image");
    tabs->setCurrentIndex(1);
    QTest::qWait(50);
    EXPECT_EQ(faults(&window).join('\n').toStdString(), "");
    tabs->setCurrentIndex(0);

    // The dialogs, each as the operator opens it.
    window.showHistory();
    window.showSettings();
    window.showStatistics();
    window.showAbout();
    window.toggleLogWindow(true);
    QTest::qWait(50);
    const QList<KelDialog *> dialogs = visibleDialogs();
    EXPECT_GE(dialogs.size(), 4);
    for (KelDialog *dialog : dialogs) {
        EXPECT_EQ(faults(dialog).join('\n').toStdString(), "") << dialog->metaObject()->className();
    }

    // The about box offers the choice and says when it applies.
    KelAbout *about = window.findChild<KelAbout *>();
    ASSERT_NE(about, nullptr);
    auto *choice = about->findChild<QComboBox *>("about_language");
    ASSERT_TRUE(choice && choice->isVisible());
    choice->setCurrentIndex(choice->findData("en"));
    EXPECT_EQ(Settings::instance().language(), "en");
    auto *note = about->findChild<QLabel *>("about_language_note");
    ASSERT_TRUE(note && note->isVisible());
    EXPECT_EQ(note->text(), "Takes effect at the next start");
    choice->setCurrentIndex(choice->findData("zh"));
    EXPECT_EQ(Settings::instance().language(), "zh");
    closeVisibleDialogs();
}

// HostProbe reads its language from the environment pkexec keeps: only "en"
// makes it English, and KelFlash replaces whatever the session had.
TEST(CheckerLanguage, OnlyEnMeansEnglishAndTheLauncherHandsItOver) {
    const std::pair<const char *, const char *> names[] = {
        {"en", "en"},    {" EN ", "en"}, {"en_US:en", "zh"},
        {"zh_CN", "zh"}, {"", "zh"},     {"../../tmp/x", "zh"}};
    for (const auto &n : names) {
        EXPECT_EQ(KelTranslation::normalized(n.first), n.second) << n.first;
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "the launcher goes through pkexec unless it runs as root";
    }
    QFile::remove("language.txt");
    QFile script("probe.sh");
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(
        "#!/bin/sh\nprintf '%s' \"$LANGUAGE\" >language.tmp && mv language.tmp language.txt\n");
    script.close();
    script.setPermissions(script.permissions() | QFile::ExeOwner);
    qputenv("LANGUAGE", "de:fr");
    HostProbeLauncher launcher;
    QString reason;
    ASSERT_TRUE(launcher.start(QFileInfo(script).absoluteFilePath(), &reason))
        << reason.toStdString();
    ASSERT_TRUE(waitFor([] { return QFile::exists("language.txt"); }, 5000));
    QFile written("language.txt");
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), currentLanguage().toLatin1());
}

}  // namespace
