#pragma once

#include <QString>

// Whether the file system that holds folder (or its nearest existing parent)
// has room for needed more bytes: empty when it has, or when its free space
// cannot be told; otherwise the window's message.
QString diskSpaceProblem(const QString &folder, qint64 needed);

// Sizes come from hosts before anything checks them: their sums are held at
// the largest qint64 rather than wrapping round to something small.
qint64 saturatingAdd(qint64 a, qint64 b);

// What a package download needs: what is left of the package, and as much
// again for what extracts from it (its central directory, which would say
// exactly, arrives last). size 0 or less: not known.
qint64 packageSpaceNeeded(qint64 size, qint64 arrived);

// The most bytes written from a package before its digest is checked: the
// release's file index total when it was read (indexedBytes, else negative),
// otherwise twice the package, which holds ordinary compressed content and
// stops a package of deflated zeros early. Nothing without a declared size.
qint64 streamBudget(qint64 packageBytes, qint64 indexedBytes);
