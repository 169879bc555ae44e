// Must not build: the pass library has no widgets, so a window header cannot
// be reached from it. tests/layering/check.py expects this to fail, and why.
#include "ui/mainwindow.h"
