// Every operation of the module's contract (ClassOfXRQInterface of
// host/include/tarvex_api.h) answering nothing, under the extended interface
// of the Windows-only classes: a fake host overrides what its tests look at.
// A method added to the contract fails the build here until it is added.
#ifndef XRQ_API_STUBS_H
#define XRQ_API_STUBS_H

#include "xrq_sdk.h"

class XRQApiStubs : public ClassOfXRQInterfaceEx {
  public:
    VS_ULONG AddRef() override { return 1; }
    VS_ULONG Release() override { return 1; }
    void ProcessError(VS_INT32, const VS_CHAR *, VS_INT32, const VS_CHAR *, ...) override {}
    ClassOfXRQSXMLInterface *GetSXMLInterface() override { return {}; }
    VS_BOOL CreateSysRootItem(const VS_CHAR *, const VS_CHAR *, VS_UUID *, VS_UUID *) override { return {}; }
    void *GetSysRootItem(const VS_CHAR *) override { return {}; }
    void *XmlToObjectEx(ClassOfXRQSXMLInterface *, void *, VS_UUID *, VS_SYSEVENTPTR, VS_UWORD) override { return {}; }
    void *GetAtomicObjectEx(void *, const VS_CHAR *) override { return {}; }
    void *GetAtomicFunctionByName(void *, const VS_CHAR *) override { return {}; }
    VS_BOOL SetAtomicFunction(void *, VS_LUAFUNCPTR) override { return {}; }
    void *CreateAtomicLuaFunction(void *, const VS_CHAR *, VS_UUID *, const VS_CHAR *) override { return {}; }
    void *CreateAtomicAttribute(void *, const VS_CHAR *, VS_UINT8, ...) override { return {}; }
    VS_BOOL SetSysEvent(void *, VS_SYSEVENTPTR) override { return {}; }
    VS_BOOL GetAttributeInfoEx(void *, const VS_CHAR *, VS_ATTRIBUTEINFO *) override { return {}; }
    OBJECTATTRIBUTEINDEX GetAttributeIndex(void *, const VS_CHAR *) override { return {}; }
    void *MallocObjectL(VS_UUID *, VS_ULONG, VS_PARAPKGPTR) override { return {}; }
    void *MallocObjectLEx(VS_UUID *, VS_UUID *, VS_ULONG, VS_PARAPKGPTR) override { return {}; }
    VS_PARAPKGPTR GetInitPara(void *) override { return {}; }
    VS_ULONG GetSysEventID(void *) override { return {}; }
    void FreeObject(void *) override {}
    VS_UUID *GetIDEx(void *) override { return {}; }
    VS_UUID GetID(void *) override { return {}; }
    void *GetObject(VS_UUID *) override { return {}; }
    void *GetObjectEx(void *, const VS_CHAR *) override { return {}; }
    const VS_CHAR *GetName(void *) override { return {}; }
    void SetName(void *, const VS_CHAR *) override {}
    void *GetClass(void *) override { return {}; }
    void *GetParent(void *) override { return {}; }
    OBJECTATTRIBUTEINDEX GetIndex(void *) override { return {}; }
    VS_BOOL IsInst(VS_UUID *, void *) override { return {}; }
    VS_BOOL IsDirectInst(VS_UUID *, void *) override { return {}; }
    VS_INT32 InstNumber(VS_UUID *) override { return {}; }
    void *QueryFirstInst(VS_QUERYRECORD *, void *) override { return {}; }
    void *QueryNextInst(VS_QUERYRECORD *, void *) override { return {}; }
    void QueryInstClose(VS_QUERYRECORD *) override {}
    void SetVString(VS_VSTRING *, const VS_CHAR *) override {}
    VS_BOOL RegBeforeChangeCallBack(void *, VS_BEFORECHANGECALLBACK, VS_UWORD, VS_UWORD) override { return {}; }
    void UnRegBeforeChangeCallBack(void *, VS_BEFORECHANGECALLBACK, VS_UWORD) override {}
    void *ObjectToAtomic(void *) override { return {}; }
    void *AtomicToObject(void *) override { return {}; }
    VS_BOOL ChangeParent(void *, void *, OBJECTATTRIBUTEINDEX) override { return {}; }
    void *QueryFirst(void *) override { return {}; }
    void *QueryNext(void *) override { return {}; }
    void LockGC(void *) override {}
    void UnLockGC(void *) override {}
    void ReleaseOwnerEx(void *) override {}
    void AddRefEx(void *) override {}
    VS_INT32 GetRefEx(void *) override { return {}; }
    VS_ULONG GetLayer(void *) override { return {}; }
    void *MallocPrivateBuf(void *, VS_ULONG, VS_ULONG, VS_ULONG) override { return {}; }
    void *GetPrivateBuf(void *, VS_ULONG, VS_ULONG, VS_ULONG *) override { return {}; }
    void FreePrivate(void *, VS_ULONG, VS_ULONG) override {}
    void *Malloc_Nor(VS_ULONG) override { return {}; }
    void Free(void *) override {}
    void *CreateMemory_Nor(VS_INT32) override { return {}; }
    void *GetMemoryPtr_Nor(void *) override { return {}; }
    void ClearMemory(void *) override {}
    void DestoryMemory(void *) override {}
    void DestoryIndex(void *) override {}
    void DelAllKey(void *) override {}
    void *CreateIDIndex_Nor(VS_INT32) override { return {}; }
    VS_BOOL InsertIDKey(void *, VS_UUID *, void *) override { return {}; }
    void *FindIDKey(void *, VS_UUID *) override { return {}; }
    void *DelIDKey(void *, VS_UUID *) override { return {}; }
    void *QueryFirstIDKey(void *, VS_UUID *) override { return {}; }
    void *QueryNextIDKey(void *, VS_UUID *) override { return {}; }
    void *CreateIndex_Nor(VS_INT32, VS_INT32) override { return {}; }
    VS_BOOL InsertOneKey(void *, VS_UWORD, void *) override { return {}; }
    void *FindOneKey(void *, VS_UWORD) override { return {}; }
    void *DelOneKey(void *, VS_UWORD) override { return {}; }
    void *QueryFirstOneKey(void *, VS_UWORD *) override { return {}; }
    void *QueryNextOneKey(void *, VS_UWORD *) override { return {}; }
    VS_BOOL InsertTwoKey(void *, VS_UWORD, VS_UWORD, void *) override { return {}; }
    void *FindTwoKey(void *, VS_UWORD, VS_UWORD) override { return {}; }
    void *DelTwoKey(void *, VS_UWORD, VS_UWORD) override { return {}; }
    void *QueryFirstTwoKey(void *, VS_UWORD *, VS_UWORD *) override { return {}; }
    void *QueryNextTwoKey(void *, VS_UWORD *, VS_UWORD *) override { return {}; }
    VS_BOOL InsertThreeKey(void *, VS_UWORD, VS_UWORD, VS_UWORD, void *) override { return {}; }
    void *FindThreeKey(void *, VS_UWORD, VS_UWORD, VS_UWORD) override { return {}; }
    void *DelThreeKey(void *, VS_UWORD, VS_UWORD, VS_UWORD) override { return {}; }
    void *QueryFirstThreeKey(void *, VS_UWORD *, VS_UWORD *, VS_UWORD *) override { return {}; }
    void *QueryNextThreeKey(void *, VS_UWORD *, VS_UWORD *, VS_UWORD *) override { return {}; }
    void *CreateIDIndexEx_Nor(VS_INT32) override { return {}; }
    VS_BOOL InsertIDKeyEx(void *, VS_UUID *, VS_UWORD, void *) override { return {}; }
    void *FindIDKeyEx(void *, VS_UUID *, VS_UWORD) override { return {}; }
    void *DelIDKeyEx(void *, VS_UUID *, VS_UWORD) override { return {}; }
    void *QueryFirstIDKeyExA(void *, VS_UUID *, VS_UWORD *) override { return {}; }
    void *QueryNextIDKeyExA(void *, VS_UUID *, VS_UWORD *) override { return {}; }
    void *CreateStringIndex_Nor(VS_INT32) override { return {}; }
    VS_BOOL InsertStringKey(void *, const VS_CHAR *, void *) override { return {}; }
    void *FindStringKey(void *, const VS_CHAR *) override { return {}; }
    void *DelStringKey(void *, const VS_CHAR *) override { return {}; }
    void *QueryFirstStringKey(void *, const VS_CHAR * *) override { return {}; }
    void *QueryNextStringKey(void *, const VS_CHAR * *) override { return {}; }
    VS_PARAPKGPTR GetParaPkgInterface() override { return {}; }
    ClassOfXRQBinBufInterface *GetXRQBinBufInterface() override { return {}; }
    VS_INT32 LuaGetTop() override { return {}; }
    VS_INT32 LuaType(VS_INT32) override { return {}; }
    void LuaPop(VS_INT32) override {}
    void LuaInsert(VS_INT32) override {}
    void *LuaToObject(VS_INT32) override { return {}; }
    VS_INT32 LuaToInt(VS_INT32) override { return {}; }
    VS_INT64 LuaToInt64(VS_INT32) override { return {}; }
    VS_DOUBLE LuaToNumber(VS_INT32) override { return {}; }
    VS_BOOL LuaToBool(VS_INT32) override { return {}; }
    const VS_CHAR *LuaToString(VS_INT32) override { return {}; }
    const VS_CHAR *LuaToLString(VS_INT32, VS_INT32 *) override { return {}; }
    VS_PARAPKGPTR LuaToParaPkg(VS_INT32) override { return {}; }
    ClassOfXRQBinBufInterface *LuaToBinBuf(VS_INT32) override { return {}; }
    VS_UWORD LuaToUWord(VS_INT32) override { return {}; }
    VS_INT32 LuaUpValueIndex(VS_INT32) override { return {}; }
    void LuaPushInt(VS_INT32) override {}
    void LuaPushInt64(VS_INT64) override {}
    void LuaPushNumber(VS_DOUBLE) override {}
    void LuaPushBool(VS_BOOL) override {}
    void LuaPushString(const VS_CHAR *) override {}
    void LuaPushLString(const VS_CHAR *, VS_INT32) override {}
    void LuaPushNil() override {}
    void LuaPushObject(void *) override {}
    void LuaPushParaPkg(VS_PARAPKGPTR, VS_BOOL) override {}
    void LuaPushBinBuf(ClassOfXRQBinBufInterface *, VS_BOOL) override {}
    VS_BOOL ExecNameScript(void *, const VS_CHAR *, VS_INT32, VS_INT32) override { return {}; }
    VS_UWORD ScriptCall(void *, VS_BOOL *, const VS_CHAR *, const VS_CHAR *, ...) override { return {}; }
    void *LuaIsFunctionDefined(void *, const VS_CHAR *, VS_BOOL) override { return {}; }
    VS_INT32 GetLastError() override { return {}; }
    const VS_CHAR *GetLastErrorInfo(VS_ULONG *, const VS_CHAR * *) override { return {}; }
    VS_BOOL RegLuaFunc(void *, const VS_CHAR *, VS_LUAFUNCPTR, VS_UWORD) override { return {}; }
    VS_BOOL InValidRegLuaFunc(void *, const VS_CHAR *, VS_LUAFUNCPTR) override { return {}; }
    VS_BOOL ValidRegLuaFunc(void *, const VS_CHAR *, VS_LUAFUNCPTR) override { return {}; }
    VS_BOOL RegLuaGetValueFunc(void *, VS_LUAGETVALUEFUNC, VS_UWORD) override { return {}; }
    VS_BOOL RegLuaSetValueFunc(void *, VS_LUASETVALUEFUNC, VS_UWORD) override { return {}; }
    void XRQLock() override {}
    void XRQUnLock() override {}
    VS_CHAR *UuidToString(VS_UUID *) override { return {}; }
    VS_BOOL StringToUuid(const VS_CHAR *, VS_UUID *) override { return {}; }
    VS_CHAR *GetMD5(const VS_INT8 *, VS_INT32) override { return {}; }
    VS_ULONG GetHashValue(const void *, VS_INT32, VS_ULONG) override { return {}; }
    void SetExceptHandler(VS_EXCEPTHANDLER) override {}
    VS_BOOL HasRawContext(void *) override { return {}; }
};

#endif
