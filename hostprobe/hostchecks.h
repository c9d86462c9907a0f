// What stops a burn before it starts on this host, apart from other tools,
// virtual machines and services: access rights, udev rules, programs that grab
// serial ports, kernel limits. Each check reads the system's files under a root
// (a test hands in a tree of its own) and judges them for the operator, the user
// who started the checker, who is not the user the checker runs as. The fixes are
// a fixed set: each writes known files with fixed content or runs fixed commands.
// The backend for each platform lives in hostchecks_<platform>.cpp.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

namespace hostchecks {

enum class Fix {
    BoardRule,         // install the board's udev rule, apply it to attached boards
    JoinSerialGroup,   // add the operator to the group that owns the serial ports
    ModemManagerRule,  // a udev rule that tells ModemManager to leave our ports alone
    StopModemManager,  // stop and disable ModemManager
    MaskBrltty,        // brltty's udev rules without the lines for CH34x adapters
    UsbfsMemory,       // raise the usbfs memory limit, now and at every boot
    StopForeignAdb,    // end the adb server another user left on the adb port
    CardReaderRule,    // a udev rule that gives the operator the card readers
};

struct Finding {
    QString heading;    // what is wrong, one line
    QStringList items;  // what it concerns: files, nodes, programs, values
    QString advice;     // what to do where no fix is offered
    QVector<Fix> fixes;
};

// Runs a program (absolute path, or a name looked up in the system folders) with
// fixed arguments and waits for it; false, with the reason, when it fails.
using Runner = std::function<bool(const QString &program, const QStringList &args, QString *error)>;

struct Host {
    QString root = QStringLiteral("/");
    // The operator: the user the checker looks after; 0 needs no rights.
    uint uid = 0;
    // A process of the operator's session (the one that started the checker), 0
    // when there is none: the groups it runs with are the ones the operator has now.
    qint64 sessionPid = 0;
    // Where the checker is installed, beside KelFlash and the adb it brings along.
    QString programDir;
    Runner run;

    // `path` (absolute) inside the root.
    QString path(const QString &path) const;
    bool live() const { return root == QLatin1String("/"); }
};

// This system, for the operator who started the checker.
Host operatorHost();

// Every check, in the order they are reported. Service checks use the service
// manager on the system bus, not the tree.
QVector<Finding> checkAll(const Host &host);

// Each check alone.
QVector<Finding> checkBoardAccess(const Host &host);
QVector<Finding> checkSerialGroup(const Host &host);
QVector<Finding> checkModemManager(const Host &host);
QVector<Finding> checkBrltty(const Host &host);
QVector<Finding> checkUsbfsMemory(const Host &host);
QVector<Finding> checkAdb(const Host &host);
QVector<Finding> checkCardReaders(const Host &host);

// The link text of a fix, the question asked before it runs, and the link target
// that names it in the report.
QString fixLabel(Fix fix);
QString fixQuestion(Fix fix);
QString fixLink(Fix fix);
// The fix a link target names; false for any other text.
bool fixFromLink(const QString &link, Fix *fix);

// Applies a fix (not StopModemManager: the service is stopped by the window, as
// the other services are). On success `note` says what the operator still has to
// do (plug the board in again, log in again), possibly nothing; on failure `error`
// says why.
bool applyFix(const Host &host, Fix fix, QString *note, QString *error);

// The service name ModemManager runs under.
QString modemManagerService();

}  // namespace hostchecks
