#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QUrlQuery>
#include <functional>

class QTcpSocket;

// What the test server sends for one request.
struct TestResponse
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/octet-stream";
    // Content-Length to announce; -1 announces the body's own size.
    qint64 announcedLength = -1;
    bool omitLength = false;    // no Content-Length: the body ends when the connection closes
    bool stall = false;         // send nothing at all, keep the connection open
    qint64 dropAfterBytes = -1; // close the connection after this many body bytes ...
    bool reset = false;         // ... with a TCP reset instead of an orderly close
    int delayMs = 0;            // wait before answering
    int trickleBytes = 0;       // send the body this many bytes at a time ...
    int trickleIntervalMs = 0;  // ... with this pause in between
    // Send the headers and this many body bytes, then keep the connection open.
    qint64 stallAfterBytes = -1;
    QList<QByteArray> extraHeaders = {}; // whole header lines, such as "ETag: \"v1\""
};

struct RecordedRequest
{
    QByteArray method;
    QString host;
    QString path;
    QUrlQuery query;
    QList<QByteArray> userAgents;
    QMap<QByteArray, QByteArray> headers;
};

// A small HTTP server on loopback that answers proxy-form requests for any
// host, so the launcher's own URLs reach it through an application proxy.
class TestServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<TestResponse(const RecordedRequest &)>;

    explicit TestServer(QObject *parent = nullptr);
    ~TestServer() override;

    quint16 port() const;
    // Routes a path to a fixed response or to a handler; unknown paths get 404.
    void route(const QString &path, const TestResponse &response);
    void route(const QString &path, Handler handler);
    // Makes this server the application proxy for every request.
    void installAsProxy();
    void clearRoutes() { handlers.clear(); }

    QList<RecordedRequest> requests() const { return recorded; }
    int requestCount(const QString &path) const;
    void clearRequests() { recorded.clear(); }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const TestResponse &response);
    void sendBody(QTcpSocket *socket, const QByteArray &body, const TestResponse &response);

    QMap<QString, Handler> handlers;
    QList<RecordedRequest> recorded;
    QMap<QTcpSocket *, QByteArray> pending;
    // Last, so that it and its sockets go first, while the maps above still exist.
    QTcpServer server;
};

TestResponse jsonResponse(const QByteArray &json, int status = 200);
// A response that never comes: the connection stays open and silent.
TestResponse stalledResponse();
