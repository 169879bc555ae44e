#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file by one written beside it and renamed into place, so that it
// is never seen half-written. It is not forced to disk: for files the
// launcher can do without (install records, resume states) a lost write only
// costs work, while a sync per file costs milliseconds each.
bool replaceFileUnsynced(const QString &path, const QByteArray &content, QString *error = nullptr);
