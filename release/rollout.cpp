#include "release/rollout.h"

#include "release/fieldreaders.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QStringList>

#include <cmath>

namespace {
const QString kRollout = QStringLiteral("rollout");
// Keeps the time arithmetic far from any overflow.
constexpr qint64 kMaxRolloutHours = 876000;

QString invalid(const QString &message)
{
    return QStringLiteral("Invalid rollout metadata: %1").arg(message);
}

// 0 to 100 with at most one decimal, as tenths of a percent.
bool shareFromNumber(double percent, int &share)
{
    const double tenths = percent * 10;
    if (!std::isfinite(percent) || percent < 0 || percent > 100 ||
        std::abs(tenths - std::round(tenths)) > 1e-6)
        return false;
    share = int(std::lround(tenths));
    return true;
}

QString readShare(const QJsonObject &object, int &share)
{
    const QString key = QStringLiteral("percent");
    if (!object.contains(key))
        return QStringLiteral("Missing required field '%1'.").arg(key);
    const QJsonValue value = object.value(key);
    if (!value.isDouble() || !shareFromNumber(value.toDouble(), share))
        return QStringLiteral("Required field '%1' must be a percentage from 0 to 100 with at "
                              "most one decimal.")
            .arg(key);
    return QString();
}

QString readStart(const QJsonObject &object, QDateTime &start)
{
    QString text;
    const QString error = readRequiredString(object, QStringLiteral("start"), text);
    if (!error.isEmpty())
        return error;
    start = QDateTime::fromString(text, Qt::ISODate);
    if (!text.endsWith(QLatin1Char('Z')) || !start.isValid())
        return QStringLiteral("Required field 'start' must be a UTC time such as "
                              "2026-12-01T00:00:00Z.");
    start = start.toUTC();
    return QString();
}

QString checkSteps(const QList<RolloutStep> &steps)
{
    if (steps.isEmpty())
        return QStringLiteral("Required field 'steps' must not be empty.");
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const bool ascending =
            i == 0 ? steps[i].afterHours == 0 : steps[i].afterHours > steps[i - 1].afterHours;
        if (!ascending)
            return QStringLiteral("Required field 'steps' must list hours ascending from 0.");
        if (i > 0 && steps[i].share < steps[i - 1].share)
            return QStringLiteral("Required field 'steps' must not lower the percentage.");
    }
    return QString();
}

QString readSteps(const QJsonObject &object, QList<RolloutStep> &steps)
{
    const QString key = QStringLiteral("steps");
    if (!object.contains(key))
        return QStringLiteral("Missing required field '%1'.").arg(key);
    if (!object.value(key).isArray())
        return QStringLiteral("Required field '%1' must be an array.").arg(key);
    for (const QJsonValue &value : object.value(key).toArray()) {
        if (!value.isObject())
            return QStringLiteral("Required field '%1' must contain only objects.").arg(key);
        RolloutStep step;
        QString error = readRequiredNonNegativeInteger(
            value.toObject(), QStringLiteral("afterHours"), step.afterHours);
        if (error.isEmpty() && step.afterHours > kMaxRolloutHours)
            error = QStringLiteral("Required field 'afterHours' must be at most %1 (100 years).")
                        .arg(kMaxRolloutHours);
        if (error.isEmpty())
            error = readShare(value.toObject(), step.share);
        if (!error.isEmpty())
            return error;
        steps.append(step);
    }
    return checkSteps(steps);
}

QJsonValue percentJson(int share)
{
    return share % 10 == 0 ? QJsonValue(share / 10) : QJsonValue(share / 10.0);
}
} // namespace

QString readOptionalRollout(const QJsonObject &manifest, ReleaseRollout &rollout)
{
    if (!manifest.contains(kRollout))
        return QString();
    if (!manifest.value(kRollout).isObject())
        return QStringLiteral("Optional field 'rollout' must be an object.");
    const QJsonObject object = manifest.value(kRollout).toObject();
    const bool fixed = object.contains(QStringLiteral("percent"));
    const bool scheduled =
        object.contains(QStringLiteral("start")) || object.contains(QStringLiteral("steps"));
    if (fixed == scheduled)
        return invalid(QStringLiteral("it must hold either 'percent' or 'start' and 'steps'."));
    ReleaseRollout read;
    read.present = true;
    read.scheduled = scheduled;
    QString error = fixed ? readShare(object, read.share) : readStart(object, read.start);
    if (error.isEmpty() && scheduled)
        error = readSteps(object, read.steps);
    if (!error.isEmpty())
        return invalid(error);
    rollout = read;
    return QString();
}

QJsonObject rolloutJson(const ReleaseRollout &rollout)
{
    if (!rollout.scheduled)
        return QJsonObject{{"percent", percentJson(rollout.share)}};
    QJsonArray steps;
    for (const RolloutStep &step : rollout.steps)
        steps.append(QJsonObject{{"afterHours", double(step.afterHours)},
                                 {"percent", percentJson(step.share)}});
    return QJsonObject{{"start", rollout.start.toUTC().toString(Qt::ISODate)}, {"steps", steps}};
}

int rolloutShareAt(const ReleaseRollout &rollout, const QDateTime &now)
{
    if (!rollout.present)
        return kFullShare;
    if (!rollout.scheduled)
        return rollout.share;
    int share = 0;
    for (const RolloutStep &step : rollout.steps) {
        if (rollout.start.addSecs(step.afterHours * 3600) <= now)
            share = step.share;
    }
    return share;
}

QDateTime rolloutCompletion(const ReleaseRollout &rollout)
{
    if (!rollout.scheduled || rollout.steps.isEmpty())
        return QDateTime();
    return rollout.start.addSecs(rollout.steps.last().afterHours * 3600);
}

double rolloutPosition(const QByteArray &installId, const QString &version)
{
    const QByteArray digest = QCryptographicHash::hash(installId + version.trimmed().toUtf8(),
                                                       QCryptographicHash::Sha256);
    quint32 first = 0;
    for (int i = 0; i < 4; ++i)
        first = (first << 8) | quint8(digest.at(i));
    return first / 4294967296.0;
}

bool isInRollout(double position, int share)
{
    return position * kFullShare < share;
}

QString shareText(int share)
{
    return share % 10 == 0 ? QString::number(share / 10)
                           : QStringLiteral("%1.%2").arg(share / 10).arg(share % 10);
}

QString defaultRolloutSchedule()
{
    return QStringLiteral("0:1,24:2,48:5,72:10,96:20,120:50,144:100");
}

bool parseShare(const QString &text, int &share)
{
    bool number = false;
    const double percent = text.trimmed().toDouble(&number);
    return number && shareFromNumber(percent, share);
}

QString parseRolloutSchedule(const QString &text, const QDateTime &start, ReleaseRollout &rollout)
{
    ReleaseRollout read;
    read.present = true;
    read.scheduled = true;
    read.start = start.toUTC();
    for (const QString &piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(QLatin1Char(':'));
        bool hours = false;
        RolloutStep step;
        step.afterHours = parts.value(0).trimmed().toLongLong(&hours);
        if (parts.size() != 2 || !hours || step.afterHours < 0 ||
            step.afterHours > kMaxRolloutHours || !parseShare(parts.value(1), step.share))
            return QStringLiteral("A rollout step is written hours:percent, such as 24:5: %1")
                .arg(piece);
        read.steps.append(step);
    }
    const QString error = checkSteps(read.steps);
    if (!error.isEmpty())
        return invalid(error);
    rollout = read;
    return QString();
}
