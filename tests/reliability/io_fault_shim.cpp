// Test-only file failures for the real tool, loaded with LD_PRELOAD and never linked into it.
// It wraps pread, pwrite and lseek (the size query) and makes the n-th call of one of them on
// one file fail, or makes that write short. Environment:
//   TOLVAR_FAULT_PATH   the file, as /proc/self/fd shows its descriptors
//   TOLVAR_FAULT_CALL   pread, pwrite or lseek
//   TOLVAR_FAULT_NTH    which call of that kind on the file fails, from 1
//   TOLVAR_FAULT_ERRNO  the errno it fails with; 0 makes a pwrite short: a third of the bytes,
//                       made odd (the in-process tests use the same rule)
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind { kPread, kPwrite, kLseek, kKinds };

struct Plan {
  bool loaded = false;
  const char* path = nullptr;
  int kind = -1;
  long nth = 0;
  int error = 0;
  long seen[kKinds] = {};
};

Plan g_plan;

void Load() {
  if (g_plan.loaded) return;
  g_plan.loaded = true;
  g_plan.path = std::getenv("TOLVAR_FAULT_PATH");
  const char* call = std::getenv("TOLVAR_FAULT_CALL");
  const char* nth = std::getenv("TOLVAR_FAULT_NTH");
  const char* error = std::getenv("TOLVAR_FAULT_ERRNO");
  if (call != nullptr) {
    if (std::strcmp(call, "pread") == 0) g_plan.kind = kPread;
    if (std::strcmp(call, "pwrite") == 0) g_plan.kind = kPwrite;
    if (std::strcmp(call, "lseek") == 0) g_plan.kind = kLseek;
  }
  g_plan.nth = nth != nullptr ? std::atol(nth) : 0;
  g_plan.error = error != nullptr ? std::atoi(error) : 0;
}

bool IsWatched(int fd) {
  if (g_plan.path == nullptr) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return false;
  target[n] = '\0';
  return std::strcmp(target, g_plan.path) == 0;
}

/// Counts a call on the watched file; true when it is the one to fail.
bool Strikes(int kind, int fd) {
  Load();
  if (!IsWatched(fd)) return false;
  return ++g_plan.seen[kind] == g_plan.nth && g_plan.kind == kind;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  static const auto real = Next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  if (Strikes(kPread, fd)) {
    errno = g_plan.error != 0 ? g_plan.error : EIO;
    return -1;
  }
  return real(fd, buf, count, offset);
}

ssize_t pread64(int fd, void* buf, size_t count, off_t offset) { return pread(fd, buf, count, offset); }

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  static const auto real = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (Strikes(kPwrite, fd)) {
    if (g_plan.error == 0) return real(fd, buf, count < 2 ? 0 : (count / 3) | 1, offset);
    errno = g_plan.error;
    return -1;
  }
  return real(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  return pwrite(fd, buf, count, offset);
}

off_t lseek(int fd, off_t offset, int whence) {
  static const auto real = Next<off_t (*)(int, off_t, int)>("lseek");
  if (Strikes(kLseek, fd)) {
    errno = g_plan.error != 0 ? g_plan.error : EIO;
    return -1;
  }
  return real(fd, offset, whence);
}

off_t lseek64(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }

}  // extern "C"
