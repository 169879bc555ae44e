#include "pass/passreport.h"

#include "release/rollout.h"
#include "release/version.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
QString reasonKey(PassReport::Reason reason)
{
    switch (reason) {
    case PassReport::Reason::None:
        break;
    case PassReport::Reason::Updated:
        return QStringLiteral("updated");
    case PassReport::Reason::Downgraded:
        return QStringLiteral("downgraded");
    case PassReport::Reason::UpToDate:
        return QStringLiteral("up-to-date");
    case PassReport::Reason::HeldBack:
        return QStringLiteral("held-back");
    case PassReport::Reason::RolledBack:
        return QStringLiteral("rolled-back");
    case PassReport::Reason::Offline:
        return QStringLiteral("offline");
    }
    return QString();
}
} // namespace

QStringList reportLines(const PassReport &report)
{
    QStringList lines;
    if (report.reason == PassReport::Reason::None)
        return lines;
    lines << QStringLiteral("Client versions: installed before %1, latest %2, installed now %3.")
                 .arg(versionOrNone(report.before),
                      report.latest.isEmpty() ? QStringLiteral("unknown") : report.latest,
                      versionOrNone(report.after));
    switch (report.reason) {
    case PassReport::Reason::None:
    case PassReport::Reason::Updated:
    case PassReport::Reason::Downgraded:
        break;
    case PassReport::Reason::UpToDate:
        lines << QStringLiteral("Nothing changed: IVRA %1 is up to date.").arg(report.after);
        break;
    case PassReport::Reason::HeldBack:
        lines << QStringLiteral("Nothing changed: the update to %1 is held back by the staged "
                                "rollout (%2 % reached).")
                     .arg(report.latest, shareText(report.rolloutShare));
        break;
    case PassReport::Reason::RolledBack:
        lines << (report.before == report.after
                      ? QStringLiteral("Nothing changed: IVRA was rolled back to %1; optional "
                                       "updates are held back until the rollback is undone.")
                      : QStringLiteral("Rolled back to %1; optional updates are held back until "
                                       "the rollback is undone."))
                     .arg(report.after);
        break;
    case PassReport::Reason::Offline:
        lines << QStringLiteral("Nothing changed: the release service could not be reached.");
        break;
    }
    return lines;
}

QByteArray reportJson(const PassReport &report, const QString &result, int exitCode,
                      const QString &message)
{
    QJsonObject line{{QStringLiteral("result"), result},
                     {QStringLiteral("exitCode"), exitCode},
                     {QStringLiteral("installedBefore"), report.before},
                     {QStringLiteral("latest"), report.latest.isEmpty()
                                                    ? QJsonValue(QJsonValue::Null)
                                                    : QJsonValue(report.latest)},
                     {QStringLiteral("installedAfter"), report.after},
                     {QStringLiteral("reason"), reasonKey(report.reason)}};
    if (report.reason == PassReport::Reason::HeldBack)
        line.insert(QStringLiteral("rolloutPercent"), shareText(report.rolloutShare).toDouble());
    if (!message.isEmpty())
        line.insert(QStringLiteral("message"), message);
    return QJsonDocument(line).toJson(QJsonDocument::Compact);
}

namespace {
constexpr qint64 kProgressIntervalMs = 5000;
constexpr int kProgressStep = 10;
} // namespace

void ProgressThrottle::restart(qint64 nowMs)
{
    lastMs = nowMs;
    lastPercent = 0;
}

bool ProgressThrottle::due(qint64 nowMs, int percent)
{
    if (percent < 0 || nowMs - lastMs < kProgressIntervalMs ||
        percent - lastPercent < kProgressStep)
        return false;
    lastMs = nowMs;
    lastPercent = percent;
    return true;
}

PassReport::Reason changeReason(const QString &before, const QString &after)
{
    const ReleaseVersion from = parseReleaseVersion(before);
    const ReleaseVersion to = parseReleaseVersion(after);
    return isValid(from) && isValid(to) && compareReleaseVersions(to, from) < 0
               ? PassReport::Reason::Downgraded
               : PassReport::Reason::Updated;
}
