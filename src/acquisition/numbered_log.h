// A bounded log of numbered entries: the first kFirst are kept for good, and
// of the rest the newest kLatest, so that a stream that runs for days keeps a
// fixed amount of memory while a reader that comes back often enough reads
// every entry, in order, by number.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kr2270 {

// Entry has a uint64_t `number`; Append sets it.
template <typename Entry, std::size_t kFirst, std::size_t kLatest>
struct NumberedLog {
  std::vector<Entry> first;   // numbers 0 .. kFirst - 1
  std::vector<Entry> latest;  // a ring of the newest after those
  std::size_t latest_next = 0;
  std::uint64_t total = 0;

  void Clear() {
    first.clear();
    latest.clear();
    latest_next = 0;
    total = 0;
  }

  Entry* Newest() {
    if (total == 0) return nullptr;
    if (latest.empty()) return &first.back();
    return &latest[(latest_next + latest.size() - 1) % latest.size()];
  }

  void Append(Entry entry) {
    entry.number = total++;
    if (first.size() < kFirst) {
      first.push_back(entry);
    } else if (latest.size() < kLatest) {
      latest.push_back(entry);
    } else {
      latest[latest_next] = entry;
      latest_next = (latest_next + 1) % kLatest;
    }
  }

  // The kept entries after the first ones, oldest first.
  const Entry& Latest(std::size_t i) const {
    return latest[(latest_next + i) % latest.size()];
  }

  // Copies the kept entries numbered `from` and later, oldest first, at most
  // max of them; returns how many.
  std::size_t CopySince(std::uint64_t from, Entry* out, std::size_t max) const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < first.size() && n < max; ++i) {
      if (first[i].number >= from) out[n++] = first[i];
    }
    if (latest.empty() || n == max) return n;
    const std::uint64_t oldest = Latest(0).number;
    const std::size_t skip =
        from > oldest ? static_cast<std::size_t>(std::min<std::uint64_t>(from - oldest, latest.size()))
                      : 0;
    for (std::size_t i = skip; i < latest.size() && n < max; ++i) out[n++] = Latest(i);
    return n;
  }
};

}  // namespace kr2270
