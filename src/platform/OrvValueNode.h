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
      ::operator delete (static_cast<void*>(chunk.items), std::align_val_t{alignof(T)});
    }
  }

  T* make() {
    if (chunks_.empty() || chunks_.back().used == chunks_.back().capacity) grow();
    Chunk& chunk = chunks_.back();
    T* item = new (chunk.items + chunk.used) T();
    ++chunk.used;
    return item;
  }

 private:
  struct Chunk {
    T* items;
    std::size_t used;
    std::size_t capacity;
  };
  void grow() {
    // Doubling keeps the chunk count logarithmic; the cap keeps the slack of the last
    // chunk small for large documents.
    const std::size_t capacity =
        chunks_.empty() ? 8 : std::min<std::size_t>(chunks_.back().capacity * 2, 8192);
    chunks_.reserve(chunks_.size() + 1);
    void* raw = ::operator new (capacity * sizeof(T), std::align_val_t{alignof(T)});
    chunks_.push_back(Chunk{static_cast<T*>(raw), 0, capacity});
  }

  std::vector<Chunk> chunks_;
};

// All the nodes of one parsed JSON text.
struct OrvDocument : OrvValue::Block {
  OrvArena<OrvStringNode> strings;
  OrvArena<OrvArrayNode> arrays;
  OrvArena<OrvDictionaryNode> dictionaries;
};

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
};
