#pragma once

#include "net/requestinfo.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QNetworkRequest>

// Every request carries exactly one header of the launcher's own: its User-Agent.
inline QNetworkRequest releaseRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, gatewayUserAgent());
    return request;
}

// Tags a reply with its start time and purpose, in that order, for the dispatcher.
inline void tagReply(QNetworkReply *reply, RequestPurpose purpose)
{
    reply->setProperty(kRequestStartedAtProperty, QDateTime::currentMSecsSinceEpoch());
    reply->setProperty(kRequestPurposeProperty, int(purpose));
}
