// The launch path from the manifest: whatever it says, a resolved path is an
// existing regular file inside the install root.
#include "fuzzsupport.h"
#include "install/launchpath.h"
#include "install/zipextract.h"

#include <QFile>
#include <QFileInfo>

namespace {
const QString &installRoot()
{
    static const QString root = [] {
        const QString path = scratchRoot() + QStringLiteral("/clients/ivra-demo/1.0.0");
        QDir().mkpath(path + QStringLiteral("/bin/tools"));
        for (const char *name : {"bin/client", "bin/tools/helper", "readme.txt", "a..b"}) {
            QFile file(path + QLatin1Char('/') + QLatin1String(name));
            file.open(QIODevice::WriteOnly);
        }
        // Something outside the root that a path could try to reach.
        QFile outside(scratchRoot() + QStringLiteral("/clients/ivra-demo/secret"));
        outside.open(QIODevice::WriteOnly);
        return path;
    }();
    return root;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString exePath = QString::fromUtf8(fuzzBytes(data, size));
    QString error;
    const QString resolved = resolveLaunchPath(installRoot(), exePath, &error);
    if (resolved.isEmpty()) {
        FUZZ_ASSERT(!error.isEmpty());
        return 0;
    }
    FUZZ_ASSERT(error.isEmpty());
    FUZZ_ASSERT(isInsideDirectory(installRoot(), resolved));
    FUZZ_ASSERT(QFileInfo(resolved).isFile());
    FUZZ_ASSERT(QFileInfo(resolved).canonicalFilePath().startsWith(installRoot() + '/'));
    return 0;
}
