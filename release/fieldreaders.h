#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// Manifest field readers: an empty result means success; otherwise the message
// names the key and the destination is left as it was.
QString readRequiredString(const QJsonObject &object, const QString &key, QString &destination);
QString readRequiredNonNegativeInteger(const QJsonObject &object, const QString &key,
                                       qint64 &destination);
QString readRequiredObject(const QJsonObject &object, const QString &key, QJsonObject &destination);
QString readRequiredStringList(const QJsonObject &object, const QString &key,
                               QStringList &destination);
