// The nodes behind OrvValue handles. Internal: only the value type and the JSON reader
// build nodes. A node never changes after construction, which is what makes sharing
// handles across threads safe.
//
// Ownership: every node belongs to a Block, which holds the reference count that all
// handles to its nodes share. A value built in code gets a block of its own; a parsed
// JSON document is one block (OrvDocument) holding all its nodes in a few typed arenas,
// so parsing allocates per arena chunk instead of per value, and freeing a document is
// a linear sweep instead of a recursive walk. Handles stored inside a document are
// borrowed (they hold no count): otherwise a document would own references to itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvValue.h"

struct OrvValue::Block {
  mutable std::atomic<std::size_t> refs{1};
  // Never freed and never counted: set (before the value is shared) on process-wide
  // defaults that every thread copies, so those copies write no shared cache line.
  bool immortal = false;
  virtual ~Block() = default;
};

struct OrvValue::Node {
  const Block* block = nullptr;
};

struct OrvStringNode : OrvValue::Node {
  OrvStringNode() = default;
  OrvStringNode(const OrvValue::Block* owner, std::string_view s) : Node{owner}, text(s) {}
  std::string text;
};

// What arrays and dictionaries add to a node.
struct OrvContainerNode : OrvValue::Node {
  std::uint32_t depth = 0;  // array/dictionary levels (see nestingDepth), saturating
  bool inDocument = false;  // children are borrowed handles owned by the document
};

struct OrvArrayNode : OrvContainerNode {
  OrvValue::Array elements;
  // Destroys a deep value built in code without recursing once per level.
  ~OrvArrayNode();
};

struct OrvDictionaryNode : OrvContainerNode {
  OrvValue::Dictionary entries;
  ~OrvDictionaryNode();
};

// Objects of one type placed in chunks that never move, so addresses stay valid while
// more are added. Not thread-safe: a document is built by one thread, then frozen.
template <class T>
class OrvArena {
 public:
  OrvArena() = default;
  OrvArena(const OrvArena&) = delete;
  OrvArena& operator=(const OrvArena&) = delete;
  ~OrvArena() {
    for (Chunk& chunk : chunks_) {
      for (std::size_t i = 0; i < chunk.used; ++i) chunk.items[i].~T();
      release(chunk.items);
    }
  }

  template <class... Args>
  T* make(Args&&... args) {
    if (chunks_.empty() || chunks_.back().used == chunks_.back().capacity) grow();
    Chunk& chunk = chunks_.back();
    T* item = new (chunk.items + chunk.used) T(std::forward<Args>(args)...);
    ++chunk.used;
    return item;
  }

  // Bytes allocated for items not made yet (the rest of the last chunk).
  std::size_t spareBytes() const noexcept {
    return chunks_.empty() ? 0 : (chunks_.back().capacity - chunks_.back().used) * sizeof(T);
  }

  // The most one chunk holds: what a document's arena can allocate beyond its items.
  static constexpr std::size_t kMaxChunkItems = 1024;

 private:
  struct Chunk {
    T* items;
    std::size_t used;
    std::size_t capacity;
  };
  void grow() {
    // Doubling keeps small documents to a few chunks; the cap keeps what the last chunk
    // has to spare small (a tenth of a 10,000-feature payload's nodes at 8192).
    const std::size_t capacity =
        chunks_.empty() ? 8 : std::min<std::size_t>(chunks_.back().capacity * 2, kMaxChunkItems);
    chunks_.reserve(chunks_.size() + 1);
    void* raw;
    if constexpr (alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
      raw = ::operator new (capacity * sizeof(T), std::align_val_t{alignof(T)});
    } else {
      raw = ::operator new(capacity * sizeof(T));
    }
    chunks_.push_back(Chunk{static_cast<T*>(raw), 0, capacity});
  }
  static void release(T* items) noexcept {
    if constexpr (alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
      ::operator delete (static_cast<void*>(items), std::align_val_t{alignof(T)});
    } else {
      ::operator delete(static_cast<void*>(items));
    }
  }

  std::vector<Chunk> chunks_;
};

// All the nodes of one parsed JSON text.
struct OrvDocument : OrvValue::Block {
  OrvArena<OrvStringNode> strings;
  OrvArena<OrvArrayNode> arrays;
  OrvArena<OrvDictionaryNode> dictionaries;

  std::size_t spareBytes() const noexcept {
    return strings.spareBytes() + arrays.spareBytes() + dictionaries.spareBytes();
  }
};

// What the feature table built from a parsed payload adds to it (OrvFeatureParser, which
// checks these against its types): per feature its record and its share of the index
// (at most three quarters full, a power of two in size), and per experiment entry that
// lists a key its record; such an entry takes at least kExperimentEntryMinBytes of text.
// parseJson() counts them against a text's budget, so that a payload within budget is
// still within it once it is a table.
inline constexpr std::size_t kTableBytesPerFeature = 56;
inline constexpr std::size_t kTableBytesPerExperiment = 128;
inline constexpr std::size_t kExperimentEntryMinBytes = 22;

// Makes handles; the one friend of OrvValue's representation besides its own members.
struct OrvValue::Builder {
  // A handle to `node` that takes a reference (the node's block counts it).
  static OrvValue owning(Kind kind, const Node* node) noexcept {
    OrvValue v;
    v.kind_ = kind;
    v.bits_ = reinterpret_cast<std::uintptr_t>(node);
    return v;
  }
  // A handle to `node` for storing inside the node's own document: holds no reference.
  static OrvValue borrowed(Kind kind, const Node* node) noexcept {
    OrvValue v;
    v.kind_ = kind;
    v.borrowed_ = true;
    v.bits_ = reinterpret_cast<std::uintptr_t>(node);
    return v;
  }
  static const Node* node(const OrvValue& v) noexcept { return v.hasNode() ? v.node() : nullptr; }
  // Makes `v`'s block immortal (see Block) and returns `v`. Only for a value no other
  // thread can see yet.
  static OrvValue immortal(OrvValue v) noexcept {
    if (v.hasNode()) const_cast<Block*>(v.node()->block)->immortal = true;
    return v;
  }
  static Kind kind(const OrvValue& v) noexcept { return v.kind_; }
  // Sorts entries by key, the last of equal keys winning, as dictionary() keeps them.
  static void normaliseEntries(Dictionary& entries);
  // Of each run of equal keys in sorted `entries`, keeps the last one.
  static void dropRepeatedKeys(Dictionary& entries);
};
