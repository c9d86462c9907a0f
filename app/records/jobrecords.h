// The record each kind of finished job leaves: made from what the job itself
// reports, on the thread that saw it end. Nothing here reads the image's data;
// the writer takes its digest on its own thread.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "boardrecord.h"
#include "failure.h"

#include <vector>

#include "partitionselection.h"

struct BurnResult;
class ImageFile;

// "ok", "interrupted" or "failed", as a record stores a job's outcome.
QString recordResultOf(const Failure &failure);

// The image's path, name, size and header fields; the digest is left to the
// writer.
void setRecordImage(BoardRecord &record, ImageFile &image);

// The names of the image's components a burn with this selection writes
// (empty selection: every one).
QStringList selectedComponents(ImageFile &image, const std::vector<PartitionSelection> &selection);

// A burn's record: the session's result (times, board, link, bytes, retries,
// failure, the component it failed at), the image and the components chosen
// (empty: every one).
BoardRecord burnRecord(const StationFacts &facts, const BurnResult &result, ImageFile &image,
                       const QStringList &components);

// What a card job knows of its card when it ends.
struct CardJobFacts {
    QString kind;  // "card-write" or "card-format"
    QString node;
    QString vendor;
    QString product;
    qint64 size = -1;
    QString identity;
    QDateTime started;  // UTC
    QDateTime ended;    // UTC
    qint64 bytes = 0;
    Failure failure;
};

// A card job's record; `image` is null for a format.
BoardRecord cardRecord(const StationFacts &facts, const CardJobFacts &job, ImageFile *image);
