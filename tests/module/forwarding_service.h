// A service interface that forwards every call to the host's own, so that a
// test can stand in for a host that answers some calls differently (another
// record layout, a class that cannot be created) or runs script at a chosen
// point of the module's start-up.
//
// The plain forwarding methods were generated from tarvex_api.h; keep them in
// step with it.
#ifndef TRELK_TEST_FORWARDING_SERVICE_H
#define TRELK_TEST_FORWARDING_SERVICE_H

#include "tarvex_api.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

class ForwardingService : public ClassOfXRQInterface {
  public:
    explicit ForwardingService(ClassOfXRQInterface *Inner) : Inner(Inner) {}
    virtual ~ForwardingService() {}

    ClassOfXRQInterface *Inner;
    // Called for each class the module registers with the class the host made;
    // the result is what the module gets (NULL: creation refused).
    std::function<void *(const std::string &Name, void *Created)> OnClassCreated;
    // May change what the host reports for an attribute.
    std::function<void(const std::string &Name, VS_ATTRIBUTEINFO *Info)> OnAttributeInfo;
    // Answers FALSE for every attribute even though the record it fills holds
    // the host's real answer: a failed call must count, whatever it wrote.
    bool RefuseAttributeInfo = false;
    // When set, the calls that shape start-up and shutdown are noted here in
    // order; the n-th note of one kind is written "kind#n".
    std::vector<std::string> *Calls = nullptr;
    std::map<std::string, int> CallCount;
    void Note(const std::string &What) {
        if (Calls != nullptr)
            Calls->push_back(What + "#" + std::to_string(++CallCount[What]));
    }
    std::string NameOf(void *Object) {
        const VS_CHAR *Name = Object != nullptr ? Inner->GetName(Object) : nullptr;
        return Name != nullptr ? Name : "?";
    }
    static std::string PtrText(const void *P) {
        char Buf[32];
        snprintf(Buf, sizeof(Buf), "%p", P);
        return Buf;
    }

    void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format, ...) override {
        char Text[16384];
        va_list Args;
        va_start(Args, Format);
        vsnprintf(Text, sizeof(Text), Format, Args);
        va_end(Args);
        Inner->ProcessError(Level, Source, Line, "%s", Text);
    }
    void *CreateAtomicAttribute(void *Atomic, const VS_CHAR *Name, VS_UINT8 Type, ...) override {
        return Inner->CreateAtomicAttribute(Atomic, Name, Type);
    }
    VS_UWORD ScriptCall(void *Object, VS_BOOL *Ok, const VS_CHAR *Name, const VS_CHAR *TypeText, ...) override {
        // Arguments are texts and objects (pointers) or 32-bit integers ('z');
        // the module passes at most three.
        intptr_t A[3] = {0, 0, 0};
        int N = 0;
        va_list Args;
        va_start(Args, TypeText);
        const char *P = TypeText != nullptr ? TypeText : "";
        if (*P == '(')
            P++;
        for (; *P != 0 && *P != ')' && N < 3; P++, N++) {
            if (*P == 'z')
                A[N] = (intptr_t)va_arg(Args, VS_INT32);
            else
                A[N] = (intptr_t)va_arg(Args, void *);
        }
        va_end(Args);
        Note(std::string("ScriptCall:") + (Name != nullptr ? Name : "?"));
        // An integer travels through varargs in a 64-bit slot on x86-64; the
        // receiver reads it as a 32-bit value.
        switch (N) {
        case 0:
            return Inner->ScriptCall(Object, Ok, Name, TypeText);
        case 1:
            return Inner->ScriptCall(Object, Ok, Name, TypeText, A[0]);
        case 2:
            return Inner->ScriptCall(Object, Ok, Name, TypeText, A[0], A[1]);
        default:
            return Inner->ScriptCall(Object, Ok, Name, TypeText, A[0], A[1], A[2]);
        }
    }
    void *XmlToObjectEx(ClassOfXRQSXMLInterface *SXml, void *RootItem, VS_UUID *ClassID, VS_SYSEVENTPTR Handler,
                        VS_UWORD Reserved) override {
        void *Created = Inner->XmlToObjectEx(SXml, RootItem, ClassID, Handler, Reserved);
        if (Created != nullptr)
            Note("Class:" + NameOf(Created));
        if (Created != nullptr && OnClassCreated)
            return OnClassCreated(Inner->GetName(Created), Created);
        return Created;
    }
    VS_BOOL GetAttributeInfoEx(void *ClassObject, const VS_CHAR *Name, VS_ATTRIBUTEINFO *Info) override {
        Note(std::string("AttributeInfo:") + (Name != nullptr ? Name : "?"));
        VS_BOOL Result = Inner->GetAttributeInfoEx(ClassObject, Name, Info);
        if (RefuseAttributeInfo)
            return VS_FALSE;
        if (Result && OnAttributeInfo)
            OnAttributeInfo(Name, Info);
        return Result;
    }

    VS_ULONG AddRef() override { return Inner->AddRef(); }
    VS_ULONG Release() override {
        Note("Release");
        return Inner->Release();
    }
    ClassOfXRQSXMLInterface * GetSXMLInterface() override { return Inner->GetSXMLInterface(); }
    VS_BOOL CreateSysRootItem(const VS_CHAR *Name, const VS_CHAR *Desc, VS_UUID *ID, VS_UUID *Reserved) override {
        Note(std::string("CreateSysRootItem:") + (Name != nullptr ? Name : "?"));
        return Inner->CreateSysRootItem(Name, Desc, ID, Reserved);
    }
    void * GetSysRootItem(const VS_CHAR *Name) override {
        Note(std::string("GetSysRootItem:") + (Name != nullptr ? Name : "?"));
        return Inner->GetSysRootItem(Name);
    }
    void * GetAtomicObjectEx(void *Parent, const VS_CHAR *Name) override { return Inner->GetAtomicObjectEx(Parent, Name); }
    void * GetAtomicFunctionByName(void *Atomic, const VS_CHAR *Name) override {
        Note("Bind:" + NameOf(Inner->AtomicToObject(Atomic)));
        return Inner->GetAtomicFunctionByName(Atomic, Name);
    }
    VS_BOOL SetAtomicFunction(void *Slot, VS_LUAFUNCPTR Fn) override { return Inner->SetAtomicFunction(Slot, Fn); }
    void * CreateAtomicLuaFunction(void *Atomic, const VS_CHAR *Name, VS_UUID *FunctionID, const VS_CHAR *Desc) override { return Inner->CreateAtomicLuaFunction(Atomic, Name, FunctionID, Desc); }
    VS_BOOL SetSysEvent(void *AtomicOrObject, VS_SYSEVENTPTR Handler) override { return Inner->SetSysEvent(AtomicOrObject, Handler); }
    OBJECTATTRIBUTEINDEX GetAttributeIndex(void *ClassObject, const VS_CHAR *Name) override { return Inner->GetAttributeIndex(ClassObject, Name); }
    void * MallocObjectL(VS_UUID *ClassOrObjectID, VS_ULONG ExtraSize, VS_PARAPKGPTR InitPara) override { return Inner->MallocObjectL(ClassOrObjectID, ExtraSize, InitPara); }
    void * MallocObjectLEx(VS_UUID *ClassOrObjectID, VS_UUID *ObjectID, VS_ULONG ExtraSize, VS_PARAPKGPTR InitPara) override { return Inner->MallocObjectLEx(ClassOrObjectID, ObjectID, ExtraSize, InitPara); }
    VS_PARAPKGPTR GetInitPara(void *Object) override { return Inner->GetInitPara(Object); }
    VS_ULONG GetSysEventID(void *EventPara) override { return Inner->GetSysEventID(EventPara); }
    void FreeObject(void *Object) override {
        Note("Free:" + NameOf(Object));
        Inner->FreeObject(Object);
    }
    VS_UUID * GetIDEx(void *Object) override { return Inner->GetIDEx(Object); }
    VS_UUID GetID(void *Object) override { return Inner->GetID(Object); }
    void * GetObject(VS_UUID *ObjectID) override { return Inner->GetObject(ObjectID); }
    void * GetObjectEx(void *Parent, const VS_CHAR *Name) override {
        Note(std::string("GetObjectEx:") + (Name != nullptr ? Name : "?"));
        return Inner->GetObjectEx(Parent, Name);
    }
    const VS_CHAR * GetName(void *Object) override { return Inner->GetName(Object); }
    void SetName(void *Object, const VS_CHAR *Name) override { Inner->SetName(Object, Name); }
    void * GetClass(void *Object) override { return Inner->GetClass(Object); }
    void * GetParent(void *Object) override { return Inner->GetParent(Object); }
    OBJECTATTRIBUTEINDEX GetIndex(void *Object) override { return Inner->GetIndex(Object); }
    VS_BOOL IsInst(VS_UUID *ClassID, void *Object) override { return Inner->IsInst(ClassID, Object); }
    VS_BOOL IsDirectInst(VS_UUID *ClassID, void *Object) override { return Inner->IsDirectInst(ClassID, Object); }
    VS_INT32 InstNumber(VS_UUID *ClassID) override { return Inner->InstNumber(ClassID); }
    void * QueryFirstInst(VS_QUERYRECORD *Query, void *ClassObject) override { return Inner->QueryFirstInst(Query, ClassObject); }
    void * QueryNextInst(VS_QUERYRECORD *Query, void *ClassObject) override { return Inner->QueryNextInst(Query, ClassObject); }
    void QueryInstClose(VS_QUERYRECORD *Query) override { Inner->QueryInstClose(Query); }
    void SetVString(VS_VSTRING *Field, const VS_CHAR *Text) override { Inner->SetVString(Field, Text); }
    VS_BOOL RegBeforeChangeCallBack(void *Object, VS_BEFORECHANGECALLBACK Cb, VS_UWORD Para, VS_UWORD Flag) override { return Inner->RegBeforeChangeCallBack(Object, Cb, Para, Flag); }
    void UnRegBeforeChangeCallBack(void *Object, VS_BEFORECHANGECALLBACK Cb, VS_UWORD Para) override { Inner->UnRegBeforeChangeCallBack(Object, Cb, Para); }
    void * ObjectToAtomic(void *Object) override { return Inner->ObjectToAtomic(Object); }
    void * AtomicToObject(void *Atomic) override { return Inner->AtomicToObject(Atomic); }
    VS_BOOL ChangeParent(void *Object, void *Parent, OBJECTATTRIBUTEINDEX Index) override { return Inner->ChangeParent(Object, Parent, Index); }
    void * QueryFirst(void *QueueHeadField) override { return Inner->QueryFirst(QueueHeadField); }
    void * QueryNext(void *Object) override { return Inner->QueryNext(Object); }
    void LockGC(void *Object) override { Inner->LockGC(Object); }
    void UnLockGC(void *Object) override { Inner->UnLockGC(Object); }
    void ReleaseOwnerEx(void *Object) override { Inner->ReleaseOwnerEx(Object); }
    void AddRefEx(void *Object) override { Inner->AddRefEx(Object); }
    VS_INT32 GetRefEx(void *Object) override { return Inner->GetRefEx(Object); }
    VS_ULONG GetLayer(void *Object) override { return Inner->GetLayer(Object); }
    void * MallocPrivateBuf(void *Object, VS_ULONG Layer, VS_ULONG Index, VS_ULONG Size) override {
        Note("PrivateBuf:" + NameOf(Object));
        return Inner->MallocPrivateBuf(Object, Layer, Index, Size);
    }
    void * GetPrivateBuf(void *Object, VS_ULONG Layer, VS_ULONG Index, VS_ULONG *Size) override { return Inner->GetPrivateBuf(Object, Layer, Index, Size); }
    void FreePrivate(void *Object, VS_ULONG Layer, VS_ULONG Index) override { Inner->FreePrivate(Object, Layer, Index); }
    void * Malloc_Nor(VS_ULONG Size) override { return Inner->Malloc_Nor(Size); }
    void Free(void *Ptr) override { Inner->Free(Ptr); }
    void * CreateMemory_Nor(VS_INT32 ItemSize) override {
        Note("CreateMemory:" + std::to_string(ItemSize));
        return Inner->CreateMemory_Nor(ItemSize);
    }
    void * GetMemoryPtr_Nor(void *Pool) override { return Inner->GetMemoryPtr_Nor(Pool); }
    void ClearMemory(void *Pool) override { Inner->ClearMemory(Pool); }
    void DestoryMemory(void *Pool) override {
        Note("DestoryMemory:" + PtrText(Pool));
        Inner->DestoryMemory(Pool);
    }
    void DestoryIndex(void *Index) override {
        Note("DestoryIndex:" + PtrText(Index));
        Inner->DestoryIndex(Index);
    }
    void DelAllKey(void *Index) override { Inner->DelAllKey(Index); }
    void * CreateIDIndex_Nor(VS_INT32 Reserved) override {
        Note("CreateIDIndex");
        return Inner->CreateIDIndex_Nor(Reserved);
    }
    VS_BOOL InsertIDKey(void *Index, VS_UUID *Key, void *Value) override {
        Note("InsertIDKey:" + NameOf(Key != nullptr ? Inner->GetObject(Key) : nullptr) + "=" + PtrText(Value));
        return Inner->InsertIDKey(Index, Key, Value);
    }
    void * FindIDKey(void *Index, VS_UUID *Key) override { return Inner->FindIDKey(Index, Key); }
    void * DelIDKey(void *Index, VS_UUID *Key) override { return Inner->DelIDKey(Index, Key); }
    void * QueryFirstIDKey(void *Index, VS_UUID *KeyOut) override { return Inner->QueryFirstIDKey(Index, KeyOut); }
    void * QueryNextIDKey(void *Index, VS_UUID *KeyOut) override { return Inner->QueryNextIDKey(Index, KeyOut); }
    void * CreateIndex_Nor(VS_INT32 KeyNumber, VS_INT32 Reserved) override {
        Note("CreateIndex:" + std::to_string(KeyNumber));
        return Inner->CreateIndex_Nor(KeyNumber, Reserved);
    }
    VS_BOOL InsertOneKey(void *Index, VS_UWORD Key, void *Value) override { return Inner->InsertOneKey(Index, Key, Value); }
    void * FindOneKey(void *Index, VS_UWORD Key) override { return Inner->FindOneKey(Index, Key); }
    void * DelOneKey(void *Index, VS_UWORD Key) override { return Inner->DelOneKey(Index, Key); }
    void * QueryFirstOneKey(void *Index, VS_UWORD *KeyOut) override { return Inner->QueryFirstOneKey(Index, KeyOut); }
    void * QueryNextOneKey(void *Index, VS_UWORD *KeyOut) override { return Inner->QueryNextOneKey(Index, KeyOut); }
    VS_BOOL InsertTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2, void *Value) override { return Inner->InsertTwoKey(Index, K1, K2, Value); }
    void * FindTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2) override { return Inner->FindTwoKey(Index, K1, K2); }
    void * DelTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2) override { return Inner->DelTwoKey(Index, K1, K2); }
    void * QueryFirstTwoKey(void *Index, VS_UWORD *K1, VS_UWORD *K2) override { return Inner->QueryFirstTwoKey(Index, K1, K2); }
    void * QueryNextTwoKey(void *Index, VS_UWORD *K1, VS_UWORD *K2) override { return Inner->QueryNextTwoKey(Index, K1, K2); }
    VS_BOOL InsertThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3, void *Value) override { return Inner->InsertThreeKey(Index, K1, K2, K3, Value); }
    void * FindThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3) override { return Inner->FindThreeKey(Index, K1, K2, K3); }
    void * DelThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3) override { return Inner->DelThreeKey(Index, K1, K2, K3); }
    void * QueryFirstThreeKey(void *Index, VS_UWORD *K1, VS_UWORD *K2, VS_UWORD *K3) override { return Inner->QueryFirstThreeKey(Index, K1, K2, K3); }
    void * QueryNextThreeKey(void *Index, VS_UWORD *K1, VS_UWORD *K2, VS_UWORD *K3) override { return Inner->QueryNextThreeKey(Index, K1, K2, K3); }
    void * CreateIDIndexEx_Nor(VS_INT32 Reserved) override { return Inner->CreateIDIndexEx_Nor(Reserved); }
    VS_BOOL InsertIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey, void *Value) override { return Inner->InsertIDKeyEx(Index, Key, ExtraKey, Value); }
    void * FindIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey) override { return Inner->FindIDKeyEx(Index, Key, ExtraKey); }
    void * DelIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey) override { return Inner->DelIDKeyEx(Index, Key, ExtraKey); }
    void * QueryFirstIDKeyExA(void *Index, VS_UUID *KeyOut, VS_UWORD *ExtraKeyOut) override { return Inner->QueryFirstIDKeyExA(Index, KeyOut, ExtraKeyOut); }
    void * QueryNextIDKeyExA(void *Index, VS_UUID *KeyOut, VS_UWORD *ExtraKeyOut) override { return Inner->QueryNextIDKeyExA(Index, KeyOut, ExtraKeyOut); }
    void * CreateStringIndex_Nor(VS_INT32 MaxKeyLength) override { return Inner->CreateStringIndex_Nor(MaxKeyLength); }
    VS_BOOL InsertStringKey(void *Index, const VS_CHAR *Key, void *Value) override { return Inner->InsertStringKey(Index, Key, Value); }
    void * FindStringKey(void *Index, const VS_CHAR *Key) override { return Inner->FindStringKey(Index, Key); }
    void * DelStringKey(void *Index, const VS_CHAR *Key) override { return Inner->DelStringKey(Index, Key); }
    void * QueryFirstStringKey(void *Index, const VS_CHAR **KeyOut) override { return Inner->QueryFirstStringKey(Index, KeyOut); }
    void * QueryNextStringKey(void *Index, const VS_CHAR **KeyOut) override { return Inner->QueryNextStringKey(Index, KeyOut); }
    VS_PARAPKGPTR GetParaPkgInterface() override { return Inner->GetParaPkgInterface(); }
    ClassOfXRQBinBufInterface * GetXRQBinBufInterface() override { return Inner->GetXRQBinBufInterface(); }
    VS_INT32 LuaGetTop() override { return Inner->LuaGetTop(); }
    VS_INT32 LuaType(VS_INT32 Index) override { return Inner->LuaType(Index); }
    void LuaPop(VS_INT32 N) override { Inner->LuaPop(N); }
    void LuaInsert(VS_INT32 Index) override { Inner->LuaInsert(Index); }
    void * LuaToObject(VS_INT32 Index) override { return Inner->LuaToObject(Index); }
    VS_INT32 LuaToInt(VS_INT32 Index) override { return Inner->LuaToInt(Index); }
    VS_INT64 LuaToInt64(VS_INT32 Index) override { return Inner->LuaToInt64(Index); }
    VS_DOUBLE LuaToNumber(VS_INT32 Index) override { return Inner->LuaToNumber(Index); }
    VS_BOOL LuaToBool(VS_INT32 Index) override { return Inner->LuaToBool(Index); }
    const VS_CHAR * LuaToString(VS_INT32 Index) override { return Inner->LuaToString(Index); }
    const VS_CHAR * LuaToLString(VS_INT32 Index, VS_INT32 *Length) override { return Inner->LuaToLString(Index, Length); }
    VS_PARAPKGPTR LuaToParaPkg(VS_INT32 Index) override { return Inner->LuaToParaPkg(Index); }
    ClassOfXRQBinBufInterface * LuaToBinBuf(VS_INT32 Index) override { return Inner->LuaToBinBuf(Index); }
    VS_UWORD LuaToUWord(VS_INT32 Index) override { return Inner->LuaToUWord(Index); }
    VS_INT32 LuaUpValueIndex(VS_INT32 N) override { return Inner->LuaUpValueIndex(N); }
    void LuaPushInt(VS_INT32 Value) override { Inner->LuaPushInt(Value); }
    void LuaPushInt64(VS_INT64 Value) override { Inner->LuaPushInt64(Value); }
    void LuaPushNumber(VS_DOUBLE Value) override { Inner->LuaPushNumber(Value); }
    void LuaPushBool(VS_BOOL Value) override { Inner->LuaPushBool(Value); }
    void LuaPushString(const VS_CHAR *Value) override { Inner->LuaPushString(Value); }
    void LuaPushLString(const VS_CHAR *Value, VS_INT32 Length) override { Inner->LuaPushLString(Value, Length); }
    void LuaPushNil() override { Inner->LuaPushNil(); }
    void LuaPushObject(void *Object) override { Inner->LuaPushObject(Object); }
    void LuaPushParaPkg(VS_PARAPKGPTR Pkg, VS_BOOL Owned) override { Inner->LuaPushParaPkg(Pkg, Owned); }
    void LuaPushBinBuf(ClassOfXRQBinBufInterface *Buf, VS_BOOL Owned) override { Inner->LuaPushBinBuf(Buf, Owned); }
    VS_BOOL ExecNameScript(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes) override { return Inner->ExecNameScript(Object, Name, nArgs, nRes); }
    void * LuaIsFunctionDefined(void *Object, const VS_CHAR *Name, VS_BOOL SearchClassChain) override { return Inner->LuaIsFunctionDefined(Object, Name, SearchClassChain); }
    VS_INT32 GetLastError() override { return Inner->GetLastError(); }
    const VS_CHAR * GetLastErrorInfo(VS_ULONG *LineIndex, const VS_CHAR **SourceName) override { return Inner->GetLastErrorInfo(LineIndex, SourceName); }
    VS_BOOL RegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn, VS_UWORD Para) override { return Inner->RegLuaFunc(Object, Name, Fn, Para); }
    VS_BOOL InValidRegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn) override { return Inner->InValidRegLuaFunc(Object, Name, Fn); }
    VS_BOOL ValidRegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn) override { return Inner->ValidRegLuaFunc(Object, Name, Fn); }
    VS_BOOL RegLuaGetValueFunc(void *Object, VS_LUAGETVALUEFUNC Get, VS_UWORD Para) override { return Inner->RegLuaGetValueFunc(Object, Get, Para); }
    VS_BOOL RegLuaSetValueFunc(void *Object, VS_LUASETVALUEFUNC Set, VS_UWORD Para) override { return Inner->RegLuaSetValueFunc(Object, Set, Para); }
    void XRQLock() override { Inner->XRQLock(); }
    void XRQUnLock() override { Inner->XRQUnLock(); }
    VS_CHAR * UuidToString(VS_UUID *Uuid) override { return Inner->UuidToString(Uuid); }
    VS_BOOL StringToUuid(const VS_CHAR *Text, VS_UUID *Uuid) override { return Inner->StringToUuid(Text, Uuid); }
    VS_CHAR * GetMD5(const VS_INT8 *Buf, VS_INT32 Length) override { return Inner->GetMD5(Buf, Length); }
    VS_ULONG GetHashValue(const void *Buf, VS_INT32 Length, VS_ULONG Seed) override { return Inner->GetHashValue(Buf, Length, Seed); }
    void SetExceptHandler(VS_EXCEPTHANDLER Handler) override {
        Note(Handler != nullptr ? "SetExceptHandler:set" : "SetExceptHandler:clear");
        Inner->SetExceptHandler(Handler);
    }
    VS_BOOL HasRawContext(void *Object) override { return Inner->HasRawContext(Object); }
};

class ForwardingBasic : public ClassOfBasicXRQInterface {
  public:
    ForwardingBasic(ClassOfBasicXRQInterface *Inner, ForwardingService *Service) : Inner(Inner), Service(Service) {}
    virtual ~ForwardingBasic() {}
    ClassOfBasicXRQInterface *Inner;
    ForwardingService *Service;

    VS_ULONG AddRef() override { return Inner->AddRef(); }
    VS_ULONG Release() override { return Inner->Release(); }
    void GetVersion(VS_UINT8 *Main, VS_UINT8 *Sub, VS_UINT16 *Build) override { Inner->GetVersion(Main, Sub, Build); }
    ClassOfXRQControlInterface *GetXRQControlInterface() override { return Inner->GetXRQControlInterface(); }
    const VS_CHAR *QueryActiveService(VS_UUID *ServiceID) override { return Inner->QueryActiveService(ServiceID); }
    ClassOfXRQInterface *GetXRQInterface(const VS_CHAR *Name, const VS_CHAR *User, const VS_CHAR *Password) override {
        // The reference the module takes is counted on the host's interface,
        // through the forwarded AddRef / Release.
        return Inner->GetXRQInterface(Name, User, Password) != nullptr ? Service : nullptr;
    }
    void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format, ...) override {
        char Text[16384];
        va_list Args;
        va_start(Args, Format);
        vsnprintf(Text, sizeof(Text), Format, Args);
        va_end(Args);
        Inner->ProcessError(Level, Source, Line, "%s", Text);
    }
};

class ForwardingTarvex : public ClassOfTarvex {
  public:
    explicit ForwardingTarvex(ForwardingBasic *Basic) : Basic(Basic) {}
    virtual ~ForwardingTarvex() {}
    ForwardingBasic *Basic;
    ClassOfBasicXRQInterface *GetBasicInterface() override { return Basic; }
};

#endif
