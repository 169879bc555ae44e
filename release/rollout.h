#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

// Staged rollouts: a release reaches a share of installs that grows on a
// schedule the publisher signs with the manifest. Shares are kept in tenths
// of a percent (0 to 1000), as the manifest allows one decimal.

inline constexpr int kFullShare = 1000;

struct RolloutStep
{
    qint64 afterHours = 0;
    int share = 0; // tenths of a percent
};

struct ReleaseRollout
{
    bool present = false;   // the manifest has a "rollout" object
    bool scheduled = false; // a schedule, else a fixed share
    int share = kFullShare; // the fixed share
    QDateTime start;        // of the schedule, UTC
    QList<RolloutStep> steps;
};

// Reads the optional "rollout" member of a manifest: {"percent": N}, or
// {"start": "<UTC time>", "steps": [{"afterHours": H, "percent": N}, ...]}
// with hours ascending from 0 and percentages not decreasing. Absent: nothing
// changes. A defect gives the manifest's message, naming the field.
QString readOptionalRollout(const QJsonObject &manifest, ReleaseRollout &rollout);
// The same form, for the release tool to write.
QJsonObject rolloutJson(const ReleaseRollout &rollout);

// The share in force at a time: the fixed one, or the last step the schedule
// has reached (0 before its start). Without a rollout, everyone.
int rolloutShareAt(const ReleaseRollout &rollout, const QDateTime &now);
// When a schedule reaches its last step; invalid for a fixed share.
QDateTime rolloutCompletion(const ReleaseRollout &rollout);

// An install's place in the rollout of one release, from 0 up to 1: the first
// 32 bits of SHA-256 of its id and the release's version. Another set of
// installs goes first for each release; an install in at 5 % is in at 10 %.
double rolloutPosition(const QByteArray &installId, const QString &version);
bool isInRollout(double position, int share);

// Where an install stands in a release's rollout. The default (everyone in)
// is what a release without a rollout means.
struct RolloutStanding
{
    int share = kFullShare; // in force now
    double position = 0;    // this install's place
    bool in() const { return isInRollout(position, share); }
};

// "5" or "12.5": a share as the log and the tool print it.
QString shareText(int share);
// "0:1,24:2,..." as the tool takes a schedule; the default goes from 1 % to
// 100 % in seven steps over six days.
QString defaultRolloutSchedule();
// Parses "hours:percent,..." (the tool's --rollout-schedule), checked as a manifest's would be.
QString parseRolloutSchedule(const QString &text, const QDateTime &start, ReleaseRollout &rollout);
// A share from text such as "50" or "12.5".
bool parseShare(const QString &text, int &share);
