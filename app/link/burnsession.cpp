#include "burnsession.h"

#include <QFileInfo>

#include "imagefile.h"
#include "kellinker.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "linkfactory.h"
#include "upg_log.h"

namespace {

// Lines the link logs meanwhile are about this board, where boards are named.
class BoardLines {
public:
    explicit BoardLines(const BurnRequest &r) : named(r.nameBoard) {
        if (named)
            upg_log_set_board(r.location.toLocal8Bit().constData());
    }
    ~BoardLines() {
        if (named)
            upg_log_set_board(nullptr);
    }
    BoardLines(const BoardLines &) = delete;
    BoardLines &operator=(const BoardLines &) = delete;

private:
    const bool named;
};

}  // namespace

BurnSession::BurnSession(const BurnRequest &request, KelLinker *link, QObject *parent)
    : QObject(parent), m_request(request), m_link(link) {
    qRegisterMetaType<BurnEvent>();
    if (!m_link) {
        m_ownLink.reset(LinkFactory::createLinker(
            request.link == BurnRequest::Serial ? LinkFactory::Serial : LinkFactory::Usb));
        m_link = m_ownLink.get();
        auto *line = qobject_cast<KelLinkerSerial *>(m_link);
        if (line && request.serialConnectWaitMs > 0)
            line->setConnectWait(request.serialConnectWaitMs);
    }
    m_result.location = request.location;
    m_result.link = linkName(request.link);
    m_result.started = QDateTime::currentDateTimeUtc();
}

BurnSession::~BurnSession() {
    if (m_worker) {
        m_worker->stopAndWait();
        if (m_ownsWorker)
            delete m_worker.data();
    }
    if (m_ownLink) {
        // The link's closing lines are this board's too.
        BoardLines lines(m_request);
        m_ownLink.reset();
    }
}

QString BurnSession::linkName(BurnRequest::LinkKind kind) {
    switch (kind) {
    case BurnRequest::Serial:
        return QStringLiteral("serial");
    case BurnRequest::Adb:
        return QStringLiteral("adb");
    case BurnRequest::Usb:
        break;
    }
    return QStringLiteral("usb");
}

QString BurnSession::info() const {
    return m_link ? m_link->deviceInfo() : QString();
}

QByteArray BurnSession::chipId() const {
    return m_link ? m_link->chipId() : QByteArray();
}

bool BurnSession::open() {
    m_result.started = QDateTime::currentDateTimeUtc();
    const QString &at = m_request.location;
    {
        BoardLines lines(m_request);
        m_answered = m_link->fetchDeviceInfo(at, m_request.force);
    }
    if (!m_answered) {
        // --force is for a board that is there but does not answer; a port that
        // cannot be opened stays shut for the burn too.
        QString why;
        bool opens = true;
        if (m_request.link == BurnRequest::Serial) {
            // The serial link keeps what it opened; a port it could not open is
            // one that is not there or that this user may not use.
            opens = m_link->isLinked();
            const QFileInfo port(at);
            if (!opens && !port.exists())
                why = QStringLiteral(": Cannot open %1: No such file or directory").arg(at);
            else if (!opens && (!port.isReadable() || !port.isWritable()))
                why = QStringLiteral(": Cannot open %1: Permission denied").arg(at);
        } else {
            uint8_t bus;
            uint8_t port[UPG_PORT_PATH_LEN];
            upg_device *dev = upg_dev_parse_location(at.toLocal8Bit().constData(), &bus, port) == 0
                                  ? upg_usb_dev_open(bus, port)
                                  : nullptr;
            opens = dev != nullptr;
            if (dev)
                upg_usb_dev_close(dev);
        }
        if (!opens) {
            m_result.failure = Failure(Failure::LinkUnavailable,
                                       QStringLiteral("cannot open the board at %1").arg(at) + why);
            return false;
        }
        if (!m_request.force) {
            m_result.failure = Failure(
                Failure::LinkUnavailable,
                QStringLiteral("cannot read the board's information at %1 (--force burns anyway)")
                    .arg(at));
            return false;
        }
    }
    m_link->setVerify(m_request.verify);
    m_result.info = info();
    m_result.chipId = chipId();
    BurnEvent e = make(BurnEvent::BoardInfo);
    e.info = m_result.info;
    send(e);
    return true;
}

void BurnSession::start() {
    prepare();
    m_worker->start();
}

BurnThread *BurnSession::prepare() {
    if (m_worker)
        return m_worker.data();
    m_link->setVerify(m_request.verify);
    m_result.info = info();
    m_result.chipId = chipId();
    auto *w = new BurnThread(m_request.image, m_link, m_request.link == BurnRequest::Adb,
                             m_request.reboot, m_request.retries, m_request.adbProgram);
    m_worker = w;
    if (!m_request.selection.empty())
        w->setPartitions(m_request.selection.data(), quint32(m_request.selection.size()));
    if (m_request.nameBoard)
        w->setBoardLocation(m_request.location);

    connect(w, &KelThread::threadIsStart, this, [this] { send(make(BurnEvent::Started)); });
    connect(w, &BurnThread::deviceLinked, this, [this](const QString &name) {
        BurnEvent e = make(BurnEvent::Linked);
        e.name = name;
        e.info = info();
        send(e);
    });
    connect(w, &BurnThread::componentStarted, this, [this](int i, const QString &n, quint32 size) {
        m_component = n;
        BurnEvent e = make(BurnEvent::ComponentStarted, i);
        e.size = size;
        send(e);
    });
    connect(w, &BurnThread::componentDone, this, [this](int i, bool skipped) {
        ++m_result.componentsDone;
        BurnEvent e = make(BurnEvent::ComponentDone, i);
        e.skipped = skipped;
        send(e);
    });
    connect(w, &BurnThread::componentRetry, this, [this](int i, const QString &, int count) {
        m_result.retries = count;
        BurnEvent e = make(BurnEvent::Retry, i);
        e.count = count;
        send(e);
    });
    connect(w, &BurnThread::inUboot, this, [this] { send(make(BurnEvent::StageChanged)); });
    connect(w, &BurnThread::waiting, this, [this](int what) {
        BurnEvent e = make(BurnEvent::Waiting);
        e.wait = what;
        send(e);
    });
    connect(w, &KelThread::threadIsRunning, this, [this](qint64 p) {
        m_result.bytes = p < 0 ? 0 : quint64(p);
        BurnEvent e = make(BurnEvent::Progress);
        e.bytes = m_result.bytes;
        send(e);
    });
    connect(w, &KelThread::threadIsSuccessful, this, [this] { m_succeeded = true; });
    // Kept as it comes: the window's page may have destroyed the worker by the
    // time its end arrives here.
    connect(w, &KelThread::failed, this, [this](const Failure &why) { m_failure = why; });
    connect(w, &QThread::finished, this, &BurnSession::onFinished);
    return w;
}

bool BurnSession::isRunning() const {
    return m_worker && m_worker->isRunning();
}

void BurnSession::pause() {
    if (m_worker)
        m_worker->pause();
}

void BurnSession::resume() {
    if (m_worker)
        m_worker->resume();
}

void BurnSession::stop() {
    if (m_worker) {
        m_worker->resume();
        m_worker->stop();
    }
}

void BurnSession::onFinished() {
    if (m_finished)
        return;
    Failure why;
    // Stopped between two components: no failure was sent, the job is over all the same.
    if (!m_succeeded)
        why = m_failure ? m_failure : Failure(Failure::Interrupted, QString());
    finishWithout(why);
}

void BurnSession::finishWithout(const Failure &why) {
    if (m_finished)
        return;
    m_finished = true;
    m_result.failure = why;
    m_result.component = why ? m_component : QString();
    m_result.ended = QDateTime::currentDateTimeUtc();
    if (m_result.chipId.isEmpty())
        m_result.chipId = chipId();
    BurnEvent e = make(BurnEvent::Result);
    e.bytes = m_result.bytes;
    e.result = m_result;
    send(e);
}

BurnEvent BurnSession::make(BurnEvent::Kind kind, int index) const {
    BurnEvent e;
    e.kind = kind;
    e.location = m_request.location;
    e.index = index;
    // The component the event is about, where it is about one.
    if (index >= 0)
        e.name = m_component;
    return e;
}

void BurnSession::send(const BurnEvent &e) {
    emit event(e);
}
