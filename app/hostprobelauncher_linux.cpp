#include "hostprobelauncher.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "language.h"

extern char **environ;

namespace {
// pkexec's own exit codes: the operator dismissed the prompt, or the
// authorisation failed (no agent, wrong password, not allowed).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;
}  // namespace

HostProbeLauncher::HostProbeLauncher(QObject *parent) : QObject(parent) {
    timer = new QTimer(this);
    timer->setInterval(300);
    connect(timer, &QTimer::timeout, this, &HostProbeLauncher::poll);
}

HostProbeLauncher::~HostProbeLauncher() {
    // The checker keeps running on its own; it is not ours to end (it runs as root
    // and could not be signalled anyway). Its exit status is collected by init
    // once this process is gone.
}

bool HostProbeLauncher::start(const QString &program, QString *reason) {
    auto refuse = [reason](const QString &why) {
        if (reason) {
            *reason = why;
        }
        return false;
    };
    const QFileInfo info(program);
    if (!info.isFile() || !info.isExecutable()) {
        qWarning() << "HostProbe not found:" << program;
        return refuse(tr("程序目录中没有HostProbe"));
    }
    if (timer->isActive()) {
        // One prompt at a time; the checker may show itself any moment.
        return true;
    }
    QByteArrayList args;
    if (geteuid() == 0) {
        args << QFile::encodeName(info.absoluteFilePath());
    } else {
        const QString pkexec = QStandardPaths::findExecutable("pkexec");
        if (pkexec.isEmpty()) {
            qWarning() << "pkexec not found: cannot start HostProbe with administrator rights";
            return refuse(tr("未找到pkexec，无法以管理员权限运行"));
        }
        args << QFile::encodeName(pkexec) << QFile::encodeName(info.absoluteFilePath());
    }
    QVector<char *> argv;
    for (QByteArray &arg : args) {
        argv.append(arg.data());
    }
    argv.append(nullptr);
    // The checker takes no arguments: the language goes in a variable that pkexec
    // keeps, in place of the one the session may have.
    const QByteArray name = languageEnvironmentName();
    QByteArray languageEntry = name + '=' + currentLanguage().toLatin1();
    QVector<char *> envp;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (qstrncmp(*entry, name.constData(), uint(name.size())) != 0 ||
            (*entry)[name.size()] != '=') {
            envp.append(*entry);
        }
    }
    envp.append(languageEntry.data());
    envp.append(nullptr);
    pid_t child = -1;
    const int rc = posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), envp.data());
    if (rc != 0) {
        qWarning() << "Failed to start HostProbe:" << strerror(rc);
        return refuse(tr("启动失败：") + QString::fromLocal8Bit(strerror(rc)));
    }
    qDebug() << "HostProbe started:" << QString::fromLocal8Bit(args.join(' '));
    pid = child;
    timer->start();
    return true;
}

void HostProbeLauncher::poll() {
    int status = 0;
    const pid_t done = waitpid(pid_t(pid), &status, WNOHANG);
    if (done == 0) {
        return;
    }
    timer->stop();
    pid = -1;
    if (done < 0 || !WIFEXITED(status)) {
        return;
    }
    const int code = WEXITSTATUS(status);
    if (code == kPkexecDismissed || code == kPkexecNotAuthorized) {
        qWarning() << "HostProbe was not started, pkexec exit code" << code;
        emit failed(code == kPkexecDismissed ? tr("管理员授权已取消") : tr("管理员授权被拒绝"));
    }
}
