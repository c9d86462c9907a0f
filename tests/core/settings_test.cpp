#include "kellogger.h"
#include "msg_capture.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTextCodec>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

namespace {

void writeFile(const QString &name, const QByteArray &bytes) {
    QFile::remove(name);
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray readFile(const QString &name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

TEST(Settings, HandEditedValuesReadStrictly) {
    writeFile("hand.ini",
              "[debug]\nauto_burn=true\nretry_cnt=3x\nshow_statistic=1\nis_verbose=TRUE\n"
              "[common]\nimage_path=/data/a.img\nselected_parts=boot,env,rootfs\n"
              "[system]\ndb_inited=01\n");
    Settings s("hand.ini");
    EXPECT_FALSE(s.autoBurn()) << "only \"1\" reads true";
    EXPECT_EQ(s.retryCount(), 0) << "a value that is not a number reads 0";
    EXPECT_TRUE(s.showStatistic());
    EXPECT_FALSE(s.isVerbose());
    EXPECT_FALSE(s.isDbInited());
    EXPECT_EQ(s.imagePath(), QString("/data/a.img"));
    // Unquoted commas make QSettings see a list; the text must still come back.
    EXPECT_EQ(s.selectedParts(), QString("boot,env,rootfs"));
    EXPECT_EQ(s.value("common", "missing"), QString());
}

TEST(Settings, AbsentKeysReadDefaultsAndEmptyNamesAreIgnored) {
    QFile::remove("absent.ini");
    Settings s("absent.ini");
    EXPECT_EQ(s.imagePath(), QString());
    EXPECT_FALSE(s.autoBurn());
    EXPECT_FALSE(s.isDbInited());
    EXPECT_EQ(s.retryCount(), 0);

    s.setValue("", "key", "x");
    s.setValue("group", "", "x");
    EXPECT_EQ(s.value("", "key"), QString());
    EXPECT_EQ(s.value("group", ""), QString());
    EXPECT_FALSE(readFile("absent.ini").contains("x"));
}

TEST(Settings, ValuesAreStoredAsTextPerGroup) {
    QFile::remove("enc.ini");
    {
        Settings s("enc.ini");
        s.setAutoBurn(true);
        s.setShowStatistic(false);
        s.setRetryCount(-3);
        s.setDbInited();
        s.setSelectedParts("boot,env,rootfs");
    }
    const QByteArray text = readFile("enc.ini");
    EXPECT_TRUE(text.contains("[debug]"));
    EXPECT_TRUE(text.contains("auto_burn=1"));
    EXPECT_TRUE(text.contains("show_statistic=0"));
    EXPECT_TRUE(text.contains("retry_cnt=-3"));
    EXPECT_TRUE(text.contains("[system]"));
    EXPECT_TRUE(text.contains("db_inited=1"));
    EXPECT_TRUE(text.contains("[common]"));
}

TEST(Settings, SurviveRestartAndKeepChineseInGb2312) {
    QFile::remove("restart.ini");
    const QString path = QString::fromUtf8("D:/固件/镜像 测试.img");
    {
        Settings s("restart.ini");
        s.setImagePath(path);
        s.setSelectedParts(QString::fromUtf8("boot,系统"));
        s.setAutoBurn(true);
        s.setRetryCount(3);
        s.setVerbose(true);
        s.setShowStatistic(true);
        s.setDbInited();
        EXPECT_TRUE(s.lastWriteOk());
    }
    QTextCodec *gb = QTextCodec::codecForName("GB2312");
    ASSERT_NE(gb, nullptr);
    const QByteArray raw = readFile("restart.ini");
    EXPECT_TRUE(raw.contains(gb->fromUnicode(QString::fromUtf8("固件/镜像")))) << raw.constData();
    EXPECT_FALSE(raw.contains(QString::fromUtf8("镜像").toUtf8()));

    Settings again("restart.ini");
    EXPECT_EQ(again.imagePath(), path);
    EXPECT_EQ(again.selectedParts(), QString::fromUtf8("boot,系统"));
    EXPECT_TRUE(again.autoBurn());
    EXPECT_EQ(again.retryCount(), 3);
    EXPECT_TRUE(again.isVerbose());
    EXPECT_TRUE(again.showStatistic());
    EXPECT_TRUE(again.isDbInited());
}

TEST(Settings, ValuesGb2312CannotHoldSurviveRestart) {
    QFile::remove("wide.ini");
    // Outside GB2312, mixed with Chinese, and a plain value that looks encoded.
    const QStringList values = {QString::fromUtf8("/home/jürgen/straße.img"),
                                QString::fromUtf8("/固件/straße 😀.img"),
                                QStringLiteral("@Utf8(abc)")};
    {
        Settings s("wide.ini");
        for (int i = 0; i < values.size(); ++i) {
            s.setValue("common", QString("v%1").arg(i), values[i]);
        }
        s.setImagePath(QString::fromUtf8("D:/固件/a.img"));
    }
    Settings again("wide.ini");
    for (int i = 0; i < values.size(); ++i) {
        EXPECT_EQ(again.value("common", QString("v%1").arg(i)), values[i]) << i;
    }
    // What GB2312 holds is still written in it, for stations that share the file.
    QTextCodec *gb = QTextCodec::codecForName("GB2312");
    EXPECT_TRUE(readFile("wide.ini").contains(gb->fromUnicode(QString::fromUtf8("D:/固件/a.img"))));
}

TEST(Settings, VerboseFlagReachesTheLibrarySink) {
    QFile::remove("verbose.ini");
    Settings s("verbose.ini");
    s.setVerbose(true);
    EXPECT_TRUE(KelLogger::isVerbose());
    s.setVerbose(false);
    EXPECT_FALSE(KelLogger::isVerbose());
    // Written through the generic accessor, the flag must follow as well.
    s.setBoolValue("debug", "is_verbose", true);
    EXPECT_TRUE(KelLogger::isVerbose());
    s.setValue("debug", "is_verbose", "true");
    EXPECT_FALSE(KelLogger::isVerbose());
}

// The process-wide store can be created only once per process, and other tests of
// this binary may have created it already: check it in a process of its own.
TEST(Settings, ProcessWideStoreStartsTheSinkFromTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto check = [] {
        QFile::remove("KelFlash.ini");
        writeFile("KelFlash.ini", "[debug]\nis_verbose=1\n");
        KelLogger::setVerbose(false);
        Settings &a = Settings::instance();
        bool ok = &a == &Settings::instance() && KelLogger::isVerbose();
        a.setImagePath("/img/one.img");
        ok = ok && readFile("KelFlash.ini").contains("image_path=/img/one.img");
        std::fprintf(stderr, ok ? "instance ok\n" : "instance wrong\n");
        std::_Exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "instance ok");
}

TEST(Settings, UnwritableFileIsReported) {
    QDir().mkpath("blocked.ini");  // a directory cannot be written as a file
    MsgCapture messages;
    Settings s("blocked.ini");
    s.setAutoBurn(true);
    EXPECT_FALSE(s.lastWriteOk());
    EXPECT_TRUE(messages.contains(QtWarningMsg, "Failed to write"));
}

// Lines that are no setting (comments, notes, other programs' lines) stay where
// they are, and a write that reached the file is no failure. Values are written
// as QSettings writes them, so either reads what the other wrote.
TEST(Settings, KeepsLinesThatAreNoSettingAndWritesValuesAsQSettings) {
    const QByteArray before = "; station 4\n[common]\nimage_path=/a.img\nnot a setting\n[x]\n# n\n";
    writeFile("kept.ini", before);
    MsgCapture messages;
    Settings s("kept.ini");
    s.setImagePath("/b.img");
    s.setAutoBurn(true);
    EXPECT_TRUE(s.lastWriteOk() && messages.of(QtWarningMsg).isEmpty());
    EXPECT_EQ(readFile("kept.ini"),
              QByteArray(before).replace("/a.img", "/b.img") + "\n[debug]\nauto_burn=1\n");

    const QStringList values = {"a,b", "say \"hi\"", "C:\\a.img", " spaced ", "two\nlines",
                                "@at", "a=b;c", QString::fromUtf8("固件.img")};
    for (int i = 0; i < values.size(); ++i) {
        s.setValue("x", QString("v%1").arg(i), values[i]);
    }
    QSettings theirs("kept.ini", QSettings::IniFormat);
    theirs.setIniCodec("GB2312");
    for (int i = 0; i < values.size(); ++i) {
        EXPECT_EQ(Settings("kept.ini").value("x", QString("v%1").arg(i)), values[i]) << i;
        EXPECT_EQ(theirs.value(QString("x/v%1").arg(i)).toString(), values[i]) << i;
    }
}
