// The record store: slabs of equal slots per size, a free list per size,
// the page map, and the quarantine of retired records.
#include "records.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

// Under AddressSanitizer only the live records are addressable: a module
// reading a retired record, or past the end of its own, gets a report as it
// would with memory of its own allocator.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TVH_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define TVH_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#define TVH_NO_ASAN __attribute__((no_sanitize_address))
#else
#define TVH_POISON(p, n) ((void)(p), (void)(n))
#define TVH_UNPOISON(p, n) ((void)(p), (void)(n))
#define TVH_NO_ASAN
#endif

namespace tvh {
namespace records {

std::atomic<Leaf *> g_pageRoot[kRootSize];

namespace {

constexpr size_t kChunk = size_t(1) << kChunkBits;
constexpr size_t kArenaChunks = 16;     // small slabs are carved from 1 MiB arenas
constexpr size_t kLargeStride = 8192;   // slots above this are records of their own
constexpr int kClasses = 64 + 3 * 8;    // see strideFor

struct SizeClass {
    Header *freeList = nullptr; // retired slots out of quarantine, most recent first
    Slab *current = nullptr;    // the slab whose unused tail is handed out next
};

struct Store {
    std::vector<Slab *> slabs;  // every slab, each at its `pos`
    std::vector<char *> arenas;
    char *arenaNext = nullptr;  // next free chunk of the newest arena
    size_t arenaLeft = 0;       // chunks left in it
    SizeClass classes[kClasses];
    struct Retired {
        char *record;
        size_t size;
    };
    std::deque<Retired> quarantine;
    size_t quarantineBytes = 0;
};

Store &store() {
    // Never destroyed: releaseAll empties it at every stop.
    static Store *s = new Store();
    return *s;
}

// Slot size (header included) for a record of `size` bytes and its size
// class: multiples of 16 up to 1 KiB, then eight steps per doubling up to
// kLargeStride; -1 above (a record of its own).
size_t strideFor(size_t size, int *cls) {
    size_t s = (size + kHeaderSize + 15) & ~size_t(15);
    if (s <= 1024) {
        *cls = int(s / 16) - 1;
        return s;
    }
    if (s > kLargeStride) {
        *cls = -1;
        return s;
    }
    unsigned e = 63u - unsigned(__builtin_clzll(s - 1)); // s in (2^e, 2^(e+1)]
    size_t step = (size_t(1) << e) / 8;
    size_t r = (s + step - 1) / step * step;
    *cls = 64 + int(e - 10) * 8 + int(r / step) - 9;
    return r;
}

Leaf *leafFor(uintptr_t chunk, bool make) {
    std::atomic<Leaf *> &root = g_pageRoot[chunk >> kLeafBits];
    Leaf *leaf = root.load(std::memory_order_acquire);
    if (!leaf && make) {
        size_t n = size_t(1) << kLeafBits;
        leaf = static_cast<Leaf *>(std::calloc(n, sizeof(Leaf))); // zero: no slab
        if (leaf) root.store(leaf, std::memory_order_release);
    }
    return leaf;
}

// Files (or clears, s NULL) the chunks of [base, base + bytes) in the page map.
// FALSE (nothing filed) when a leaf of the map cannot be made.
bool mapChunks(char *base, size_t bytes, Slab *s) {
    uintptr_t first = reinterpret_cast<uintptr_t>(base) >> kChunkBits;
    uintptr_t last = (reinterpret_cast<uintptr_t>(base) + bytes - 1) >> kChunkBits;
    if (s)
        for (uintptr_t c = first; c <= last; ++c)
            if (!leafFor(c, true)) return false;
    for (uintptr_t c = first; c <= last; ++c)
        if (Leaf *leaf = leafFor(c, false)) leaf[c & ((uintptr_t(1) << kLeafBits) - 1)].store(s, std::memory_order_release);
    return true;
}

char *takeChunk() {
    Store &st = store();
    if (st.arenaLeft == 0) {
        void *a = std::aligned_alloc(kChunk, kChunk * kArenaChunks);
        if (!a) return nullptr;
        if (reinterpret_cast<uintptr_t>(a) + kChunk * kArenaChunks > kUserSpace) { // never on x86-64 Linux
            std::free(a);
            return nullptr;
        }
        try {
            st.arenas.push_back(static_cast<char *>(a));
        } catch (const std::bad_alloc &) {
            std::free(a);
            return nullptr;
        }
        st.arenaNext = static_cast<char *>(a);
        st.arenaLeft = kArenaChunks;
    }
    char *c = st.arenaNext;
    st.arenaNext += kChunk;
    --st.arenaLeft;
    return c;
}

TVH_NO_ASAN void writeHeader(char *slot, HostObject *owner, Header *next) {
    Header *h = reinterpret_cast<Header *>(slot);
    h->owner = owner;
    h->nextFree = next;
}

Slab *newSlab(char *base, size_t bytes, size_t stride, int cls) {
    Store &st = store();
    auto s = std::unique_ptr<Slab>(new (std::nothrow) Slab());
    if (!s) return nullptr;
    s->base = base;
    s->bytes = bytes;
    s->stride = uint32_t(stride);
    s->sizeClass = cls;
    s->first = reinterpret_cast<uintptr_t>(base) + kHeaderSize;
    if (cls < 0) {
        s->slots = 1;
        s->used = 1;
        s->span = 1; // the one record, at first
    } else {
        s->slots = uint32_t(bytes / stride);
        s->recip = uint32_t(((uint64_t(1) << 32) + stride - 1) / stride);
        s->span = uint64_t(s->slots) * stride;
    }
    for (uint32_t i = 0; i < s->slots; ++i) writeHeader(base + size_t(i) * stride, nullptr, nullptr);
    s->pos = st.slabs.size();
    try {
        st.slabs.push_back(s.get());
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (!mapChunks(base, bytes, s.get())) {
        st.slabs.pop_back();
        return nullptr;
    }
    TVH_POISON(base, bytes);
    return s.release();
}

TVH_NO_ASAN Header *nextFreeOf(Header *h) { return h->nextFree; }

// Gives a slot back for reuse, or a large record's memory to the system.
void recycle(char *record, size_t size) {
    Store &st = store();
    char *slot = record - kHeaderSize;
    Slab *s = slabAt(reinterpret_cast<uintptr_t>(record));
    if (!s) return;
    if (s->sizeClass < 0) {
        mapChunks(s->base, s->bytes, nullptr);
        st.slabs[s->pos] = st.slabs.back();
        st.slabs[s->pos]->pos = s->pos;
        st.slabs.pop_back();
        TVH_UNPOISON(s->base, s->bytes);
        std::free(s->base);
        delete s;
        return;
    }
    (void)size;
    SizeClass &k = st.classes[s->sizeClass];
    writeHeader(slot, nullptr, k.freeList);
    k.freeList = reinterpret_cast<Header *>(slot);
}

} // namespace

void *allocate(size_t size) {
    Store &st = store();
    int cls = -1;
    size_t stride = strideFor(size, &cls);
    char *slot = nullptr;
    if (cls < 0) {
        size_t bytes = (stride + kChunk - 1) & ~(kChunk - 1);
        void *base = std::aligned_alloc(kChunk, bytes);
        if (!base) return nullptr;
        if (reinterpret_cast<uintptr_t>(base) + bytes > kUserSpace || !newSlab(static_cast<char *>(base), bytes, stride, -1)) {
            std::free(base);
            return nullptr;
        }
        slot = static_cast<char *>(base);
    } else {
        SizeClass &k = st.classes[cls];
        if (k.freeList) {
            Header *h = k.freeList;
            k.freeList = nextFreeOf(h);
            slot = reinterpret_cast<char *>(h);
        } else {
            Slab *s = k.current;
            if (!s || s->used == s->slots) {
                char *chunk = takeChunk();
                if (!chunk) return nullptr;
                s = newSlab(chunk, kChunk, stride, cls);
                if (!s) return nullptr; // the chunk stays with its arena
                k.current = s;
            }
            slot = s->base + size_t(s->used) * s->stride;
            ++s->used;
        }
    }
    writeHeader(slot, nullptr, nullptr);
    char *record = slot + kHeaderSize;
    TVH_UNPOISON(record, size);
    std::memset(record, 0, size);
    return record;
}

void setOwner(void *record, HostObject *o) {
    writeHeader(static_cast<char *>(record) - kHeaderSize, o, nullptr);
}

void retire(void *record, size_t size) {
    Store &st = store();
    char *r = static_cast<char *>(record);
    writeHeader(r - kHeaderSize, nullptr, nullptr);
    TVH_POISON(r, size);
    st.quarantine.push_back(Store::Retired{r, size});
    st.quarantineBytes += size;
    while (st.quarantine.size() > kQuarantineRecords || st.quarantineBytes > kQuarantineBytes) {
        Store::Retired old = st.quarantine.front();
        st.quarantine.pop_front();
        st.quarantineBytes -= old.size;
        recycle(old.record, old.size);
    }
}

void releaseAll() {
    Store &st = store();
    for (Slab *s : st.slabs) {
        mapChunks(s->base, s->bytes, nullptr);
        TVH_UNPOISON(s->base, s->bytes);
        if (s->sizeClass < 0) std::free(s->base);
        delete s;
    }
    st.slabs.clear();
    for (char *a : st.arenas) std::free(a);
    st.arenas.clear();
    st.arenaNext = nullptr;
    st.arenaLeft = 0;
    for (SizeClass &k : st.classes) k = SizeClass();
    st.quarantine.clear();
    st.quarantineBytes = 0;
}

} // namespace records
} // namespace tvh
