/* Modem-status lines for pseudo-terminals, for tests.
 *
 * A pty has no modem lines: TIOCMGET, TIOCMBIS, TIOCMBIC and TIOCMSET fail on it
 * with ENOTTY. Preloaded (LD_PRELOAD=.../libmodem_shim.so, the CMake target
 * modem_shim), this library answers those four ioctls itself for chosen devices,
 * so a test can drive CTS, DSR, CD and RI and watch RTS and DTR. It works for a
 * Windows program under Wine too: Wine's comm functions end in the same ioctl
 * calls in the same process.
 *
 * Environment, read again on every call (a test may set it after start-up):
 *   STRIKEWELL_SHIM_DEVICE  device path, or several joined by ':'. An fd matches
 *                           when /proc/self/fd/N names that path (or what the path,
 *                           a symlink say, resolves to). Typically a pty slave,
 *                           "/dev/pts/7". Unset: every ioctl passes through.
 *   STRIKEWELL_SHIM_LINES   control file of the input lines, one per device in the
 *                           same order, joined by ':'. Read on every TIOCMGET, so a
 *                           test changes the lines by writing a new file and
 *                           rename()-ing it over the old one. Contents: tokens split
 *                           by blanks, commas or line ends:
 *                             cts=1 dsr=0 cd=0 ri=0   (also dcd=, car=, rng=;
 *                                                       a missing name is 0)
 *                             0x20                     (TIOCM_* bits, C syntax)
 *                             fail                     (TIOCMGET fails with EIO)
 *                           A missing or unreadable file: every input line off.
 *   STRIKEWELL_SHIM_LOG     optional file; every TIOCMBIS/TIOCMBIC/TIOCMSET appends
 *                           one line "<device> <bis|bic|set> rts=R dtr=D" with the
 *                           state of RTS and DTR after the call (0 or 1).
 *
 * RTS and DTR start off in each process. TIOCMGET reports them along with the
 * input lines, so read-modify-write callers (Wine) see their own changes.
 * The shim uses no stdio or locale machinery that could itself call ioctl. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { kMaxDevices = 16 };
static const int kInputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
static const int kOutputs = TIOCM_RTS | TIOCM_DTR;

static int output_bits[kMaxDevices];

typedef int (*IoctlFn)(int, unsigned long, ...);

static IoctlFn RealIoctl(void) {
  static IoctlFn real;
  if (real == NULL) {
    /* dlsym gives an object pointer; copying it is the portable way past -Wpedantic. */
    void* symbol = dlsym(RTLD_NEXT, "ioctl");
    memcpy(&real, &symbol, sizeof real);
  }
  return real;
}

/* Copies item n (0-based) of a ':'-separated list into out; 0 when there is none. */
static int NthItem(const char* list, int n, char* out, size_t size) {
  if (list == NULL) return 0;
  for (const char* p = list;; ++p) {
    const char* end = strchr(p, ':');
    const size_t len = end != NULL ? (size_t)(end - p) : strlen(p);
    if (n-- == 0) {
      if (len == 0 || len >= size) return 0;
      memcpy(out, p, len);
      out[len] = '\0';
      return 1;
    }
    if (end == NULL) return 0;
    p = end;
  }
}

/* The index of the listed device that fd is open on, or -1. */
static int DeviceIndex(int fd, char* target, size_t size) {
  const char* devices = getenv("STRIKEWELL_SHIM_DEVICE");
  if (devices == NULL || devices[0] == '\0') return -1;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, size - 1);
  if (n <= 0) return -1;
  target[n] = '\0';
  char want[PATH_MAX];
  char resolved[PATH_MAX];
  for (int i = 0; i < kMaxDevices && NthItem(devices, i, want, sizeof want); ++i) {
    if (strcmp(target, want) == 0) return i;
    if (realpath(want, resolved) != NULL && strcmp(target, resolved) == 0) return i;
  }
  return -1;
}

static int BitOfName(const char* name, size_t len) {
  static const struct {
    const char* name;
    int bit;
  } kNames[] = {{"cts", TIOCM_CTS}, {"dsr", TIOCM_DSR}, {"cd", TIOCM_CAR}, {"dcd", TIOCM_CAR},
                {"car", TIOCM_CAR}, {"ri", TIOCM_RNG},  {"rng", TIOCM_RNG}};
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (strlen(kNames[i].name) == len && strncmp(kNames[i].name, name, len) == 0) {
      return kNames[i].bit;
    }
  }
  return 0;
}

/* The input lines of device index from its control file; -1 for "fail". */
static int ReadInputs(int index) {
  char path[PATH_MAX];
  if (!NthItem(getenv("STRIKEWELL_SHIM_LINES"), index, path, sizeof path)) return 0;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[256];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  int bits = 0;
  static const char kSeparators[] = " \t\r\n,";
  for (char* token = text + strspn(text, kSeparators); *token != '\0';
       token += strspn(token, kSeparators)) {
    const size_t len = strcspn(token, kSeparators);
    const char* equals = memchr(token, '=', len);
    if (len == 4 && strncmp(token, "fail", 4) == 0) return -1;
    if (token[0] >= '0' && token[0] <= '9') {
      bits |= (int)strtoul(token, NULL, 0);
    } else if (equals != NULL && strtol(equals + 1, NULL, 10) != 0) {
      bits |= BitOfName(token, (size_t)(equals - token));
    }
    token += len;
  }
  return bits & kInputs;
}

static void Log(const char* device, const char* op, int bits) {
  const char* path = getenv("STRIKEWELL_SHIM_LOG");
  if (path == NULL || path[0] == '\0') return;
  char line[PATH_MAX + 64];
  const int len = snprintf(line, sizeof line, "%s %s rts=%d dtr=%d\n", device, op,
                           (bits & TIOCM_RTS) != 0, (bits & TIOCM_DTR) != 0);
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  /* One write per line: O_APPEND keeps lines from several threads whole. */
  if (write(fd, line, (size_t)len) < 0) errno = 0;
  close(fd);
}

static int ModemIoctl(int index, const char* device, unsigned long request, int* arg) {
  if (arg == NULL) {
    errno = EFAULT;
    return -1;
  }
  int* out = &output_bits[index];
  int now = 0;
  const char* op = NULL;
  switch (request) {
    case TIOCMGET: {
      const int inputs = ReadInputs(index);
      if (inputs < 0) {
        errno = EIO;
        return -1;
      }
      *arg = inputs | __atomic_load_n(out, __ATOMIC_SEQ_CST);
      return 0;
    }
    case TIOCMBIS:
      now = __atomic_or_fetch(out, *arg & kOutputs, __ATOMIC_SEQ_CST);
      op = "bis";
      break;
    case TIOCMBIC:
      now = __atomic_and_fetch(out, ~(*arg & kOutputs), __ATOMIC_SEQ_CST);
      op = "bic";
      break;
    default: /* TIOCMSET */
      now = *arg & kOutputs;
      __atomic_store_n(out, now, __ATOMIC_SEQ_CST);
      op = "set";
      break;
  }
  Log(device, op, now);
  return 0;
}

/* glibc's signature. The third argument, when there is one, is a pointer or an
 * int; fetching it as a pointer is what every wrapper of ioctl does on the
 * register-passing ABIs this runs on, and it goes on to the real call unchanged. */
int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET) {
    char device[PATH_MAX];
    const int saved_errno = errno;
    const int index = DeviceIndex(fd, device, sizeof device);
    errno = saved_errno;
    if (index >= 0) return ModemIoctl(index, device, request, arg);
  }
  return RealIoctl()(fd, request, arg);
}
