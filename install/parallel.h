#pragma once

#include <QtGlobal>

#include <functional>

// Runs work(i) for every i in [0, count) on one thread per core (the calling
// thread being one of them), taking the next i as each thread becomes free,
// and returns when all are done. work must only touch what belongs to its i.
void forEachInParallel(qsizetype count, const std::function<void(qsizetype)> &work);
