// Parameter packages: typed item lists that may also act as dictionaries.
#include "pkg_internal.h"
#include "ptr_set.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace tvh {
namespace pkg {

namespace {

// Live packages, so that a pointer handed in by a caller can be checked
// before it is used as a package.
std::mutex gLiveMutex;
PtrSet &livePkgs() {
    // Never destroyed: a package or buffer may be released by another
    // static's destructor at exit.
    static auto *set = new PtrSet();
    return *set;
}

// Keys of the read-only packages.
std::mutex gKeyMutex;
std::unordered_map<const ParaPkg *, std::string> &readOnlyKeys() {
    static auto *keys = new std::unordered_map<const ParaPkg *, std::string>(); // never destroyed, as above
    return *keys;
}

// Saturating conversion: a double outside the target range must not be cast
// directly (undefined behaviour); NaN reads as 0.
template <typename T> T truncDouble(double v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

// Room reserved by the first append, and the most a cleared package keeps.
// Most packages hold one item (a data object's value): they get room for
// exactly that; longer ones grow by doubling.
constexpr size_t kFirstCapacity = 1;
constexpr size_t kKeptCapacity = 16;

// Up to this many items FindObjectID scans: cheaper than a hash, and no
// memory spent on the many small packages.
constexpr size_t kScanObjectIDs = 8;

} // namespace

ParaPkg *asPkg(const void *p) {
    if (p == nullptr) return nullptr;
    std::lock_guard<std::mutex> g(gLiveMutex);
    if (!livePkgs().contains(p)) return nullptr;
    return static_cast<ParaPkg *>(static_cast<ClassOfXRQParaPackageInterface *>(const_cast<void *>(p)));
}

ParaPkg::ParaPkg() {
    {
        std::lock_guard<std::mutex> g(gLiveMutex);
        livePkgs().insert(static_cast<ClassOfXRQParaPackageInterface *>(this));
    }
    counters().LivePackages++;
}

ParaPkg::~ParaPkg() {
    if (readOnly) {
        std::lock_guard<std::mutex> g(gKeyMutex);
        readOnlyKeys().erase(this);
    }
    {
        std::lock_guard<std::mutex> g(gLiveMutex);
        livePkgs().erase(static_cast<ClassOfXRQParaPackageInterface *>(this));
    }
    counters().LivePackages--;
}

void releasePkg(ParaPkg *p) {
    if (p->refs.fetch_sub(1) != 1) return;
    // Nested packages whose last reference goes with their holder are freed
    // from a worklist instead of by recursion: a long chain must not exhaust
    // the stack. The list allocates only when there is such a package.
    std::vector<ParaPkg *> work;
    ParaPkg *cur = p;
    for (;;) {
        for (const Item &it : cur->items)
            if (it.type == VSTYPE_PARAPKG && it.pkg && it.pkg->refs.fetch_sub(1) == 1) work.push_back(it.pkg);
        delete cur;
        if (work.empty()) break;
        cur = work.back();
        work.pop_back();
    }
}

VS_ULONG ParaPkg::AddRef() {
    checkHostLock();
    return ++refs;
}

VS_ULONG ParaPkg::Release() {
    checkHostLock();
    VS_ULONG before = refs.load();
    if (before == 0) return 0; // already gone; never underflow
    releasePkg(this);
    return before - 1;
}

VS_INT32 ParaPkg::GetNumber() {
    checkHostLock();
    return static_cast<VS_INT32>(items.size());
}

VS_INT32 ParaPkg::GetType(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    return it ? it->type : VSTYPE_EMPTY;
}

void ParaPkg::dropItems() {
    idsChanged();
    // The item list is emptied before any nested package is released. A
    // small list keeps its room for the package's next use.
    std::vector<ParaPkg *> nested;
    for (Item &it : items)
        if (it.type == VSTYPE_PARAPKG && it.pkg) {
            try {
                nested.push_back(it.pkg);
            } catch (const std::bad_alloc &) {
                // Cannot list them: fall back to moving the whole list out.
                ItemList old;
                old.swap(items);
                for (Item &o : old)
                    if (o.type == VSTYPE_PARAPKG && o.pkg) releasePkg(o.pkg);
                return;
            }
        }
    if (items.capacity() > kKeptCapacity)
        ItemList().swap(items);
    else
        items.clear();
    for (ParaPkg *n : nested)
        releasePkg(n);
}

bool ParaPkg::reaches(const ParaPkg *target) const {
    if (this == target) return true;
    // Most packages hold no packages: answer those without any allocation.
    bool nested = false;
    for (const Item &it : items)
        if (it.type == VSTYPE_PARAPKG && it.pkg) {
            if (it.pkg == target) return true;
            nested = true;
        }
    if (!nested) return false;
    std::vector<const ParaPkg *> work{this};
    std::unordered_set<const ParaPkg *> seen{this};
    while (!work.empty()) {
        const ParaPkg *cur = work.back();
        work.pop_back();
        for (const Item &it : cur->items) {
            if (it.type != VSTYPE_PARAPKG || !it.pkg) continue;
            if (it.pkg == target) return true;
            if (seen.insert(it.pkg).second) work.push_back(it.pkg);
        }
    }
    return false;
}

bool ParaPkg::holdsPackages() const {
    for (const Item &it : items)
        if (it.type == VSTYPE_PARAPKG && it.pkg) return true;
    return false;
}

VS_BOOL ParaPkg::put(VS_INT32 i, Item &&item) {
    if (readOnly || i < 0 || static_cast<size_t>(i) > items.size()) {
        if (item.type == VSTYPE_PARAPKG && item.pkg) releasePkg(item.pkg);
        return VS_FALSE;
    }
    try {
        if (static_cast<size_t>(i) == items.size()) {
            if (items.capacity() == 0) items.reserve(kFirstCapacity);
            items.push_back(std::move(item));
            idsAppended();
        } else {
            Item old = std::move(items[static_cast<size_t>(i)]);
            items[static_cast<size_t>(i)] = std::move(item);
            idsReplaced(static_cast<size_t>(i), old);
            if (old.type == VSTYPE_PARAPKG && old.pkg) releasePkg(old.pkg);
        }
    } catch (const std::bad_alloc &) {
        if (item.type == VSTYPE_PARAPKG && item.pkg) releasePkg(item.pkg);
        return VS_FALSE;
    }
    return VS_TRUE;
}

VS_BOOL ParaPkg::InsertEmpty(VS_INT32 i) {
    checkHostLock();
    return put(i, Item());
}

VS_BOOL ParaPkg::InsertInt(VS_INT32 i, VS_INT32 Value) {
    checkHostLock();
    Item it;
    it.type = VSTYPE_INT32;
    it.i = Value;
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertInt64(VS_INT32 i, VS_INT64 Value) {
    checkHostLock();
    Item it;
    it.type = VSTYPE_INT64;
    it.i = Value;
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertFloat(VS_INT32 i, VS_DOUBLE Value) {
    checkHostLock();
    Item it;
    it.type = VSTYPE_DOUBLE;
    it.d = Value;
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertBool(VS_INT32 i, VS_BOOL Value) {
    checkHostLock();
    Item it;
    it.type = VSTYPE_BOOL;
    it.i = Value ? 1 : 0;
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertStr(VS_INT32 i, const VS_CHAR *Value) {
    checkHostLock();
    if (Value == nullptr) return VS_FALSE;
    size_t len = strlen(Value);
    if (len > static_cast<size_t>(INT32_MAX)) return VS_FALSE;
    if (readOnly || i < 0 || static_cast<size_t>(i) > items.size()) return VS_FALSE;
    Item it;
    it.type = VSTYPE_STRING;
    try {
        it.bytes.assign(Value, len);
    } catch (const std::bad_alloc &) {
        return VS_FALSE;
    }
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertStrEx(VS_INT32 i, const VS_CHAR *Value, VS_INT32 Length) {
    checkHostLock();
    if (Length < 0 || (Value == nullptr && Length > 0)) return VS_FALSE;
    if (readOnly || i < 0 || static_cast<size_t>(i) > items.size()) return VS_FALSE;
    Item it;
    it.type = VSTYPE_STRING;
    try {
        it.bytes.assign(Value, static_cast<size_t>(Length));
    } catch (const std::bad_alloc &) {
        return VS_FALSE;
    }
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertBin(VS_INT32 i, const VS_INT8 *Value, VS_INT32 Length) {
    checkHostLock();
    if (Length < 0 || (Value == nullptr && Length > 0)) return VS_FALSE;
    if (readOnly || i < 0 || static_cast<size_t>(i) > items.size()) return VS_FALSE;
    Item it;
    it.type = VSTYPE_BIN;
    try {
        it.bytes.assign(reinterpret_cast<const char *>(Value), static_cast<size_t>(Length));
    } catch (const std::bad_alloc &) {
        return VS_FALSE;
    }
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertTime(VS_INT32 i, VS_INT64 Value) {
    checkHostLock();
    Item it;
    it.type = VSTYPE_TIME;
    it.i = Value;
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertObject(VS_INT32 i, void *Object) {
    checkHostLock();
    Item it;
    if (Object != nullptr) {
        HostObject *o = lookup(Object);
        if (o != nullptr) {
            it.type = VSTYPE_OBJECT;
            it.id = o->id;
        }
    }
    return put(i, std::move(it));
}

VS_BOOL ParaPkg::InsertParaPackage(VS_INT32 i, VS_PARAPKGPTR Value) {
    checkHostLock();
    ParaPkg *p = asPkg(Value);
    if (p == nullptr) return VS_FALSE;
    if (readOnly || i < 0 || static_cast<size_t>(i) > items.size()) return VS_FALSE;
    // A package never holds itself, directly or through nested packages:
    // such a cycle would never be freed and would make every walk endless.
    if (p->reaches(this)) return VS_FALSE;
    p->refs++;
    Item it;
    it.type = VSTYPE_PARAPKG;
    it.pkg = p;
    return put(i, std::move(it));
}

VS_INT32 ParaPkg::GetInt(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    if (!it) return 0;
    switch (it->type) {
    case VSTYPE_INT32:
    case VSTYPE_BOOL:
        return static_cast<VS_INT32>(it->i);
    case VSTYPE_INT64:
        return static_cast<VS_INT32>(static_cast<uint32_t>(static_cast<uint64_t>(it->i))); // low 32 bits
    case VSTYPE_DOUBLE:
        return truncDouble<VS_INT32>(it->d);
    default:
        return 0;
    }
}

VS_INT64 ParaPkg::GetInt64(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    if (!it) return 0;
    switch (it->type) {
    case VSTYPE_INT32:
    case VSTYPE_BOOL:
    case VSTYPE_INT64:
        return it->i;
    case VSTYPE_DOUBLE:
        return truncDouble<VS_INT64>(it->d);
    default:
        return 0;
    }
}

VS_DOUBLE ParaPkg::GetFloat(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    if (!it) return 0;
    switch (it->type) {
    case VSTYPE_INT32:
    case VSTYPE_BOOL:
    case VSTYPE_INT64:
        return static_cast<VS_DOUBLE>(it->i);
    case VSTYPE_DOUBLE:
        return it->d;
    default:
        return 0;
    }
}

VS_BOOL ParaPkg::GetBool(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    if (!it) return VS_FALSE;
    switch (it->type) {
    case VSTYPE_INT32:
    case VSTYPE_BOOL:
    case VSTYPE_INT64:
        return it->i != 0 ? VS_TRUE : VS_FALSE;
    case VSTYPE_DOUBLE:
        return it->d != 0 ? VS_TRUE : VS_FALSE;
    default:
        return VS_FALSE;
    }
}

VS_INT64 ParaPkg::GetTime(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    return (it && it->type == VSTYPE_TIME) ? it->i : 0;
}

const VS_CHAR *ParaPkg::GetStr(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    return (it && it->type == VSTYPE_STRING) ? it->bytes.data() : nullptr;
}

const VS_CHAR *ParaPkg::GetStrEx(VS_INT32 i, VS_INT32 *Length) {
    checkHostLock();
    const Item *it = at(i);
    if (!it || it->type != VSTYPE_STRING) {
        if (Length) *Length = 0;
        return nullptr;
    }
    if (Length) *Length = static_cast<VS_INT32>(it->bytes.size());
    return it->bytes.data();
}

const VS_INT8 *ParaPkg::GetBin(VS_INT32 i, VS_INT32 *Length) {
    checkHostLock();
    const Item *it = at(i);
    if (!it || it->type != VSTYPE_BIN) {
        if (Length) *Length = 0;
        return nullptr;
    }
    if (Length) *Length = static_cast<VS_INT32>(it->bytes.size());
    return reinterpret_cast<const VS_INT8 *>(it->bytes.data());
}

void *ParaPkg::GetObject(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    if (!it || it->type != VSTYPE_OBJECT) return nullptr;
    HostObject *o = lookupById(&it->id);
    return o ? o->record : nullptr;
}

VS_PARAPKGPTR ParaPkg::GetParaPackage(VS_INT32 i) {
    checkHostLock();
    const Item *it = at(i);
    return (it && it->type == VSTYPE_PARAPKG) ? it->pkg : nullptr;
}

VS_BOOL ParaPkg::Del(VS_INT32 i) {
    checkHostLock();
    if (readOnly || !at(i)) return VS_FALSE;
    Item old = std::move(items[static_cast<size_t>(i)]);
    items.erase(items.begin() + i);
    idsRemoved(static_cast<size_t>(i), old);
    if (old.type == VSTYPE_PARAPKG && old.pkg) releasePkg(old.pkg);
    return VS_TRUE;
}

void ParaPkg::Clear() {
    checkHostLock();
    if (readOnly) return;
    dropItems();
}

VS_BOOL ParaPkg::AppendFrom(VS_PARAPKGPTR Src) {
    checkHostLock();
    ParaPkg *src = asPkg(Src);
    if (src == nullptr || readOnly) return VS_FALSE;
    // Copy first (Src may be this package), check every nested package for a
    // cycle, and only then change anything: all or nothing.
    ItemList copies;
    try {
        copies = src->items;
    } catch (const std::bad_alloc &) {
        return VS_FALSE;
    }
    for (const Item &it : copies)
        if (it.type == VSTYPE_PARAPKG && it.pkg && it.pkg->reaches(this)) return VS_FALSE;
    try {
        items.reserve(items.size() + copies.size());
    } catch (const std::bad_alloc &) {
        return VS_FALSE;
    }
    for (Item &it : copies) {
        if (it.type == VSTYPE_PARAPKG && it.pkg) it.pkg->refs++;
        items.push_back(std::move(it));
        idsAppended();
    }
    return VS_TRUE;
}

VS_PARAPKGPTR ParaPkg::Dup() {
    checkHostLock();
    // Copies nested packages without recursion; a package shared by several
    // items is copied once and shared the same way in the copy, so the copy
    // has the shape of the original and cannot blow up in size.
    ParaPkg *root = new (std::nothrow) ParaPkg();
    if (!root) return nullptr;
    if (!holdsPackages()) { // the common flat package: a plain copy
        try {
            root->items = items;
        } catch (const std::bad_alloc &) {
            releasePkg(root);
            return nullptr;
        }
        root->dict = dict;
        return root;
    }
    struct Frame {
        ParaPkg *src, *dst;
    };
    std::vector<Frame> work{{this, root}};
    std::unordered_map<const ParaPkg *, ParaPkg *> copied{{this, root}};
    try {
        while (!work.empty()) {
            Frame f = work.back();
            work.pop_back();
            f.dst->dict = f.src->dict;
            f.dst->items.reserve(f.src->items.size());
            for (const Item &it : f.src->items) {
                if (it.type != VSTYPE_PARAPKG || !it.pkg) {
                    f.dst->items.push_back(it);
                    continue;
                }
                ParaPkg *child;
                auto found = copied.find(it.pkg);
                if (found != copied.end()) {
                    child = found->second;
                    child->refs++;
                    Item c;
                    c.type = VSTYPE_PARAPKG;
                    c.pkg = child;
                    f.dst->items.push_back(std::move(c)); // reserved: cannot throw
                    continue;
                }
                child = new ParaPkg(); // its one reference goes to the item
                Item c;
                c.type = VSTYPE_PARAPKG;
                c.pkg = child;
                f.dst->items.push_back(std::move(c)); // reserved: cannot throw
                copied.emplace(it.pkg, child);
                work.push_back({it.pkg, child});
            }
        }
    } catch (const std::bad_alloc &) {
        releasePkg(root);
        return nullptr;
    }
    return root;
}

VS_BOOL ParaPkg::Equals(VS_PARAPKGPTR Other) {
    checkHostLock();
    ParaPkg *other = asPkg(Other);
    if (other == nullptr) return VS_FALSE;
    struct PairHash {
        size_t operator()(const std::pair<const ParaPkg *, const ParaPkg *> &p) const {
            return std::hash<const void *>()(p.first) * 31u ^ std::hash<const void *>()(p.second);
        }
    };
    // Nested pairs still to compare; shared nested packages are compared once
    // per pair. Neither allocates until a nested package shows up.
    std::vector<std::pair<const ParaPkg *, const ParaPkg *>> work;
    std::unordered_set<std::pair<const ParaPkg *, const ParaPkg *>, PairHash> seen;
    const ParaPkg *a = this, *b = other;
    for (;;) {
        if (a != b && a->items.size() != b->items.size()) return VS_FALSE;
        for (size_t k = 0; a != b && k < a->items.size(); ++k) {
            const Item &x = a->items[k];
            const Item &y = b->items[k];
            if (x.type != y.type) return VS_FALSE;
            switch (x.type) {
            case VSTYPE_EMPTY:
                break;
            case VSTYPE_INT32:
            case VSTYPE_INT64:
            case VSTYPE_TIME:
            case VSTYPE_BOOL:
                if (x.i != y.i) return VS_FALSE;
                break;
            case VSTYPE_DOUBLE:
                if (!(x.d == y.d)) return VS_FALSE;
                break;
            case VSTYPE_STRING:
            case VSTYPE_BIN:
                if (x.bytes != y.bytes) return VS_FALSE;
                break;
            case VSTYPE_OBJECT:
                if (memcmp(&x.id, &y.id, sizeof(VS_UUID)) != 0) return VS_FALSE;
                break;
            case VSTYPE_PARAPKG:
                if (x.pkg != y.pkg && seen.insert({x.pkg, y.pkg}).second) work.push_back({x.pkg, y.pkg});
                break;
            default:
                return VS_FALSE;
            }
        }
        if (work.empty()) break;
        a = work.back().first;
        b = work.back().second;
        work.pop_back();
    }
    return VS_TRUE;
}

void ParaPkg::AsDict(VS_BOOL Flag) {
    checkHostLock();
    if (readOnly) return;
    dict = Flag != 0;
}

VS_BOOL ParaPkg::IsDict() {
    checkHostLock();
    return dict ? VS_TRUE : VS_FALSE;
}

VS_INT32 ParaPkg::FindDict(const VS_CHAR *Key) {
    checkHostLock();
    if (Key == nullptr) return -1;
    size_t len = strlen(Key);
    for (size_t k = 0; k < items.size(); k += 2) {
        const Item &it = items[k];
        if (it.type == VSTYPE_STRING && it.bytes.size() == len && memcmp(it.bytes.data(), Key, len) == 0)
            return k + 1 < items.size() ? static_cast<VS_INT32>(k + 1) : -1;
    }
    return -1;
}

VS_CHAR *ParaPkg::ToJSon() {
    checkHostLock();
    return writeJson(this, false);
}

VS_CHAR *ParaPkg::GetValueStr() {
    checkHostLock();
    return writeJson(this, true);
}

namespace {
// The reason of the calling thread's last FromJSon, and the package it was
// made on: kept per thread rather than per package, which stays 40 bytes.
struct JsonFailure {
    const ParaPkg *pkg = nullptr;
    std::string reason;
};
thread_local JsonFailure tJsonFailure;
} // namespace

VS_BOOL ParaPkg::FromJSon(const VS_CHAR *Text) {
    checkHostLock();
    JsonFailure &f = tJsonFailure;
    f.pkg = nullptr;
    if (readOnly) {
        f.pkg = this;
        f.reason = "the package is read-only";
        return VS_FALSE;
    }
    bool ok = readJson(this, Text, &f.reason);
    idsChanged(); // cleared in any case
    if (!ok) f.pkg = this;
    return ok ? VS_TRUE : VS_FALSE;
}

const VS_CHAR *ParaPkg::GetJSonError() {
    const JsonFailure &f = tJsonFailure;
    return f.pkg == this ? f.reason.c_str() : nullptr;
}

void ParaPkg::FreeBuf(VS_CHAR *Text) {
    free(Text);
}

VS_BOOL ParaPkg::IsReadOnly() {
    checkHostLock();
    return readOnly ? VS_TRUE : VS_FALSE;
}

VS_BOOL ParaPkg::SetReadOnly(const VS_CHAR *Key, VS_BOOL Flag) {
    checkHostLock();
    const char *key = Key ? Key : "";
    if (Flag) {
        if (readOnly) return VS_FALSE; // the first key stays
        try {
            std::lock_guard<std::mutex> g(gKeyMutex);
            readOnlyKeys()[this] = key;
        } catch (const std::bad_alloc &) {
            return VS_FALSE;
        }
        readOnly = true;
        return VS_TRUE;
    }
    if (!readOnly) return VS_TRUE;
    std::lock_guard<std::mutex> g(gKeyMutex);
    auto it = readOnlyKeys().find(this);
    if (it == readOnlyKeys().end() || it->second != key) return VS_FALSE;
    readOnly = false;
    readOnlyKeys().erase(it);
    return VS_TRUE;
}

namespace {
bool sameID(const VS_UUID &a, const VS_UUID &b) {
    return memcmp(&a, &b, sizeof(VS_UUID)) == 0;
}
} // namespace

VS_INT32 ParaPkg::FindObjectID(const VS_UUID *ID) {
    checkHostLock();
    if (ID == nullptr) return -1;
    if (!ids && items.size() > kScanObjectIDs) {
        // Built back to front so that the first item with an ID wins.
        try {
            std::unique_ptr<IdHash> made(new IdHash());
            made->reserve(items.size());
            for (size_t k = items.size(); k-- > 0;)
                if (items[k].type == VSTYPE_OBJECT) (*made)[items[k].id] = static_cast<VS_INT32>(k);
            ids = std::move(made);
        } catch (const std::bad_alloc &) {
            // answered by the scan below
        }
    }
    if (ids) {
        auto f = ids->find(*ID);
        return f == ids->end() ? -1 : f->second;
    }
    for (size_t k = 0; k < items.size(); ++k)
        if (items[k].type == VSTYPE_OBJECT && sameID(items[k].id, *ID)) return static_cast<VS_INT32>(k);
    return -1;
}

// Each keeper below drops the hash when it cannot update it (no memory):
// the next FindObjectID builds it again.
void ParaPkg::idsAppended() {
    if (!ids || items.back().type != VSTYPE_OBJECT) return;
    try {
        ids->emplace(items.back().id, static_cast<VS_INT32>(items.size() - 1)); // an earlier item keeps its place
    } catch (const std::bad_alloc &) {
        ids.reset();
    }
}

void ParaPkg::idsReplaced(size_t i, const Item &old) {
    if (!ids) return;
    try {
        if (old.type == VSTYPE_OBJECT) {
            auto f = ids->find(old.id);
            if (f != ids->end() && f->second == static_cast<VS_INT32>(i)) {
                // The next item with that ID, if any, becomes the first.
                ids->erase(f);
                for (size_t k = i + 1; k < items.size(); ++k)
                    if (items[k].type == VSTYPE_OBJECT && sameID(items[k].id, old.id)) {
                        ids->emplace(old.id, static_cast<VS_INT32>(k));
                        break;
                    }
            }
        }
        const Item &now = items[i];
        if (now.type == VSTYPE_OBJECT) {
            auto f = ids->find(now.id);
            if (f == ids->end())
                ids->emplace(now.id, static_cast<VS_INT32>(i));
            else if (f->second > static_cast<VS_INT32>(i))
                f->second = static_cast<VS_INT32>(i);
        }
    } catch (const std::bad_alloc &) {
        ids.reset();
    }
}

void ParaPkg::idsRemoved(size_t i, const Item &old) {
    if (!ids) return;
    if (old.type == VSTYPE_OBJECT) {
        auto f = ids->find(old.id);
        if (f != ids->end() && f->second == static_cast<VS_INT32>(i)) ids->erase(f);
    }
    // The items after i moved down by one (a removal costs as many steps as
    // the erase itself); a later item with the removed ID becomes the first.
    try {
        for (size_t k = i; k < items.size(); ++k) {
            const Item &it = items[k];
            if (it.type != VSTYPE_OBJECT) continue;
            auto f = ids->find(it.id);
            if (f == ids->end())
                ids->emplace(it.id, static_cast<VS_INT32>(k));
            else if (f->second == static_cast<VS_INT32>(k + 1))
                f->second = static_cast<VS_INT32>(k);
        }
    } catch (const std::bad_alloc &) {
        ids.reset();
    }
}

} // namespace pkg

VS_PARAPKGPTR newParaPkg() {
    return new (std::nothrow) pkg::ParaPkg();
}

bool isParaPkg(const void *p) {
    return pkg::asPkg(p) != nullptr;
}

} // namespace tvh
