/* File-write faults for tests: a full disk, an I/O error, a file system that turns
 * read-only, for chosen files only.
 *
 * Preloaded (LD_PRELOAD), this library makes one kind of call fail with a chosen
 * errno for the files whose path contains a pattern, so that a test can run the real
 * settings writer into a fault that no permission bit can make for root. It works
 * for a Windows program under Wine too, for the calls that Wine makes in the
 * program's own process: WriteFile ends in write() or pwrite(), FlushFileBuffers in
 * fsync(). (Wine's server, another process, opens, renames and closes the files.)
 *
 * glibc's stdio writes through internal calls that a preloaded write() does not
 * see, so a file opened for writing with fopen() whose path matches is opened here
 * and handed back as a stream (fopencookie) whose writes and close go through the
 * faulty calls below: the caller's stdio buffering is glibc's own, and only the
 * system calls underneath fail, as they would for a real fault.
 *
 * Environment, read on every call:
 *   STRIKEWELL_FAULT_PATH   the pattern: a file matches when its path contains it
 *                           (for a descriptor, the path that /proc/self/fd/N names;
 *                           for rename, either path; a relative path is taken from
 *                           the working folder). Unset: nothing fails.
 *   STRIKEWELL_FAULT_CALL   which call fails: write (write, pwrite, writev), fsync
 *                           (fsync, fdatasync), close, or rename.
 *   STRIKEWELL_FAULT_ERRNO  ENOSPC, EIO, EROFS, EDQUOT or a number; default EIO.
 *                           0: a failing write takes nothing and returns 0 with
 *                           no errno (other calls then do not fail).
 *   STRIKEWELL_FAULT_AFTER  for write: how many bytes the matching files take in
 *                           all before writes fail (a write that crosses the limit
 *                           is cut short there, as on a disk that fills up);
 *                           default 0.
 *   STRIKEWELL_FAULT_LOG    optional file: each failed call appends a line
 *                           "CALL PATH ERRNO", so a test can tell that its fault was
 *                           really met.
 * A close that fails has still closed the descriptor, as Linux's close() does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static long long bytes_taken;

typedef ssize_t (*WriteFn)(int, const void *, size_t);
typedef ssize_t (*PwriteFn)(int, const void *, size_t, off_t);
typedef ssize_t (*WritevFn)(int, const struct iovec *, int);
typedef int (*FdFn)(int);
typedef int (*RenameFn)(const char *, const char *);
typedef int (*RenameatFn)(int, const char *, int, const char *);
typedef int (*Renameat2Fn)(int, const char *, int, const char *, unsigned);
typedef FILE *(*FopenFn)(const char *, const char *);

/* Sets *function to the next definition of name (libc's). dlsym gives an object
 * pointer; copying it is the portable way past -Wpedantic. */
static void Next(void *function, const char *name) {
  if (*(void **)function != NULL) return;
  void *symbol = dlsym(RTLD_NEXT, name);
  memcpy(function, &symbol, sizeof symbol);
}

static const char *Pattern(void) {
  const char *pattern = getenv("STRIKEWELL_FAULT_PATH");
  return pattern != NULL && pattern[0] != '\0' ? pattern : NULL;
}

static int FaultIsFor(const char *call) {
  const char *wanted = getenv("STRIKEWELL_FAULT_CALL");
  return Pattern() != NULL && wanted != NULL && strcmp(wanted, call) == 0;
}

static int FaultErrno(void) {
  const char *name = getenv("STRIKEWELL_FAULT_ERRNO");
  if (name == NULL || name[0] == '\0') return EIO;
  if (strcmp(name, "ENOSPC") == 0) return ENOSPC;
  if (strcmp(name, "EIO") == 0) return EIO;
  if (strcmp(name, "EROFS") == 0) return EROFS;
  if (strcmp(name, "EDQUOT") == 0) return EDQUOT;
  return atoi(name);
}

/* A relative path is matched as the absolute path it names, as a descriptor's is. */
static int PathMatches(const char *path) {
  const char *pattern = Pattern();
  if (pattern == NULL || path == NULL) return 0;
  if (path[0] == '/') return strstr(path, pattern) != NULL;
  char absolute[PATH_MAX * 2];
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == NULL) return 0;
  snprintf(absolute, sizeof absolute, "%s/%s", folder, path);
  return strstr(absolute, pattern) != NULL;
}

/* The path of an open descriptor; empty when it has none. */
static void FdPath(int fd, char *path, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, size - 1);
  path[length > 0 ? length : 0] = '\0';
}

static int FdMatches(int fd, char *path, size_t size) {
  if (Pattern() == NULL) return 0;
  FdPath(fd, path, size);
  return PathMatches(path);
}

/* Logs the fault with plain system calls: stdio here could call back into the shim. */
static void LogFault(const char *call, const char *path, int error) {
  static WriteFn real_write;
  static FdFn real_close;
  Next(&real_write, "write");
  Next(&real_close, "close");
  const char *log = getenv("STRIKEWELL_FAULT_LOG");
  if (log == NULL || log[0] == '\0') return;
  const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[PATH_MAX + 64];
  const int length = snprintf(line, sizeof line, "%s %s %d\n", call, path, error);
  if (length > 0)
    real_write(fd, line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
  real_close(fd);
}

/* -1 with the fault's errno; 0 when that is 0. */
static int Fail(const char *call, const char *path) {
  const int error = FaultErrno();
  LogFault(call, path, error);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

/* How much of a write of `count` bytes to a matching file goes through before the
 * disk "fills": -1 when none does (errno set), or 0 for errno 0 (a write that takes
 * nothing and says nothing, as Windows' C runtime reports a short write). */
static ssize_t WritableBytes(size_t count, const char *path) {
  const char *after = getenv("STRIKEWELL_FAULT_AFTER");
  const long long limit = after != NULL ? atoll(after) : 0;
  if (bytes_taken >= limit) return Fail("write", path) == 0 ? 0 : -1;
  const long long room = limit - bytes_taken;
  return (ssize_t)((long long)count < room ? (long long)count : room);
}

ssize_t write(int fd, const void *buffer, size_t count) {
  static WriteFn real;
  Next(&real, "write");
  char path[PATH_MAX];
  if (count == 0 || !FaultIsFor("write") || !FdMatches(fd, path, sizeof path)) {
    return real(fd, buffer, count);
  }
  const ssize_t allowed = WritableBytes(count, path);
  if (allowed <= 0) return allowed;
  const ssize_t written = real(fd, buffer, (size_t)allowed);
  if (written > 0) bytes_taken += written;
  return written;
}

ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset) {
  static PwriteFn real;
  Next(&real, "pwrite");
  char path[PATH_MAX];
  if (count == 0 || !FaultIsFor("write") || !FdMatches(fd, path, sizeof path)) {
    return real(fd, buffer, count, offset);
  }
  const ssize_t allowed = WritableBytes(count, path);
  if (allowed <= 0) return allowed;
  const ssize_t written = real(fd, buffer, (size_t)allowed, offset);
  if (written > 0) bytes_taken += written;
  return written;
}

ssize_t pwrite64(int fd, const void *buffer, size_t count, off_t offset) {
  return pwrite(fd, buffer, count, offset);
}

ssize_t writev(int fd, const struct iovec *parts, int part_count) {
  static WritevFn real;
  Next(&real, "writev");
  char path[PATH_MAX];
  if (!FaultIsFor("write") || !FdMatches(fd, path, sizeof path)) return real(fd, parts, part_count);
  /* Rare for files; the parts go one by one through the faulty write(). */
  ssize_t total = 0;
  for (int i = 0; i < part_count; ++i) {
    const ssize_t written = write(fd, parts[i].iov_base, parts[i].iov_len);
    if (written < 0) return total > 0 ? total : -1;
    total += written;
    if ((size_t)written < parts[i].iov_len) break;
  }
  return total;
}

static int SyncCall(const char *name, int fd) {
  static FdFn real_fsync;
  static FdFn real_fdatasync;
  Next(&real_fsync, "fsync");
  Next(&real_fdatasync, "fdatasync");
  char path[PATH_MAX];
  if (FaultIsFor("fsync") && FdMatches(fd, path, sizeof path)) return Fail(name, path);
  return strcmp(name, "fsync") == 0 ? real_fsync(fd) : real_fdatasync(fd);
}

int fsync(int fd) { return SyncCall("fsync", fd); }
int fdatasync(int fd) { return SyncCall("fdatasync", fd); }

int close(int fd) {
  static FdFn real;
  Next(&real, "close");
  char path[PATH_MAX];
  if (FaultIsFor("close") && FdMatches(fd, path, sizeof path)) {
    real(fd);
    return Fail("close", path);
  }
  return real(fd);
}

int rename(const char *from, const char *to) {
  static RenameFn real;
  Next(&real, "rename");
  if (FaultIsFor("rename") && (PathMatches(from) || PathMatches(to))) {
    return Fail("rename", PathMatches(from) ? from : to);
  }
  return real(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
  static RenameatFn real;
  Next(&real, "renameat");
  if (FaultIsFor("rename") && (PathMatches(from) || PathMatches(to))) {
    return Fail("rename", PathMatches(from) ? from : to);
  }
  return real(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags) {
  static Renameat2Fn real;
  Next(&real, "renameat2");
  if (FaultIsFor("rename") && (PathMatches(from) || PathMatches(to))) {
    return Fail("rename", PathMatches(from) ? from : to);
  }
  return real(from_dir, from, to_dir, to, flags);
}

/* The stream that fopen() hands back for a matching file: glibc's buffering on top,
 * the faulty calls underneath. */
static ssize_t CookieRead(void *cookie, char *buffer, size_t size) {
  return read((int)(long)cookie, buffer, size);
}

/* Like glibc's own file streams: a short write is carried on until the whole buffer
 * is written or a write fails, so the failure's errno is what the caller sees. */
static ssize_t CookieWrite(void *cookie, const char *buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t written = write((int)(long)cookie, buffer + done, size - done);
    if (written <= 0) return done > 0 ? (ssize_t)done : -1;
    done += (size_t)written;
  }
  return (ssize_t)done;
}

static int CookieSeek(void *cookie, off64_t *offset, int whence) {
  const off_t at = lseek((int)(long)cookie, (off_t)*offset, whence);
  if (at < 0) return -1;
  *offset = at;
  return 0;
}

static int CookieClose(void *cookie) { return close((int)(long)cookie); }

static FILE *Open(FopenFn *real, const char *real_name, const char *path, const char *mode) {
  Next(real, real_name);
  const int writes = mode[0] == 'w' || mode[0] == 'a' || strchr(mode, '+') != NULL;
  if (!writes || Pattern() == NULL || !PathMatches(path)) return (*real)(path, mode);

  int flags = strchr(mode, '+') != NULL ? O_RDWR : O_WRONLY;
  if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
  if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
  if (mode[0] == 'r') flags = O_RDWR;
  if (strchr(mode, 'x') != NULL) flags |= O_EXCL;
  if (strchr(mode, 'e') != NULL) flags |= O_CLOEXEC;
  const int fd = open(path, flags, 0666);
  if (fd < 0) return NULL;
  const cookie_io_functions_t calls = {CookieRead, CookieWrite, CookieSeek, CookieClose};
  FILE *stream = fopencookie((void *)(long)fd, mode, calls);
  if (stream == NULL) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

FILE *fopen(const char *path, const char *mode) {
  static FopenFn real;
  return Open(&real, "fopen", path, mode);
}

FILE *fopen64(const char *path, const char *mode) {
  static FopenFn real;
  return Open(&real, "fopen64", path, mode);
}
