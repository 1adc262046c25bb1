// Standard containers on host memory.
//
// The module keeps no heap of its own: every container it uses takes its
// storage from the host's Malloc_Nor / Free through TrelkAllocator, and the
// aliases below are the only container types module code names. Texts are
// TrelkString. Algorithms that allocate behind the caller's back
// (std::stable_sort, std::inplace_merge, std::function, std::make_shared) are
// not used; tests read the module's object files and fail on any import of
// the C or C++ runtime's allocation functions.
//
// A container is made and dropped while the module is loaded (the host's
// interface is set): no container lives in a static of its own, which would
// outlive the interface at unload.
//
// Running out of host memory inside a container operation cannot be handed
// back to the caller (the container has no way to say so): it is reported to
// the host and ends the process, as it would for the host itself.
#ifndef TRELK_ALLOC_H
#define TRELK_ALLOC_H

#include "quel_trelk.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// Bytes of host memory for a container; never NULL (see above).
void *Trelk_ContainerAlloc(size_t Bytes);
void Trelk_ContainerFree(void *Ptr);

template <class T> struct TrelkAllocator {
    typedef T value_type;

    TrelkAllocator() noexcept {}
    template <class U> TrelkAllocator(const TrelkAllocator<U> &) noexcept {}

    T *allocate(size_t Count) {
        if (Count > (size_t)-1 / sizeof(T))
            return (T *)Trelk_ContainerAlloc((size_t)-1); // reported as out of memory
        return (T *)Trelk_ContainerAlloc(Count * sizeof(T));
    }
    void deallocate(T *Ptr, size_t) noexcept { Trelk_ContainerFree(Ptr); }

    template <class U> bool operator==(const TrelkAllocator<U> &) const noexcept { return true; }
    template <class U> bool operator!=(const TrelkAllocator<U> &) const noexcept { return false; }
};

template <class T> using TrelkVector = std::vector<T, TrelkAllocator<T>>;

template <class K, class V, class Hash = std::hash<K>, class Same = std::equal_to<K>>
using TrelkHashMap = std::unordered_map<K, V, Hash, Same, TrelkAllocator<std::pair<const K, V>>>;

template <class K, class Hash = std::hash<K>, class Same = std::equal_to<K>>
using TrelkHashSet = std::unordered_set<K, Hash, Same, TrelkAllocator<K>>;

template <class K, class V, class Less = std::less<K>>
using TrelkMap = std::map<K, V, Less, TrelkAllocator<std::pair<const K, V>>>;

template <class K, class Less = std::less<K>> using TrelkSet = std::set<K, Less, TrelkAllocator<K>>;

typedef std::basic_string<VS_CHAR, std::char_traits<VS_CHAR>, TrelkAllocator<VS_CHAR>> TrelkString;

// Hash and equality of IDs as keys (all 16 bytes significant).
struct TrelkIDHash {
    size_t operator()(const VS_UUID &ID) const noexcept {
        VS_UWORD Words[2];
        memcpy(Words, &ID, sizeof(Words));
        VS_UWORD H = Words[0] * 0x9E3779B97F4A7C15ull ^ Words[1];
        return (size_t)(H ^ (H >> 29));
    }
};
struct TrelkIDSame {
    bool operator()(const VS_UUID &a, const VS_UUID &b) const noexcept {
        return memcmp(&a, &b, sizeof(VS_UUID)) == 0;
    }
};

template <class V> using TrelkIDMap = TrelkHashMap<VS_UUID, V, TrelkIDHash, TrelkIDSame>;
using TrelkIDSet = TrelkHashSet<VS_UUID, TrelkIDHash, TrelkIDSame>;

// Stable sort without a hidden buffer: a merge sort over a scratch vector of
// host memory (std::stable_sort takes its buffer from the C++ runtime).
template <class T, class Before> void Trelk_StableSort(TrelkVector<T> &Items, Before Less) {
    size_t n = Items.size();
    if (n < 2)
        return;
    if (n <= 16) {
        for (size_t i = 1; i < n; i++) {
            T Item = Items[i];
            size_t j = i;
            for (; j > 0 && Less(Item, Items[j - 1]); j--)
                Items[j] = Items[j - 1];
            Items[j] = Item;
        }
        return;
    }
    TrelkVector<T> Scratch(Items);
    TrelkVector<T> *From = &Items, *To = &Scratch;
    // Runs of Width are merged pairwise into the other vector; the result
    // ends in Items after an even or odd number of passes.
    for (size_t Width = 1; Width < n; Width *= 2) {
        for (size_t Lo = 0; Lo < n; Lo += 2 * Width) {
            size_t Mid = Lo + Width < n ? Lo + Width : n;
            size_t Hi = Lo + 2 * Width < n ? Lo + 2 * Width : n;
            size_t a = Lo, b = Mid, k = Lo;
            while (a < Mid && b < Hi)
                (*To)[k++] = Less((*From)[b], (*From)[a]) ? (*From)[b++] : (*From)[a++];
            while (a < Mid)
                (*To)[k++] = (*From)[a++];
            while (b < Hi)
                (*To)[k++] = (*From)[b++];
        }
        TrelkVector<T> *Swap = From;
        From = To;
        To = Swap;
    }
    if (From != &Items)
        Items.swap(*From);
}

#endif
