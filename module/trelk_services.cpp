// Shared services: raw objects, tags, the uniform tick, packages, the
// memory-debug hook, performance records and the growable print buffer.
#include "quel_trelk.h"
#include "trelk_alloc.h"
#include "trelk_upcalls.h"

#include <climits>
#include <cstring>
#include <cstdlib>
#include <ctime>

VS_INT64 UniformTick_Second = 0;
VS_ULONG UniformTick_Sequence = 0;

namespace {

// Worker threads take stamps too; the stamp must stay unique module-wide.
// Made by start-up before the first stamp, dropped by shutdown.
VS_MUTEX UniformTickMutex;
bool UniformTickMutexReady = false;

// Each thread keeps its last tag until its own next call.
thread_local VS_CHAR TagBuf[TRELK_TAGBUF_SIZE];

} // namespace

void *Trelk_FromRawObject(void *RawObject) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    if (RawObject == nullptr || XRQ == nullptr)
        return RawObject;
    if (!XRQ->HasRawContext(RawObject))
        return RawObject;
    if (XRQ->LuaIsFunctionDefined(RawObject, "IsTrelkRawInstance", VS_TRUE) == nullptr)
        return RawObject;
    Trelk_NoteScriptCall();
    VS_UWORD R = XRQ->ScriptCall(RawObject, nullptr, "IsTrelkRawInstance", "(o)z", RawObject);
    if ((VS_INT32)R == 1) {
        Trelk_NoteScriptCall();
        void *Wrapped = (void *)XRQ->ScriptCall(RawObject, nullptr, "Wrap", "()o");
        if (Wrapped != nullptr)
            return Wrapped;
    }
    if (XRQ->LuaIsFunctionDefined(RawObject, "GetType", VS_TRUE) != nullptr) {
        Trelk_NoteScriptCall();
        void *Type = (void *)XRQ->ScriptCall(RawObject, nullptr, "GetType", "()o");
        if (Type != nullptr)
            return Type;
    }
    return RawObject;
}

VS_CHAR *Trelk_FormatTag(const VS_CHAR *RawTag) {
    static const VS_CHAR HexDigits[] = "0123456789abcdef";
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    if (RawTag == nullptr)
        RawTag = "";
    VS_INT32 Len = (VS_INT32)vs_string_strlen(RawTag);
    memset(TagBuf, '0', 40);
    if (XRQ != nullptr) {
        const VS_CHAR *Md5 = XRQ->GetMD5((const VS_INT8 *)RawTag, Len);
        if (Md5 != nullptr)
            memcpy(TagBuf, Md5, strnlen(Md5, 32));
        VS_ULONG H = XRQ->GetHashValue(RawTag, Len, 0);
        for (int i = 0; i < 8; i++)
            TagBuf[39 - i] = HexDigits[(H >> (4 * i)) & 0xF];
    }
    TagBuf[40] = 0;
    return TagBuf;
}

VS_INT64 Trelk_GetUniformTick() {
    bool Guarded = UniformTickMutexReady;
    if (Guarded)
        vs_mutex_lock(&UniformTickMutex);
    VS_INT64 S = ((VS_INT64)time(nullptr) & 0x7FFFFFFFFFLL) << 24;
    if (S == UniformTick_Second) {
        UniformTick_Sequence += 1;
    } else {
        UniformTick_Second = S;
        UniformTick_Sequence = 0;
    }
    VS_INT64 Tick = S + (VS_INT64)UniformTick_Sequence;
    if (Guarded)
        vs_mutex_unlock(&UniformTickMutex);
    return Tick;
}

void Trelk_UniformTickStart() {
    if (!UniformTickMutexReady)
        UniformTickMutexReady = vs_mutex_init(&UniformTickMutex) ? true : false;
}

void Trelk_UniformTickStop() {
    if (UniformTickMutexReady) {
        UniformTickMutexReady = false;
        vs_mutex_destory(&UniformTickMutex);
    }
}

// ---------------------------------------------------------------------------
// Container memory
// ---------------------------------------------------------------------------
void *Trelk_ContainerAlloc(size_t Bytes) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    void *Ptr = nullptr;
    if (XRQ != nullptr && Bytes <= (size_t)0xFFFFFFFFu)
        Ptr = XRQ->Malloc_Nor((VS_ULONG)(Bytes ? Bytes : 1));
    if (Ptr == nullptr) {
        if (XRQ != nullptr)
            XRQ->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                              "out of host memory for %zu bytes, the module can not go on", Bytes);
        abort();
    }
    return Ptr;
}

void Trelk_ContainerFree(void *Ptr) {
    if (Ptr != nullptr && QZObject_XRQInterface != nullptr)
        QZObject_XRQInterface->Free(Ptr);
}

VS_PARAPKGPTR Trelk_GetParaPkgInterface(VS_INT32) {
    if (QZObject_XRQInterface == nullptr)
        return nullptr;
    return QZObject_XRQInterface->GetParaPkgInterface();
}

void MemoryDebug_InsertObjectRecord(void *, VS_INT32) {}

namespace {

// The performance record of the proc's type, made on first use; NULL for the
// base classes, a proc without a type or a missing registry.
StructOfProcPerformance *GetPerformanceRecord(StructOfQZProcBase *QZProc, bool *IsNew) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    *IsNew = false;
    if (XRQ == nullptr || QZProc == nullptr || GlobalProcPerformanceIndexTree == nullptr ||
        GlobalProcPerformanceMemory == nullptr)
        return nullptr;
    void *Type = QZProcBase_GetProcType_Internal(QZProc);
    if (Type == nullptr || Type == QZProcBaseClass || Type == QZCellBaseClass)
        return nullptr;
    VS_UUID ID = XRQ->GetID(Type);
    StructOfProcPerformance *Record = (StructOfProcPerformance *)XRQ->FindIDKey(GlobalProcPerformanceIndexTree, &ID);
    if (Record != nullptr)
        return Record;
    Record = (StructOfProcPerformance *)XRQ->GetMemoryPtr_Nor(GlobalProcPerformanceMemory);
    if (Record == nullptr)
        return nullptr;
    Record->PerformaceMean = 0;
    Record->RunTimes = 0;
    Record->ErrorTimes = 0;
    XRQ->InsertIDKey(GlobalProcPerformanceIndexTree, &ID, Record);
    *IsNew = true;
    return Record;
}

} // namespace

void Trelk_InsertPerformaceData(StructOfQZProcBase *QZProc, VS_INT64 Tick) {
    if (Tick == 0)
        return;
    bool IsNew;
    StructOfProcPerformance *Record = GetPerformanceRecord(QZProc, &IsNew);
    if (Record == nullptr)
        return;
    Record->PerformaceMean += Tick;
    Record->RunTimes += 1;
}

void Trelk_InsertPerformaceData_ForError(StructOfQZProcBase *QZProc) {
    bool IsNew;
    StructOfProcPerformance *Record = GetPerformanceRecord(QZProc, &IsNew);
    if (Record == nullptr)
        return;
    Record->RunTimes += 1;
    Record->ErrorTimes += 1;
}

// ---------------------------------------------------------------------------
// ClassOfStringPrintBuf
// ---------------------------------------------------------------------------
ClassOfStringPrintBuf::ClassOfStringPrintBuf() : Buf(nullptr), BufSize(0), BufOffset(0) {}

ClassOfStringPrintBuf::~ClassOfStringPrintBuf() {
    if (Buf != nullptr && QZObject_XRQInterface != nullptr)
        QZObject_XRQInterface->Free(Buf);
    Buf = nullptr;
}

void *ClassOfStringPrintBuf::operator new(size_t Size) noexcept {
    if (QZObject_XRQInterface == nullptr)
        return nullptr;
    return QZObject_XRQInterface->Malloc_Nor((VS_ULONG)Size);
}

void ClassOfStringPrintBuf::operator delete(void *Ptr) noexcept {
    if (Ptr != nullptr && QZObject_XRQInterface != nullptr)
        QZObject_XRQInterface->Free(Ptr);
}

void ClassOfStringPrintBuf::Print(const VS_CHAR *Format, ...) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    if (XRQ == nullptr || Format == nullptr)
        return;
    va_list args;
    va_start(args, Format);
    vs_string_vsnprintf(VSAlarmTextTempBuf, VSALARMTEXTTEMPBUF_SIZE, Format, args);
    va_end(args);
    VS_INT32 Len = (VS_INT32)strlen(VSAlarmTextTempBuf);
    if ((VS_INT64)BufOffset + Len + 1 > (VS_INT64)BufSize) {
        VS_INT64 NewSize = BufSize;
        while ((VS_INT64)BufOffset + Len + 1 > NewSize)
            NewSize += STRINGPRINTBUF_STEP;
        if (NewSize > INT_MAX)
            return; // the text would no longer be addressable by its size field
        VS_CHAR *NewBuf = (VS_CHAR *)XRQ->Malloc_Nor((VS_ULONG)NewSize);
        if (NewBuf == nullptr)
            return; // keep what is there rather than lose it
        if (Buf != nullptr) {
            memcpy(NewBuf, Buf, (size_t)BufOffset + 1);
            XRQ->Free(Buf);
        }
        Buf = NewBuf;
        BufSize = (VS_INT32)NewSize;
    }
    memcpy(Buf + BufOffset, VSAlarmTextTempBuf, (size_t)Len + 1);
    BufOffset += Len;
}

VS_BOOL ClassOfStringPrintBuf::IsEmpty() {
    return BufOffset == 0 ? VS_TRUE : VS_FALSE;
}

VS_CHAR *ClassOfStringPrintBuf::SubStr(const VS_CHAR *Text) {
    if (BufOffset == 0 || Buf == nullptr || Text == nullptr)
        return nullptr;
    return strstr(Buf, Text);
}

void ClassOfStringPrintBuf::Clear() {
    BufOffset = 0;
    if (Buf != nullptr)
        Buf[0] = 0;
}
