// What the three "card" commands share: the card a --device argument names,
// the confirmation before a card is destroyed, the engine's messages on the
// terminal, and the progress and result output (a bar, plain lines or JSON).
#pragma once

#include <QJsonObject>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>

struct CardTarget {
    int number = -1;
    QString path;
    bool file = false;     // a card image rather than a device
    bool created = false;  // made by this command: nothing on it to lose
};

struct CardTargetOptions {
    QString device;
    quint64 size = 0;  // --size: create (or grow) a card image to this size
    bool yes = false;
    bool force = false;
    bool json = false;
};

// Turns --device into a disk number. Refuses (with the message in *error and
// the exit status in *status) the system's disks always, a partition, a
// device that is not removable without --force, and a missing file without
// --size. Asks the operator before anything is destroyed unless --yes.
bool kelcli_card_target(const char *command, const CardTargetOptions &o, CardTarget *target,
                        QString *error, int *status);

// The options write and format share (--device, --size, --yes, --force,
// --json) at argv[*i]: KELCLI_OK when taken (*i moved past its value),
// KELCLI_USAGE after reporting a bad value, -1 when it is none of them.
int kelcli_card_take_option(int argc, char **argv, int *i, CardTargetOptions *o);
// Whether --json is among the arguments, looked for before they are judged so
// that a usage error ends the JSON stream with its result line too.
bool kelcli_card_wants_json(int argc, char **argv);
// A usage error: the message and the hint on stderr and, with --json, the
// result line. Returns KELCLI_USAGE.
int kelcli_card_usage(bool json, const QString &message);
// Removes a card image file the command created for a job that failed: a file
// that never became a card is no card image.
void kelcli_card_drop_created(const CardTarget &target);

// "29.7 GiB"
QString kelcli_size_text(quint64 bytes);
// "64M", "2G", "512K", "1000000" (bytes); 0 on a malformed size.
quint64 kelcli_parse_size(const char *text);

// The engine's messages on stderr (errors and warnings always, debug text
// with --verbose); the last error is kept as the reason of a failure.
void kelcli_card_log_begin();
void kelcli_card_log_end();
QString kelcli_card_last_error();

// Progress and result output of a card job.
class CardReport {
public:
    // Without `bytes` the progress values are percentages of a job that moves
    // no measurable data (the format's stages): no rate is shown.
    CardReport(bool json, quint64 total, bool bytes = true);
    ~CardReport();
    void start(const QJsonObject &fields, const QString &line);
    void stage(const char *name, const QString &line);
    // Called from the worker's thread.
    void progress(quint64 bytes);
    // The one result line; returns the exit status. Only the first call of a
    // run writes it.
    int result(bool ok, const QString &message);

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
