#include "release/binding.h"

QString checkReleaseChannel(const QString &manifestChannel, const ReleaseBinding &binding)
{
    const QString wanted = binding.channel.trimmed().toLower();
    if (wanted.isEmpty() || manifestChannel.trimmed().toLower() == wanted)
        return QString();
    return QStringLiteral("Release data is for channel %1, not %2.").arg(manifestChannel, wanted);
}
