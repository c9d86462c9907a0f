#include "jobrecords.h"

#include <QFileInfo>

#include "burnsession.h"
#include "burnthread.h"
#include "imagefile.h"

namespace {

// A record that starts when the job started, not when it is made: the
// station's offset and local day are those of the start.
BoardRecord recordOfSpan(const StationFacts &facts, const QString &kind, const QString &link,
                         const QDateTime &started, const QDateTime &ended) {
    BoardRecord r = BoardRecord::begin(facts, kind, link);
    if (started.isValid()) {
        const QDateTime local = started.toLocalTime();
        r.startedUtc = started.toUTC();
        r.utcOffsetS = local.offsetFromUtc();
        r.stationDay = local.date().toString(QStringLiteral("yyyy-MM-dd"));
    }
    if (ended.isValid()) {
        r.endedUtc = ended.toUTC();
        r.durationMs = qMax<qint64>(0, r.startedUtc.msecsTo(r.endedUtc));
    } else {
        r.finish();
    }
    return r;
}

void setOutcome(BoardRecord &r, const Failure &failure) {
    r.result = recordResultOf(failure);
    if (failure) {
        r.failureCode = failure.codeName();
        r.failureMessage = failure.message();
    }
}

}  // namespace

QString recordResultOf(const Failure &failure) {
    if (!failure)
        return QStringLiteral("ok");
    return failure.code() == Failure::Interrupted ? QStringLiteral("interrupted")
                                                  : QStringLiteral("failed");
}

void setRecordImage(BoardRecord &record, ImageFile &image) {
    const QFileInfo info(image.path());
    record.imagePath = info.absoluteFilePath();
    record.imageName = info.fileName();
    record.imageSize = info.exists() ? info.size() : -1;
    record.imagePlatform = image.platform();
    record.imageProduct = image.product();
    record.imageVersion = image.version();
}

QStringList selectedComponents(ImageFile &image, const std::vector<PartitionSelection> &selection) {
    QStringList names;
    const FwcMeta *metas = image.meta();
    for (quint32 i = 0; metas && i < image.fwcCount(); ++i)
        if (BurnThread::needsBurn(metas[i].name, selection.data(), quint32(selection.size())))
            names << QString::fromLatin1(metas[i].name);
    return names;
}

BoardRecord burnRecord(const StationFacts &facts, const BurnResult &result, ImageFile &image,
                       const QStringList &components) {
    BoardRecord r = recordOfSpan(facts, QStringLiteral("burn"), result.link, result.started,
                                 result.ended);
    r.location = result.location;
    r.setBoard(result.info, result.chipId);
    setRecordImage(r, image);
    r.components = components.join(QLatin1Char(','));
    r.bytesWritten = qint64(result.bytes);
    r.retries = result.retries;
    setOutcome(r, result.failure);
    if (result.failure)
        r.failedComponent = result.component;
    return r;
}

BoardRecord cardRecord(const StationFacts &facts, const CardJobFacts &job, ImageFile *image) {
    BoardRecord r =
        recordOfSpan(facts, job.kind, QStringLiteral("card"), job.started, job.ended);
    r.location = job.node;
    r.cardVendor = job.vendor;
    r.cardProduct = job.product;
    r.cardSize = job.size;
    r.cardIdentity = job.identity;
    if (image)
        setRecordImage(r, *image);
    r.bytesWritten = job.bytes;
    setOutcome(r, job.failure);
    return r;
}
