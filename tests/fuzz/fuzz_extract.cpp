// Arbitrary bytes extracted as a ZIP package, first from its local headers
// as if it were arriving, then from its central directory: whatever
// happens, nothing appears outside the extraction folder and nothing there
// is a link.
#include "fuzzsupport.h"
#include "install/zipextract.h"
#include "install/zipstream.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {
// Every entry below root, links included and not followed.
QStringList everything(const QString &root)
{
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    return paths;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString work = scratchRoot() + QStringLiteral("/extract");
    const QString zip = work + QStringLiteral("/package.zip");
    const QString destination = work + QStringLiteral("/staging/.staging-1.0.0");
    QDir(work).removeRecursively();
    FUZZ_ASSERT(QDir().mkpath(work));
    QFile file(zip);
    FUZZ_ASSERT(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    GrowingFile arrived(zip);
    arrived.finish();
    const QList<StreamedEntry> streamed =
        streamZipEntries(arrived, 0, destination, nullptr, true, {qint64(size), qint64(size) * 2});
    ExtractionOptions options;
    options.streamed = &streamed;
    QString error;
    const bool ok = extractZipPayload(zip, destination, &error, options);
    FUZZ_ASSERT(ok == error.isEmpty());
    for (const QString &path : everything(work)) {
        if (path == zip || path == work + QStringLiteral("/staging"))
            continue;
        FUZZ_ASSERT(path == destination || path.startsWith(destination + QLatin1Char('/')));
        FUZZ_ASSERT(!QFileInfo(path).isSymLink());
    }
    return 0;
}
