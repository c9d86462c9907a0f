// Shared helpers of the burn tab tests: a scripted adb and images built with the
// packer (waits and message capture come from the common test helpers).
#pragma once

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTest>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_pack.h"
#include "msg_capture.h"
#include "pack_sample.h"
#include "private_adb.h"
#include "qt_wait.h"

namespace tabtest {

// Every Qt message, from any thread, while alive.
using Messages = MsgCapture;

// A scripted adb of the test's own (see PrivateAdb). Every call is logged to
// adb/calls.log; "shell uname ..." prints adb/answer; "shell kelupg" leaves
// adb/kelupg.started and prints one line.
class FakeAdb {
public:
    FakeAdb() {
        QDir().mkpath("adb");
        dir = QDir::current().absoluteFilePath("adb");
        QFile::remove(dir + "/calls.log");
        QFile::remove(dir + "/kelupg.started");
        setAnswer("error: no devices/emulators found\n");
        program.setScript(QString("#!/bin/sh\n"
                                  "d='%1'\n"
                                  "echo \"$@\" >> \"$d/calls.log\"\n"
                                  "if [ \"$2\" = kelupg ]; then\n"
                                  "  touch \"$d/kelupg.started\"\n"
                                  "  echo 'kelupg: upgrade service started'\n"
                                  "  exit 0\n"
                                  "fi\n"
                                  "cat \"$d/answer\"\n")
                              .arg(dir)
                              .toLatin1());
    }

    void setAnswer(const QByteArray &text) {
        QFile a(dir + "/answer.tmp");
        EXPECT_TRUE(a.open(QIODevice::WriteOnly));
        a.write(text);
        a.close();
        // Renamed into place: the watcher never reads a half-written answer.
        QFile::remove(dir + "/answer");
        QFile::rename(dir + "/answer.tmp", dir + "/answer");
    }
    int calls() const {
        QFile f(dir + "/calls.log");
        return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
    }
    bool kelupgStarted() const { return QFile::exists(dir + "/kelupg.started"); }

private:
    PrivateAdb program;
    QString dir;
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    return packtest::fillBytes(n, seed, 7);
}

inline ImagePackComponent component(const std::string &name, const std::string &partition,
                                    const std::vector<uint8_t> &data,
                                    const std::string &attributes = "burn") {
    return packtest::component(name, partition, data, attributes);
}

inline ImagePackSpec spec(std::vector<ImagePackComponent> components) {
    ImagePackSpec s = packtest::evbSpec();
    s.components = std::move(components);
    return s;
}

inline void writeImage(const ImagePackSpec &s, const std::string &path) {
    std::string err;
    ASSERT_EQ(image_pack_write(s, path, &err), 0) << err;
}

}  // namespace tabtest
