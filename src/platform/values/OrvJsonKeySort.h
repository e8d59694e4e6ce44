// The key sort of a parsed JSON object (see EntrySorter): entries in key order, the
// last of equal keys kept, its scratch counted against the text's budget. Internal to
// the parser (OrvJson.cpp); one sorter per parse, nothing shared between threads.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "platform/values/OrvJsonBudget.h"

namespace orv_json {

// Sorts an object's entries, built in the order written, by key; of equal keys the last
// one written wins. Sorts 16-byte keys (eight bytes of the key as one big-endian number,
// and the entry's position) rather than the entries, by a radix sort through a buffer as
// large: one pass per byte that differs among them, each a stream of independent
// stores. Then each entry moves once: into a vector of its own in order, or, for a few
// entries and past kMoveUpTo entries, along the cycles of the permutation in place
// (slower per entry, but without a second vector as large as the object's).
class EntrySorter {
 public:
  // False past the budget (the scratch is counted against it).
  bool sort(OrvValue::Dictionary& entries, ParseBudget& budget) {
    const std::size_t n = entries.size();
    const std::size_t before = keys_.capacity();
    keys_.resize(2 * n);
    if (!budget.spendScratch((keys_.capacity() - before) * sizeof(Key))) return false;
    for (std::size_t i = 0; i < n; ++i)
      keys_[i] = Key{chunkOf(entries[i].first, 0), static_cast<std::uint32_t>(i)};
    Sort sort(entries);
    sort.buffered(keys_.data(), keys_.data() + n, n, 0);
    if (n > kPermuteUpTo && n <= kMoveUpTo) {
      // Moved to a vector of their own in order: independent reads, sequential writes.
      if (!budget.spendScratch(heapBlockBytes(n * sizeof(OrvValue::Entry)))) return false;
      OrvValue::Dictionary sorted;
      sorted.reserve(n);
      for (std::size_t i = 0; i < n; ++i) sorted.push_back(std::move(entries[keys_[i].index]));
      entries.swap(sorted);
      budget.giveBackScratch(heapBlockBytes(n * sizeof(OrvValue::Entry)));
    } else {
      permute(entries);
    }
    // Equal keys are sorted by position: the last one written is kept.
    if (sort.mayRepeat) OrvValue::Builder::dropRepeatedKeys(entries);
    // A large object's scratch is given back rather than kept for smaller ones.
    if (keys_.capacity() > kKeepScratch) {
      budget.giveBackScratch(keys_.capacity() * sizeof(Key));
      keys_ = std::vector<Key>();
    }
    return true;
  }

 private:
  static constexpr std::size_t kMoveUpTo = 65536;
  static constexpr std::size_t kPermuteUpTo = 32;  // a few entries: no vector for them
  static constexpr std::size_t kKeepScratch = 8192;
  struct Key {
    std::uint64_t chunk;  // the key's eight bytes from the sort's current offset
    std::uint32_t index;  // into the entries, as written
  };

  // Bytes [offset, offset + 8) of `key`, zeros past its end, as one big-endian number:
  // numbers compare as the bytes do.
  static std::uint64_t chunkOf(const std::string& key, std::size_t offset) noexcept {
    std::uint64_t chunk = 0;
    if (key.size() >= offset + 8) {
      std::memcpy(&chunk, key.data() + offset, 8);
      if constexpr (std::endian::native == std::endian::little) chunk = __builtin_bswap64(chunk);
      return chunk;
    }
    for (std::size_t i = offset; i < key.size(); ++i)
      chunk |= std::uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * (i - offset));
    return chunk;
  }

  // Puts entries[keys_[k].index] at k for every k: each cycle of the permutation moves
  // its entries once, and a key's index is pointed at itself once its entry is in place.
  void permute(OrvValue::Dictionary& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (keys_[i].index == i) continue;
      OrvValue::Entry held = std::move(entries[i]);
      std::size_t at = i;
      for (;;) {
        const std::size_t from = keys_[at].index;
        keys_[at].index = static_cast<std::uint32_t>(at);
        if (from == i) {
          entries[at] = std::move(held);
          break;
        }
        entries[at] = std::move(entries[from]);
        at = from;
      }
    }
  }

  struct Sort {
    static constexpr int kParts = 4;

    explicit Sort(OrvValue::Dictionary& sorted) : entries(sorted) {}

    OrvValue::Dictionary& entries;
    bool mayRepeat = false;  // some keys were found equal over all their bytes
    // A pass's counts for each part and byte: a run is sorted after its range's passes
    // are done, so one set serves every range.
    std::uint32_t count_[kParts][256];

    bool less(const Key& a, const Key& b) noexcept {
      if (a.chunk != b.chunk) return a.chunk < b.chunk;
      if (const int c = entries[a.index].first.compare(entries[b.index].first)) return c < 0;
      mayRepeat = true;
      return a.index < b.index;
    }

    // Few keys: a comparison sort of the whole keys (insertion for the fewest), cheaper
    // than a radix pass's counts.
    bool small(Key* first, Key* last) {
      if (last - first > 256) return false;
      if (last - first > 32) {
        std::sort(first, last, [this](const Key& a, const Key& b) { return less(a, b); });
        return true;
      }
      for (Key* k = first + 1; k < last; ++k) {
        const Key key = *k;
        Key* to = k;
        for (; to > first && less(key, to[-1]); --to) *to = to[-1];
        *to = key;
      }
      return true;
    }

    // Keys sharing their current eight bytes: on to the next eight, or, when a key ends
    // there (equal keys, or a key that others extend with NULs), a comparison sort of
    // the whole keys. False when sorted.
    bool advance(Key* first, Key* last, std::size_t& offset) {
      offset += 8;
      for (Key* k = first; k < last; ++k) {
        if (entries[k->index].first.size() <= offset) {
          mayRepeat = true;
          std::sort(first, last, [this](const Key& a, const Key& b) { return less(a, b); });
          return false;
        }
      }
      for (Key* k = first; k < last; ++k) k->chunk = chunkOf(entries[k->index].first, offset);
      return true;
    }

    // Least significant byte first over the bytes that differ, stable, through `buffer`
    // (as many keys); then each run of equal chunks is sorted on its next bytes. Runs
    // other than the largest (each at most half the range) are sorted by a call of their
    // own and the largest by the loop, so the calls nest at most log2(n) deep whatever
    // the keys.
    void buffered(Key* keys, Key* buffer, std::size_t n, std::size_t offset) {
      for (;;) {
        if (small(keys, keys + n)) return;
        std::uint64_t differs = 0;
        for (std::size_t i = 1; i < n; ++i) differs |= keys[i].chunk ^ keys[0].chunk;
        if (differs == 0) {
          if (!advance(keys, keys + n, offset)) return;
          continue;
        }
        int shifts[8];
        int passes = 0;
        for (int shift = 0; shift < 64; shift += 8) {
          if ((differs >> shift) & 0xFF) shifts[passes++] = shift;
        }
        // Each pass takes the keys as kParts parts side by side, each part with counts of
        // its own: a bucket's count is then no chain of increments through memory.
        // Within a bucket the parts keep their order, so each pass stays stable.
        const std::size_t part = n / kParts;
        Key* from = keys;
        Key* to = buffer;
        for (int p = 0; p < passes; ++p) {
          const int shift = shifts[p];
          std::memset(count_, 0, sizeof count_);
          for (std::size_t i = 0; i < part; ++i) {
            for (int k = 0; k < kParts; ++k)
              ++count_[k][(from[k * part + i].chunk >> shift) & 0xFF];
          }
          for (std::size_t i = kParts * part; i < n; ++i)
            ++count_[kParts - 1][(from[i].chunk >> shift) & 0xFF];
          std::uint32_t at = 0;
          for (int d = 0; d < 256; ++d) {
            for (auto& counts : count_) {
              const std::uint32_t here = counts[d];
              counts[d] = at;
              at += here;
            }
          }
          for (std::size_t i = 0; i < part; ++i) {
            for (int k = 0; k < kParts; ++k) {
              const Key& key = from[k * part + i];
              to[count_[k][(key.chunk >> shift) & 0xFF]++] = key;
            }
          }
          for (std::size_t i = kParts * part; i < n; ++i)
            to[count_[kParts - 1][(from[i].chunk >> shift) & 0xFF]++] = from[i];
          std::swap(from, to);
        }
        if (from != keys) std::copy(from, from + n, keys);
        std::size_t largest = 0, largestSize = 1;
        for (std::size_t i = 0; i < n;) {
          std::size_t j = i + 1;
          while (j < n && keys[j].chunk == keys[i].chunk) ++j;
          if (j - i > largestSize) {
            if (largestSize > 1) buffered(keys + largest, buffer + largest, largestSize, offset);
            largest = i;
            largestSize = j - i;
          } else if (j - i > 1) {
            buffered(keys + i, buffer + i, j - i, offset);
          }
          i = j;
        }
        if (largestSize == 1) return;
        keys += largest;
        buffer += largest;
        n = largestSize;
      }
    }
  };

  std::vector<Key> keys_;
};

}  // namespace orv_json
