// The yield report's figures: aggregate rows only, as the database computed
// them. The renderers (JSON, HTML) work from these and never see a record.
#pragma once

#include <QString>
#include <QVector>

// What the report covers. Days are the station's local dates ("yyyy-MM-dd"),
// both ends included; an empty text leaves that side open.
struct ReportFilter {
    QString since;
    QString until;
    QString station;
    QString image;
};

// Boards of one day, station or image. A board counts in the group of its
// first attempt within the selection.
struct ReportYieldRow {
    QString name;        // the day, station or image name (empty image: none recorded)
    qint64 boards = 0;   // distinct boards whose first attempt falls here
    qint64 firstPass = 0;  // ... of which the first attempt succeeded
    qint64 finalPass = 0;  // ... of which some attempt in the selection succeeded
    qint64 burns = 0;    // burn records in this group (every attempt)
    qint64 failedBurns = 0;
    qint64 activeHours = 0;  // stations only: clock hours (UTC) with a burn started
    double firstPassYield() const { return boards ? double(firstPass) / double(boards) : 0.0; }
    double finalYield() const { return boards ? double(finalPass) / double(boards) : 0.0; }
    double boardsPerHour() const { return activeHours ? double(boards) / double(activeHours) : 0.0; }
};

struct ReportFailureCause {
    QString code;  // the failure code, or the result when a record carries none
    qint64 count = 0;
    QString example;  // one of the messages that came with it
};

// Durations of successful burns of one image, nearest-rank percentiles.
struct ReportBurnTime {
    QString image;
    qint64 burns = 0;
    qint64 p50 = 0;
    qint64 p90 = 0;
    qint64 p99 = 0;
    qint64 max = 0;
};

// A board none of whose attempts in the selection succeeded, as its last
// attempt left it.
struct ReportFailedBoard {
    QString board;  // serial number, chip id or (neither known) the record id
    QString station;
    QString startedUtc;
    QString image;
    QString code;
    QString message;
    qint64 attempts = 0;
};

struct ReportCardJobs {
    QString jobKind;
    QString result;
    qint64 count = 0;
};

struct ReportData {
    ReportFilter filter;
    QString database;  // where the records came from, for the reader (no password)
    QString generatedUtc;
    ReportYieldRow total;  // name empty; activeHours: distinct hours of any station
    QString firstStartedUtc;  // empty when there are no burns
    QString lastEndedUtc;
    QVector<ReportYieldRow> perDay;
    QVector<ReportYieldRow> perStation;
    QVector<ReportYieldRow> perImage;
    QVector<ReportFailureCause> failureCauses;  // most frequent first
    QVector<ReportBurnTime> burnTimes;
    QVector<ReportFailedBoard> failedBoards;  // at most failedBoardLimit, oldest first
    qint64 failedBoardsTotal = 0;
    QVector<ReportCardJobs> cardJobs;
    bool isEmpty() const { return total.burns == 0 && cardJobs.isEmpty(); }
};
