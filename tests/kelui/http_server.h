// A small HTTP/1.1 server on 127.0.0.1 for the version check and download tests:
// one answer per path, served in slices so that progress can be seen, optionally
// cut off before the announced length.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

struct HttpAnswer {
    int status = 200;
    QByteArray body;
    // Bytes actually sent before the connection is closed; -1: the whole body.
    qint64 sendOnly = -1;
};

class HttpServer : public QObject {
public:
    HttpServer() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, this,
                                 [this, socket] { onRequest(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket,
                                 &QObject::deleteLater);
            }
        });
    }

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()); }
    // path: with the query, e.g. "/api/get_last_version?app_id=1".
    void setAnswer(const QString &path, const HttpAnswer &answer) { answers[path] = answer; }
    QStringList requests;

private:
    void onRequest(QTcpSocket *socket) {
        QByteArray &buffer = pending[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n")) {
            return;
        }
        const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
        pending.remove(socket);
        const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine[1]) : QString();
        requests << path;
        const HttpAnswer answer = answers.value(path, HttpAnswer{404, "not found", -1});
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " X\r\n" +
                          "Content-Length: " + QByteArray::number(answer.body.size()) +
                          "\r\nConnection: close\r\n\r\n";
        socket->write(head);
        const QByteArray toSend =
            answer.sendOnly < 0 ? answer.body : answer.body.left(int(answer.sendOnly));
        sendSlices(socket, toSend, 0);
    }

    void sendSlices(QPointer<QTcpSocket> socket, QByteArray data, int offset) {
        if (!socket) {
            return;
        }
        const int slice = 256 * 1024;
        socket->write(data.mid(offset, slice));
        socket->flush();
        if (offset + slice < data.size()) {
            QTimer::singleShot(5, this, [=] { sendSlices(socket, data, offset + slice); });
        } else {
            socket->disconnectFromHost();
        }
    }

    QTcpServer server;
    QHash<QString, HttpAnswer> answers;
    QHash<QTcpSocket *, QByteArray> pending;
};
