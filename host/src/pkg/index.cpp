// Indexes: ordered maps from keys to one stored pointer. They never own the
// values. Walks remember the last key they returned and resume after it, so
// the caller may delete entries (even the one just returned) while walking.
#include "host_internal.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TVH_IDX_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define TVH_IDX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define TVH_IDX_POISON(p, n) ((void)(p), (void)(n))
#define TVH_IDX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace tvh {
namespace idx {
namespace {

constexpr uint32_t kMagic = 0x58444E49; // live index
enum class Kind : uint32_t { ID = 1, Int, IDEx, Str };

// No virtual functions: an index handle is its magic, its kind and one
// pointer, and the calls that serve every kind switch on the kind.
struct IndexBase {
    uint32_t magic = kMagic;
    Kind kind;
    explicit IndexBase(Kind k) : kind(k) {}
    ~IndexBase() { magic = 0; }
};

// The map and the walk position live apart and come with the first entry:
// many indexes are made for every object and most stay empty, so an empty
// one is a small handle.
template <typename Key, typename Compare = std::less<Key>> struct MapIndex : IndexBase {
    typedef std::map<Key, void *, Compare> Map;
    struct State {
        Map map;
        bool walking = false;
        Key last{};
    };
    std::unique_ptr<State> st;

    explicit MapIndex(Kind k) : IndexBase(k) {}
    void clear() {
        if (!st) return;
        st->map.clear(); // the last key handed out stays readable until the next walk step
        st->walking = false;
    }
    size_t size() const { return st ? st->map.size() : 0; }
    const Key &lastKey() const { return st->last; } // after a walk step that found an entry

    bool insert(const Key &k, void *value, bool replace) {
        // NULL means "absent" to every reader, so it is never stored.
        if (value == nullptr) return false;
        try {
            if (!st) st.reset(new State());
            auto r = st->map.emplace(k, value);
            if (r.second) return true;
            if (!replace) return false;
            r.first->second = value;
            return true;
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    void *find(const Key &k) const {
        if (!st) return nullptr;
        auto it = st->map.find(k);
        return it == st->map.end() ? nullptr : it->second;
    }
    void *del(const Key &k) {
        if (!st) return nullptr;
        auto it = st->map.find(k);
        if (it == st->map.end()) return nullptr;
        void *v = it->second;
        st->map.erase(it);
        return v;
    }
    void *step(typename Map::iterator it) {
        if (it == st->map.end()) {
            st->walking = false;
            return nullptr;
        }
        st->last = it->first;
        st->walking = true;
        return it->second;
    }
    void *first() { return st ? step(st->map.begin()) : nullptr; }
    void *next() {
        if (!st || !st->walking) return nullptr;
        return step(st->map.upper_bound(st->last));
    }
};

// ID index: the key as four native unsigned 32-bit words, ascending.
typedef std::array<uint32_t, 4> IDKey;
struct IDIndex : MapIndex<IDKey> {
    IDIndex() : MapIndex(Kind::ID) {}
};
// Integer-key index: up to three signed 64-bit keys, lexicographic, ascending.
typedef std::array<int64_t, 3> IntKey;
struct IntIndex : MapIndex<IntKey> {
    int nkeys;
    explicit IntIndex(int n) : MapIndex(Kind::Int), nkeys(n) {}
};
// Ordered 128-bit index: two native unsigned 64-bit words of the key, then
// the extra key, descending.
typedef std::array<uint64_t, 3> IDExKey;
struct IDExIndex : MapIndex<IDExKey, std::greater<IDExKey>> {
    IDExIndex() : MapIndex(Kind::IDEx) {}
};
// String index: byte order (std::string compares as unsigned bytes).
struct StrIndex : MapIndex<std::string> {
    size_t maxKeyLength;
    explicit StrIndex(size_t m) : MapIndex(Kind::Str), maxKeyLength(m) {}
};

// ID indexes are made three to a data object, and most stay empty: they
// come from blocks of their own size instead of one heap block each, which
// would cost twice their size. A freed handle keeps a zero magic until it
// is reused (and is poisoned meanwhile under AddressSanitizer).
static_assert(sizeof(void *) != 8 || sizeof(IDIndex) == 16, "an ID index handle is two words");
class IDIndexPool {
  public:
    void *take() {
        std::lock_guard<std::mutex> g(mutex_);
        if (!free_) {
            if (blocks_.size() == blocks_.capacity() && !growBlockList()) return nullptr;
            char *block = static_cast<char *>(std::malloc(kPerBlock * sizeof(IDIndex)));
            if (!block) return nullptr;
            blocks_.push_back(block); // reserved: cannot throw
            for (size_t i = kPerBlock; i-- > 0;) push(block + i * sizeof(IDIndex));
        }
        Free *f = free_;
        TVH_IDX_UNPOISON(f, sizeof(IDIndex));
        free_ = f->next;
        return f;
    }
    void give(void *p) {
        std::lock_guard<std::mutex> g(mutex_);
        push(p);
    }

  private:
    // A free handle: a zero magic where a live one has its magic, then the link.
    struct Free {
        uint32_t zero;
        uint32_t unused;
        Free *next;
    };
    static_assert(sizeof(Free) == sizeof(IDIndex), "a free handle overlays a live one");
    void push(void *p) {
        Free *f = static_cast<Free *>(p);
        f->zero = 0;
        f->next = free_;
        free_ = f;
        TVH_IDX_POISON(f, sizeof(IDIndex));
    }
    bool growBlockList() {
        try {
            blocks_.reserve(blocks_.size() * 2 + 16);
        } catch (const std::bad_alloc &) {
            return false;
        }
        return true;
    }
    static constexpr size_t kPerBlock = 256;
    std::mutex mutex_;
    // Blocks are kept for reuse, never returned; listed so that leak checkers
    // see them reachable (free handles link through poisoned memory).
    std::vector<char *> blocks_;
    Free *free_ = nullptr;
};
IDIndexPool &idPool() {
    static IDIndexPool *pool = new IDIndexPool(); // never destroyed: indexes may outlive static destructors
    return *pool;
}

IndexBase *base(void *index) {
    IndexBase *b = static_cast<IndexBase *>(index);
    return (b && b->magic == kMagic) ? b : nullptr;
}
template <typename T> T *as(void *index, Kind k) {
    IndexBase *b = base(index);
    return (b && b->kind == k) ? static_cast<T *>(b) : nullptr;
}

IDKey idKey(const VS_UUID *u) {
    IDKey k;
    static_assert(sizeof(IDKey) == sizeof(VS_UUID), "UUID is four words");
    memcpy(k.data(), u, sizeof(VS_UUID));
    return k;
}
void idOut(const IDKey &k, VS_UUID *out) {
    if (out) memcpy(out, k.data(), sizeof(VS_UUID));
}
IDExKey idExKey(const VS_UUID *u, VS_UWORD extra) {
    IDExKey k;
    memcpy(k.data(), u, sizeof(VS_UUID));
    k[2] = extra;
    return k;
}
void idExOut(const IDExKey &k, VS_UUID *out, VS_UWORD *extraOut) {
    if (out) memcpy(out, k.data(), sizeof(VS_UUID));
    if (extraOut) *extraOut = k[2];
}

IntIndex *intIndex(void *index, int nkeys) {
    IntIndex *x = as<IntIndex>(index, Kind::Int);
    return (x && x->nkeys == nkeys) ? x : nullptr;
}
IntKey intKey(int nkeys, const VS_UWORD *keys) {
    IntKey k{0, 0, 0};
    for (int n = 0; n < nkeys; ++n)
        k[n] = static_cast<int64_t>(keys[n]);
    return k;
}
void *intResult(IntIndex *x, void *v, VS_UWORD *keysOut) {
    if (v && keysOut)
        for (int n = 0; n < x->nkeys; ++n)
            keysOut[n] = static_cast<VS_UWORD>(x->lastKey()[n]);
    return v;
}

} // namespace

void destroy(void *index) {
    IndexBase *b = base(index);
    if (!b) return;
    switch (b->kind) {
    case Kind::ID: {
        IDIndex *x = static_cast<IDIndex *>(b);
        x->~IDIndex();
        idPool().give(x);
        break;
    }
    case Kind::Int: delete static_cast<IntIndex *>(b); break;
    case Kind::IDEx: delete static_cast<IDExIndex *>(b); break;
    case Kind::Str: delete static_cast<StrIndex *>(b); break;
    }
}

// Calls f with the index as its own type.
template <typename F> void withIndex(IndexBase *b, F f) {
    switch (b->kind) {
    case Kind::ID: f(*static_cast<IDIndex *>(b)); break;
    case Kind::Int: f(*static_cast<IntIndex *>(b)); break;
    case Kind::IDEx: f(*static_cast<IDExIndex *>(b)); break;
    case Kind::Str: f(*static_cast<StrIndex *>(b)); break;
    }
}

void delAll(void *index) {
    if (IndexBase *b = base(index)) withIndex(b, [](auto &x) { x.clear(); });
}

VS_ULONG count(void *index) {
    IndexBase *b = base(index);
    size_t n = 0;
    if (b) withIndex(b, [&](auto &x) { n = x.size(); });
    return static_cast<VS_ULONG>(n);
}

// ---- ID index ----
void *createID() {
    void *p = idPool().take();
    return p ? static_cast<IndexBase *>(new (p) IDIndex()) : nullptr;
}

VS_BOOL insertID(void *index, const VS_UUID *key, void *value) {
    IDIndex *x = as<IDIndex>(index, Kind::ID);
    return (x && key && x->insert(idKey(key), value, true)) ? VS_TRUE : VS_FALSE;
}
void *findID(void *index, const VS_UUID *key) {
    IDIndex *x = as<IDIndex>(index, Kind::ID);
    return (x && key) ? x->find(idKey(key)) : nullptr;
}
void *delID(void *index, const VS_UUID *key) {
    IDIndex *x = as<IDIndex>(index, Kind::ID);
    return (x && key) ? x->del(idKey(key)) : nullptr;
}
void *firstID(void *index, VS_UUID *keyOut) {
    IDIndex *x = as<IDIndex>(index, Kind::ID);
    void *v = x ? x->first() : nullptr;
    if (v) idOut(x->lastKey(), keyOut);
    return v;
}
void *nextID(void *index, VS_UUID *keyOut) {
    IDIndex *x = as<IDIndex>(index, Kind::ID);
    void *v = x ? x->next() : nullptr;
    if (v) idOut(x->lastKey(), keyOut);
    return v;
}

// ---- integer-key indexes ----
void *createInt(VS_INT32 keyNumber) {
    if (keyNumber < 1 || keyNumber > 3) return nullptr;
    return static_cast<IndexBase *>(new (std::nothrow) IntIndex(keyNumber));
}
VS_BOOL insertInt(void *index, int nkeys, const VS_UWORD *keys, void *value) {
    IntIndex *x = keys ? intIndex(index, nkeys) : nullptr;
    return (x && x->insert(intKey(nkeys, keys), value, false)) ? VS_TRUE : VS_FALSE;
}
void *findInt(void *index, int nkeys, const VS_UWORD *keys) {
    IntIndex *x = keys ? intIndex(index, nkeys) : nullptr;
    return x ? x->find(intKey(nkeys, keys)) : nullptr;
}
void *delInt(void *index, int nkeys, const VS_UWORD *keys) {
    IntIndex *x = keys ? intIndex(index, nkeys) : nullptr;
    return x ? x->del(intKey(nkeys, keys)) : nullptr;
}
void *firstInt(void *index, int nkeys, VS_UWORD *keysOut) {
    IntIndex *x = intIndex(index, nkeys);
    return x ? intResult(x, x->first(), keysOut) : nullptr;
}
void *nextInt(void *index, int nkeys, VS_UWORD *keysOut) {
    IntIndex *x = intIndex(index, nkeys);
    return x ? intResult(x, x->next(), keysOut) : nullptr;
}

// ---- ordered 128-bit index ----
void *createIDEx() {
    return static_cast<IndexBase *>(new (std::nothrow) IDExIndex());
}
VS_BOOL insertIDEx(void *index, const VS_UUID *key, VS_UWORD extra, void *value) {
    IDExIndex *x = as<IDExIndex>(index, Kind::IDEx);
    return (x && key && x->insert(idExKey(key, extra), value, true)) ? VS_TRUE : VS_FALSE;
}
void *findIDEx(void *index, const VS_UUID *key, VS_UWORD extra) {
    IDExIndex *x = as<IDExIndex>(index, Kind::IDEx);
    return (x && key) ? x->find(idExKey(key, extra)) : nullptr;
}
void *delIDEx(void *index, const VS_UUID *key, VS_UWORD extra) {
    IDExIndex *x = as<IDExIndex>(index, Kind::IDEx);
    return (x && key) ? x->del(idExKey(key, extra)) : nullptr;
}
void *firstIDEx(void *index, VS_UUID *keyOut, VS_UWORD *extraOut) {
    IDExIndex *x = as<IDExIndex>(index, Kind::IDEx);
    void *v = x ? x->first() : nullptr;
    if (v) idExOut(x->lastKey(), keyOut, extraOut);
    return v;
}
void *nextIDEx(void *index, VS_UUID *keyOut, VS_UWORD *extraOut) {
    IDExIndex *x = as<IDExIndex>(index, Kind::IDEx);
    void *v = x ? x->next() : nullptr;
    if (v) idExOut(x->lastKey(), keyOut, extraOut);
    return v;
}

// ---- string index ----
void *createString(VS_INT32 maxKeyLength) {
    if (maxKeyLength <= 0) return nullptr;
    return static_cast<IndexBase *>(new (std::nothrow) StrIndex(static_cast<size_t>(maxKeyLength)));
}
VS_BOOL insertString(void *index, const char *key, void *value) {
    StrIndex *x = as<StrIndex>(index, Kind::Str);
    if (!x || !key) return VS_FALSE;
    size_t len = strnlen(key, x->maxKeyLength);
    if (len >= x->maxKeyLength) return VS_FALSE;
    return x->insert(std::string(key, len), value, false) ? VS_TRUE : VS_FALSE;
}
void *findString(void *index, const char *key) {
    StrIndex *x = as<StrIndex>(index, Kind::Str);
    if (!x || !key) return nullptr;
    size_t len = strnlen(key, x->maxKeyLength);
    return len >= x->maxKeyLength ? nullptr : x->find(std::string(key, len));
}
void *delString(void *index, const char *key) {
    StrIndex *x = as<StrIndex>(index, Kind::Str);
    if (!x || !key) return nullptr;
    size_t len = strnlen(key, x->maxKeyLength);
    return len >= x->maxKeyLength ? nullptr : x->del(std::string(key, len));
}
// The key handed out is the walk's own copy, valid until the next walk step
// on this index, even when the caller deletes that entry.
void *firstString(void *index, const char **keyOut) {
    StrIndex *x = as<StrIndex>(index, Kind::Str);
    void *v = x ? x->first() : nullptr;
    if (v && keyOut) *keyOut = x->lastKey().c_str();
    return v;
}
void *nextString(void *index, const char **keyOut) {
    StrIndex *x = as<StrIndex>(index, Kind::Str);
    void *v = x ? x->next() : nullptr;
    if (v && keyOut) *keyOut = x->lastKey().c_str();
    return v;
}

} // namespace idx
} // namespace tvh
