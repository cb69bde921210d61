// The entries a full scan met, by file reference number: kept in the order
// they were first met (the walk's order, parents before children), with
// an open-addressing index from reference to position. The build then
// reads them front to back, and a lookup touches one slot of the index
// rather than a chain of separately allocated nodes.
//
// Nodes stay where they are as others are added. Owned by one thread (the volume's monitor).
#ifndef DIRSYNC_TRACKING_SCAN_NODES_H_
#define DIRSYNC_TRACKING_SCAN_NODES_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace dirsync {

template <class Node>
class ScanNodes {
 public:
  using Item = std::pair<uint64_t, Node>;

  // The node of ref and whether it was made now (a new, default node at
  // the end of the order).
  std::pair<Node*, bool> try_emplace(uint64_t ref) {
    if (2 * (items_.size() + 1) > slots_.size()) Grow();
    size_t at = SlotOf(ref);
    if (slots_[at].position != 0) return {&items_[slots_[at].position - 1].second, false};
    items_.emplace_back(ref, Node());
    slots_[at] = {ref, static_cast<uint32_t>(items_.size())};
    return {&items_.back().second, true};
  }
  Node& operator[](uint64_t ref) { return *try_emplace(ref).first; }
  // Starts loading the index slot where ref's search begins, so that a
  // lookup of ref a little later does not wait for memory: the index is
  // far larger than the caches and every reference lands somewhere else.
  void Prefetch(uint64_t ref) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[Home(ref)]);
  }
  // The node of ref, or nullptr.
  Node* find(uint64_t ref) {
    if (slots_.empty()) return nullptr;
    size_t at = SlotOf(ref);
    return slots_[at].position == 0 ? nullptr : &items_[slots_[at].position - 1].second;
  }

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  // (reference, node) pairs in the order they were first met.
  typename std::deque<Item>::iterator begin() { return items_.begin(); }
  typename std::deque<Item>::iterator end() { return items_.end(); }

 private:
  struct Slot {
    uint64_t ref = 0;
    uint32_t position = 0;  // 1 + index in items_; 0 for a free slot
  };

  // The slot where the search for ref begins.
  size_t Home(uint64_t ref) const {
    return static_cast<size_t>((ref * 0x9E3779B97F4A7C15ULL) >> 29) &
           (slots_.size() - 1);
  }
  // The slot that holds ref, or the free slot where it belongs.
  size_t SlotOf(uint64_t ref) const {
    const size_t mask = slots_.size() - 1;
    size_t at = Home(ref);
    while (slots_[at].position != 0 && slots_[at].ref != ref) at = (at + 1) & mask;
    return at;
  }
  // Doubles the index (at most half of it is used) and places every
  // reference again.
  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 1024 : 2 * old.size(), Slot());
    for (const Slot& s : old) {
      if (s.position != 0) slots_[SlotOf(s.ref)] = s;
    }
  }

  std::deque<Item> items_;  // grows without moving what it holds
  std::vector<Slot> slots_;  // a power of two in size
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_SCAN_NODES_H_
