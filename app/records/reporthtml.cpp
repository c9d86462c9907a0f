#include <algorithm>

#include <QStringList>

#include "reportquery.h"
#include "reportrender.h"

namespace {

// Colours that stay apart in greyscale print as well.
const char *const kDark = "#1f5f99";
const char *const kLight = "#8fbce6";
const char *const kFail = "#b8442f";
const char *const kSeries[] = {"#1f5f99", "#5f9fd6", "#b9d6f0"};

const char *const kStyle = R"(
body { font-family: "DejaVu Sans", Arial, Helvetica, sans-serif; color: #1b1b1b; margin: 24px;
       max-width: 1100px; }
h1 { font-size: 22px; margin: 0 0 4px 0; }
h2 { font-size: 17px; margin: 28px 0 8px 0; border-bottom: 1px solid #ccc; padding-bottom: 3px; }
p.meta, p.note { color: #555; font-size: 13px; margin: 4px 0; }
table { border-collapse: collapse; font-size: 13px; margin: 6px 0; }
th, td { border: 1px solid #d0d0d0; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #eef3f8; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
td.msg { max-width: 420px; overflow-wrap: anywhere; }
.empty { font-style: italic; color: #777; }
svg { display: block; max-width: 100%; height: auto; margin: 6px 0; }
svg text { font-family: "DejaVu Sans", Arial, Helvetica, sans-serif; font-size: 12px; fill: #1b1b1b; }
.legend span { display: inline-block; width: 12px; height: 12px; margin: 0 4px 0 12px;
               vertical-align: -1px; }
svg, .legend { break-inside: avoid; page-break-inside: avoid; }
@media print {
  body { margin: 0; max-width: none; font-size: 11px; }
  h2, p.note { break-after: avoid; page-break-after: avoid; }
  th, td { padding: 2px 5px; }
  td:first-child { white-space: nowrap; }
  tr { break-inside: avoid; page-break-inside: avoid; }
  th { background: #eee !important; -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  svg { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)";

QString esc(const QString &s) {
    return reportHtmlEscape(s);
}

QString pct(double v) {
    return QString::number(v * 100.0, 'f', 1) + QLatin1Char('%');
}

QString num(double v, int decimals = 0) {
    return QString::number(v, 'f', decimals);
}

QString seconds(qint64 ms) {
    return QString::number(double(ms) / 1000.0, 'f', ms < 10000 ? 2 : 1) + QStringLiteral(" s");
}

QString orNone(const QString &s) {
    return s.isEmpty() ? QStringLiteral("(none)") : s;
}

// Shortens a label for a chart's margin; the table carries the whole text.
QString clip(const QString &s, int max) {
    return s.size() <= max ? s : s.left(max - 1) + QChar(0x2026);
}

QString legend(const QStringList &names, const QStringList &colours) {
    QString h = QStringLiteral("<p class=\"note legend\">");
    for (int i = 0; i < names.size(); ++i)
        h += QStringLiteral("<span style=\"background:%1\"></span>%2")
                 .arg(colours[i], esc(names[i]));
    return h + QStringLiteral("</p>\n");
}

// Yield per day: for each day a pair of columns, first-pass and final, on a
// 0-100 % scale.
QString dayChart(const QVector<ReportYieldRow> &days) {
    const int w = 1000, h = 280, left = 48, right = 12, top = 12, bottom = 58;
    const int plotW = w - left - right, plotH = h - top - bottom;
    QString s = QStringLiteral(
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %1 %2\" width=\"%1\" "
                    "height=\"%2\" role=\"img\" aria-label=\"Yield per day\" class=\"chart\" "
                    "id=\"chart-days\"><title>Yield per day</title>\n")
                    .arg(w)
                    .arg(h);
    for (int p = 0; p <= 100; p += 25) {
        const double y = top + plotH - plotH * p / 100.0;
        s += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"#ddd\"/>"
                            "<text x=\"%4\" y=\"%5\" text-anchor=\"end\">%6%</text>\n")
                 .arg(left)
                 .arg(num(y, 1))
                 .arg(w - right)
                 .arg(left - 6)
                 .arg(num(y + 4, 1))
                 .arg(p);
    }
    const int n = days.size();
    const double slot = double(plotW) / std::max(n, 1);
    const double bar = std::max(1.0, std::min(28.0, slot * 0.4));
    // A day label needs about 60 units of width; with more days than that
    // allows, only every n-th day is labelled (each bar still has its tooltip).
    const int labelEvery = std::max(1, int(60.0 / slot + 0.999));
    for (int i = 0; i < n; ++i) {
        const ReportYieldRow &r = days[i];
        const double x = left + slot * i + slot / 2.0;
        const double fh = plotH * r.firstPassYield();
        const double lh = plotH * r.finalYield();
        const QString tip = QStringLiteral("%1: first-pass %2, final %3, %4 boards")
                                .arg(r.name, pct(r.firstPassYield()), pct(r.finalYield()),
                                     QString::number(r.boards));
        s += QStringLiteral("<g><title>%1</title>"
                            "<rect x=\"%2\" y=\"%3\" width=\"%4\" height=\"%5\" fill=\"%6\"/>"
                            "<rect x=\"%7\" y=\"%8\" width=\"%4\" height=\"%9\" fill=\"%10\"/></g>\n")
                 .arg(esc(tip), num(x - bar, 1), num(top + plotH - fh, 1), num(bar, 1),
                      num(fh, 1), QLatin1String(kDark), num(x, 1), num(top + plotH - lh, 1),
                      num(lh, 1))
                 .arg(QLatin1String(kLight));
        if (i % labelEvery == 0)
            s += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\" "
                                "transform=\"rotate(-40 %1 %2)\">%3</text>\n")
                     .arg(num(x + 4, 1), num(top + plotH + 16, 1), esc(r.name));
    }
    s += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"#888\"/>\n")
             .arg(left)
             .arg(top + plotH)
             .arg(w - right);
    return s + QStringLiteral("</svg>\n") +
           legend({QStringLiteral("first-pass yield"), QStringLiteral("final yield")},
                  {QLatin1String(kDark), QLatin1String(kLight)});
}

struct HBar {
    QString label;
    QVector<double> values;  // one per series
    QStringList texts;       // printed after each bar
};

// Horizontal bars, one group per label, one bar per series, scaled to the
// largest value or to `fullScale` (1 for a yield) when that is larger.
QString hbarChart(const QString &id, const QString &title, const QVector<HBar> &rows,
                  const QStringList &colours, double fullScale = 0) {
    const int w = 1000, labelW = 230, textW = 110, barH = 16, gap = 10;
    const int series = colours.size();
    const int groupH = series * barH + gap;
    const int h = rows.size() * groupH + gap;
    double max = fullScale;
    for (const HBar &r : rows)
        for (double v : r.values)
            max = std::max(max, v);
    if (max <= 0)
        max = 1;
    const double plotW = w - labelW - textW;
    QString s = QStringLiteral(
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %1 %2\" width=\"%1\" "
                    "height=\"%2\" role=\"img\" aria-label=\"%3\" class=\"chart\" id=\"%4\">"
                    "<title>%3</title>\n")
                    .arg(QString::number(w), QString::number(h), esc(title), id);
    for (int i = 0; i < rows.size(); ++i) {
        const HBar &r = rows[i];
        const double y0 = gap + i * groupH;
        s += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3</text>\n")
                 .arg(QString::number(labelW - 8), num(y0 + series * barH / 2.0 + 4, 1),
                      esc(clip(r.label, 32)));
        for (int k = 0; k < series && k < r.values.size(); ++k) {
            const double y = y0 + k * barH;
            const double bw = std::max(1.0, plotW * r.values[k] / max);
            s += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\">"
                                "<title>%6</title></rect>"
                                "<text x=\"%7\" y=\"%8\">%9</text>\n")
                     .arg(QString::number(labelW), num(y + 1, 1), num(bw, 1),
                          QString::number(barH - 2), colours[k],
                          esc(r.label + QStringLiteral(": ") + r.texts.value(k)),
                          num(labelW + bw + 6, 1), num(y + barH - 4, 1), esc(r.texts.value(k)));
        }
    }
    return s + QStringLiteral("</svg>\n");
}

QString yieldTable(const QVector<ReportYieldRow> &rows, const QString &what, bool hours) {
    QString h = QStringLiteral("<table><thead><tr><th>%1</th><th class=\"n\">Boards</th>"
                               "<th class=\"n\">First pass</th><th class=\"n\">First-pass yield</th>"
                               "<th class=\"n\">Final</th><th class=\"n\">Final yield</th>"
                               "<th class=\"n\">Burns</th><th class=\"n\">Failed burns</th>")
                    .arg(esc(what));
    if (hours)
        h += QStringLiteral("<th class=\"n\">Active hours</th><th class=\"n\">Boards/hour</th>");
    h += QStringLiteral("</tr></thead><tbody>\n");
    for (const ReportYieldRow &r : rows) {
        // One arg() call per row part: a name holding "%2" must stay as it is.
        h += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td class=\"n\">%3</td>"
                            "<td class=\"n\">%4</td><td class=\"n\">%5</td><td class=\"n\">%6</td>"
                            "<td class=\"n\">%7</td><td class=\"n\">%8</td>")
                 .arg(esc(orNone(r.name)), QString::number(r.boards), QString::number(r.firstPass),
                      pct(r.firstPassYield()), QString::number(r.finalPass), pct(r.finalYield()),
                      QString::number(r.burns), QString::number(r.failedBurns));
        if (hours)
            h += QStringLiteral("<td class=\"n\">%1</td><td class=\"n\">%2</td>")
                     .arg(QString::number(r.activeHours), num(r.boardsPerHour(), 1));
        h += QStringLiteral("</tr>\n");
    }
    return h + QStringLiteral("</tbody></table>\n");
}

QString noRecords() {
    return QStringLiteral("<p class=\"empty\">no records</p>\n");
}

}  // namespace

QString reportHtmlEscape(const QString &text) {
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&': out += QLatin1String("&amp;"); break;
        case '<': out += QLatin1String("&lt;"); break;
        case '>': out += QLatin1String("&gt;"); break;
        case '"': out += QLatin1String("&quot;"); break;
        case '\'': out += QLatin1String("&#39;"); break;
        default:
            // Control characters other than tab and line ends are not
            // allowed in an HTML text; a board's text may still carry them.
            if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') &&
                c != QLatin1Char('\r'))
                out += QChar(0xFFFD);
            else
                out += c;
        }
    }
    return out;
}

QByteArray reportToHtml(const ReportData &d) {
    const ReportFilter &f = d.filter;
    QStringList sel;
    sel << QStringLiteral("days %1 to %2")
               .arg(f.since.isEmpty() ? QStringLiteral("the first") : f.since,
                    f.until.isEmpty() ? QStringLiteral("the last") : f.until);
    sel << QStringLiteral("station %1").arg(f.station.isEmpty() ? QStringLiteral("any") : f.station);
    sel << QStringLiteral("image %1").arg(f.image.isEmpty() ? QStringLiteral("any") : f.image);

    QString h = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                               "<title>KelFlash yield report</title>\n<style>");
    h += QLatin1String(kStyle);
    h += QStringLiteral("</style></head><body>\n<h1>KelFlash yield report</h1>\n");
    h += QStringLiteral("<p class=\"meta\">Records: %1 &middot; selection: %2 &middot; "
                        "generated %3</p>\n")
             .arg(esc(d.database), esc(sel.join(QStringLiteral(", "))), esc(d.generatedUtc));

    // Summary
    const ReportYieldRow &t = d.total;
    qint64 cards = 0;
    for (const ReportCardJobs &c : d.cardJobs)
        cards += c.count;
    h += QStringLiteral("<section id=\"summary\"><h2>Summary</h2>\n");
    if (d.isEmpty())
        h += noRecords();
    h += QStringLiteral("<table><tbody>\n");
    const auto row = [&h](const QString &k, const QString &v) {
        h += QStringLiteral("<tr><th>%1</th><td class=\"n\">%2</td></tr>\n").arg(esc(k), esc(v));
    };
    row(QStringLiteral("Boards"), QString::number(t.boards));
    row(QStringLiteral("First-pass yield"),
        QStringLiteral("%1 (%2 boards)").arg(pct(t.firstPassYield()), QString::number(t.firstPass)));
    row(QStringLiteral("Final yield"),
        QStringLiteral("%1 (%2 boards)").arg(pct(t.finalYield()), QString::number(t.finalPass)));
    row(QStringLiteral("Burns (attempts)"), QString::number(t.burns));
    row(QStringLiteral("Failed burns"), QString::number(t.failedBurns));
    row(QStringLiteral("Boards per active hour"),
        QStringLiteral("%1 (%2 active hours)").arg(num(t.boardsPerHour(), 1)).arg(t.activeHours));
    row(QStringLiteral("First start (UTC)"), d.firstStartedUtc.isEmpty() ? QStringLiteral("-") : d.firstStartedUtc);
    row(QStringLiteral("Last end (UTC)"), d.lastEndedUtc.isEmpty() ? QStringLiteral("-") : d.lastEndedUtc);
    row(QStringLiteral("Card jobs"), QString::number(cards));
    h += QStringLiteral("</tbody></table>\n<p class=\"note\">%1</p>\n<p class=\"note\">%2</p></section>\n")
             .arg(esc(QLatin1String(kReportFirstPassDefinition)),
                  esc(QLatin1String(kReportThroughputDefinition)));

    // Per day
    h += QStringLiteral("<section id=\"days\"><h2>Yield per day</h2>\n");
    if (d.perDay.isEmpty())
        h += noRecords();
    else
        h += dayChart(d.perDay) + yieldTable(d.perDay, QStringLiteral("Day"), false);
    h += QStringLiteral("</section>\n");

    // Per station
    h += QStringLiteral("<section id=\"stations\"><h2>Yield and throughput per station</h2>\n");
    if (d.perStation.isEmpty()) {
        h += noRecords();
    } else {
        QVector<HBar> bars;
        for (const ReportYieldRow &r : d.perStation)
            bars.append({orNone(r.name),
                         {r.firstPassYield(), r.finalYield()},
                         {pct(r.firstPassYield()) + QStringLiteral(" first pass"),
                          pct(r.finalYield()) + QStringLiteral(" final")}});
        h += hbarChart(QStringLiteral("chart-stations"), QStringLiteral("Yield per station"), bars,
                       {QLatin1String(kDark), QLatin1String(kLight)}, 1.0);
        h += legend({QStringLiteral("first-pass yield"), QStringLiteral("final yield")},
                    {QLatin1String(kDark), QLatin1String(kLight)});
        h += yieldTable(d.perStation, QStringLiteral("Station"), true);
    }
    h += QStringLiteral("</section>\n");

    // Per image
    h += QStringLiteral("<section id=\"images\"><h2>Yield per image</h2>\n");
    h += d.perImage.isEmpty() ? noRecords() : yieldTable(d.perImage, QStringLiteral("Image"), false);
    h += QStringLiteral("</section>\n");

    // Failure causes
    h += QStringLiteral("<section id=\"causes\"><h2>Failure causes</h2>\n");
    if (d.failureCauses.isEmpty()) {
        h += QStringLiteral("<p class=\"empty\">no failed burns</p>\n");
    } else {
        QVector<HBar> bars;
        for (const ReportFailureCause &c : d.failureCauses)
            bars.append({c.code, {double(c.count)}, {QString::number(c.count)}});
        h += hbarChart(QStringLiteral("chart-causes"), QStringLiteral("Failure causes"), bars,
                       {QLatin1String(kFail)});
        h += QStringLiteral("<table><thead><tr><th>Code</th><th class=\"n\">Failed burns</th>"
                            "<th>Example message</th></tr></thead><tbody>\n");
        for (const ReportFailureCause &c : d.failureCauses)
            h += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td class=\"msg\">%3</td></tr>\n")
                     .arg(esc(c.code), QString::number(c.count), esc(c.example));
        h += QStringLiteral("</tbody></table>\n");
    }
    h += QStringLiteral("</section>\n");

    // Burn time
    h += QStringLiteral("<section id=\"burntime\"><h2>Burn time per image</h2>\n");
    if (d.burnTimes.isEmpty()) {
        h += QStringLiteral("<p class=\"empty\">no successful burns</p>\n");
    } else {
        QVector<HBar> bars;
        for (const ReportBurnTime &b : d.burnTimes)
            bars.append({orNone(b.image),
                         {double(b.p50), double(b.p90), double(b.p99)},
                         {QStringLiteral("p50 ") + seconds(b.p50), QStringLiteral("p90 ") + seconds(b.p90),
                          QStringLiteral("p99 ") + seconds(b.p99)}});
        h += hbarChart(QStringLiteral("chart-burntime"), QStringLiteral("Burn time per image"), bars,
                       {QLatin1String(kSeries[0]), QLatin1String(kSeries[1]), QLatin1String(kSeries[2])});
        h += legend({QStringLiteral("p50"), QStringLiteral("p90"), QStringLiteral("p99")},
                    {QLatin1String(kSeries[0]), QLatin1String(kSeries[1]), QLatin1String(kSeries[2])});
        h += QStringLiteral("<table><thead><tr><th>Image</th><th class=\"n\">Successful burns</th>"
                            "<th class=\"n\">p50</th><th class=\"n\">p90</th><th class=\"n\">p99</th>"
                            "<th class=\"n\">Longest</th></tr></thead><tbody>\n");
        for (const ReportBurnTime &b : d.burnTimes)
            h += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td class=\"n\">%3</td>"
                                "<td class=\"n\">%4</td><td class=\"n\">%5</td><td class=\"n\">%6</td></tr>\n")
                     .arg(esc(orNone(b.image)), QString::number(b.burns), seconds(b.p50),
                          seconds(b.p90), seconds(b.p99), seconds(b.max));
        h += QStringLiteral("</tbody></table>\n");
    }
    h += QStringLiteral("<p class=\"note\">%1</p></section>\n").arg(esc(QLatin1String(kReportBurnTimeDefinition)));

    // Failed boards
    h += QStringLiteral("<section id=\"failed\"><h2>Failed boards</h2>\n<p class=\"note\">%1</p>\n")
             .arg(esc(QLatin1String(kReportFailedBoardDefinition)));
    if (d.failedBoards.isEmpty()) {
        h += QStringLiteral("<p class=\"empty\">no failed boards</p>\n");
    } else {
        if (d.failedBoardsTotal > d.failedBoards.size())
            h += QStringLiteral("<p class=\"note\">The first %1 of %2 failed boards; "
                                "kelflash-cli report --csv writes every record.</p>\n")
                     .arg(d.failedBoards.size())
                     .arg(d.failedBoardsTotal);
        h += QStringLiteral("<table><thead><tr><th>Board</th><th>Station</th><th>Started (UTC)</th>"
                            "<th>Image</th><th>Code</th><th>Message</th><th class=\"n\">Attempts</th>"
                            "</tr></thead><tbody>\n");
        for (const ReportFailedBoard &b : d.failedBoards)
            h += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td>"
                                "<td class=\"msg\">%6</td><td class=\"n\">%7</td></tr>\n")
                     .arg(esc(b.board), esc(b.station), esc(b.startedUtc), esc(orNone(b.image)),
                          esc(b.code), esc(b.message), QString::number(b.attempts));
        h += QStringLiteral("</tbody></table>\n");
    }
    h += QStringLiteral("</section>\n");

    // Card jobs
    h += QStringLiteral("<section id=\"cards\"><h2>Card jobs</h2>\n");
    if (d.cardJobs.isEmpty()) {
        h += QStringLiteral("<p class=\"empty\">no card jobs</p>\n");
    } else {
        h += QStringLiteral("<table><thead><tr><th>Job</th><th>Result</th><th class=\"n\">Count</th>"
                            "</tr></thead><tbody>\n");
        for (const ReportCardJobs &c : d.cardJobs)
            h += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"n\">%3</td></tr>\n")
                     .arg(esc(c.jobKind), esc(c.result), QString::number(c.count));
        h += QStringLiteral("</tbody></table>\n");
    }
    h += QStringLiteral("</section>\n</body></html>\n");
    return h.toUtf8();
}
