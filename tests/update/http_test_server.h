// A small HTTP/1.1 server on 127.0.0.1 for the update check's tests: it answers GET
// requests from a table of paths (status and body), records every request target in
// order, and can hold a request open without ever answering or answer without HTTP.
// Unknown paths get 404.
// Runs on the GUI thread's event loop, like the checker's network manager; the test owns
// it, and its connections die with it.
#pragma once

#include <map>

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

class HttpTestServer {
public:
    struct Reply {
        int status = 200;
        QByteArray body;
        bool hang = false;     // accept and read the request, never answer
        bool notHttp = false;  // answer with the body alone, no status line or headers
    };
    std::map<QString, Reply> routes;  // by path, without the query
    QStringList requests;             // request targets (path and query) as received

    HttpTestServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

private:
    void serve(QTcpSocket* socket)
    {
        QByteArray& pending = m_pending[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n"))
            return;
        const QList<QByteArray> line = pending.left(pending.indexOf("\r\n")).split(' ');
        pending.clear();
        const QString target = line.size() > 1 ? QString::fromLatin1(line[1]) : QString();
        requests << target;
        const auto route = routes.find(target.section(QLatin1Char('?'), 0, 0));
        const Reply reply = route != routes.end() ? route->second : Reply{404, "Not found"};
        if (reply.hang)
            return;
        const QByteArray reason = reply.status == 200   ? "OK"
                                  : reply.status == 404 ? "Not Found"
                                  : reply.status == 500 ? "Internal Server Error"
                                                        : "Status";
        if (!reply.notHttp)
            socket->write("HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reason +
                          "\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                          "\r\nConnection: close\r\n\r\n");
        socket->write(reply.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    std::map<QTcpSocket*, QByteArray> m_pending;
};
