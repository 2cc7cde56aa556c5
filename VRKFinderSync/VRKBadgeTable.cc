#include "VRKFinderSync/VRKBadgeTable.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

namespace vrk {

namespace {

// Large enough that the blocks' own bookkeeping is negligible, small enough that the last,
// partly used block is too.
constexpr std::size_t kBlockBytes = 64 * 1024;
constexpr std::size_t kMaxEntries = 0x7fffffff;

}  // namespace

VRKBadgeTable::Key VRKBadgeTable::keyFor(std::string_view path) const {
  if (!prefix_.empty() && path.substr(0, prefix_.size()) == prefix_) {
    return {path.substr(prefix_.size()), true};
  }
  return {path, false};
}

std::size_t VRKBadgeTable::hashOf(Key key) {
  return std::hash<std::string_view>{}(key.text) ^ (key.prefixed ? 0x9e3779b97f4a7c15u : 0);
}

std::size_t VRKBadgeTable::slotFor(Key key, std::size_t hash) const {
  const std::size_t mask = index_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t held = index_[slot];
    if (held == 0) return slot;
    const Entry& entry = entries_[held - 1];
    if (entry.prefixed == key.prefixed && entry.length == key.text.size() &&
        std::memcmp(entry.text, key.text.data(), entry.length) == 0) {
      return slot;
    }
  }
}

const char* VRKBadgeTable::store(std::string_view text) {
  if (text.empty()) return "";
  if (blockSize_ - blockUsed_ < text.size()) {
    // A path longer than a block gets a block of its own.
    blockSize_ = std::max(kBlockBytes, text.size());
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(blockSize_));
    blockUsed_ = 0;
  }
  char* at = blocks_.back().get() + blockUsed_;
  std::memcpy(at, text.data(), text.size());
  blockUsed_ += text.size();
  return at;
}

void VRKBadgeTable::growIndex() {
  // Built aside and swapped in, so that a failed allocation leaves the table as it was.
  std::vector<std::uint32_t> grown(index_.empty() ? 16 : index_.size() * 2, 0);
  const std::size_t mask = grown.size() - 1;
  for (std::uint32_t held : index_) {
    if (held == 0) continue;
    const Entry& entry = entries_[held - 1];
    std::size_t slot = hashOf({{entry.text, entry.length}, entry.prefixed}) & mask;
    while (grown[slot] != 0) slot = (slot + 1) & mask;
    grown[slot] = held;
  }
  index_.swap(grown);
}

void VRKBadgeTable::setValue(std::int64_t type, std::string_view path) {
  const Key key = keyFor(path);
  const std::size_t hash = hashOf(key);
  if (!index_.empty()) {
    const std::size_t slot = slotFor(key, hash);
    if (index_[slot] != 0) {
      entries_[index_[slot] - 1].type = type;
      return;
    }
  }
  if (entries_.size() >= kMaxEntries || key.text.size() > kMaxEntries) throw std::bad_alloc();
  // At most three quarters full, so that a probe ends soon.
  if ((entries_.size() + 1) * 4 > index_.size() * 3) growIndex();
  const std::size_t slot = slotFor(key, hash);
  entries_.push_back(
      {store(key.text), static_cast<std::uint32_t>(key.text.size()), key.prefixed, type});
  index_[slot] = static_cast<std::uint32_t>(entries_.size());
}

std::optional<std::int64_t> VRKBadgeTable::valueForPath(std::string_view path) const {
  if (index_.empty()) return std::nullopt;
  const Key key = keyFor(path);
  const std::uint32_t held = index_[slotFor(key, hashOf(key))];
  if (held == 0) return std::nullopt;
  return entries_[held - 1].type;
}

void VRKBadgeTable::clear(std::string_view commonPrefix) {
  // Swapped with empty ones, so that the memory is given back and not only emptied.
  std::vector<Entry>().swap(entries_);
  std::vector<std::uint32_t>().swap(index_);
  std::vector<std::unique_ptr<char[]>>().swap(blocks_);
  blockUsed_ = blockSize_ = 0;
  prefix_.assign(commonPrefix);
}

ObjectDictionary VRKBadgeTable::dictionary() const {
  ObjectDictionary out;
  std::string path;
  for (const Entry& entry : entries_) {
    path.clear();
    if (entry.prefixed) path = prefix_;
    path.append(entry.text, entry.length);
    out.emplace(path, Object::numberWithInteger(entry.type));
  }
  return out;
}

}  // namespace vrk
