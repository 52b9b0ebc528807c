/* Loaded with LD_PRELOAD into a test's child process: makes read/pread of one file fail (or
 * end early) at a chosen byte offset, and write to one file fail at a chosen offset, the way
 * a bad disk sector or a full disk does. Other files are not touched.
 *
 * A request that starts before the fault offset and reaches past it is cut short at the
 * offset (as the kernel does near a bad sector), so the fault hits exactly the byte chosen:
 * the next request, which starts at the offset, fails with the chosen errno, or returns 0
 * (an end of file) when that errno is 0.
 *
 * `skip` lets that many requests that reach the offset through untouched first (a file read
 * twice fails on the second pass).
 *
 * tg_stall_read makes every read() of one file wait first, as on a network mount that does
 * not answer: `micros` microseconds, after `skip` reads that go through at once. A signal
 * whose handler returns ends the wait with EINTR, as an interruptible wait of the kernel
 * does; the wait is a cancellation point, as a blocking read() is.
 *
 * Controlled from Python through ctypes:
 *   tg_fault_read(path, offset, errnum, skip)   tg_fault_write(path, offset, errnum, skip)
 *   tg_stall_read(path, micros, skip)
 *   tg_fault_clear()                      tg_fault_hits() -> faults delivered so far
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

struct fault {
  char path[PATH_MAX];
  long long offset; /* -1: none */
  int errnum;
  int skip;
};

static struct fault read_fault = {"", -1, 0, 0}, write_fault = {"", -1, 0, 0};
static long hits;

static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_pread)(int, void *, size_t, off_t);
static ssize_t (*real_write)(int, const void *, size_t);

static void set(struct fault *f, const char *path, long long offset, int errnum, int skip) {
  snprintf(f->path, sizeof f->path, "%s", path);
  f->offset = offset;
  f->errnum = errnum;
  f->skip = skip;
}

void tg_fault_read(const char *path, long long offset, int errnum, int skip) {
  set(&read_fault, path, offset, errnum, skip);
}
void tg_fault_write(const char *path, long long offset, int errnum, int skip) {
  set(&write_fault, path, offset, errnum, skip);
}
static struct fault stall = {"", -1, 0, 0}; /* offset: the wait in microseconds */

void tg_stall_read(const char *path, long long micros, int skip) { set(&stall, path, micros, 0, skip); }
void tg_fault_clear(void) { read_fault.offset = write_fault.offset = stall.offset = -1; }
long tg_fault_hits(void) { return hits; }

/* Whether `fd` is the file of `f` (compared by the path the kernel gives for it). */
static int targets(const struct fault *f, int fd) {
  if (f->offset < 0) return 0;
  char link[64], name[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, name, sizeof name - 1);
  if (n < 0) return 0;
  name[n] = '\0';
  return strcmp(name, f->path) == 0;
}

/* How much of a request of `size` bytes at `pos` may go through before the fault: the whole
 * request (SIZE_MAX), a shorter count, or 0 when the request starts at the fault. */
static size_t allowed(struct fault *f, long long pos, size_t size) {
  if (pos < 0 || pos + (long long)size <= f->offset || pos > f->offset) return (size_t)-1;
  if (f->skip > 0) {
    --f->skip;
    return (size_t)-1;
  }
  return (size_t)(f->offset - pos);
}

static ssize_t deliver(const struct fault *f) {
  ++hits;
  if (f->errnum == 0) return 0;
  errno = f->errnum;
  return -1;
}

ssize_t read(int fd, void *buf, size_t size) {
  if (!real_read) real_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
  if (targets(&stall, fd)) {
    if (stall.skip > 0) {
      --stall.skip;
    } else {
      struct timespec wait = {stall.offset / 1000000, (stall.offset % 1000000) * 1000};
      if (nanosleep(&wait, &wait) != 0) return -1; /* errno EINTR */
    }
  }
  if (size > 0 && targets(&read_fault, fd)) {
    size_t ok = allowed(&read_fault, lseek(fd, 0, SEEK_CUR), size);
    if (ok == 0) return deliver(&read_fault);
    if (ok < size) size = ok;
  }
  return real_read(fd, buf, size);
}

static ssize_t faulty_pread(int fd, void *buf, size_t size, off_t offset) {
  if (!real_pread) real_pread = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
  if (size > 0 && targets(&read_fault, fd)) {
    size_t ok = allowed(&read_fault, offset, size);
    if (ok == 0) return deliver(&read_fault);
    if (ok < size) size = ok;
  }
  return real_pread(fd, buf, size, offset);
}

ssize_t pread(int fd, void *buf, size_t size, off_t offset) { return faulty_pread(fd, buf, size, offset); }
ssize_t pread64(int fd, void *buf, size_t size, off_t offset) { return faulty_pread(fd, buf, size, offset); }

ssize_t write(int fd, const void *buf, size_t size) {
  if (!real_write) real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
  if (size > 0 && targets(&write_fault, fd)) {
    size_t ok = allowed(&write_fault, lseek(fd, 0, SEEK_CUR), size);
    if (ok == 0) return deliver(&write_fault);
    if (ok < size) size = ok;
  }
  return real_write(fd, buf, size);
}
