#pragma once

#include "install/zipextract.h"
#include "storage/growingfile.h"

// Writes the entries at the front of a ZIP archive into destination while
// the archive is still being written, from their local headers, so that an
// install ends about when its download does. It takes what it can be sure
// of from a local header alone: stored or deflated entries with their sizes
// and CRC-32 up front, not encrypted, with a name that is ASCII or flagged
// UTF-8. At the first entry that is not, or that fails in any way, it stops:
// extractZipPayload does the rest from the whole archive, and confirms each
// streamed entry against the central directory. It also stops at the next
// entry once the archive is finished (the rest goes faster on several
// threads), or when the archive is abandoned, cut back or cancelled. Only
// where a file being read can be renamed (renamesOpenFiles) does the
// download's file serve as the archive while it grows.
// generation is the archive's (GrowingFile::generation) when it was begun.
// untilEnd: take every entry it can, finished or not (for a check of an
// archive that is already whole).
// The bytes come from a host before their digest is checked: what they can
// make the stream do is bounded. Each entry moves it forward past the one
// before; past either limit it stops (why goes to *stopped) and the rest
// waits for the check.
struct StreamLimits
{
    // The archive's declared size: no entry ends past it, and it bounds how
    // many entries (each with a local header and a directory record) there are.
    qint64 archiveBytes = -1;
    // The most bytes written before the archive is checked.
    qint64 extractBytes = -1;
    QString *stopped = nullptr;
};

QList<StreamedEntry> streamZipEntries(GrowingFile &archive, int generation,
                                      const QString &destination,
                                      ExtractionProgress *progress = nullptr, bool untilEnd = false,
                                      const StreamLimits &limits = {});
