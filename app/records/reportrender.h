// The yield report rendered from its aggregate rows: a JSON document, or one
// self-contained HTML page (inline styles and SVG charts, no script, nothing
// fetched from anywhere).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "reportdata.h"

// How the figures are defined, in the words both renderers print.
extern const char *const kReportFirstPassDefinition;
extern const char *const kReportThroughputDefinition;
extern const char *const kReportBurnTimeDefinition;
extern const char *const kReportFailedBoardDefinition;

QJsonObject reportToJson(const ReportData &data);
QByteArray reportToHtml(const ReportData &data);

// Text for HTML content and attribute values: & < > " ' escaped.
QString reportHtmlEscape(const QString &text);
