#include "release/fieldreaders.h"

#include <QJsonArray>
#include <QJsonValue>

namespace {
QString missingField(const QString &key)
{
    return QStringLiteral("Missing required field '%1'.").arg(key);
}
} // namespace

QString readRequiredString(const QJsonObject &object, const QString &key, QString &destination)
{
    if (!object.contains(key))
        return missingField(key);
    const QJsonValue value = object.value(key);
    if (value.type() != QJsonValue::String)
        return QStringLiteral("Required field '%1' must be a string.").arg(key);
    const QString text = value.toString().trimmed();
    if (text.isEmpty())
        return QStringLiteral("Required field '%1' must not be empty.").arg(key);
    destination = text;
    return QString();
}

QString readRequiredNonNegativeInteger(const QJsonObject &object, const QString &key,
                                       qint64 &destination)
{
    if (!object.contains(key))
        return missingField(key);
    const QJsonValue value = object.value(key);
    if (value.type() != QJsonValue::Double)
        return QStringLiteral("Required field '%1' must be an integer.").arg(key);
    const double number = value.toDouble();
    // 2^63 and above (and NaN) cannot be held; test the range before converting,
    // because converting an out-of-range double is undefined.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!(number >= 0.0 && number < kTwoTo63))
        return QStringLiteral("Required field '%1' must be a non-negative integer.").arg(key);
    const qint64 whole = static_cast<qint64>(number);
    if (static_cast<double>(whole) != number)
        return QStringLiteral("Required field '%1' must be a non-negative integer.").arg(key);
    destination = whole;
    return QString();
}

QString readRequiredObject(const QJsonObject &object, const QString &key, QJsonObject &destination)
{
    if (!object.contains(key))
        return missingField(key);
    const QJsonValue value = object.value(key);
    if (value.type() != QJsonValue::Object)
        return QStringLiteral("Required field '%1' must be an object.").arg(key);
    destination = value.toObject();
    return QString();
}

QString readRequiredStringList(const QJsonObject &object, const QString &key,
                               QStringList &destination)
{
    if (!object.contains(key))
        return missingField(key);
    const QJsonValue value = object.value(key);
    if (value.type() != QJsonValue::Array)
        return QStringLiteral("Required field '%1' must be an array.").arg(key);
    QStringList items;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &item : array) {
        if (item.type() != QJsonValue::String)
            return QStringLiteral("Required field '%1' must contain only strings.").arg(key);
        items.append(item.toString());
    }
    destination = items;
    return QString();
}
