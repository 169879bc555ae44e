// Preloaded into a launcher process (LD_PRELOAD) to record, in order, when it
// forces data to disk and when it renames or links files into place, so that
// a test can tell that an install reaches the disk before the state names it.
// Lines go to the file named by IVRA_SYNC_TRACE.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {
void trace(const char *what, const char *from, const char *to)
{
    const char *path = getenv("IVRA_SYNC_TRACE");
    if (!path)
        return;
    FILE *file = fopen(path, "a");
    if (!file)
        return;
    fprintf(file, "%s %s -> %s\n", what, from ? from : "", to ? to : "");
    fclose(file);
}

template <class Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" {
int syncfs(int fd)
{
    trace("syncfs", nullptr, nullptr);
    return next<int (*)(int)>("syncfs")(fd);
}

int fsync(int fd)
{
    trace("fsync", nullptr, nullptr);
    return next<int (*)(int)>("fsync")(fd);
}

int rename(const char *from, const char *to)
{
    trace("rename", from, to);
    return next<int (*)(const char *, const char *)>("rename")(from, to);
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    trace("rename", from, to);
    return next<int (*)(int, const char *, int, const char *)>("renameat")(fromDir, from, toDir,
                                                                           to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned flags)
{
    trace("rename", from, to);
    return next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(
        fromDir, from, toDir, to, flags);
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    trace("link", from, to);
    return next<int (*)(int, const char *, int, const char *, int)>("linkat")(fromDir, from, toDir,
                                                                              to, flags);
}
}
