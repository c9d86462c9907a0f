#include "burnthread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "image.h"
#include "imagefile.h"
#include "kellinker.h"
#include "libkelupg.h"
#include "pathcodec.h"
#include "upg_log.h"

namespace {

constexpr quint32 kLargestChunk = 1048576;
constexpr int kRetryPauseMs = 100;
// The adb command may take its time before it writes anything (device
// authorisation, a server start); there is no upper limit to that wait, so it is
// cut into slices that keep the thread's events and a stop request looked at.
constexpr int kAdbOutputWaitMs = 5000;
constexpr int kAdbOutputSliceMs = 250;
// How often a serial line that was reopened is looked at until it is up again.
constexpr int kSerialPollMs = 20;

QString fieldText(const char *field, size_t width) {
    return QString::fromLocal8Bit(field, int(strnlen(field, width)));
}

bool nameHas(const FwcMeta &meta, const char *word) {
    char name[sizeof(meta.name) + 1];
    memcpy(name, meta.name, sizeof(meta.name));
    name[sizeof(meta.name)] = '\0';
    return strstr(name, word) != nullptr;
}

}  // namespace

BurnThread::BurnThread(ImageFile *image, KelLinker *linker, bool viaAdb, bool rebootAfter,
                       int retryLimit, const QString &adbProgram)
    : KelThread(image),
      m_linker(linker),
      m_viaAdb(viaAdb),
      m_rebootAfter(rebootAfter),
      m_retryLimit(retryLimit),
      m_adbProgram(adbProgram) {}

BurnThread::~BurnThread() {
    // run() uses this class's members; it must be over before they go.
    stopAndWait();
}

void BurnThread::setPartitions(PartitionSelection *entries, quint32 count) {
    if (count == 0) {
        qCritical() << "Invalid partition number" << count;
        return;
    }
    m_partitions = entries;
    m_partitionCount = count;
}

void BurnThread::setAdbTiming(int appearMs, int pollMs) {
    m_adbAppearMs = qMax(0, appearMs);
    m_adbPollMs = qMax(1, pollMs);
}

quint32 BurnThread::chunkSize(int blockSize) {
    if (blockSize <= 0)
        return 0;
    const quint32 b = quint32(blockSize);
    if (b > kLargestChunk)
        return b;
    return kLargestChunk - kLargestChunk % b;
}

bool BurnThread::needsBurn(const char *componentName, const PartitionSelection *entries,
                           quint32 count) {
    if (!entries || count == 0 || strstr(componentName, "updater"))
        return true;
    for (quint32 i = 0; i < count; ++i) {
        char entry[sizeof(entries[i].name) + 1];
        memcpy(entry, entries[i].name, sizeof(entries[i].name));
        entry[sizeof(entries[i].name)] = '\0';
        // An empty name would match every component; it selects nothing.
        if (entry[0] && strstr(componentName, entry))
            return entries[i].selected != 0;
    }
    return true;
}

void BurnThread::noteFailure(Failure::Code code, const QString &text, bool linkStep) {
    qCritical().noquote() << text;
    QString message = text.trimmed();
    const QString why = m_linker->errorText();
    if (linkStep && !why.isEmpty() && why != message)
        message += QStringLiteral(" (") + why + QLatin1Char(')');
    m_failureNote = Failure(linkStep ? linkStepCode(code) : code, message);
}

Failure::Code BurnThread::linkStepCode(Failure::Code guess) const {
    // The link knows what kind of failure its step met; the guess is what the
    // step was about, for a link that recorded none.
    const Failure::Code code = m_linker->failure().code();
    return code != Failure::None ? code : guess;
}

void BurnThread::failJob() {
    const QString message = m_failureNote ? m_failureNote.message() : m_linker->errorText();
    // A stop cuts a transfer short: what failed then is the stop's doing.
    if (isStopped())
        fail(Failure(Failure::Interrupted, message));
    else
        fail(m_failureNote ? m_failureNote : Failure(Failure::Internal, message));
}

void BurnThread::run() {
    upg_log_set_board(m_boardLocation.toLocal8Bit().constData());
    m_failureNote = Failure();
    clearFailure();
    m_linker->clearError();
    const QByteArray path = libraryPath(m_image->path());
    int limit = m_retryLimit;
    if (limit <= 0)
        limit = 1;

    bool started = !m_viaAdb || startViaAdb();
    if (started) {
        qDebug().noquote() << "\nBurn Image file" << m_image->path() << "...\n";
        emit threadIsStart();
        runJob(limit, path);
    }

    m_linker->unlink();
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
    // The board has been burnt (or given up on); its upgrade service is of no
    // further use, and a client left behind would outlive the program.
    delete m_adbProcess;
    m_adbProcess = nullptr;
    upg_log_expect_departure(0);
    upg_log_set_board(nullptr);
}

void BurnThread::runJob(int limit, const QByteArray &path) {
    // The image is opened and checked before the board is linked: a job that
    // cannot finish must not leave the board half-burnt.
    const FwcMeta *metas = m_image->meta();
    if (!metas) {
        noteFailure(Failure::ImageUnreadable,
                    QStringLiteral("Cannot read the component records of %1").arg(m_image->path()));
        failJob();
        return;
    }
    const quint32 count = m_image->fwcCount();
    if (!openImage(path, metas, count)) {
        failJob();
        return;
    }
    // The board the operator was shown; every later answer must come from it.
    m_boardChip = m_linker->chipId();
    if (!m_linker->link()) {
        noteFailure(Failure::LinkUnavailable, QStringLiteral("Failed to open Kelvora device"));
        failJob();
        return;
    }
    emit deviceLinked(m_linker->name());

    emit threadIsRunning(0);
    m_progress = 0;
    int retries = 0;  // over the whole job, not per component
    for (quint32 i = 0; i < count; ++i) {
        const FwcMeta &meta = metas[i];
        QMutexLocker lock(&m_mutex);
        if (isInterruptionRequested())
            return;  // stopped between components: no result
        const QString name = fieldText(meta.name, sizeof(meta.name));
        qDebug().noquote() << "\nMeta" << i << name << ", size" << meta.size << "...";
        emit componentStarted(int(i), name, meta.size);
        if (!checkDeviceState()) {
            lock.unlock();
            failJob();
            return;
        }
        Outcome outcome;
        while ((outcome = burnComponent(meta)) != Outcome::Burnt && outcome != Outcome::Skipped) {
            // A stop inside a component ends the job where it is: recovering the
            // connection and sending the component again would only delay it.
            // The component is unfinished, so the job has failed.
            if (isStopped() || outcome == Outcome::ImageFailed ||
                !retryStep(meta, &retries, limit)) {
                lock.unlock();
                failJob();
                return;
            }
            emit componentRetry(int(i), name, retries);
        }
        emit componentDone(int(i), outcome == Outcome::Skipped);
    }

    qDebug().noquote() << "\nBurn online successfully!";
    emit threadIsSuccessful();
    if (m_rebootAfter) {
        qDebug().noquote() << "Reboot the device ...";
        m_linker->resetDevice();
    }
}

bool BurnThread::openImage(const QByteArray &path, const FwcMeta *metas, quint32 count) {
    // Only a file or a block device: a FIFO in its place would block the job
    // (and its stop) for ever.
    const char *why = nullptr;
    m_file = image_file_open(path.constData(), &why);
    if (!m_file) {
        noteFailure(Failure::ImageUnreadable, QStringLiteral("Failed to open image file %1 : %2")
                                                  .arg(m_image->path(), QString::fromLocal8Bit(why)));
        return false;
    }
    // The end of a block device is its size, as for a file.
    const off_t end = fseeko(m_file, 0, SEEK_END) == 0 ? ftello(m_file) : off_t(-1);
    if (end < 0) {
        noteFailure(Failure::ImageUnreadable,
                    QStringLiteral("Failed to open image file %1 : %2")
                        .arg(m_image->path(), QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    const quint64 fileBytes = quint64(end);
    bool whole = true;
    for (quint32 i = 0; i < count; ++i) {
        const FwcMeta &meta = metas[i];
        if (!isSelected(meta))
            continue;
        if (quint64(meta.offset) + meta.size > fileBytes) {
            noteFailure(Failure::ImageCorrupt,
                        QStringLiteral("Component %1 lies beyond the end of the image file: "
                                       "offset %2 , size %3 , file size %4")
                            .arg(fieldText(meta.name, sizeof(meta.name)))
                            .arg(meta.offset)
                            .arg(meta.size)
                            .arg(fileBytes));
            whole = false;
        }
    }
    return whole;
}

bool BurnThread::startViaAdb() {
    emit waiting(WaitUpgradeService);
    m_adbProcess = new QProcess;
    m_adbProcess->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_adbProcess, &QProcess::errorOccurred,
            [](QProcess::ProcessError error) { qCritical() << error; });
    m_adbProcess->start(m_adbProgram,
                      {QStringLiteral("shell"), QStringLiteral("kelupg")}, QIODevice::ReadWrite);

    // A command that could not start or has ended will never write anything,
    // and a stop request must not wait for output that may never come.
    QElapsedTimer slice;
    slice.start();
    while (!m_adbProcess->waitForReadyRead(kAdbOutputSliceMs)) {
        if (m_adbProcess->state() == QProcess::NotRunning || isInterruptionRequested())
            break;
        if (slice.hasExpired(kAdbOutputWaitMs)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, kAdbOutputWaitMs);
            slice.restart();
        }
    }
    qDebug().noquote() << QString::fromLocal8Bit(m_adbProcess->readAll());

    QElapsedTimer clock;
    clock.start();
    QStringList devices;
    while (devices.isEmpty()) {
        if (isInterruptionRequested())
            return false;
        if (clock.hasExpired(m_adbAppearMs)) {
            noteFailure(Failure::LinkUnavailable, QStringLiteral("Wait kelupg timeout"));
            failJob();
            return false;
        }
        devices = m_linker->listDevices();
        msleep(m_adbPollMs);
    }
    if (!m_linker->fetchDeviceInfo(devices.first(), false)) {
        noteFailure(Failure::LinkUnavailable, QStringLiteral("Failed to link Kelvora device"));
        failJob();
        return false;
    }
    return true;
}

bool BurnThread::serialLine() const {
    return m_linker->isSerialLine();
}

bool BurnThread::waitSerialConnected() {
    QElapsedTimer clock;
    clock.start();
    while (!m_linker->lineConnected()) {
        if (clock.hasExpired(m_linker->reconnectDeadline()) || isInterruptionRequested())
            return false;
        msleep(kSerialPollMs);
    }
    return true;
}

bool BurnThread::waitSerialAnswer() {
    // A reopened serial port counts as linked before the board has answered the
    // line's presence handshake, and the boot stage the link reports is still
    // the one from before the board left: ask until it answers again.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (m_linker->lineConnected() && m_linker->probePacketSize())
            return true;
        if (clock.hasExpired(m_linker->reconnectDeadline()) || isInterruptionRequested())
            return false;
        msleep(kSerialPollMs);
    }
}

bool BurnThread::checkDeviceState() {
    const bool departing = upg_log_departure_expected();
    if (!m_linker->probePacketSize()) {
        if (m_linker->isLargePacket()) {
            upg_log_expect_departure(0);
            noteFailure(Failure::LinkLost, QStringLiteral("Device is disconnect!"));
            return false;
        }
        if (departing)
            qInfo().noquote() << "Dev" << m_linker->name()
                              << "has left the bus to start its next stage, as expected";
        emit waiting(WaitReconnect);
        if (!m_linker->waitReconnect() || (serialLine() && !waitSerialAnswer())) {
            upg_log_expect_departure(0);
            // A wait cut short by a stop says nothing about the board.
            if (!isStopped())
                noteFailure(Failure::LinkNotReturned,
                            QStringLiteral("Dev %1 is completely lost!").arg(m_linker->name()));
            return false;
        }
        m_awaitingUboot = true;
    } else if (m_seenBootRom && m_linker->isLargePacket()) {
        // The board answered, but in U-Boot where it was in its boot ROM at the
        // last check: it left and came back while the line protocol bridged
        // its silence (a serial line does), so it is a return all the same.
        m_awaitingUboot = true;
    }
    // The board answers: whatever fails from here on is a fault again.
    upg_log_expect_departure(0);
    // Another board put into the port while this one was away answers in its
    // place; the rest of the image is not for it.
    if (!sameBoard())
        return false;
    m_seenBootRom = !m_linker->isLargePacket();
    if (!m_awaitingUboot || !m_linker->isLargePacket())
        return true;

    m_awaitingUboot = false;
    emit inUboot();
    // A serial line has no work modes: its link refuses the switch by design,
    // and refusing the burn for that would fail every serial board that
    // passes from its boot ROM into U-Boot.
    if (serialLine())
        return true;
    if (m_linker->setWorkMode(m_partitions ? 1 : 0))
        return true;
    noteFailure(Failure::BoardRefused, m_linker->errorText(), true);
    return false;
}

bool BurnThread::sameBoard() {
    const QByteArray chip = m_linker->chipId();
    if (chip.isEmpty() || chip == m_boardChip)
        return true;
    if (m_boardChip.isEmpty()) {
        m_boardChip = chip;
        return true;
    }
    noteFailure(
        Failure::BoardMismatch,
        QStringLiteral("Dev %1 is another board now (chip %2, the burn began on chip %3)")
            .arg(m_linker->name(), KelLinker::chipIdText(chip), KelLinker::chipIdText(m_boardChip)));
    return false;
}

bool BurnThread::isSelected(const FwcMeta &meta) const {
    // The record's name field need not end in a NUL.
    char name[sizeof(meta.name) + 1];
    memcpy(name, meta.name, sizeof(meta.name));
    name[sizeof(meta.name)] = '\0';
    return needsBurn(name, m_partitions, m_partitionCount);
}

bool BurnThread::readFull(char *buf, quint32 n) {
    // A short read inside a component means the file changed or is damaged;
    // sending the stale rest of the buffer would burn garbage.
    return fread(buf, 1, n, m_file) == n;
}

QString BurnThread::readErrorText() const {
    if (ferror(m_file))
        return QString::fromLocal8Bit(strerror(errno));
    return QStringLiteral("the image file ends early");
}

BurnThread::Outcome BurnThread::burnComponent(const FwcMeta &meta) {
    // Only this attempt's failure explains this attempt.
    m_linker->clearError();
    const QString dev = m_linker->name();
    const QString compName = fieldText(meta.name, sizeof(meta.name));

    if (!isSelected(meta)) {
        qDebug().noquote() << " Meta" << compName << "doesn't need burn";
        advanceProgress(meta.size);
        return Outcome::Skipped;
    }

    if (nameHas(meta, "image.target") && !m_linker->isLargePacket()) {
        noteFailure(Failure::BoardRefused, QStringLiteral("The status of device %1 error").arg(dev));
        return Outcome::DeviceFailed;
    }

    if (!m_linker->sendMetaHead(meta)) {
        noteFailure(Failure::BoardRefused, QStringLiteral("Failed to send the meta information!"), true);
        return Outcome::DeviceFailed;
    }

    const int block = m_linker->blockSize();
    const quint32 chunk = chunkSize(block);
    if (chunk == 0) {
        noteFailure(Failure::BoardRefused,
                    QStringLiteral(" Dev %1 Invalid block size %2").arg(dev).arg(block));
        return Outcome::DeviceFailed;
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[chunk]);
    if (!buf) {
        noteFailure(Failure::Host, QStringLiteral("Failed to malloc %1").arg(chunk));
        return Outcome::DeviceFailed;
    }

    const quint32 full = meta.size / chunk;
    quint32 rest = meta.size % chunk;
    qDebug().noquote() << "Blocksize" << block << ", chunk" << chunk << "*" << full << ", rest"
                       << rest;
    qDebug().noquote() << "Offset:" << meta.offset << "Size:" << meta.size;
    const bool seekOk = fseeko(m_file, off_t(meta.offset), SEEK_SET) == 0;

    if (full > 0) {
        if (m_stopped)
            return Outcome::DeviceFailed;
        for (quint32 k = 0; k < full; ++k) {
            waitIfPaused();
            qDebug().noquote() << " Dev" << dev << "Send chunk" << k << "...";
            if (!seekOk || !readFull(buf.get(), chunk)) {
                noteFailure(Failure::ImageUnreadable, QStringLiteral(" Dev %1 Failed to read %2 : %3")
                                .arg(dev)
                                .arg(chunk)
                                .arg(readErrorText()));
                return Outcome::ImageFailed;
            }
            if (!m_linker->sendData(buf.get(), int(chunk))) {
                noteFailure(Failure::LinkLost, QStringLiteral(" Dev %1 Failed to send %2").arg(dev).arg(chunk),
                            true);
                return Outcome::DeviceFailed;
            }
            advanceProgress(chunk);
            if (k + 1 < full && m_stopped)
                return Outcome::DeviceFailed;
        }
    }

    if (rest > 0) {
        if (!seekOk || !readFull(buf.get(), rest)) {
            noteFailure(Failure::ImageUnreadable, QStringLiteral(" Dev %1 Failed to read %2 : %3")
                            .arg(dev)
                            .arg(rest)
                            .arg(readErrorText()));
            return Outcome::ImageFailed;
        }
        const quint32 b = quint32(block);
        if (rest % b != 0) {
            const quint32 padded = (rest / b + 1) * b;  // not above chunk: chunk is a multiple of b
            memset(buf.get() + rest, 0, padded - rest);
            rest = padded;
        }
        qDebug().noquote() << " Dev" << dev << "Send the rest data" << rest;
        if (!m_linker->sendData(buf.get(), int(rest))) {
            noteFailure(Failure::LinkLost, QStringLiteral(" Dev %1 Failed to send %2").arg(dev).arg(rest),
                        true);
            return Outcome::DeviceFailed;
        }
        advanceProgress(rest);
    }

    uint32_t results[3] = {0, 0, 0};
    if (!m_linker->metaEnd(meta, results)) {
        noteFailure(Failure::BoardRefused,
                    QStringLiteral(" Dev %1 The burnning process has error!").arg(dev), true);
        return Outcome::DeviceFailed;
    }
    return Outcome::Burnt;
}

bool BurnThread::retryStep(const FwcMeta &meta, int *retries, int limit) {
    // An I/O or pipe error means the board is beyond a resend.
    const int error = m_linker->lastError();
    if (error == -1 || error == -9)
        return false;
    ++*retries;
    if (*retries > limit)
        return false;

    const QString compName = fieldText(meta.name, sizeof(meta.name));
    msleep(kRetryPauseMs);
    qWarning().noquote() << "Try to resend firmware component" << compName
                         << ", try count:" << *retries;
    qWarning().noquote() << "Try to recovery the connection";
    // A serial line that lost the board's answer goes back to its presence
    // handshake, and refuses every command until the board has answered it.
    if (serialLine())
        waitSerialConnected();
    if (!m_linker->probePacketSize() && !m_linker->probePacketSize()) {
        // The failure that made the recovery necessary says more than the
        // recovery's own.
        const Failure before = m_failureNote;
        noteFailure(Failure::LinkLost, QStringLiteral("Connection recovery failed!"));
        if (before)
            m_failureNote = Failure(before.code(),
                                  before.message() + QStringLiteral("; ") + m_failureNote.message());
        return false;
    }
    qWarning().noquote() << "Resend firmware component:" << compName;
    return true;
}
