// The output of the "card" commands, in one place: the engine's messages on
// the terminal, the progress (a bar, plain lines or JSON) and the one result
// line of a run, with its failure's code in JSON.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>

#include "failure.h"
#include "jobrecords.h"

// A usage error: the message and the hint on stderr and, with --json, the
// result line. Returns KELCLI_USAGE.
int kelcli_card_usage(bool json, const QString &message);

// The engine's messages on stderr (errors and warnings always, debug text
// with --verbose). A failure's reason comes from the job, never from here.
void kelcli_card_log_begin();
void kelcli_card_log_end();

// Progress and result output of a card job.
class ImageFile;
class RunRecords;

class CardReport {
public:
    // Without `bytes` the progress values are percentages of a job that moves
    // no measurable data (the format's stages): no rate is shown.
    CardReport(bool json, quint64 total, bool bytes = true);
    ~CardReport();
    void start(const QJsonObject &fields, const QString &line);
    // The job's record, submitted with the result line (which then says how
    // many records wait for the fleet database). Neither is owned; the image
    // (null for a format) must outlive the report.
    void keepRecord(RunRecords *records, const CardJobFacts &facts, ImageFile *image);
    void stage(const char *name, const QString &line);
    // Called from the worker's thread.
    void progress(quint64 bytes);
    // The one result line; returns the exit status. Only the first call of a
    // run writes it.
    int result(bool ok, const QString &message);
    // The result line of a failure: its message, and in JSON its code.
    int fail(const Failure &why);

    // Ctrl-C and termination requests while a job runs: the first one calls
    // `stop`, which ends the job at its next safe point; a second one writes
    // the result line at once and ends the program. end() gives the requests
    // their usual effect back.
    void watchStopRequests(std::function<void()> stop);
    void endStopRequests();
    // "SIGINT" once a request came, else empty.
    QString stopRequest() const;

private:
    static int onStopRequest(const char *request, void *ctx);
    int finish(bool ok, const QString &message, const QString &code);

    // The waiting count, or -1 without records.
    int submitRecord(bool ok, const QString &message, const QString &code);

    RunRecords *records = nullptr;
    CardJobFacts facts;
    ImageFile *recordImage = nullptr;
    bool json;
    bool tty;
    quint64 total;
    bool bytes;
    quint64 last = 0;
    qint64 startedMs = 0;
    qint64 stageMs = 0;  // the rate and the time left are the stage's own
    qint64 drawnMs = 0;
    QString stageName;
    std::function<void()> stopJob;
    bool watching = false;
    QString request;  // written once by the watching thread, before `requested`
    std::atomic<bool> requested{false};
};

// Prints a JSON object as one line on stdout.
void kelcli_card_json(const QJsonObject &obj);
