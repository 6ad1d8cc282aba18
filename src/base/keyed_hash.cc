#include "base/keyed_hash.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace osmira_base {

bool read_os_random(unsigned char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == size) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  done = 0;
  while (done < size) {
    const ssize_t n = read(fd, out + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return done == size;
}

namespace {

SipKey draw_key() {
  unsigned char bytes[16];
  SipKey key;
  if (read_os_random(bytes, sizeof bytes)) {
    std::memcpy(&key.k0, bytes, 8);
    std::memcpy(&key.k1, bytes + 8, 8);
    return key;
  }
  // No random source at all (a sandbox without /dev and without the system call): the clock,
  // the process and an address, hashed, are still unknown to whoever writes the input ahead
  // of time. Tables keep working either way; only the protection is weaker.
  const uint64_t parts[] = {
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
      static_cast<uint64_t>(getpid()), reinterpret_cast<uintptr_t>(&key)};
  key.k0 = siphash<1, 3>(SipKey{}, parts, sizeof parts);
  key.k1 = siphash<1, 3>(SipKey{key.k0, ~key.k0}, parts, sizeof parts);
  return key;
}

}  // namespace

const SipKey& process_hash_key() {
  static const SipKey key = draw_key();
  return key;
}

}  // namespace osmira_base
