// A small deterministic generator (SplitMix64). The same seed gives the same numbers on every
// platform, which the fault plans and the random-walk gates rely on.
#pragma once

#include <cstdint>
#include <string_view>

namespace prv2sim {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Uniform in [0, n); n must be above 0.
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  std::uint64_t state() const { return state_; }

 private:
  std::uint64_t state_;
};

// Mixes values into one seed (order matters).
inline std::uint64_t mix_seed(std::uint64_t a, std::uint64_t b) {
  Rng r(a ^ (b * 0xD6E8FEB86659FD93ULL));
  return r.next();
}

// FNV-1a of a text, for seeding from names.
inline std::uint64_t hash_text(std::string_view text) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001B3ULL;
  }
  return h;
}

}  // namespace prv2sim
