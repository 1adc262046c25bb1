// The plain forwarding members of ClassOfXRQObject: each passes its
// arguments, with the bound object in the host's place for it, and returns
// the host's result unchanged.
#include "ClassOfXRQObject.h"

#define XRQ_OBJ(R, Name, Params, Args)                                                                       \
    R ClassOfXRQObject::Name Params                                                                          \
    {                                                                                                        \
        return XRQInterface->Name(RawObject XRQ_TAIL Args);                                                  \
    }
#define XRQ_GEN(R, Member, Host, HostParams, HostArgs, MemberParams, CallArgs)                              \
    R ClassOfXRQObject::Member MemberParams                                                                  \
    {                                                                                                        \
        return XRQInterface->Host CallArgs;                                                                  \
    }
#include "ClassOfXRQObject_Forwards.h"
#undef XRQ_OBJ
#undef XRQ_GEN
