// The two path rules together: a name that counts as safe always lands
// inside the extraction root, however the root is spelled.
#include "fuzzsupport.h"
#include "install/zipextract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = QString::fromUtf8(fuzzBytes(data, size));
    static const QStringList roots = {QStringLiteral("/data/clients/ivra-demo/.staging-1.0.0"),
                                      QStringLiteral("/data/clients/../clients/x/"),
                                      QStringLiteral("relative/staging")};
    if (!isSafeZipEntryName(name))
        return 0;
    for (const QString &root : roots) {
        const QString target = QDir(root).absoluteFilePath(name);
        FUZZ_ASSERT(isInsideDirectory(root, target));
        FUZZ_ASSERT(QDir::cleanPath(QDir(root).absoluteFilePath(name)) !=
                    QDir::cleanPath(QDir(root).absolutePath()));
    }
    return 0;
}
