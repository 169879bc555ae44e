#pragma once

#include <QString>

// Placing a file that already exists elsewhere on the same volume, and the
// execute bit: the one place where Linux and Windows differ in them.

// target made as a clone of source (shared extents: Linux FICLONE; none on
// Windows). *unsupported is set when the file system never clones, so that
// later files do not try.
bool cloneFile(const QString &source, const QString &target, bool *unsupported);

// target made a second name of source: link(2), or CreateHardLinkW (never
// QFile::link, which makes a shortcut on Windows).
bool hardLinkFile(const QString &source, const QString &target);

// A copy made by the kernel where it can (copy_file_range: no trip through
// this process's memory), else in large chunks.
bool copyFileContents(const QString &source, const QString &target);

// Whether this system keeps an execute bit at all (Windows: no).
bool hasExecuteBits();
// Read and write for the owner, read for all, and execute for all when
// executable (nothing on Windows).
void setExecutable(const QString &path, bool executable);
// Adds owner-execute when it is missing (a file whose metadata changes is
// read again by the next check, so only then).
void addOwnerExecute(const QString &path);
// The permission bits of a Unix mode (0777 at most: never setuid, setgid or
// sticky); nothing on Windows.
void applyPermissionBits(const QString &path, uint mode);
