// The file index parser on arbitrary bytes: what it accepts can only place
// files inside the staging folder, names each object by its digest, and
// lists every path once.
#include "fuzzsupport.h"
#include "install/zipextract.h"
#include "release/fileindex.h"

#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const FileIndexResult parsed = parseFileIndex(fuzzBytes(data, size));
    if (!parsed.error.isEmpty()) {
        FUZZ_ASSERT(parsed.index.files.isEmpty());
        return 0;
    }
    const QString root = scratchRoot() + QStringLiteral("/staging");
    QSet<QString> paths;
    for (const FileIndexEntry &entry : parsed.index.files) {
        FUZZ_ASSERT(isSafeZipEntryName(entry.path));
        FUZZ_ASSERT(isInsideDirectory(root, root + QLatin1Char('/') + entry.path));
        FUZZ_ASSERT(entry.object.startsWith(entry.sha256) && entry.sha256.size() == 64);
        FUZZ_ASSERT(entry.size >= 0 && entry.objectSize >= 0);
        FUZZ_ASSERT(!paths.contains(entry.path));
        paths.insert(entry.path);
    }
    // What it accepts, written back, parses to the same index.
    const FileIndexResult again = parseFileIndex(fileIndexJson(parsed.index));
    FUZZ_ASSERT(again.error.isEmpty() && again.index.files.size() == parsed.index.files.size());
    return 0;
}
