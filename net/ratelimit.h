#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QNetworkAccessManager;

// The most bytes per second the downloads through one network manager take
// together: a token bucket filled at the rate and holding a quarter of a
// second's worth. It is the manager's child, where every download job of the
// manager finds it (all on one thread). A rate of 0 is no limit.
class RateLimiter : public QObject
{
    Q_OBJECT

public:
    explicit RateLimiter(QNetworkAccessManager *manager);
    // The limiter of a manager's downloads, if it has one.
    static RateLimiter *of(QNetworkAccessManager *manager);

    qint64 rate() const { return bytesPerSecond; }
    // Applies from the next read on, to downloads already under way too.
    void setRate(qint64 bytesPerSecond);
    // How many of wanted bytes may be read now; they are taken from the bucket.
    qint64 take(qint64 wanted);
    // Milliseconds until a read of wanted bytes would get some (at least 1).
    int waitMs(qint64 wanted) const;
    // What a limited reply may hold unread: the backlog a paused read leaves
    // on the link (a quarter second's worth).
    qint64 readBufferBytes() const;

private:
    void refill();
    qint64 bytesPerSecond = 0;
    qint64 capacity = 0;
    double tokens = 0;
    qint64 refilledAtNs = 0;
    QElapsedTimer clock;
};

// "5M", "500K", "1.5M", "2G" or a number of bytes, per second, in decimal
// units as the window shows them; 0 is no limit. -1 when text is none of these.
qint64 parseRate(const QString &text);
// "5.0 MB/s", or "no limit" for 0.
QString rateText(qint64 bytesPerSecond);
