#include <QJsonArray>

#include "reportquery.h"
#include "reportrender.h"

const char *const kReportFirstPassDefinition =
    "A board is known by its serial number, else by its chip id, else it is the record itself. "
    "Each board counts once, in the day, station and image of its first attempt within the "
    "selection. First-pass yield: boards whose first attempt succeeded, over boards. Final "
    "yield: boards with any successful attempt in the selection, over boards. Only burns count; "
    "card jobs are listed apart.";
const char *const kReportThroughputDefinition =
    "Boards per active hour: boards over the clock hours (UTC) in which the station started at "
    "least one burn, so that nights and breaks do not lower it. For all stations together, the "
    "hours in which any station started a burn.";
const char *const kReportBurnTimeDefinition =
    "Duration of successful burns, nearest-rank percentiles (p50, p90, p99) and the longest.";
const char *const kReportFailedBoardDefinition =
    "Boards none of whose attempts in the selection succeeded, with their last attempt.";

namespace {

double rounded(double v) {
    return qRound64(v * 10000.0) / 10000.0;
}

QJsonObject yieldRow(const ReportYieldRow &r, const char *nameKey, bool hours) {
    QJsonObject o{{"boards", r.boards},
                  {"first_pass", r.firstPass},
                  {"final", r.finalPass},
                  {"first_pass_yield", rounded(r.firstPassYield())},
                  {"final_yield", rounded(r.finalYield())},
                  {"burns", r.burns},
                  {"failed_burns", r.failedBurns}};
    if (nameKey)
        o.insert(QLatin1String(nameKey), r.name);
    if (hours) {
        o.insert(QStringLiteral("active_hours"), r.activeHours);
        o.insert(QStringLiteral("boards_per_hour"), rounded(r.boardsPerHour()));
    }
    return o;
}

QJsonArray yieldRows(const QVector<ReportYieldRow> &rows, const char *nameKey, bool hours) {
    QJsonArray a;
    for (const ReportYieldRow &r : rows)
        a.append(yieldRow(r, nameKey, hours));
    return a;
}

QJsonValue textOrNull(const QString &s) {
    return s.isEmpty() ? QJsonValue() : QJsonValue(s);
}

}  // namespace

QJsonObject reportToJson(const ReportData &d) {
    QJsonObject summary = yieldRow(d.total, nullptr, true);
    summary.insert(QStringLiteral("first_started_utc"), textOrNull(d.firstStartedUtc));
    summary.insert(QStringLiteral("last_ended_utc"), textOrNull(d.lastEndedUtc));
    qint64 cards = 0;
    for (const ReportCardJobs &c : d.cardJobs)
        cards += c.count;
    summary.insert(QStringLiteral("card_jobs"), cards);

    QJsonArray causes;
    for (const ReportFailureCause &c : d.failureCauses)
        causes.append(QJsonObject{{"code", c.code}, {"count", c.count}, {"example", c.example}});
    QJsonArray times;
    for (const ReportBurnTime &t : d.burnTimes)
        times.append(QJsonObject{{"image", t.image},
                                 {"burns", t.burns},
                                 {"p50_ms", t.p50},
                                 {"p90_ms", t.p90},
                                 {"p99_ms", t.p99},
                                 {"max_ms", t.max}});
    QJsonArray failed;
    for (const ReportFailedBoard &b : d.failedBoards)
        failed.append(QJsonObject{{"board", b.board},
                                  {"station", b.station},
                                  {"started_utc", b.startedUtc},
                                  {"image", b.image},
                                  {"code", b.code},
                                  {"message", b.message},
                                  {"attempts", b.attempts}});
    QJsonArray cardJobs;
    for (const ReportCardJobs &c : d.cardJobs)
        cardJobs.append(
            QJsonObject{{"job_kind", c.jobKind}, {"result", c.result}, {"count", c.count}});

    const ReportFilter &f = d.filter;
    return QJsonObject{
        {"database", d.database},
        {"generated_utc", d.generatedUtc},
        {"filter", QJsonObject{{"since", textOrNull(f.since)},
                               {"until", textOrNull(f.until)},
                               {"station", textOrNull(f.station)},
                               {"image", textOrNull(f.image)}}},
        {"summary", summary},
        {"per_day", yieldRows(d.perDay, "day", false)},
        {"per_station", yieldRows(d.perStation, "station", true)},
        {"per_image", yieldRows(d.perImage, "image", false)},
        {"failure_causes", causes},
        {"burn_time", times},
        {"failed_boards", failed},
        {"failed_boards_total", d.failedBoardsTotal},
        {"failed_boards_listed_max", kReportFailedBoardLimit},
        {"card_jobs", cardJobs},
        {"definitions", QJsonObject{{"yield", QLatin1String(kReportFirstPassDefinition)},
                                    {"throughput", QLatin1String(kReportThroughputDefinition)},
                                    {"burn_time", QLatin1String(kReportBurnTimeDefinition)},
                                    {"failed_boards",
                                     QLatin1String(kReportFailedBoardDefinition)}}},
    };
}
