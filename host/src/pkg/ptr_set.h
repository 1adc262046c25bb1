// A set of addresses for telling live packages and buffers from anything else
// a caller hands in. Every data object holds packages, so an entry costs one
// word of an open-addressing table instead of a heap node. Not locked: the
// owner guards it.
#ifndef TVH_PKG_PTR_SET_H
#define TVH_PKG_PTR_SET_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tvh {
namespace pkg {

class PtrSet {
  public:
    // May throw std::bad_alloc when the table grows; then nothing changed.
    void insert(const void *p) {
        // Up to 7/8 full: a probe compares one word, no entry is followed.
        if ((size_ + 1) * 8 > (mask_ + 1) * 7) grow();
        uintptr_t v = reinterpret_cast<uintptr_t>(p);
        size_t i = slotOf(v);
        for (; slots_[i] != 0; i = (i + 1) & mask_)
            if (slots_[i] == v) return;
        slots_[i] = v;
        ++size_;
    }
    bool contains(const void *p) const {
        if (size_ == 0 || p == nullptr) return false;
        uintptr_t v = reinterpret_cast<uintptr_t>(p);
        for (size_t i = slotOf(v); slots_[i] != 0; i = (i + 1) & mask_)
            if (slots_[i] == v) return true;
        return false;
    }
    void erase(const void *p) {
        if (size_ == 0 || p == nullptr) return;
        uintptr_t v = reinterpret_cast<uintptr_t>(p);
        size_t i = slotOf(v);
        for (;; i = (i + 1) & mask_) {
            if (slots_[i] == 0) return;
            if (slots_[i] == v) break;
        }
        // Backward-shift deletion: entries after the hole that would no
        // longer be reached from their home slot move into it.
        for (size_t j = (i + 1) & mask_; slots_[j] != 0; j = (j + 1) & mask_) {
            size_t home = slotOf(slots_[j]);
            if (((j - home) & mask_) >= ((j - i) & mask_)) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = 0;
        --size_;
    }

  private:
    size_t slotOf(uintptr_t v) const {
        uint64_t h = (uint64_t(v) >> 4) * 0x9E3779B97F4A7C15ull; // heap blocks are 16-byte aligned
        return size_t(h ^ (h >> 32)) & mask_;
    }
    void grow() {
        size_t oldCap = slots_ ? mask_ + 1 : 0;
        size_t cap = oldCap ? oldCap * 2 : 64;
        std::unique_ptr<uintptr_t[]> next(new uintptr_t[cap]());
        std::unique_ptr<uintptr_t[]> old(std::move(slots_));
        slots_ = std::move(next);
        mask_ = cap - 1;
        for (size_t n = 0; n < oldCap; ++n) {
            uintptr_t v = old[n];
            if (v == 0) continue;
            size_t i = slotOf(v);
            while (slots_[i] != 0) i = (i + 1) & mask_;
            slots_[i] = v;
        }
    }

    std::unique_ptr<uintptr_t[]> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

} // namespace pkg
} // namespace tvh

#endif
