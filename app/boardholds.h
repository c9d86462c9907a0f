// The boards auto-burn leaves alone: every board a job has ended on, until it
// has been seen gone. A stopped or failed job is not started again on the same
// board by itself, and a burnt board that comes back is not burnt twice.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QVector>

class BoardHolds {
public:
    // How a board is found: a USB location, a serial port, an adb host name.
    enum Kind { Usb, Serial, Adb };

    // A board told to reset at the end of its job leaves and comes back by
    // itself; that departure is not its removal. For this long after the job,
    // such a board that has not been seen back may still be on its way.
    static constexpr int kReturnGraceMs = 15000;
    // A board that drops off the list for less than this (a re-enumeration,
    // a listing that raced with a query) has not been taken away.
    static constexpr int kGoneMs = 1000;

    // `returns`: the board leaves and comes back by itself (the job ended by
    // resetting it, or ended while it was away between two stages).
    void hold(Kind kind, const QString &id, bool returns);
    // Boards of this kind now present; held ones that are not among them are
    // gone, unless they are away for their own reset.
    void seen(Kind kind, const QStringList &present);
    bool isHeld(Kind kind, const QString &id) const;
    bool isEmpty() const { return entries.isEmpty(); }

private:
    struct Entry {
        Kind kind;
        QString id;
        // On its way back by itself and not yet seen back.
        bool returning;
        // Seen gone while returning.
        bool away;
        QElapsedTimer since;
        // Running while the board has been missing from the list.
        QElapsedTimer absent;
    };
    QVector<Entry> entries;
};
