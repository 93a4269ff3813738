/* Modem-status lines for pseudo-terminals, for tests.
 *
 * A pty has no modem lines: the modem-control ioctls fail on it with ENOTTY.
 * Preloaded (LD_PRELOAD=.../libmodem_shim.so, the CMake target modem_shim), this
 * library answers them itself for chosen devices, so a test can drive CTS, DSR, CD
 * and RI, count their changes, wait for them, and watch RTS, DTR and the
 * low-latency flag. It works for a Windows program under Wine too: Wine's comm
 * functions end in the same ioctl calls in the same process (its WaitCommEvent
 * polls TIOCMGET, TIOCINQ and TIOCGICOUNT every millisecond).
 *
 * Served for a matching device:
 *   TIOCMGET                 input lines from the control file, RTS and DTR as set
 *   TIOCMBIS/TIOCMBIC/TIOCMSET  RTS and DTR, kept per process, logged
 *   TIOCGICOUNT              change counts of CTS, DSR, CD and RI (other counts 0)
 *   TIOCMIWAIT               blocks until a line in its mask changes (state or
 *                            count); costs no CPU meanwhile (inotify on the control
 *                            file's directory). Like the driver's it ends early with
 *                            -1/EINTR when a signal handler runs.
 *   TIOCGSERIAL/TIOCSSERIAL  a 16550A-like serial_struct whose flags (the
 *                            low-latency flag among them) a program may set
 *
 * Environment, read again on every call (a test may set it after start-up):
 *   STRIKEWELL_SHIM_DEVICE  device path, or several joined by ':'. An fd matches
 *                           when /proc/self/fd/N names that path (or what the path,
 *                           a symlink say, resolves to). Typically a pty slave,
 *                           "/dev/pts/7". Unset: every ioctl passes through.
 *   STRIKEWELL_SHIM_LINES   control file of the input lines, one per device in the
 *                           same order, joined by ':'. Read on every call, so a
 *                           test changes the lines by writing a new file and
 *                           rename()-ing it over the old one. Contents: tokens split
 *                           by blanks, commas or line ends:
 *                             cts=1 dsr=0 cd=0 ri=0   (also dcd=, car=, rng=;
 *                                                       a missing name is 0)
 *                             cts=0/4                  (state, then the line's change
 *                                                       count: "went on and off twice
 *                                                       more" after cts=0/0)
 *                             0x20                     (TIOCM_* bits, C syntax)
 *                             fail                     (every served call fails with
 *                                                       EIO, as for a device pulled
 *                                                       out)
 *                             notty                    (the line calls fail with
 *                                                       ENOTTY, as from a driver
 *                                                       without modem lines that is
 *                                                       still there)
 *                           A missing or unreadable file: every input line off.
 *                           Change counts, kept per process and device (as a
 *                           driver keeps them per port):
 *                           a line given with "/N" counts N; a line given without
 *                           one counts on by one each time a call finds its state
 *                           changed since the call before (so a test that only
 *                           writes new states gets counts too, as long as the
 *                           program looks between two writes).
 *   STRIKEWELL_SHIM_LOG     optional file; every TIOCMBIS/TIOCMBIC/TIOCMSET appends
 *                           one line "<device> <bis|bic|set> rts=R dtr=D" with the
 *                           state of RTS and DTR after the call (0 or 1).
 *   STRIKEWELL_SHIM_SERIAL  optional, one file per device joined by ':': the
 *                           serial_struct flags. TIOCSSERIAL writes it as
 *                           "low_latency=L flags=0xF" and TIOCGSERIAL reads the
 *                           flags back from it, so another process (the test) can
 *                           read what the program asked for. Unset: the flags are
 *                           kept in the process, where the test's own TIOCGSERIAL
 *                           on the device reads them.
 *
 * RTS and DTR start off in each process. TIOCMGET reports them along with the
 * input lines, so read-modify-write callers (Wine) see their own changes.
 * The shim uses no stdio or locale machinery that could itself call ioctl. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { kMaxDevices = 16, kLines = 4 };
static const int kInputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
static const int kOutputs = TIOCM_RTS | TIOCM_DTR;
/* The order of the counts: cts, dsr, cd, ri. */
static const int kLineBits[kLines] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CAR, TIOCM_RNG};

static int output_bits[kMaxDevices];

/* What the calls so far have seen of each device's input lines, for the counts.
 * Several threads may call at once (a line watcher and the program's loop). */
struct LineTrack {
  char device[PATH_MAX]; /* the device the counts belong to */
  int seen;
  int bits;
  unsigned counts[kLines];
};
static struct LineTrack tracks[kMaxDevices];
static int serial_flags[kMaxDevices];
static pthread_mutex_t track_lock = PTHREAD_MUTEX_INITIALIZER;

/* One look at a device's input lines: their state and change counts. */
struct Lines {
  int bits;
  unsigned counts[kLines];
};

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

static int LineIndex(int bit) {
  for (int i = 0; i < kLines; ++i) {
    if (kLineBits[i] == bit) return i;
  }
  return -1;
}

/* Reads a small file whole into text; 0 when it cannot be read or is empty. */
static int ReadSmallFile(const char* path, char* text, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t n = read(fd, text, size - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  return 1;
}

/* What a control file can make the line calls fail with. */
enum { kFailGone = -1, kFailNoLines = -2 };

static int FailureErrno(int failure) { return failure == kFailNoLines ? ENOTTY : EIO; }

/* Parses the control file of device index: the input bits, and in given[i] the
 * count written for line i or -1. Returns kFailGone for "fail", kFailNoLines for
 * "notty". */
static int ParseControl(int index, long given[kLines]) {
  for (int i = 0; i < kLines; ++i) given[i] = -1;
  char path[PATH_MAX];
  char text[256];
  if (!NthItem(getenv("STRIKEWELL_SHIM_LINES"), index, path, sizeof path)) return 0;
  if (!ReadSmallFile(path, text, sizeof text)) return 0;
  int bits = 0;
  static const char kSeparators[] = " \t\r\n,";
  for (char* token = text + strspn(text, kSeparators); *token != '\0';
       token += strspn(token, kSeparators)) {
    const size_t len = strcspn(token, kSeparators);
    const char* equals = memchr(token, '=', len);
    if (len == 4 && strncmp(token, "fail", 4) == 0) return kFailGone;
    if (len == 5 && strncmp(token, "notty", 5) == 0) return kFailNoLines;
    if (token[0] >= '0' && token[0] <= '9') {
      bits |= (int)strtoul(token, NULL, 0);
    } else if (equals != NULL) {
      const int bit = BitOfName(token, (size_t)(equals - token));
      if (strtol(equals + 1, NULL, 10) != 0) bits |= bit;
      const char* slash = memchr(equals, '/', len - (size_t)(equals - token));
      if (bit != 0 && slash != NULL) given[LineIndex(bit)] = strtol(slash + 1, NULL, 10);
    }
    token += len;
  }
  return bits & kInputs;
}

/* One look at the input lines of device index, counting the changes found since
 * the look before; kFailGone or kFailNoLines when the calls are to fail. A test that names another device in the same
 * place starts its counts afresh. */
static int LookAtLines(int index, const char* device, struct Lines* lines) {
  long given[kLines];
  /* The file is read under the lock too: a look that read an older file and then
   * waited for the lock would otherwise put older counts back. */
  pthread_mutex_lock(&track_lock);
  const int bits = ParseControl(index, given);
  if (bits < 0) {
    pthread_mutex_unlock(&track_lock);
    return bits;
  }
  struct LineTrack* track = &tracks[index];
  if (strcmp(track->device, device) != 0) {
    memset(track, 0, sizeof *track);
    snprintf(track->device, sizeof track->device, "%s", device);
  }
  for (int i = 0; i < kLines; ++i) {
    if (given[i] >= 0) {
      track->counts[i] = (unsigned)given[i];
    } else if (track->seen && ((track->bits ^ bits) & kLineBits[i]) != 0) {
      ++track->counts[i];
    }
  }
  track->seen = 1;
  track->bits = bits;
  lines->bits = bits;
  memcpy(lines->counts, track->counts, sizeof lines->counts);
  pthread_mutex_unlock(&track_lock);
  return 0;
}

static int LinesDiffer(const struct Lines* a, const struct Lines* b, int mask) {
  for (int i = 0; i < kLines; ++i) {
    if ((mask & kLineBits[i]) == 0) continue;
    if (((a->bits ^ b->bits) & kLineBits[i]) != 0 || a->counts[i] != b->counts[i]) return 1;
  }
  return 0;
}

/* TIOCMIWAIT: returns 0 once a line in mask has changed since the call began. */
static int WaitForChange(int index, const char* device, int mask) {
  struct Lines before;
  struct Lines now;
  const int failure = LookAtLines(index, device, &before);
  if (failure < 0) {
    errno = FailureErrno(failure);
    return -1;
  }
  /* The file is replaced by rename(), so its directory is watched, not its inode. */
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0) return -1;
  char path[PATH_MAX];
  if (NthItem(getenv("STRIKEWELL_SHIM_LINES"), index, path, sizeof path)) {
    char* slash = strrchr(path, '/');
    if (slash == path) {
      slash[1] = '\0';
    } else if (slash != NULL) {
      *slash = '\0';
    } else {
      strcpy(path, ".");
    }
    inotify_add_watch(watch, path, IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE);
  }
  /* A change between the first look and the watch would otherwise go unseen. Without a
   * control file nothing can change: only a signal ends the wait. */
  int result = 0;
  for (;;) {
    const int looked = LookAtLines(index, device, &now);
    if (looked < 0) {
      errno = FailureErrno(looked);
      result = -1;
      break;
    }
    if (LinesDiffer(&before, &now, mask)) break;
    struct pollfd p = {watch, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      result = -1;  /* EINTR: a signal handler ran, as the driver's wait ends */
      break;
    }
    char events[4096];
    while (read(watch, events, sizeof events) > 0) {
    }
  }
  const int saved_errno = errno;
  close(watch);
  errno = saved_errno;
  return result;
}

/* The serial_struct flags of device index: from its STRIKEWELL_SHIM_SERIAL file when
 * there is one, else as kept in this process. */
static int SerialFlags(int index) {
  char path[PATH_MAX];
  char text[128];
  if (NthItem(getenv("STRIKEWELL_SHIM_SERIAL"), index, path, sizeof path)) {
    const char* flags = ReadSmallFile(path, text, sizeof text) ? strstr(text, "flags=") : NULL;
    return flags != NULL ? (int)strtoul(flags + 6, NULL, 0) : 0;
  }
  return __atomic_load_n(&serial_flags[index], __ATOMIC_SEQ_CST);
}

static void SetSerialFlags(int index, int flags) {
  __atomic_store_n(&serial_flags[index], flags, __ATOMIC_SEQ_CST);
  char path[PATH_MAX];
  if (!NthItem(getenv("STRIKEWELL_SHIM_SERIAL"), index, path, sizeof path)) return;
  char text[64];
  const int len = snprintf(text, sizeof text, "low_latency=%d flags=0x%x\n",
                           (flags & ASYNC_LOW_LATENCY) != 0, (unsigned)flags);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, text, (size_t)len) < 0) errno = 0;
  close(fd);
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

static int Fail(int error) {
  errno = error;
  return -1;
}

static int ModemIoctl(int index, const char* device, unsigned long request, void* arg) {
  struct Lines lines;
  int looked = 0;
  if (request == TIOCMIWAIT) return WaitForChange(index, device, (int)(intptr_t)arg & kInputs);
  if (arg == NULL) return Fail(EFAULT);
  int* bits = arg;
  int* out = &output_bits[index];
  int now = 0;
  const char* op = NULL;
  switch (request) {
    case TIOCMGET:
      if ((looked = LookAtLines(index, device, &lines)) < 0) return Fail(FailureErrno(looked));
      *bits = lines.bits | __atomic_load_n(out, __ATOMIC_SEQ_CST);
      return 0;
    case TIOCGICOUNT: {
      if ((looked = LookAtLines(index, device, &lines)) < 0) return Fail(FailureErrno(looked));
      struct serial_icounter_struct* counts = arg;
      memset(counts, 0, sizeof *counts);
      counts->cts = (int)lines.counts[0];
      counts->dsr = (int)lines.counts[1];
      counts->dcd = (int)lines.counts[2];
      counts->rng = (int)lines.counts[3];
      return 0;
    }
    case TIOCGSERIAL: {
      if ((looked = LookAtLines(index, device, &lines)) < 0) return Fail(FailureErrno(looked));
      struct serial_struct* serial = arg;
      memset(serial, 0, sizeof *serial);
      serial->type = PORT_16550A;
      serial->line = index;
      serial->flags = SerialFlags(index);
      serial->xmit_fifo_size = 16;
      serial->baud_base = 115200;
      serial->close_delay = 50;
      serial->closing_wait = 3000;
      return 0;
    }
    case TIOCSSERIAL:
      if ((looked = LookAtLines(index, device, &lines)) < 0) return Fail(FailureErrno(looked));
      SetSerialFlags(index, ((const struct serial_struct*)arg)->flags);
      return 0;
    case TIOCMBIS:
      now = __atomic_or_fetch(out, *bits & kOutputs, __ATOMIC_SEQ_CST);
      op = "bis";
      break;
    case TIOCMBIC:
      now = __atomic_and_fetch(out, ~(*bits & kOutputs), __ATOMIC_SEQ_CST);
      op = "bic";
      break;
    default: /* TIOCMSET */
      now = *bits & kOutputs;
      __atomic_store_n(out, now, __ATOMIC_SEQ_CST);
      op = "set";
      break;
  }
  Log(device, op, now);
  return 0;
}

static int Served(unsigned long request) {
  switch (request) {
    case TIOCMGET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET:
    case TIOCGICOUNT:
    case TIOCMIWAIT:
    case TIOCGSERIAL:
    case TIOCSSERIAL:
      return 1;
    default:
      return 0;
  }
}

/* glibc's signature. The third argument, when there is one, is a pointer or an
 * int; fetching it as a pointer is what every wrapper of ioctl does on the
 * register-passing ABIs this runs on, and it goes on to the real call unchanged. */
int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (Served(request)) {
    char device[PATH_MAX];
    const int saved_errno = errno;
    const int index = DeviceIndex(fd, device, sizeof device);
    errno = saved_errno;
    if (index >= 0) return ModemIoctl(index, device, request, arg);
  }
  return RealIoctl()(fd, request, arg);
}
