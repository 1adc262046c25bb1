// The store of object records. Every record the host hands out lives in a
// host-owned slab, behind a hidden header naming its descriptor, so that
// finding the object of a handle is a read, not a search. A page map of the
// slabs tells a handle the host gave out from anything else (a stack
// address, a pointer into a record, garbage) before any header is read.
//
// Guarded by the host lock like the rest of the object model; the page map
// is read with atomic loads so that a reader without the lock sees either
// state of an entry, never a torn one.
#ifndef TVH_CORE_RECORDS_H
#define TVH_CORE_RECORDS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tvh {
struct HostObject;
namespace records {

// Bytes before each record: its descriptor (NULL while the slot is not a
// live record) and the free-list link of a slot that is not in use.
struct Header {
    HostObject *owner;
    Header *nextFree;
};
constexpr size_t kHeaderSize = sizeof(Header);
static_assert(kHeaderSize == 16, "records stay 16-byte aligned");

// A run of equal slots (header + record), or one large record of its own.
struct Slab {
    uintptr_t first = 0;   // the first slot's record
    uint64_t span = 0;     // records start at first + i * stride for first + i * stride < first + span
    uint32_t stride = 0;   // bytes per slot
    uint32_t recip = 0;    // ceil(2^32 / stride): a slot's number without a division
    char *base = nullptr;  // the slab's memory, kChunk-aligned
    size_t bytes = 0;      // its size
    uint32_t slots = 0;    // slots that fit
    uint32_t used = 0;     // slots handed out at least once (from the start)
    int sizeClass = -1;    // -1: a large record
    size_t pos = 0;        // place in the store's list of slabs
};

constexpr unsigned kChunkBits = 16; // the page map's granule; small slabs are one chunk
constexpr uintptr_t kUserSpace = uintptr_t(1) << 47;

// Page map: chunk number -> its slab, two levels (the upper 15 bits of the
// chunk number, then the lower 16).
constexpr unsigned kLeafBits = 16;
constexpr size_t kRootSize = size_t(1) << (47 - kChunkBits - kLeafBits);
using Leaf = std::atomic<Slab *>;
extern std::atomic<Leaf *> g_pageRoot[kRootSize];

inline Slab *slabAt(uintptr_t a) {
    uintptr_t chunk = a >> kChunkBits;
    Leaf *leaf = g_pageRoot[chunk >> kLeafBits].load(std::memory_order_acquire);
    if (!leaf) return nullptr;
    return leaf[chunk & ((uintptr_t(1) << kLeafBits) - 1)].load(std::memory_order_acquire);
}

// Reads a header: outside the record, so out of AddressSanitizer's view
// (slots not in use are poisoned whole).
#if defined(__SANITIZE_ADDRESS__)
__attribute__((no_sanitize_address))
#endif
inline HostObject *readOwner(const Header *h) {
    return h->owner;
}

// The descriptor of the live record at p; NULL for anything else (NULL,
// freed records, addresses inside a record, memory the host does not own).
inline HostObject *ownerOf(const void *p) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (a & (~(kUserSpace - 1) | 15)) return nullptr; // beyond user space, or not 16-byte aligned
    Slab *s = slabAt(a);
    if (!s) return nullptr;
    // Below the first record the difference wraps past the span. Every slot
    // of a slab has a header from the slab's start (NULL until handed out).
    uint64_t off = a - s->first;
    if (off >= s->span) return nullptr;
    // off < 2^16 and stride < 2^16 (or off 0 for a large record): the
    // reciprocal gives the exact quotient.
    uint64_t i = (off * s->recip) >> 32;
    if (i * s->stride != off) return nullptr;
    return readOwner(reinterpret_cast<const Header *>(a - kHeaderSize));
}

// The live record whose slot holds address a (its header excluded) and
// that record's start; NULL when a lies in no record's slot. The caller
// checks a against the record's own size.
inline HostObject *slotOwnerAt(uintptr_t a, uintptr_t *start) {
    if (a >= kUserSpace) return nullptr;
    Slab *s = slabAt(a);
    if (!s) return nullptr;
    uint64_t off = a - s->first;
    uint64_t i = 0;
    if (s->slots == 1) {
        if (off >= s->bytes - kHeaderSize) return nullptr;
    } else {
        if (off >= s->span) return nullptr;
        i = (off * s->recip) >> 32; // the floor, exact for off < 2^16
    }
    uintptr_t r = s->first + uintptr_t(i) * s->stride;
    *start = r;
    return readOwner(reinterpret_cast<const Header *>(r - kHeaderSize));
}

// A zeroed record of size bytes (16-byte aligned), not yet naming an object;
// NULL when out of memory.
void *allocate(size_t size);
// Files o as the record's object: from now on ownerOf(record) finds it.
void setOwner(void *record, HostObject *o);
// The record's object is gone: it names nothing from now on, and its
// memory is kept out of reuse for the next kQuarantineRecords retirements
// (at most kQuarantineBytes), so that a stale handle names no other object.
void retire(void *record, size_t size);
constexpr size_t kQuarantineRecords = 65536;
constexpr size_t kQuarantineBytes = size_t(64) << 20;
// Gives every slab back (the host stops; no record is in use any more).
void releaseAll();

} // namespace records
} // namespace tvh

#endif
