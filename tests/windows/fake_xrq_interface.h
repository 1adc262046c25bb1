// A host service interface that records every call the wrapper makes and
// keeps just enough host state to answer it: the application class per
// object and layer, reallocation registrations, and results the test sets.
#ifndef FAKE_XRQ_INTERFACE_H
#define FAKE_XRQ_INTERFACE_H

#include "ClassOfXRQObject.h"
#include "xrq_api_stubs.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class FakeXRQInterface : public XRQApiStubs {
  public:
    struct Call {
        std::string Name;
        std::vector<const void *> Pointers; // pointer arguments, in order
        std::vector<VS_UWORD> Words;        // integer arguments, in order
    };
    std::vector<Call> Calls;

    // Host state.
    std::map<std::pair<void *, VS_ULONG>, void *> AppClasses;
    std::map<void *, std::vector<std::pair<VS_REMALLOCCALLBACK, VS_UWORD>>> ReMallocs;
    VS_ULONG Layer = 3;              // what GetLayer answers
    void *ObjectResult = nullptr;    // what the object-returning methods answer
    OBJECTATTRIBUTEINDEX QueueResult = 2; // what AllocQueue answers
    bool NameValueResult = true;
    VS_INT32 IntNameValue = 0;       // what GetNameIntValue stores

    // ---- what the test asks ----
    size_t Count(const std::string &Name) const
    {
        return (size_t)std::count_if(Calls.begin(), Calls.end(), [&](const Call &c) { return c.Name == Name; });
    }
    const Call *Last(const std::string &Name) const
    {
        for (auto it = Calls.rbegin(); it != Calls.rend(); ++it)
            if (it->Name == Name)
                return &*it;
        return nullptr;
    }
    // Registration calls (the binding core's), as opposed to forwarded ones.
    size_t RegistrationCalls() const
    {
        return Count("SetAppClass") + Count("RegReMallocCallBack") + Count("UnRegReMallocCallBack") +
               Count("FreeObject");
    }
    void *AppClassOf(void *Object, VS_ULONG ClassLayer) const
    {
        auto it = AppClasses.find({Object, ClassLayer});
        return it == AppClasses.end() ? nullptr : it->second;
    }
    size_t ReMallocCount(void *Object) const
    {
        auto it = ReMallocs.find(Object);
        return it == ReMallocs.end() ? 0 : it->second.size();
    }

    // ---- what the host does on its own ----
    void HostMove(void *Old, void *New)
    {
        auto Regs = ReMallocs[Old];
        ReMallocs.erase(Old);
        ReMallocs[New] = Regs;
        std::map<std::pair<void *, VS_ULONG>, void *> Moved;
        for (auto &e : AppClasses)
            Moved[{e.first.first == Old ? New : e.first.first, e.first.second}] = e.second;
        AppClasses = Moved;
        for (auto &r : Regs)
            r.first(Old, r.second, New);
    }
    void HostFree(void *Object)
    {
        auto Regs = ReMallocs[Object];
        ReMallocs.erase(Object);
        for (auto it = AppClasses.begin(); it != AppClasses.end();)
            it = it->first.first == Object ? AppClasses.erase(it) : std::next(it);
        for (auto &r : Regs)
            r.first(Object, r.second, nullptr);
    }

    // ---- recording ----
    template <typename T> static void Collect(Call &c, T v)
    {
        if constexpr (std::is_pointer_v<T>)
            c.Pointers.push_back((const void *)v);
        else if constexpr (std::is_integral_v<T>)
            c.Words.push_back((VS_UWORD)v);
    }
    template <typename... A> void Record(const char *Name, A... Args)
    {
        Call c;
        c.Name = Name;
        (Collect(c, Args), ...);
        Calls.push_back(c);
    }
    template <typename R> R Answer(const char *Name)
    {
        if constexpr (std::is_same_v<R, void>)
            return;
        else if constexpr (std::is_same_v<R, VS_ULONG>)
            return strcmp(Name, "GetLayer") == 0 ? Layer : 0;
        else
            return R{};
    }
    template <typename... A> void Hook(const char *, A...) {}
    void Hook(const char *Name, void *Object, VS_REMALLOCCALLBACK CallBack, VS_UWORD Para)
    {
        auto &Regs = ReMallocs[Object];
        if (strcmp(Name, "RegReMallocCallBack") == 0) {
            Regs.push_back({CallBack, Para});
        } else {
            auto it = std::find(Regs.begin(), Regs.end(), std::make_pair(CallBack, Para));
            if (it != Regs.end())
                Regs.erase(it);
        }
    }

    VS_ULONG AddRef() override { return 1; }
    VS_ULONG Release() override { return 1; }

#define XRQ_OBJ(R, Name, Params, Args)                                                                       \
    R Name(void *Object XRQ_TAIL Params) override                                                            \
    {                                                                                                        \
        Record(#Name, Object XRQ_TAIL Args);                                                                 \
        Hook(#Name, Object XRQ_TAIL Args);                                                                   \
        return Answer<R>(#Name);                                                                             \
    }
#define XRQ_GEN(R, Member, Host, HostParams, HostArgs, MemberParams, CallArgs)                              \
    R Host HostParams override                                                                               \
    {                                                                                                        \
        Record(#Host XRQ_TAIL HostArgs);                                                                     \
        return Answer<R>(#Host);                                                                             \
    }
#include "ClassOfXRQObject_Forwards.h"
#undef XRQ_OBJ
#undef XRQ_GEN

    void SetAppClass(void *Object, VS_ULONG ClassLayer, void *AppClass) override
    {
        Record("SetAppClass", Object, ClassLayer, AppClass);
        if (AppClass == nullptr)
            AppClasses.erase({Object, ClassLayer});
        else
            AppClasses[{Object, ClassLayer}] = AppClass;
    }
    void *GetAppClass(void *Object, VS_ULONG ClassLayer) override { return AppClassOf(Object, ClassLayer); }

    void *GetChildByID(void *Object, OBJECTATTRIBUTEINDEX Index, VS_UINT16 ID) override
    {
        Record("GetChildByID", Object, Index, ID);
        return ObjectResult;
    }
#define FAKE_OBJECT_RESULT(Name, Params, Args)                                                               \
    void *Name Params override                                                                               \
    {                                                                                                        \
        Record(#Name XRQ_TAIL Args);                                                                         \
        return ObjectResult;                                                                                 \
    }
    FAKE_OBJECT_RESULT(GetClass, (void *Object), (Object))
    FAKE_OBJECT_RESULT(GetClientObject, (), ())
    FAKE_OBJECT_RESULT(GetNextEx, (void *Object), (Object))
    FAKE_OBJECT_RESULT(GetParent, (void *Object), (Object))
    FAKE_OBJECT_RESULT(GetPrevEx, (void *Object), (Object))
    FAKE_OBJECT_RESULT(LuaToObject, (VS_INT32 Index), (Index))
    FAKE_OBJECT_RESULT(QueryFirst, (void *Parent), (Parent))
    FAKE_OBJECT_RESULT(QueryNext, (void *Object), (Object))
    FAKE_OBJECT_RESULT(QueryPrev, (void *Object), (Object))
    FAKE_OBJECT_RESULT(QueryFirstActiveChild, (void *Object, VS_UWORD *Context), (Object, Context))
    FAKE_OBJECT_RESULT(QueryNextActiveChild, (VS_UWORD * Context), (Context))
    FAKE_OBJECT_RESULT(QueryFirstInst, (VS_QUERYRECORD * Query, void *Object), (Query, Object))
    FAKE_OBJECT_RESULT(QueryNextInst, (VS_QUERYRECORD * Query, void *Object), (Query, Object))
#undef FAKE_OBJECT_RESULT

    VS_BOOL IsChild(void *Object, void *Child) override
    {
        Record("IsChild", Object, Child);
        return VS_TRUE;
    }
    VS_BOOL ChangeParent(void *Object, void *Parent, OBJECTATTRIBUTEINDEX Index) override
    {
        Record("ChangeParent", Object, Parent, Index);
        return VS_TRUE;
    }
    OBJECTATTRIBUTEINDEX AllocQueue(void *Parent, void *Object) override
    {
        Record("AllocQueue", Parent, Object);
        return QueueResult;
    }
    VS_BOOL GetNameBoolValue(void *Object, const VS_CHAR *Name, VS_BOOL *Value, VS_BOOL Default) override
    {
        Record("GetNameBoolValue", Object, Name, Value, Default);
        *Value = !Default;
        return NameValueResult;
    }
    VS_BOOL GetNameIntValue(void *Object, const VS_CHAR *Name, VS_INT32 *Value, VS_INT32 Default) override
    {
        Record("GetNameIntValue", Object, Name, Value, Default);
        *Value = IntNameValue;
        return NameValueResult;
    }
    VS_BOOL GetNameFloatValue(void *Object, const VS_CHAR *Name, VS_DOUBLE *Value, VS_DOUBLE Default) override
    {
        Record("GetNameFloatValue", Object, Name, Value);
        *Value = Default * 2;
        return NameValueResult;
    }
    VS_BOOL CreateOVLFunction(void *Object, VS_UUID *ID, void *Function, VS_UUID *NewID) override
    {
        Record("CreateOVLFunction", Object, ID, Function, NewID);
        return VS_TRUE;
    }
    VS_BOOL CreateOVLInEvent(void *Object, VS_UUID *ID, void *Function, VS_UUID *NewID) override
    {
        Record("CreateOVLInEvent", Object, ID, Function, NewID);
        return VS_TRUE;
    }
    VS_BOOL RegSysEventFunction(void *Object, VS_ULONG EventID, void *Function, VS_UWORD Para) override
    {
        Record("RegSysEventFunction", Object, Function, EventID, Para);
        return VS_TRUE;
    }
    void UnRegSysEventFunction(void *Object, VS_ULONG EventID, void *Function, VS_UWORD Para) override
    {
        Record("UnRegSysEventFunction", Object, Function, EventID, Para);
    }
    VS_BOOL RegEventFunction(void *Src, VS_UUID *EventID, void *Object, void *Function, VS_UWORD Para) override
    {
        Record("RegEventFunction", Src, EventID, Object, Function, Para);
        return VS_TRUE;
    }
    void UnRegEventFunction(void *Src, VS_UUID *EventID, void *Object, void *Function, VS_UWORD Para) override
    {
        Record("UnRegEventFunction", Src, EventID, Object, Function, Para);
    }
    // The remote calls read two integers from the list, as a host would.
    VS_BOOL RemoteCallVar(VS_ULONG ClientID, void *Object, VS_UUID *ID, va_list Args) override
    {
        int a = va_arg(Args, int), b = va_arg(Args, int);
        Record("RemoteCallVar", Object, ID, ClientID, a, b);
        return VS_TRUE;
    }
    VS_UWORD RemoteCallExVar(VS_ULONG ClientID, void *Object, VS_UUID *ID, va_list Args) override
    {
        int a = va_arg(Args, int), b = va_arg(Args, int);
        Record("RemoteCallExVar", Object, ID, ClientID, a, b);
        return 7;
    }
    VS_UWORD SRemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_ULONG *RetCode, void *Object, VS_UUID *ID,
                            va_list Args) override
    {
        int a = va_arg(Args, int), b = va_arg(Args, int);
        Record("SRemoteCallVar", Object, ID, RetCode, WaitTime, ClientID, a, b);
        return 8;
    }
    VS_BOOL ARemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_REMOTECALLRSP CallBack, VS_UWORD Para,
                           void *Object, VS_UUID *ID, va_list Args) override
    {
        int a = va_arg(Args, int), b = va_arg(Args, int);
        Record("ARemoteCallVar", Object, ID, (void *)CallBack, WaitTime, ClientID, Para, a, b);
        return VS_TRUE;
    }
    VS_BOOL CreateSysRootItem(const VS_CHAR *Name, const VS_CHAR *, VS_UUID *, VS_UUID *) override
    {
        Record("CreateSysRootItem", Name);
        return VS_TRUE;
    }
};

#endif
