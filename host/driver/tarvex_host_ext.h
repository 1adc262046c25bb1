// What the stand-in host offers beyond the module's contract (tarvex_api.h),
// for its runner, tests and benchmarks: an index's key count, a package's
// lookup of an object ID and the reason its last JSON read failed. The
// host's service and package classes implement these extension classes;
// tvh::serviceHost() and tvh::packageHost() give them to driver-side code.
//
// The module's libraries are compiled without this folder on their include
// path: module code that needs one of these operations does not build.
#ifndef TARVEX_HOST_EXT_H
#define TARVEX_HOST_EXT_H

#include "tarvex_api.h"

class ClassOfXRQParaPackageInterfaceHost : public ClassOfXRQParaPackageInterface {
  public:
    // Index of the first object item that stores ID, whether or not that
    // object is still alive; -1 when there is none or ID is NULL. Compares
    // IDs and resolves no item, in constant time on average: a package of
    // more than a few items keeps a hash of its object IDs, made by the
    // first such call and kept in step by every later change, whoever makes
    // it. For a live object, FindObjectID(GetIDEx(Object)) finds the first i
    // with GetObject(i) == Object. Host lock.
    virtual VS_INT32 FindObjectID(const VS_UUID *ID) = 0;
    // Why this package's FromJSon just returned FALSE, as its report says
    // it without "FromJSon failed, ". NULL when the calling thread's last
    // FromJSon was on another package or succeeded. The text stays valid
    // until that thread's next FromJSon.
    virtual const VS_CHAR *GetJSonError() = 0;

  protected:
    virtual ~ClassOfXRQParaPackageInterfaceHost() {}
};

class ClassOfXRQInterfaceHost : public ClassOfXRQInterface {
  public:
    // Keys in the index (any kind). Host lock.
    virtual VS_ULONG GetKeyNumber(void *Index) = 0;

  protected:
    virtual ~ClassOfXRQInterfaceHost() {}
};

#endif
