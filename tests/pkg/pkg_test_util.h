// Small helpers shared by the package tests.
#ifndef TVH_PKG_TEST_UTIL_H
#define TVH_PKG_TEST_UTIL_H

#include "pkg/pkg_internal.h"

#include <cstdlib>
#include <string>

// Owns one package reference for the length of a test.
class Pkg {
  public:
    Pkg() : p_(tvh::newParaPkg()) {}
    explicit Pkg(VS_PARAPKGPTR adopt) : p_(adopt) {}
    Pkg(const Pkg &) = delete;
    Pkg &operator=(const Pkg &) = delete;
    ~Pkg() {
        if (p_) p_->Release();
    }
    VS_PARAPKGPTR operator->() const { return p_; }
    VS_PARAPKGPTR get() const { return p_; }

  private:
    VS_PARAPKGPTR p_;
};

// Text of ToJSon / GetValueStr, "<none>" when the package gives no text.
inline std::string jsonOf(VS_PARAPKGPTR p, bool valueText = false) {
    VS_CHAR *t = valueText ? p->GetValueStr() : p->ToJSon();
    if (!t) return "<none>";
    std::string s(t);
    p->FreeBuf(t);
    return s;
}

// Parses `text` into a new package and gives its ToJSon text back.
inline std::string roundTrip(const char *text) {
    Pkg p;
    if (!p->FromJSon(text)) return "<refused>";
    return jsonOf(p.get());
}

#endif
