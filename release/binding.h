#pragma once

#include <QString>

// What a signed build checks a manifest is for, beyond the file name its
// signature names. Empty fields are not checked (unsigned builds ignore them).
struct ReleaseBinding
{
    QString channel;        // of both manifests, compared trimmed and lower-cased
    QString gatewayProduct; // of the Gateway manifest, exact
};

// Refused when the manifest's channel is not the one bound: the window's message, or empty.
QString checkReleaseChannel(const QString &manifestChannel, const ReleaseBinding &binding);
