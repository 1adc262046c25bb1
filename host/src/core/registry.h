// The core's indexes of live objects: by sequence number (which also owns the
// descriptors and keeps creation order) and by ID (a record names its object
// through the record store's header, records.h). Every live object is in
// each of them, so they hold no node per object: a flat array of (sequence
// number, descriptor), and a hash table of one word per slot.
#ifndef TVH_CORE_REGISTRY_H
#define TVH_CORE_REGISTRY_H

#include "host_internal.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace tvh {

// Live descriptors in creation order. Sequence numbers only grow, so
// registering appends and finding is a binary search. A released object
// leaves a hole, squeezed out once holes outnumber live entries, never while
// a walk runs (module code called during a walk may free or make objects).
class SeqIndex {
  public:
    SeqIndex() = default;
    SeqIndex(const SeqIndex &) = delete;
    SeqIndex &operator=(const SeqIndex &) = delete;
    SeqIndex &operator=(SeqIndex &&o) noexcept {
        if (this != &o) {
            clear();
            v_.swap(o.v_);
            live_ = o.live_;
            o.live_ = 0;
        }
        return *this;
    }
    ~SeqIndex() { clear(); }

    // o->seq must be above every sequence number filed so far.
    void append(std::unique_ptr<HostObject> o) {
        maybeSqueeze();
        v_.push_back(Entry{o->seq, o.get()});
        o.release();
        ++live_;
    }
    HostObject *find(uint64_t seq) const {
        auto it = std::lower_bound(v_.begin(), v_.end(), seq, [](const Entry &e, uint64_t s) { return e.seq < s; });
        return (it != v_.end() && it->seq == seq) ? it->obj : nullptr;
    }
    // Hands o's descriptor over to the caller; NULL when o is not filed.
    std::unique_ptr<HostObject> take(HostObject *o) {
        auto it = std::lower_bound(v_.begin(), v_.end(), o->seq,
                                   [](const Entry &e, uint64_t s) { return e.seq < s; });
        if (it == v_.end() || it->obj != o) return nullptr;
        it->obj = nullptr;
        --live_;
        maybeSqueeze();
        return std::unique_ptr<HostObject>(o);
    }
    size_t size() const { return live_; }
    // Deletes every descriptor.
    void clear() {
        for (Entry &e : v_) delete e.obj;
        v_.clear();
        live_ = 0;
    }

    // Oldest first; objects registered during the walk are met too.
    class Walk {
      public:
        class iterator {
          public:
            iterator(const SeqIndex *t, size_t i) : t_(t), i_(i) { skip(); }
            HostObject *operator*() const { return t_->v_[i_].obj; }
            iterator &operator++() {
                ++i_;
                skip();
                return *this;
            }
            bool operator!=(const iterator &) const { return i_ < t_->v_.size(); }

          private:
            void skip() {
                while (i_ < t_->v_.size() && !t_->v_[i_].obj) ++i_;
            }
            const SeqIndex *t_;
            size_t i_;
        };
        explicit Walk(SeqIndex *t) : t_(t) { ++t_->walks_; }
        ~Walk() { --t_->walks_; }
        Walk(const Walk &) = delete;
        Walk &operator=(const Walk &) = delete;
        iterator begin() const { return iterator(t_, 0); }
        iterator end() const { return iterator(t_, t_->v_.size()); }

      private:
        SeqIndex *t_;
    };
    Walk walk() { return Walk(this); }

  private:
    struct Entry {
        uint64_t seq;
        HostObject *obj; // NULL: released
    };
    void maybeSqueeze() {
        size_t holes = v_.size() - live_;
        if (walks_ > 0 || holes <= live_ || holes < 64) return;
        v_.erase(std::remove_if(v_.begin(), v_.end(), [](const Entry &e) { return e.obj == nullptr; }), v_.end());
    }
    std::vector<Entry> v_;
    size_t live_ = 0;
    int walks_ = 0;
};

// Open-addressing hash table of descriptors keyed by one of their own fields
// (Traits::key): a slot is the descriptor's address, on x86-64 with 16 bits
// of the key's hash in the unused top bits, so that probing past other keys
// rarely reads their descriptors. Linear probing, backward-shift deletion:
// no tombstones.
template <class Traits> class ObjectIndex {
  public:
    using Key = typename Traits::Key;

    HostObject *find(const Key &k) const {
        if (size_ == 0) return nullptr;
        uint64_t h = Traits::hash(k);
        uintptr_t tag = tagOf(h);
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            uintptr_t s = slots_[i];
            if (s == 0) return nullptr;
            if ((s & kTagMask) == tag) {
                HostObject *o = objOf(s);
                if (Traits::eq(Traits::key(o), k)) return o;
            }
        }
    }
    // Files o under its key, in place of any other object filed under it.
    void put(HostObject *o) {
        if ((size_ + 1) * 4 > (mask_ + 1) * 3) grow();
        const Key &k = Traits::key(o);
        uint64_t h = Traits::hash(k);
        uintptr_t tag = tagOf(h);
        size_t i = h & mask_;
        for (;; i = (i + 1) & mask_) {
            uintptr_t s = slots_[i];
            if (s == 0) break;
            if ((s & kTagMask) == tag && Traits::eq(Traits::key(objOf(s)), k)) {
                slots_[i] = reinterpret_cast<uintptr_t>(o) | tag;
                return;
            }
        }
        slots_[i] = reinterpret_cast<uintptr_t>(o) | tag;
        ++size_;
    }
    // Removes o when it is the object filed under its key; FALSE otherwise.
    bool erase(HostObject *o) {
        if (size_ == 0) return false;
        uint64_t h = Traits::hash(Traits::key(o));
        uintptr_t want = reinterpret_cast<uintptr_t>(o) | tagOf(h);
        size_t i = h & mask_;
        for (;; i = (i + 1) & mask_) {
            if (slots_[i] == 0) return false;
            if (slots_[i] == want) break;
        }
        // Shift back the entries after the hole that may not stay behind it.
        for (size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
            uintptr_t s = slots_[j];
            if (s == 0) break;
            size_t home = Traits::hash(Traits::key(objOf(s))) & mask_;
            if (((j - home) & mask_) >= ((j - i) & mask_)) {
                slots_[i] = s;
                i = j;
            }
        }
        slots_[i] = 0;
        --size_;
        return true;
    }
    size_t size() const { return size_; }
    void clear() {
        slots_.reset();
        mask_ = 0;
        size_ = 0;
    }

  private:
#if defined(__x86_64__)
    // User-space addresses stay below 2^47.
    static constexpr uintptr_t kTagMask = uintptr_t(0xFFFF) << 48;
#else
    static constexpr uintptr_t kTagMask = 0;
#endif
    static uintptr_t tagOf(uint64_t h) { return uintptr_t(h) & kTagMask; }
    static HostObject *objOf(uintptr_t s) { return reinterpret_cast<HostObject *>(s & ~kTagMask); }

    void grow() {
        size_t cap = mask_ ? (mask_ + 1) * 2 : 64;
        std::unique_ptr<uintptr_t[]> old(std::move(slots_));
        size_t oldCap = mask_ ? mask_ + 1 : 0;
        slots_.reset(new uintptr_t[cap]());
        mask_ = cap - 1;
        for (size_t n = 0; n < oldCap; ++n) {
            uintptr_t s = old[n];
            if (s == 0) continue;
            size_t i = Traits::hash(Traits::key(objOf(s))) & mask_;
            while (slots_[i] != 0) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    std::unique_ptr<uintptr_t[]> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

// Final mix of a 64-bit hash: every output bit depends on every input bit,
// so that both the low bits (the slot) and the top bits (the tag) are spread.
inline uint64_t mix64(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

struct ByIdTraits {
    using Key = VS_UUID;
    static const Key &key(const HostObject *o) { return o->id; }
    static uint64_t hash(const Key &k) { return mix64(UuidHash()(k)); }
    static bool eq(const Key &a, const Key &b) { return UuidEq()(a, b); }
};

} // namespace tvh

#endif
