// Test-only preload, put before umockdev's in LD_PRELOAD: the calls umockdev's preload wraps
// with state of its own (the path it rewrote, the table of descriptors it tracks) are made one
// at a time. umockdev keeps some of that state without a lock, and the console opens its ports
// from many threads at once: a stat could then see another thread's path (a port taken for
// "not a serial port"), and two opens could share one slot of the table.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

pthread_mutex_t lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

struct Serialized {
  Serialized() { pthread_mutex_lock(&lock); }
  ~Serialized() { pthread_mutex_unlock(&lock); }
};

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define SERIALIZED(ret, name, params, args)                      \
  extern "C" ret name params {                                   \
    static const auto next = Next<ret(*) params>(#name);         \
    Serialized one_at_a_time;                                    \
    return next args;                                            \
  }

// open and openat take a mode only when they may create a file (glibc's own test).
#define NEEDS_MODE(flags) (((flags) & O_CREAT) || ((flags) & O_TMPFILE) == O_TMPFILE)
#define SERIALIZED_OPEN(name)                                    \
  extern "C" int name(const char* path, int flags, ...) {        \
    static const auto next = Next<int (*)(const char*, int, ...)>(#name); \
    va_list ap;                                                  \
    va_start(ap, flags);                                         \
    const mode_t mode = NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;     \
    va_end(ap);                                                  \
    Serialized one_at_a_time;                                    \
    return next(path, flags, mode);                              \
  }
#define SERIALIZED_OPENAT(name)                                  \
  extern "C" int name(int dir, const char* path, int flags, ...) { \
    static const auto next = Next<int (*)(int, const char*, int, ...)>(#name); \
    va_list ap;                                                  \
    va_start(ap, flags);                                         \
    const mode_t mode = NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;     \
    va_end(ap);                                                  \
    Serialized one_at_a_time;                                    \
    return next(dir, path, flags, mode);                         \
  }

SERIALIZED_OPEN(open)
SERIALIZED_OPEN(open64)
SERIALIZED_OPENAT(openat)
SERIALIZED_OPENAT(openat64)
SERIALIZED(int, __open_2, (const char* path, int flags), (path, flags))
SERIALIZED(int, __open64_2, (const char* path, int flags), (path, flags))
SERIALIZED(int, close, (int fd), (fd))
SERIALIZED(FILE*, fopen, (const char* path, const char* mode), (path, mode))
SERIALIZED(FILE*, fopen64, (const char* path, const char* mode), (path, mode))
SERIALIZED(int, fclose, (FILE * file), (file))
SERIALIZED(DIR*, opendir, (const char* path), (path))
SERIALIZED(int, access, (const char* path, int mode), (path, mode))
SERIALIZED(int, stat, (const char* path, struct stat* st), (path, st))
SERIALIZED(int, stat64, (const char* path, struct stat64* st), (path, st))
SERIALIZED(int, lstat, (const char* path, struct stat* st), (path, st))
SERIALIZED(int, lstat64, (const char* path, struct stat64* st), (path, st))
SERIALIZED(int, fstatat, (int dir, const char* path, struct stat* st, int flags),
           (dir, path, st, flags))
SERIALIZED(int, fstatat64, (int dir, const char* path, struct stat64* st, int flags),
           (dir, path, st, flags))
SERIALIZED(int, statx,
           (int dir, const char* path, int flags, unsigned mask, struct statx* st),
           (dir, path, flags, mask, st))
SERIALIZED(ssize_t, readlink, (const char* path, char* target, size_t size), (path, target, size))
SERIALIZED(ssize_t, readlinkat, (int dir, const char* path, char* target, size_t size),
           (dir, path, target, size))
SERIALIZED(char*, realpath, (const char* path, char* resolved), (path, resolved))
SERIALIZED(char*, canonicalize_file_name, (const char* path), (path))
