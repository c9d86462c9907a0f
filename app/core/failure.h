// Why a job ended without success, as a value: a code from a fixed list and the
// sentence the operator reads. It travels from where the failure happens (the
// link, the image reader, the disk) to whoever reports it (the window, the
// command line, a board's record), so nothing has to be recovered from a log
// line.
#pragma once

#include <QMetaType>
#include <QString>

class Failure {
public:
    // The names codeName() gives are stored in records and printed in JSON:
    // they never change, and a new code is only ever appended.
    enum Code {
        None = 0,
        // The operator or a signal stopped the job.
        Interrupted,
        // The image file cannot be opened or read.
        ImageUnreadable,
        // The image's header, partition list or a component does not check out.
        ImageCorrupt,
        // The image was refused for this board or host (platform, version guard).
        ImageMismatch,
        // The board or port cannot be reached or opened (absent, busy, no access).
        LinkUnavailable,
        // The board vanished or stopped answering in the middle of the job.
        LinkLost,
        // The board did not come back after a stage change or a reboot.
        LinkNotReturned,
        // The board answered a command with a failure.
        BoardRefused,
        // Another board answered than the one the job began with.
        BoardMismatch,
        // The board's checksum of a component differs from the image's.
        VerifyFailed,
        // The card cannot be found or opened, or is write protected.
        CardUnavailable,
        // Something on this host holds the card (a mount, another program).
        CardInUse,
        // The disk is no longer the one that was listed.
        CardChanged,
        // Reading or writing a disk or file failed (including a full disk).
        DiskIo,
        // The host cannot run the job (a tool missing, no permission).
        Host,
        // Anything else.
        Internal,
    };

    Failure() = default;
    Failure(Code code, const QString &message) : m_code(code), m_message(message) {}

    bool isFailure() const { return m_code != None; }
    explicit operator bool() const { return isFailure(); }
    Code code() const { return m_code; }
    QString message() const { return m_message; }
    // The stable name of the code ("link-lost"); "" for None.
    QString codeName() const { return codeName(m_code); }

    static QString codeName(Code code);
    // The code of a stable name; None for "" and for a name not on the list.
    static Code codeOf(const QString &name);

    bool operator==(const Failure &other) const {
        return m_code == other.m_code && m_message == other.m_message;
    }

private:
    Code m_code = None;
    QString m_message;
};

Q_DECLARE_METATYPE(Failure)
