#include "platform/values/OrvJsonBudget.h"

#include <cstring>
#include <vector>

namespace orv_json {

Census takeCensus(std::string_view text) {
  Census c;
  // The open containers down to simdjson's own limit (deeper text is refused by it):
  // whether each is an object, and its keys so far.
  struct Open {
    bool object;
    std::size_t keys;
  };
  std::vector<Open> open;
  open.reserve(64);
  std::size_t depth = 0;  // may pass what `open` holds
  constexpr std::size_t kDeepest = simdjson::DEFAULT_MAX_DEPTH;
  const char* p = text.data();
  const char* const end = p + text.size();
  bool inAtom = false;  // within a number or literal
  while (p < end) {
    const char ch = *p;
    if (ch == '"') {
      // The closing quote is the first one not escaped: preceded by an even run of
      // backslashes. Short strings are scanned here, longer ones by memchr.
      const char* const start = p + 1;
      const char* q = start;
      for (const char* stop = std::min(end, start + 16); q < stop && *q != '"';) ++q;
      for (;;) {
        if (q == end || *q != '"')
          q = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(end - q)));
        if (q == nullptr) {
          q = end;
          break;
        }
        const char* b = q;
        while (b > start && b[-1] == '\\') --b;
        if ((q - b) % 2 == 0) break;
        ++q;
      }
      ++c.strings;
      ++c.tokens;
      ++c.tapeWords;
      c.stringBytes += static_cast<std::size_t>(q - start) + 5;
      inAtom = false;
      p = q + 1;
      continue;
    }
    switch (ch) {
      case '{':
      case '[':
        ++c.containers;
        c.tapeWords += 2;
        ++c.tokens;
        inAtom = false;
        if (ch == '{' && !open.empty() && !open.back().object) ++c.records;
        if (depth++ < kDeepest) open.push_back(Open{ch == '{', 0});
        break;
      case '}':
      case ']':
        ++c.tokens;
        inAtom = false;
        if (depth > 0 && depth-- <= kDeepest) {
          if (open.back().object && depth <= 1) c.features = std::max(c.features, open.back().keys);
          open.pop_back();
        }
        break;
      case ',':
        ++c.tokens;
        inAtom = false;
        break;
      case ':':
        ++c.tokens;
        ++c.keys;
        inAtom = false;
        if (!open.empty() && depth <= kDeepest) ++open.back().keys;
        break;
      case ' ':
      case '\t':
      case '\n':
      case '\r':
        inAtom = false;
        break;
      default:
        if (!inAtom) {
          inAtom = true;
          ++c.tokens;
          ++c.scalars;
          c.tapeWords += ch == 't' || ch == 'f' || ch == 'n' ? 1 : 2;
        }
    }
    ++p;
  }
  return c;
}

}  // namespace orv_json
