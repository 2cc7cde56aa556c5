// The controller's badge cache: path -> badge type, held compactly. A sync client badges every
// file it knows, so the cache of a large sync folder has a hundred thousand entries or more and
// lives in the client's process for as long as it runs. As a dictionary of Objects each entry
// cost about 190 bytes beyond its path's own text (tree node, key string, boxed number, and a
// second heap block for the path); here an entry is its path's bytes past a shared prefix, one
// small record and a slot of an index, and nothing is boxed until someone asks for the whole
// cache.
//
// Contract:
// - setValue adds the path or replaces its type; valueForPath finds it. Paths are compared as
//   bytes (any bytes, NUL included).
// - clear empties the table, gives back its memory and takes the prefix that the paths to come
//   are expected to share (the root folder); a path without that prefix is kept as well, only
//   less compactly. The prefix changes nothing a caller sees.
// - dictionary() is the table as the dictionary the controller used to keep: each path with an
//   NSNumber made by numberWithInteger: (Int64), whatever order the paths were set in.
// - One thread at a time (the controller's state lock guards it). Nothing throws except
//   std::bad_alloc; the table holds at most 2^31 - 1 paths of at most 2 GiB each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk {

class VRKBadgeTable {
 public:
  VRKBadgeTable() = default;
  VRKBadgeTable(const VRKBadgeTable&) = delete;
  VRKBadgeTable& operator=(const VRKBadgeTable&) = delete;

  void setValue(std::int64_t type, std::string_view path);
  std::optional<std::int64_t> valueForPath(std::string_view path) const;
  void clear(std::string_view commonPrefix = {});

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  ObjectDictionary dictionary() const;

 private:
  // One path: its stored text (without the prefix when `prefixed`) and its type.
  struct Entry {
    const char* text;
    std::uint32_t length;
    bool prefixed;
    std::int64_t type;
  };
  // What a path is stored as: the text past the prefix when it has the prefix, else all of it.
  struct Key {
    std::string_view text;
    bool prefixed;
  };
  Key keyFor(std::string_view path) const;
  static std::size_t hashOf(Key key);
  // The index slot that holds `key`, or the empty slot where it would go.
  std::size_t slotFor(Key key, std::size_t hash) const;
  const char* store(std::string_view text);
  void growIndex();

  std::string prefix_;
  std::vector<Entry> entries_;
  // Open addressing, linear probing: 0 is an empty slot, i + 1 stands for entries_[i]. Its size
  // is a power of two, kept at least a third larger than the number of entries.
  std::vector<std::uint32_t> index_;
  // The paths' text, in blocks that never move (an entry points into them), so that growing
  // the table never copies the text nor holds two copies of it at once.
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t blockUsed_ = 0, blockSize_ = 0;
};

}  // namespace vrk
