#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What a pass did to the installed client, as ivra-update tells an operator.
struct PassReport
{
    enum class Reason {
        None,       // the pass did not get as far as deciding
        Updated,    // another version is active now
        Downgraded, // an older version is active now: the studio went back to it
        UpToDate,   // the active version is the latest
        HeldBack,   // the staged rollout has not reached this install
        RolledBack, // the player rolled back: optional updates wait
        Offline,    // the release service could not be reached
    };
    QString before; // active when the pass began; empty when none
    QString latest; // the client manifest's latest, once read
    QString after;  // active when the pass ended
    Reason reason = Reason::None;
    int rolloutShare = -1; // HeldBack: the share in force, as the rollout counts it
    // The Gateway's installer was started: the pass ends there.
    bool installerStarted = false;
};

// The lines ivra-update prints once a pass is over: the versions, and why
// nothing changed when nothing did.
QStringList reportLines(const PassReport &report);
// The one line of `ivra-update --json`: result is "ready", "failed",
// "busy" or "installer-started"; message is the failure's, if any. A latest
// version the pass never read is null.
QByteArray reportJson(const PassReport &report, const QString &result, int exitCode,
                      const QString &message);
// Updated or Downgraded, as the active version moved from before to after.
PassReport::Reason changeReason(const QString &before, const QString &after);

// ivra-update's progress lines: at most one per 10 % and per 5 s, whichever
// comes later, so that a transfer under 5 s prints none.
class ProgressThrottle
{
public:
    // A new step begins (its status line was printed at nowMs).
    void restart(qint64 nowMs);
    // Whether percent, reached at nowMs, is worth a line; if so, it is the last one printed.
    bool due(qint64 nowMs, int percent);

private:
    qint64 lastMs = 0;
    int lastPercent = 0;
};
