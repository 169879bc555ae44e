#pragma once

#include <QFileDevice>
#include <QString>

// What the file system says about one file, enough to tell whether it is
// still the file a record describes without reading it.
struct FileIdentity
{
    bool exists = false;
    bool regular = false; // a plain file, not a link, folder or device
    quint64 device = 0;   // the volume (the serial number on Windows)
    quint64 inode = 0;    // the file on it (the file id on Windows)
    qint64 size = 0;
    qint64 mtimeNs = 0; // last content change
    qint64 ctimeNs = 0; // last change of content or metadata (links, mode)
    bool executable = false;
};

// The file itself, never what a link points to.
FileIdentity fileIdentity(const QString &path);
// The same of a file open in this process, without a second look up its path.
FileIdentity fileIdentity(const QFileDevice &file);

// "Now" as the file system stamps times in folder: the modification time of a
// file made there and removed again. Its clock runs in coarse ticks, so a
// change made in the same tick gets the same time. -1 when the folder refuses.
qint64 fileSystemNowNs(const QString &folder);
// The first time the file system stamps in folder that is later than any
// change made before the call, waiting for its clock to tick (at most 100 ms;
// a coarser clock, such as FAT's, gives the current time). -1 when the folder refuses.
qint64 fileSystemTimeAfterNow(const QString &folder);
