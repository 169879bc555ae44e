#include "support/testserver.h"

#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>

TestServer::TestServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &TestServer::onNewConnection);
    server.listen(QHostAddress::LocalHost, 0);
}

TestServer::~TestServer()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}

quint16 TestServer::port() const
{
    return server.serverPort();
}

void TestServer::route(const QString &path, const TestResponse &response)
{
    handlers.insert(path, [response](const RecordedRequest &) { return response; });
}

void TestServer::route(const QString &path, Handler handler)
{
    handlers.insert(path, std::move(handler));
}

void TestServer::installAsProxy()
{
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port()));
}

int TestServer::requestCount(const QString &path) const
{
    int count = 0;
    for (const RecordedRequest &request : recorded)
        count += request.path == path ? 1 : 0;
    return count;
}

void TestServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket]() { pending.remove(socket); });
    }
}

void TestServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = pending[socket];
    buffer += socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    buffer.remove(0, end + 4);

    RecordedRequest request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    const QUrl url(QString::fromLatin1(requestLine.value(1)));
    request.host = url.host();
    request.path = url.path();
    request.query = QUrlQuery(url);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.insert(name, value);
        if (name == "user-agent")
            request.userAgents.append(value);
    }
    recorded.append(request);

    const auto handler = handlers.constFind(request.path);
    const TestResponse response = handler != handlers.constEnd()
                                      ? (*handler)(request)
                                      : TestResponse{404, "not found", "text/plain"};
    if (response.delayMs > 0) {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(response.delayMs, this, [this, guard, response]() {
            if (guard)
                respond(guard, response);
        });
        return;
    }
    respond(socket, response);
}

void TestServer::respond(QTcpSocket *socket, const TestResponse &response)
{
    if (response.stall)
        return;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Test\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    if (!response.omitLength) {
        const qint64 length =
            response.announcedLength >= 0 ? response.announcedLength : response.body.size();
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    for (const QByteArray &line : response.extraHeaders)
        head += line + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    sendBody(socket, response.body, response);
}

void TestServer::sendBody(QTcpSocket *socket, const QByteArray &body, const TestResponse &response)
{
    if (response.trickleBytes > 0 && !body.isEmpty()) {
        socket->write(body.left(response.trickleBytes));
        QPointer<QTcpSocket> guard(socket);
        const QByteArray rest = body.mid(response.trickleBytes);
        QTimer::singleShot(response.trickleIntervalMs, this, [this, guard, rest, response]() {
            if (guard)
                sendBody(guard, rest, response);
        });
        return;
    }
    if (response.stallAfterBytes >= 0) {
        socket->write(body.left(response.stallAfterBytes));
        return;
    }
    if (response.dropAfterBytes >= 0) {
        socket->write(body.left(response.dropAfterBytes));
        socket->flush();
        if (response.reset) {
            // A zero linger time makes the close a reset (RST), as a crashed peer's would be.
            const linger zero{1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &zero,
                         sizeof zero);
        }
        socket->abort();
        return;
    }
    socket->write(body);
    socket->disconnectFromHost();
}

TestResponse jsonResponse(const QByteArray &json, int status)
{
    TestResponse response;
    response.status = status;
    response.body = json;
    response.contentType = "application/json";
    return response;
}

TestResponse stalledResponse()
{
    TestResponse response;
    response.stall = true;
    return response;
}
