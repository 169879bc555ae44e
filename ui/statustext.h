#pragma once

#include <QString>

// The status line's text with a zero-width space after each character of
// any long unbroken run (a digest, a path), so that word wrap can break it
// and the window keeps its size. Short words are left alone.
QString breakableText(const QString &text);
// The text as the user reads it: without those zero-width spaces.
QString readableText(const QString &shown);
