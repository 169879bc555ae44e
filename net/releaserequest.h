#pragma once

#include "net/requestinfo.h"

#include <QNetworkRequest>

class QNetworkAccessManager;
class QNetworkReply;

// Every request carries exactly one header of the launcher's own: its User-Agent.
QNetworkRequest releaseRequest(const QUrl &url);

// Tags a reply with its start time and purpose, in that order, for the log.
void tagReply(QNetworkReply *reply, RequestPurpose purpose);

// Sends a GET for release data that is aborted when still running after
// kManifestRequestTimeoutMs; the warning timeoutFormat gets the time-out and the URL.
// pastCaches adds "Cache-Control: no-cache": no cache on the way may answer
// from what it holds.
QNetworkReply *sendTimedRequest(QNetworkAccessManager *manager, const QUrl &url,
                                RequestPurpose purpose, const QString &timeoutFormat,
                                bool pastCaches = false);

// The same URL with a query item no cache has seen: a cache keyed by the
// URL, which may ignore Cache-Control, has to ask the host.
QUrl cacheBustingUrl(const QUrl &url, const QString &token);

// Milliseconds since the reply was sent, -1 when it carries no start time.
qint64 replyElapsedMs(const QNetworkReply *reply);

// Qt refuses a redirect from https to http and reports only the 3xx status;
// the reply's URL is then already the refused target. Logs it as such.
void logRefusedRedirect(const QNetworkReply *reply, const QString &name);

// Aborts the reply when no answer (status line and headers) has come within
// ms; unansweredReason() then says so rather than "Operation canceled".
void abortIfUnanswered(QNetworkReply *reply, int ms);
QString unansweredReason(const QNetworkReply *reply);
