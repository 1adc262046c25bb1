// Binary buffers: a growable byte buffer with a count of valid bytes.
#include "host_internal.h"
#include "ptr_set.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace tvh {
using pkg::PtrSet;
namespace {

std::mutex gLiveMutex;
PtrSet &liveBufs() {
    // Never destroyed: a package or buffer may be released by another
    // static's destructor at exit.
    static auto *set = new PtrSet();
    return *set;
}

class BinBuf final : public ClassOfXRQBinBufInterface {
  public:
    BinBuf() {
        {
            std::lock_guard<std::mutex> g(gLiveMutex);
            liveBufs().insert(static_cast<ClassOfXRQBinBufInterface *>(this));
        }
        counters().LiveBinBufs++;
    }

    VS_ULONG AddRef() override {
        checkHostLock();
        return ++refs_;
    }

    VS_ULONG Release() override {
        checkHostLock();
        VS_ULONG before = refs_.load();
        if (before == 0) return 0;
        if (refs_.fetch_sub(1) == 1) {
            delete this;
            return 0;
        }
        return before - 1;
    }

    VS_BOOL Set(VS_INT32 Offset, VS_INT32 Length, const VS_INT8 *Bytes) override {
        checkHostLock();
        if (Offset < 0 || Length < 0 || (Bytes == nullptr && Length > 0)) return VS_FALSE;
        int64_t end = static_cast<int64_t>(Offset) + Length;
        if (end > INT32_MAX) return VS_FALSE; // the valid length must stay a VS_INT32
        try {
            if (static_cast<size_t>(end) > bytes_.size()) bytes_.resize(static_cast<size_t>(end)); // zero gap
        } catch (const std::bad_alloc &) {
            return VS_FALSE;
        }
        if (Length > 0) memcpy(bytes_.data() + Offset, Bytes, static_cast<size_t>(Length));
        return VS_TRUE;
    }

    VS_INT8 *GetBuf() override {
        checkHostLock();
        return bytes_.empty() ? nullptr : bytes_.data();
    }

    VS_INT32 GetOffset() override {
        checkHostLock();
        return static_cast<VS_INT32>(bytes_.size());
    }

  private:
    ~BinBuf() override {
        {
            std::lock_guard<std::mutex> g(gLiveMutex);
            liveBufs().erase(static_cast<ClassOfXRQBinBufInterface *>(this));
        }
        counters().LiveBinBufs--;
    }

    std::atomic<VS_ULONG> refs_{1};
    std::vector<VS_INT8> bytes_; // exactly the valid bytes
};

} // namespace

ClassOfXRQBinBufInterface *newBinBuf() {
    return new (std::nothrow) BinBuf();
}

bool isBinBuf(const void *p) {
    if (p == nullptr) return false;
    std::lock_guard<std::mutex> g(gLiveMutex);
    return liveBufs().contains(p);
}

} // namespace tvh
