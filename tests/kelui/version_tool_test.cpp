// The about box's version check and download against a local HTTP server.
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include "dialog_util.h"
#include "http_server.h"
#include "kelabout.h"
#include "keldialog.h"
#include "kelversiontool.h"
#include "qt_wait.h"

namespace {

const QString kQuery = "/api/get_last_version?app_id=1";
const QString kDownload = "/api/download_last_version?app_id=1";

QByteArray versionAnswer(int major, int minor, int release, const QString &name, qint64 size,
                         const QString &sha256 = QString()) {
    QJsonObject data{{"major", major},       {"minor", minor}, {"release", release},
                     {"file_name", name},    {"file_size", size}, {"remark", "fixes"}};
    if (!sha256.isEmpty()) {
        data.insert("sha256", sha256);
    }
    return QJsonDocument(QJsonObject{{"code", 200}, {"data", data}}).toJson();
}

class VersionToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(saveDir.isValid());
        tool = new KelVersionTool(&host);
        tool->setAppId(1);
        tool->setCurVersion(1, 0, 8);
        tool->setServerUrl(server.baseUrl() + "/");
        tool->setSavePath(saveDir.path() + "/downloads");
        host.show();
    }
    void TearDown() override { closeEveryDialog(); }

    // Runs a check and waits until its outcome is on screen.
    void check() {
        int done = 0;
        auto c = QObject::connect(tool, &KelVersionTool::checkDone, [&] { ++done; });
        tool->checkLastVersion();
        const bool ended = waitFor([&] { return done == 1; });
        QObject::disconnect(c);
        ASSERT_TRUE(ended);
        EXPECT_EQ(KelDialog::currentLoading(), nullptr);
    }

    // Offers `name` of `size` bytes, has the operator press "下载" and waits for the end.
    bool download(const QString &name, qint64 size, const QString &sha256 = QString()) {
        server.setAnswer(kQuery, {200, versionAnswer(1, 1, 0, name, size, sha256)});
        check();
        KelDialog *offer = visibleDialog("new_version_dialog");
        EXPECT_NE(offer, nullptr);
        if (!offer) {
            return false;
        }
        bool ok = false, done = false;
        auto c = QObject::connect(tool, &KelVersionTool::downloadDone, [&](bool result) {
            ok = result;
            done = true;
        });
        QTest::mouseClick(offer->findChild<QPushButton *>("new_version_download_btn"),
                          Qt::LeftButton);
        EXPECT_TRUE(waitFor([&] { return done; }));
        QObject::disconnect(c);
        return ok;
    }

    QStringList savedFiles() const {
        return QDir(saveDir.path() + "/downloads").entryList(QDir::Files | QDir::Hidden);
    }

    QTemporaryDir saveDir;
    HttpServer server;
    QWidget host;
    KelVersionTool *tool = nullptr;
};

TEST_F(VersionToolTest, CheckOutcomes) {
    struct Case {
        const char *what;
        HttpAnswer answer;
        QString alert;  // empty: the new-version dialog
    };
    const Case cases[] = {
        {"newer (larger minor, smaller release)", {200, versionAnswer(1, 1, 0, "k.deb", 5 << 20)}, ""},
        {"same version", {200, versionAnswer(1, 0, 8, "k.deb", 100)}, "已是最新版本"},
        {"code 404", {200, "{\"code\": 404}"}, "检查失败，代码：404"},
        {"not JSON", {200, "<html>maintenance</html>"}, "检查失败，服务器应答无效"},
        {"no data", {200, "{\"code\": 200}"}, "检查失败，服务器应答无效"},
        {"version as text",
         {200, "{\"code\":200,\"data\":{\"major\":\"2\",\"minor\":0,\"release\":0,"
               "\"file_name\":\"k\",\"file_size\":1,\"remark\":\"\"}}"},
         "检查失败，服务器应答无效"},
        {"fractional size",
         {200, "{\"code\":200,\"data\":{\"major\":2,\"minor\":0,\"release\":0,"
               "\"file_name\":\"k\",\"file_size\":1.5,\"remark\":\"\"}}"},
         "检查失败，服务器应答无效"},
        {"HTTP 500", {500, "oops"}, "请求失败，请检查网络"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        server.setAnswer(kQuery, c.answer);
        check();
        if (c.alert.isEmpty()) {
            KelDialog *offer = visibleDialog("new_version_dialog");
            ASSERT_NE(offer, nullptr);
            EXPECT_EQ(offer->findChild<QLabel *>("new_version_number")->text(), "1.1.0");
            EXPECT_EQ(alertText(), "");
        } else {
            EXPECT_EQ(alertText(), c.alert);
            EXPECT_EQ(visibleDialog("new_version_dialog"), nullptr);
        }
        closeEveryDialog();
    }
}

TEST_F(VersionToolTest, UnconfiguredServerIsSaidSoWithoutARequest) {
    tool->setServerUrl("http://versions.kelvora.invalid:8080");
    check();
    EXPECT_EQ(alertText(), "未配置版本服务器，无法检查更新");
    EXPECT_EQ(server.requests, QStringList());
}

TEST_F(VersionToolTest, NoServerListening) {
    tool->setServerUrl("http://127.0.0.1:1");
    check();
    EXPECT_EQ(alertText(), "请求失败，请检查网络");
}

TEST_F(VersionToolTest, CompleteDownloadWithProgress) {
    QByteArray body(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < body.size(); ++i) {
        body[i] = char(i * 7);
    }
    server.setAnswer(kDownload, {200, body});
    QList<int> seen;  // the bar, sampled while the file arrives
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (tool->downloadDialog()) {
            seen << tool->downloadDialog()->findChild<QProgressBar *>()->value();
        }
    });
    sampler.start(1);

    ASSERT_TRUE(download("kelflash_1.1.0.deb", body.size()));
    QFile file(tool->downloadedFilePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), body);
    EXPECT_EQ(savedFiles(), QStringList{"kelflash_1.1.0.deb"});

    KelDialog *box = tool->downloadDialog();
    EXPECT_EQ(box->findChild<QLabel *>("download_percent")->text(), "100%");
    EXPECT_TRUE(box->findChild<QPushButton *>("download_setup_btn")->isEnabled());
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 0 && v < 100; }));
}

TEST_F(VersionToolTest, FailedDownloadsLeaveNothing) {
    const QByteArray body(600 * 1024, 'x');
    struct Case {
        const char *what;
        HttpAnswer answer;
        qint64 announced;
        QString alert;
    };
    const QString sha = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    const Case cases[] = {
        {"connection cut short", {200, body, 300 * 1024}, body.size(),
         "下载失败，请检查网络或下载目录权限"},
        {"redirect with a body of the announced size", {302, body}, body.size(),
         "下载失败，服务器未提供文件（状态 302）"},
        {"other content than the digest says", {200, QByteArray(body.size(), 'y')}, body.size(),
         "下载的文件校验失败，已删除"},
        {"404", {404, "gone"}, body.size(), "下载失败，请检查网络或下载目录权限"},
        {"body shorter than announced", {200, body}, body.size() + 1, "下载的文件不完整，已删除"},
        {"body longer than announced", {200, body}, body.size() - 1, "下载的文件大小不符，已删除"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        server.setAnswer(kDownload, c.answer);
        EXPECT_FALSE(download("kelflash.deb", c.announced, sha));
        EXPECT_EQ(alertText(), c.alert);
        EXPECT_EQ(savedFiles(), QStringList());
        EXPECT_FALSE(tool->setup());
        closeEveryDialog();
    }
}

TEST_F(VersionToolTest, HostileFileNamesAreRefusedBeforeAnyRequest) {
    server.setAnswer(kDownload, {200, "payload"});
    for (const QString &name :
         {QString("../evil.deb"), QString("sub/evil.deb"), QString("..\\\\evil.deb"), QString(),
          QString(".."), QString(".bash_aliases"), QString("tab\tname.deb"),
          QString::fromUtf8("kel\u202Ebed.exe"), QString::fromUtf8("kel\u2067x.deb")}) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(download(name, 7));
        EXPECT_EQ(alertText(), "服务器提供的文件名无效，已拒绝下载");
        closeEveryDialog();
    }
    EXPECT_EQ(server.requests.count(kDownload), 0);
    EXPECT_EQ(QDir(saveDir.path()).entryList(QDir::Files), QStringList());
    EXPECT_EQ(savedFiles(), QStringList());
}

TEST_F(VersionToolTest, TheHomeFolderItselfIsNeverWrittenInto) {
    const QString home = saveDir.path() + "/home";
    ASSERT_TRUE(QDir().mkpath(home));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", home.toUtf8());
    tool->setSavePath(home + "/");
    server.setAnswer(kDownload, {200, "installer"});
    const bool ok = download("kelflash.deb", 9);
    qputenv("HOME", oldHome);
    EXPECT_TRUE(ok);
    EXPECT_EQ(QDir(home).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_TRUE(QFile::exists(home + "/Downloads/kelflash.deb"));
}

TEST_F(VersionToolTest, ExistingFileNeedsConsentAndSurvivesAFailure) {
    QDir().mkpath(saveDir.path() + "/downloads");
    QFile old(saveDir.path() + "/downloads/kelflash.deb");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old installer");
    old.close();
    server.setAnswer(kDownload, {200, QByteArray(600 * 1024, 'n'), 100 * 1024});
    for (const char *answer : {"confirm_cancel_btn", "confirm_ok_btn"}) {
        SCOPED_TRACE(answer);
        QTimer::singleShot(50, [answer] {
            QTest::mouseClick(QApplication::activeModalWidget()->findChild<QPushButton *>(answer),
                              Qt::LeftButton);
        });
        download("kelflash.deb", 600 * 1024);
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), "old installer");
        old.close();
        EXPECT_EQ(savedFiles(), QStringList{"kelflash.deb"});
        closeEveryDialog();
    }
    // Refused: no request; agreed: the request was made, and it failed.
    EXPECT_EQ(server.requests.count(kDownload), 1);
}

TEST_F(VersionToolTest, ClosingTheDownloadDialogCancels) {
    server.setAnswer(kDownload, {200, QByteArray(8 << 20, 'c')});
    server.setAnswer(kQuery, {200, versionAnswer(1, 1, 0, "big.deb", 8 << 20)});
    check();
    bool done = false;
    QObject::connect(tool, &KelVersionTool::downloadDone, [&] { done = true; });
    QTest::mouseClick(visibleDialog("new_version_dialog")->findChild<QPushButton *>(
                          "new_version_download_btn"),
                      Qt::LeftButton);
    tool->downloadDialog()->close();
    ASSERT_TRUE(waitFor([&] { return done; }));
    EXPECT_EQ(alertText(), "");
    EXPECT_EQ(savedFiles(), QStringList());
}

TEST(KelAbout, BuildTime) {
    EXPECT_EQ(KelAbout::buildTimeText("Mar  5 202614:03:09"), "2026-03-05 14:03:09");
    EXPECT_EQ(KelAbout::buildTimeText("garbage"), "garbage");
}

}  // namespace
