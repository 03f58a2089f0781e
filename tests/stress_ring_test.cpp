// The stream ring under load: a producer and a consumer thread move 10^8
// bytes through small rings whose counters start just below 2^32, with
// random put and get sizes. Every byte carries a value that depends on its
// stream position, so a byte lost, repeated, reordered or torn shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "acquisition/stream_fifo.h"

namespace kr2270 {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderTsan = true;
#else
constexpr bool kUnderTsan = false;
#endif
#else
constexpr bool kUnderTsan = false;
#endif

// TSan checks every access; the same interleavings show at a tenth of the
// volume. KR2270_STRESS_LIGHT=1 asks for that anywhere.
bool Light() {
  const char* light = std::getenv("KR2270_STRESS_LIGHT");
  return kUnderTsan || (light != nullptr && light[0] == '1');
}

// A position-dependent byte with no short period: a shift of the stream by
// any amount changes most bytes.
std::uint8_t ByteAt(std::uint64_t position) {
  std::uint64_t x = position * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  return static_cast<std::uint8_t>(x >> 40);
}

struct Rng {  // xorshift64*: fast, deterministic, independent per thread
  std::uint64_t state;
  std::uint32_t Below(std::uint32_t bound) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<std::uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 33) % bound;
  }
};

struct Case {
  std::uint32_t capacity;
  std::uint32_t start;      // initial value of both counters: every case wraps
  std::uint64_t bytes;      // volume in the normal build
  bool consumer_peeks;      // take with FifoPeek + FifoGet(nullptr), as a parser does
};

struct Outcome {
  std::uint64_t mismatches = 0;
  std::uint64_t first_bad = 0;
  std::uint64_t overfull = 0;  // a filled count above the capacity
  std::uint64_t taken = 0;
};

Outcome MoveThroughRing(const Case& c, std::uint64_t total) {
  std::vector<std::uint8_t> storage(c.capacity);
  StreamFifo fifo;
  fifo.buffer = storage.data();
  fifo.size = c.capacity;
  fifo.in.store(c.start);
  fifo.out.store(c.start);

  std::thread producer([&] {
    Rng rng{0x1234567ull + c.capacity};
    std::vector<std::uint8_t> chunk(2 * c.capacity + 1);
    std::uint64_t put = 0;
    while (put < total) {
      const auto want = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(1 + rng.Below(2 * c.capacity), total - put));
      for (std::uint32_t i = 0; i < want; ++i) chunk[i] = ByteAt(put + i);
      const std::uint32_t stored = FifoPut(fifo, chunk.data(), want);
      put += stored;
      if (stored < want) std::this_thread::yield();  // full: let the consumer run
    }
  });

  Outcome outcome;
  Rng rng{0x7654321ull + c.capacity};
  std::vector<std::uint8_t> got(2 * c.capacity + 1);
  auto check = [&](const std::uint8_t* bytes, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
      if (bytes[i] != ByteAt(outcome.taken + i) && outcome.mismatches++ == 0) {
        outcome.first_bad = outcome.taken + i;
      }
    }
    outcome.taken += n;
  };
  while (outcome.taken < total) {
    if (FifoFilled(fifo) > c.capacity) ++outcome.overfull;
    const std::uint32_t want = 1 + rng.Below(2 * c.capacity);
    std::uint32_t n = 0;
    if (c.consumer_peeks) {
      const FifoPieces pieces = FifoPeek(fifo, want);
      const std::uint64_t before = outcome.taken;
      check(pieces.first, pieces.first_length);
      check(pieces.second, pieces.second_length);
      n = pieces.first_length + pieces.second_length;
      EXPECT_EQ(FifoGet(fifo, nullptr, n), n);
      if (outcome.taken != before + n) break;
    } else {
      n = FifoGet(fifo, got.data(), want);
      check(got.data(), n);
    }
    if (n == 0) std::this_thread::yield();  // empty: let the producer run
  }
  producer.join();
  return outcome;
}

constexpr Case kCases[] = {
    {16, 0xFFFFFFFFu - 100, 5'000'000, false},
    {64, 0xFFFFFFF0u, 10'000'000, true},
    {1024, 0xFFFFF000u + 7, 25'000'000, false},
    {4096, 0xFFFF0000u + 3, 60'000'000, true},
};
constexpr std::uint64_t Volume() {
  std::uint64_t sum = 0;
  for (const Case& c : kCases) sum += c.bytes;
  return sum;
}
static_assert(Volume() >= 100'000'000u);

TEST(StressRing, HundredMillionBytesAcrossTheCounterWrap) {
  for (const Case& c : kCases) {
    const std::uint64_t total = Light() ? c.bytes / 10 : c.bytes;
    SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << " start " << c.start);
    const Outcome outcome = MoveThroughRing(c, total);
    EXPECT_EQ(outcome.taken, total);
    EXPECT_EQ(outcome.mismatches, 0u) << "first bad byte at stream position " << outcome.first_bad;
    EXPECT_EQ(outcome.overfull, 0u);
  }
}

}  // namespace
}  // namespace kr2270
