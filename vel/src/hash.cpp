#include "vel/hash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace vel {

HashKey random_hash_key() {
  HashKey key{};
  auto* bytes = reinterpret_cast<unsigned char*>(&key);
  std::size_t filled = 0;
  while (filled < sizeof key) {
    ssize_t got = getrandom(bytes + filled, sizeof key - filled, GRND_NONBLOCK);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;  // no getrandom, or its pool not yet ready, as early in a boot
    }
  }
  if (filled < sizeof key) {
    // The C++ library's own source of randomness, which reads the system's device.
    std::random_device device;
    key.k0 = (std::uint64_t{device()} << 32) ^ device();
    key.k1 = (std::uint64_t{device()} << 32) ^ device();
  }
  return key;
}

}  // namespace vel
