// Parameter packages and binary buffers of the stand-in host: the concrete
// classes behind ClassOfXRQParaPackageInterface / ClassOfXRQBinBufInterface.
#ifndef TVH_PKG_INTERNAL_H
#define TVH_PKG_INTERNAL_H

#include "host_internal.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <type_traits>
#include <unordered_map>
#include <string>
#include <vector>

namespace tvh {
namespace pkg {

// Bytes of a string or binary item, always followed by a zero byte so that
// GetStr can hand out the buffer directly. The buffer lives on the heap and
// moves with its owner, so a pointer handed out stays valid while its item
// is unchanged, however the item list grows or shrinks around it.
class Bytes {
  public:
    Bytes() = default;
    Bytes(const Bytes &o) { assign(o.data(), o.size()); }
    Bytes(Bytes &&o) noexcept : p_(o.p_), n_(o.n_) {
        o.p_ = nullptr;
        o.n_ = 0;
    }
    Bytes &operator=(const Bytes &o) {
        if (this != &o) assign(o.data(), o.size());
        return *this;
    }
    Bytes &operator=(Bytes &&o) noexcept {
        if (this != &o) {
            delete[] p_;
            p_ = o.p_;
            n_ = o.n_;
            o.p_ = nullptr;
            o.n_ = 0;
        }
        return *this;
    }
    ~Bytes() { delete[] p_; }

    // May throw std::bad_alloc; then nothing changed.
    void assign(const char *s, size_t n) {
        char *q = new char[n + 1];
        if (n) memcpy(q, s, n);
        q[n] = 0;
        delete[] p_;
        p_ = q;
        n_ = n;
    }
    const char *data() const { return p_ ? p_ : ""; }
    size_t size() const { return n_; }
    bool operator==(const Bytes &o) const { return n_ == o.n_ && (n_ == 0 || memcmp(p_, o.p_, n_) == 0); }
    bool operator!=(const Bytes &o) const { return !(*this == o); }

  private:
    char *p_ = nullptr;
    size_t n_ = 0;
};

// One package item. Only the member that belongs to `type` is meaningful;
// the scalar members share their storage, which keeps an item as small as a
// variant and a package of a few items cheap to build and grow.
struct Item {
    VS_INT32 type = VSTYPE_EMPTY;
    union {
        VS_INT64 i = 0;        // int32, int64, time, bool
        VS_DOUBLE d;           // double
        VS_UUID id;            // object (weak: by ID)
        class ParaPkg *pkg;    // package (strong: one reference held)
    };
    Bytes bytes;               // string, binary
};

// Growing the item list must move items, never copy them (a copy would move
// the bytes that GetStr handed out).
static_assert(std::is_nothrow_move_constructible<Item>::value, "items move without copying");

// The item list of a package: a vector in two words, so that a package fits
// a 48-byte heap block. Items move on growth (they never throw doing so);
// growth, reserve and copies may throw std::bad_alloc, and then the list is
// unchanged.
class ItemList {
  public:
    ItemList() = default;
    ItemList(const ItemList &o) {
        reserve(o.n_);
        for (const Item &it : o) push_back(it);
    }
    ItemList(ItemList &&o) noexcept { swap(o); }
    ItemList &operator=(const ItemList &o) {
        if (this != &o) {
            ItemList t(o);
            swap(t);
        }
        return *this;
    }
    ItemList &operator=(ItemList &&o) noexcept {
        ItemList t(std::move(o));
        swap(t);
        return *this;
    }
    ~ItemList() {
        clear();
        ::operator delete(p_);
    }

    size_t size() const { return n_; }
    size_t capacity() const { return cap_; }
    bool empty() const { return n_ == 0; }
    Item *begin() { return p_; }
    Item *end() { return p_ + n_; }
    const Item *begin() const { return p_; }
    const Item *end() const { return p_ + n_; }
    Item &operator[](size_t i) { return p_[i]; }
    const Item &operator[](size_t i) const { return p_[i]; }
    Item &back() { return p_[n_ - 1]; }
    const Item &back() const { return p_[n_ - 1]; }

    void reserve(size_t n) {
        if (n <= cap_) return;
        if (n > UINT32_MAX / sizeof(Item)) throw std::bad_alloc();
        Item *q = static_cast<Item *>(::operator new(n * sizeof(Item)));
        for (uint32_t i = 0; i < n_; ++i) {
            new (q + i) Item(std::move(p_[i]));
            p_[i].~Item();
        }
        ::operator delete(p_);
        p_ = q;
        cap_ = static_cast<uint32_t>(n);
    }
    void push_back(Item &&it) {
        if (n_ == cap_) reserve(cap_ ? size_t(cap_) * 2 : 1);
        new (p_ + n_) Item(std::move(it));
        ++n_;
    }
    void push_back(const Item &it) {
        Item copy(it); // first: `it` may be one of these items
        push_back(std::move(copy));
    }
    void erase(Item *pos) {
        for (Item *q = pos; q + 1 < end(); ++q) *q = std::move(q[1]);
        p_[--n_].~Item();
    }
    // Drops every item and keeps the room.
    void clear() {
        while (n_ > 0) p_[--n_].~Item();
    }
    void swap(ItemList &o) noexcept {
        std::swap(p_, o.p_);
        std::swap(n_, o.n_);
        std::swap(cap_, o.cap_);
    }

  private:
    Item *p_ = nullptr;
    uint32_t n_ = 0;
    uint32_t cap_ = 0;
};

class ParaPkg final : public ClassOfXRQParaPackageInterfaceHost {
    // Packages come and go with nearly every call (see ThreadFreeList).
  public:
    static void *operator new(size_t size) { return ThreadFreeList<ParaPkg>::take(size); }
    static void *operator new(size_t size, const std::nothrow_t &) noexcept {
        try {
            return ThreadFreeList<ParaPkg>::take(size);
        } catch (...) {
            return nullptr;
        }
    }
    static void operator delete(void *p) noexcept { ThreadFreeList<ParaPkg>::give(p); }

    ParaPkg();

    VS_ULONG AddRef() override;
    VS_ULONG Release() override;

    VS_INT32 GetNumber() override;
    VS_INT32 GetType(VS_INT32 i) override;

    VS_BOOL InsertEmpty(VS_INT32 i) override;
    VS_BOOL InsertInt(VS_INT32 i, VS_INT32 Value) override;
    VS_BOOL InsertInt64(VS_INT32 i, VS_INT64 Value) override;
    VS_BOOL InsertFloat(VS_INT32 i, VS_DOUBLE Value) override;
    VS_BOOL InsertBool(VS_INT32 i, VS_BOOL Value) override;
    VS_BOOL InsertStr(VS_INT32 i, const VS_CHAR *Value) override;
    VS_BOOL InsertStrEx(VS_INT32 i, const VS_CHAR *Value, VS_INT32 Length) override;
    VS_BOOL InsertBin(VS_INT32 i, const VS_INT8 *Value, VS_INT32 Length) override;
    VS_BOOL InsertTime(VS_INT32 i, VS_INT64 Value) override;
    VS_BOOL InsertObject(VS_INT32 i, void *Object) override;
    VS_BOOL InsertParaPackage(VS_INT32 i, VS_PARAPKGPTR Value) override;

    VS_INT32 GetInt(VS_INT32 i) override;
    VS_INT64 GetInt64(VS_INT32 i) override;
    VS_DOUBLE GetFloat(VS_INT32 i) override;
    VS_BOOL GetBool(VS_INT32 i) override;
    VS_INT64 GetTime(VS_INT32 i) override;
    const VS_CHAR *GetStr(VS_INT32 i) override;
    const VS_CHAR *GetStrEx(VS_INT32 i, VS_INT32 *Length) override;
    const VS_INT8 *GetBin(VS_INT32 i, VS_INT32 *Length) override;
    void *GetObject(VS_INT32 i) override;
    VS_PARAPKGPTR GetParaPackage(VS_INT32 i) override;

    VS_BOOL Del(VS_INT32 i) override;
    void Clear() override;
    VS_BOOL AppendFrom(VS_PARAPKGPTR Src) override;
    VS_PARAPKGPTR Dup() override;
    VS_BOOL Equals(VS_PARAPKGPTR Other) override;

    void AsDict(VS_BOOL Flag) override;
    VS_BOOL IsDict() override;
    VS_INT32 FindDict(const VS_CHAR *Key) override;

    VS_CHAR *ToJSon() override;
    VS_BOOL FromJSon(const VS_CHAR *Text) override;
    const VS_CHAR *GetJSonError() override;
    VS_CHAR *GetValueStr() override;
    void FreeBuf(VS_CHAR *Text) override;

    VS_BOOL IsReadOnly() override;
    VS_BOOL SetReadOnly(const VS_CHAR *Key, VS_BOOL Flag) override;
    VS_INT32 FindObjectID(const VS_UUID *ID) override;

    // Shared with the JSON code, which must call idsChanged() after it
    // changes the items.
    ItemList items;
    bool dict = false;
    bool readOnly = false; // its key is kept apart (few packages ever are read-only)

  private:
    // Beside the flags, in their padding: a package stays 40 bytes.
    std::atomic<VS_ULONG> refs{1};

  public:

    // Forgets the object ID hash; the next FindObjectID rebuilds it.
    void idsChanged() { ids.reset(); }

    // Drops every item, releasing the nested packages.
    void dropItems();
    // TRUE when this package is `target` or holds it at any depth.
    bool reaches(const ParaPkg *target) const;
    // TRUE when an item is a nested package.
    bool holdsPackages() const;

  private:
    ~ParaPkg() override;
    friend void releasePkg(ParaPkg *p);

    // Insert rule: i == count appends, an existing i replaces.
    VS_BOOL put(VS_INT32 i, Item &&item);
    const Item *at(VS_INT32 i) const {
        return (i < 0 || static_cast<size_t>(i) >= items.size()) ? nullptr : &items[static_cast<size_t>(i)];
    }

    // Keeps the hash in step with an item just appended, or with item i
    // replaced (old: what it held before), or removed.
    void idsAppended();
    void idsReplaced(size_t i, const Item &old);
    void idsRemoved(size_t i, const Item &old);

    // Object ID -> index of the first object item with that ID. Made only for
    // FindObjectID on a package of more than a few items: most packages (a
    // data object's value) never pay for one.
    using IdHash = std::unordered_map<VS_UUID, VS_INT32, UuidHash, UuidEq>;
    std::unique_ptr<IdHash> ids;
};

// Every data object holds packages: their size counts per live object.
static_assert(sizeof(void *) != 8 || sizeof(ParaPkg) <= 40, "a package fits a 48-byte heap block");

// Drops one reference; at zero frees the package and, without recursion,
// every nested package whose last reference it held.
void releasePkg(ParaPkg *p);
// A live package made by this host, as ParaPkg; NULL otherwise.
ParaPkg *asPkg(const void *p);

// Deepest container nesting FromJSon accepts.
constexpr int kMaxJsonDepth = 1000;

// Text forms (JSON writer). `valueText` selects GetValueStr's rules. Returns
// a malloc'ed text, or NULL when an item has no JSON form.
VS_CHAR *writeJson(ParaPkg *root, bool valueText);
// Clears `p` and reads `text` into it; FALSE (p empty) on error, with the
// reason and the offset where reading stopped in *why (when given).
bool readJson(ParaPkg *p, const char *text, std::string *why);
// Shortest of %.15g/%.16g/%.17g that reads back exactly, ".0" added when the
// text looks integral. `v` must be finite.
std::string formatDouble(double v);

} // namespace pkg
} // namespace tvh

#endif
