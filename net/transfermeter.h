#pragma once

#include <QList>
#include <QPair>
#include <QString>

// The speed of a transfer over its last few seconds, from samples of the
// bytes done so far.
class TransferMeter
{
public:
    void record(qint64 msNow, qint64 bytesDone);
    // 0 until two samples a while apart are known.
    double bytesPerSecond() const;
    void reset() { samples.clear(); }

private:
    QList<QPair<qint64, qint64>> samples; // ms, bytes
};

// "312 MB of 1.2 GB · 24.5 MB/s · 38 s left", in units a player reads;
// without a total or a speed, the parts that need them are left out.
QString transferText(qint64 done, qint64 total, double bytesPerSecond);
// 1.2 GB, 312 MB, 48 KB, 900 bytes: decimal units, as disks and links are sold.
QString readableBytes(qint64 bytes);
