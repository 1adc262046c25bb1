// Shared services: tags, uniform ticks, raw objects, packages, the print
// buffer, performance records and the small realm services.
#include "module_test_util.h"
#include "trelk_helpers.h"
#include "trelk_upcalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>
#include <thread>
#include <vector>

using namespace trelktest;

namespace {

class Services : public LoadedModule {
  protected:
    void TearDown() override {
        memset(&QZRealmStubObjectID, 0, sizeof(QZRealmStubObjectID));
        LoadedModule::TearDown();
    }
};

// FNV-1a 32-bit with seed 0, the host's hash.
VS_ULONG Fnv1a(const std::string &Text) {
    VS_ULONG H = 2166136261u;
    for (unsigned char C : Text) {
        H ^= C;
        H *= 16777619u;
    }
    return H;
}

std::string Hex8(VS_ULONG H) {
    char Buf[16];
    snprintf(Buf, sizeof(Buf), "%08x", H);
    return Buf;
}

} // namespace

// ---------------------------------------------------------------------------
// Tags
// ---------------------------------------------------------------------------
TEST_F(Services, TagIsMd5FollowedByTheLowercaseHash) {
    struct {
        const char *Text;
        const char *Md5;
    } Cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
        {"tag1282", "d41c27ef34657c373cb1953a6dfc57e4"}, // hash 0008967a: leading zero digits
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Text);
        std::string Tag = Trelk_FormatTag(Case.Text);
        ASSERT_EQ(Tag.size(), 40u);
        EXPECT_EQ(Tag.substr(0, 32), Case.Md5);
        EXPECT_EQ(Tag.substr(32), Hex8(Fnv1a(Case.Text)));
    }
    // The empty text's hash is the bare start value; a small hash keeps its
    // leading zero digits.
    EXPECT_EQ(std::string(Trelk_FormatTag("")).substr(32), "811c9dc5");
    EXPECT_EQ(std::string(Trelk_FormatTag("tag1282")).substr(32), "0008967a");
}

TEST_F(Services, TagBufferIsOverwrittenByTheNextCallOnlyOnTheSameThread) {
    VS_CHAR *First = Trelk_FormatTag("one");
    std::string FirstText = First;
    VS_CHAR *Second = Trelk_FormatTag("two");
    EXPECT_EQ(First, Second); // one buffer per thread
    EXPECT_NE(FirstText, std::string(Second));

    // Two threads making tags at once each keep their own text.
    std::string TagA = std::string(Trelk_FormatTag("thread A")), TagB = std::string(Trelk_FormatTag("thread B"));
    std::atomic<int> Bad{0};
    auto Worker = [&Bad](const char *Text, const std::string &Expected) {
        for (int i = 0; i < 2000; i++) {
            VS_CHAR *Tag = Trelk_FormatTag(Text);
            std::this_thread::yield();
            if (Expected != Tag)
                Bad++;
        }
    };
    tvh::unlockBoth();
    std::thread A(Worker, "thread A", TagA), B(Worker, "thread B", TagB);
    A.join();
    B.join();
    tvh::lockBoth();
    EXPECT_EQ(Bad, 0);
}

// ---------------------------------------------------------------------------
// Uniform ticks
// ---------------------------------------------------------------------------
TEST_F(Services, UniformTicksCountWithinASecondAndRestartAtTheNext) {
    // Three stamps in one second are S, S + 1, S + 2 (retried across a second
    // boundary).
    for (int Attempt = 0; Attempt < 5; Attempt++) {
        VS_INT64 A = Trelk_GetUniformTick(), B = Trelk_GetUniformTick(), C = Trelk_GetUniformTick();
        if ((A >> 24) != (C >> 24))
            continue;
        EXPECT_EQ(B, A + 1);
        EXPECT_EQ(C, A + 2);
        VS_INT64 Now = (VS_INT64)time(nullptr) & 0x7FFFFFFFFFLL;
        EXPECT_TRUE((A >> 24) == Now || (A >> 24) + 1 == Now) << (A >> 24) << " " << Now;
        break;
    }
    // The first stamp of the next second has 24 zero bits at the bottom.
    VS_INT64 Last = Trelk_GetUniformTick();
    VS_INT64 Next = Last;
    time_t Deadline = time(nullptr) + 3;
    while ((Next >> 24) == (Last >> 24) && time(nullptr) < Deadline) {
        Last = Next;
        Next = Trelk_GetUniformTick();
    }
    ASSERT_NE(Next >> 24, Last >> 24);
    EXPECT_EQ(Next & 0xFFFFFF, 0);
    EXPECT_GT(Next, Last);
}

TEST_F(Services, UniformTicksStayUniqueAndIncreasingAcrossThreads) {
    const int PerThread = 20000;
    std::vector<VS_INT64> A(PerThread), B(PerThread);
    tvh::unlockBoth();
    std::thread TA([&] {
        for (auto &T : A)
            T = Trelk_GetUniformTick();
    });
    std::thread TB([&] {
        for (auto &T : B)
            T = Trelk_GetUniformTick();
    });
    TA.join();
    TB.join();
    tvh::lockBoth();
    // Each thread sees its own ticks strictly increasing.
    EXPECT_TRUE(std::adjacent_find(A.begin(), A.end(), std::greater_equal<VS_INT64>()) == A.end());
    EXPECT_TRUE(std::adjacent_find(B.begin(), B.end(), std::greater_equal<VS_INT64>()) == B.end());
    std::set<VS_INT64> All(A.begin(), A.end());
    All.insert(B.begin(), B.end());
    EXPECT_EQ(All.size(), size_t(2 * PerThread));
}

// ---------------------------------------------------------------------------
// Raw objects and packages
// ---------------------------------------------------------------------------
TEST_F(Services, RawObjectsMapToWhatTheirScriptSaysElseThemselves) {
    EXPECT_EQ(Trelk_FromRawObject(nullptr), nullptr);
    Run("target = _New(_Object) _LockGC(target) _SetName(target, 'target')"
        "typeobj = _New(_Object) _LockGC(typeobj) _SetName(typeobj, 'typeobj')"
        "local function raw(name) local o = _New(_Object) _LockGC(o) _SetName(o, name) _SetRawContext(o, true) return o end "
        "wraps = raw('wraps') wraps.IsTrelkRawInstance = function(self, o) return o == self and 1 or 0 end "
        "wraps.Wrap = function(self) return target end "
        "typed = raw('typed') typed.IsTrelkRawInstance = function() return 0 end "
        "typed.GetType = function(self) return typeobj end "
        "wrapnil = raw('wrapnil') wrapnil.IsTrelkRawInstance = function() return 1 end "
        "wrapnil.Wrap = function() return nil end wrapnil.GetType = function() return typeobj end "
        "bare = raw('bare') "
        "noraw = _New(_Object) _LockGC(noraw) _SetName(noraw, 'noraw') noraw.IsTrelkRawInstance = function() return 1 end "
        "noraw.Wrap = function() return target end");
    void *Target = XRQ->GetObjectEx(nullptr, "target");
    void *Type = XRQ->GetObjectEx(nullptr, "typeobj");
    struct {
        const char *Name;
        void *Expected; // NULL = the object itself
    } Cases[] = {{"wraps", Target}, {"typed", Type}, {"wrapnil", Type}, {"bare", nullptr}, {"noraw", nullptr}};
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        void *Object = XRQ->GetObjectEx(nullptr, Case.Name);
        ASSERT_NE(Object, nullptr);
        EXPECT_EQ(Trelk_FromRawObject(Object), Case.Expected != nullptr ? Case.Expected : Object);
    }
    EXPECT_EQ(XRQ->LuaGetTop(), 0);
}

TEST_F(Services, ParaPkgInterfaceGivesANewEmptyOwnedPackage) {
    VS_PARAPKGPTR A = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR B = Trelk_GetParaPkgInterface(__LINE__);
    ASSERT_NE(A, nullptr);
    ASSERT_NE(A, B);
    EXPECT_EQ(A->GetNumber(), 0);
    long long Live = tvh::stats().LivePackages;
    A->Release();
    B->Release();
    EXPECT_EQ(tvh::stats().LivePackages, Live - 2);
}

// ---------------------------------------------------------------------------
// Print buffer
// ---------------------------------------------------------------------------
TEST_F(Services, PrintBufferGrowsInSteps) {
    ClassOfStringPrintBuf *Buf = new ClassOfStringPrintBuf();
    ASSERT_NE(Buf, nullptr);
    EXPECT_TRUE(Buf->IsEmpty());
    EXPECT_EQ(Buf->Buf, nullptr);
    EXPECT_EQ(Buf->SubStr("x"), nullptr);

    std::string Chunk(5000, 'a');
    Buf->Print("%s", Chunk.c_str());
    EXPECT_EQ(Buf->BufSize, 8192);
    Buf->Print("%s", Chunk.c_str());
    EXPECT_EQ(Buf->BufSize, 12288);
    EXPECT_EQ(Buf->BufOffset, 10000);

    // Many small prints across several steps keep every byte in order.
    std::string Expected(10000, 'a');
    for (int i = 0; i < 600; i++) {
        Buf->Print("[%04d]%s", i, "0123456789");
        char Piece[32];
        snprintf(Piece, sizeof(Piece), "[%04d]%s", i, "0123456789");
        Expected += Piece;
    }
    EXPECT_EQ(std::string(Buf->Buf), Expected);
    EXPECT_EQ(Buf->BufOffset, (VS_INT32)Expected.size());
    EXPECT_EQ(Buf->BufSize % 4096, 0);
    EXPECT_GE(Buf->BufSize, Buf->BufOffset + 1);
    EXPECT_LT(Buf->BufSize, Buf->BufOffset + 1 + 4096);
    EXPECT_NE(Buf->SubStr("[0599]"), nullptr);
    EXPECT_EQ(Buf->SubStr("[0600]"), nullptr);

    // One print is cut at the formatting limit.
    Buf->Clear();
    EXPECT_TRUE(Buf->IsEmpty());
    EXPECT_EQ(Buf->SubStr("a"), nullptr);
    VS_INT32 SizeAfterClear = Buf->BufSize;
    std::string Huge(30000, 'z');
    Buf->Print("%s", Huge.c_str());
    EXPECT_EQ(Buf->BufOffset, 10239);
    EXPECT_EQ(Buf->BufSize, SizeAfterClear);
    delete Buf;
}

TEST_F(Services, PrintBufferTextAndObjectLiveInHostMemory) {
    // The module's allocation operators go through the host: the object and its
    // text are released again, nothing is left behind (checked by the sanitizer
    // build), and a buffer used by two threads stays intact.
    ClassOfStringPrintBuf *A = new ClassOfStringPrintBuf();
    ClassOfStringPrintBuf *B = new ClassOfStringPrintBuf();
    tvh::unlockBoth();
    std::thread TA([A] {
        for (int i = 0; i < 3000; i++)
            A->Print("%s", "AAAAAAAAAA");
    });
    std::thread TB([B] {
        for (int i = 0; i < 3000; i++)
            B->Print("%s", "BBBBBBBBBB");
    });
    TA.join();
    TB.join();
    tvh::lockBoth();
    EXPECT_EQ(std::string(A->Buf), std::string(30000, 'A'));
    EXPECT_EQ(std::string(B->Buf), std::string(30000, 'B'));
    delete A;
    delete B;
}

// ---------------------------------------------------------------------------
// Performance records
// ---------------------------------------------------------------------------
TEST_F(Services, PerformanceRecordsAreKeptPerProcType) {
    void *Type = NewObject(QZProcBaseClass);
    ASSERT_NE(Type, nullptr);
    ((StructOfQZProcBase *)Type)->IsType = VS_TRUE;
    void *Proc = XRQ->MallocObjectL(XRQ->GetIDEx(Type), 0, nullptr);
    ASSERT_NE(Proc, nullptr);
    ((StructOfQZProcBase *)Proc)->IsType = VS_FALSE;

    auto RecordOf = [this](void *Object) {
        return (StructOfProcPerformance *)XRQ->FindIDKey(GlobalProcPerformanceIndexTree, XRQ->GetIDEx(Object));
    };
    // Base classes and zero ticks keep no record.
    Trelk_InsertPerformaceData((StructOfQZProcBase *)QZProcBaseClass, 10);
    Trelk_InsertPerformaceData((StructOfQZProcBase *)QZCellBaseClass, 10);
    Trelk_InsertPerformaceData_ForError((StructOfQZProcBase *)QZProcBaseClass);
    Trelk_InsertPerformaceData((StructOfQZProcBase *)Proc, 0);
    Trelk_InsertPerformaceData(nullptr, 5);
    EXPECT_EQ(tvh::service()->GetKeyNumber(GlobalProcPerformanceIndexTree), 0u);

    // A failure first: sum 0, one run, one error; then runs add up on the type.
    Trelk_InsertPerformaceData_ForError((StructOfQZProcBase *)Proc);
    StructOfProcPerformance *Record = RecordOf(Type);
    ASSERT_NE(Record, nullptr);
    EXPECT_EQ(Record->PerformaceMean, 0);
    EXPECT_EQ(Record->RunTimes, 1);
    EXPECT_EQ(Record->ErrorTimes, 1);
    Trelk_InsertPerformaceData((StructOfQZProcBase *)Proc, 250);
    Trelk_InsertPerformaceData((StructOfQZProcBase *)Type, 50);
    EXPECT_EQ(Record->PerformaceMean, 300);
    EXPECT_EQ(Record->RunTimes, 3);
    EXPECT_EQ(Record->ErrorTimes, 1);
    EXPECT_EQ(tvh::service()->GetKeyNumber(GlobalProcPerformanceIndexTree), 1u);

    // A success first starts with that run.
    void *Other = NewObject(QZProcBaseClass);
    ((StructOfQZProcBase *)Other)->IsType = VS_TRUE;
    Trelk_InsertPerformaceData((StructOfQZProcBase *)Other, 7);
    StructOfProcPerformance *OtherRecord = RecordOf(Other);
    ASSERT_NE(OtherRecord, nullptr);
    EXPECT_EQ(OtherRecord->PerformaceMean, 7);
    EXPECT_EQ(OtherRecord->RunTimes, 1);
    EXPECT_EQ(OtherRecord->ErrorTimes, 0);
}

// ---------------------------------------------------------------------------
// Small realm services
// ---------------------------------------------------------------------------
TEST_F(Services, InitialLiveCountIsTheStubsWhileAStubExists) {
    auto *Realm = (StructOfQZRealmBase *)NewObject(QZRealmBaseClass);
    ASSERT_NE(Realm, nullptr);
    Realm->InitialLiveCount = 12;
    EXPECT_EQ(QZRealmBase_GetInitialLiveCount(Realm), 12);
    auto *Stub = (StructOfQZRealmStubBase *)NewObject(QZRealmStubBaseClass);
    Stub->InitialLiveCount = 34;
    QZRealmStubObjectID = XRQ->GetID(Stub);
    EXPECT_EQ(QZRealmBase_GetInitialLiveCount(Realm), 34);
    XRQ->FreeObject(Stub);
    EXPECT_EQ(QZRealmBase_GetInitialLiveCount(Realm), 12);
}

TEST_F(Services, RealmDefaultsFromScript) {
    Run("assert(QZRealmBase:PerformanceEach('abc') == 'abc')"
        "assert(QZRealmBase:PerformanceEach('with\\0zero') == 'with\\0zero')"
        "assert(QZRealmBase:PerformanceEach(nil) == '')"
        "assert(QZRealmBase:PerformanceEach(string.rep('q', 5000)) == string.rep('q', 5000))"
        "assert(QZRealmBase:OnRemoteExecute(nil, nil, nil) == -1)");
}

// ---------------------------------------------------------------------------
// Attribute indexes of the module's classes
// ---------------------------------------------------------------------------
// The kept indexes answer as the host does: for every place that asks (two
// texts of one name at different addresses), again, and after being
// forgotten; a name the class lacks stays unknown.
TEST_F(Services, ClassAttrIndexesAnswerAsTheHostDoes) {
    static const char EnvHere[] = "EnvDataQueue";
    static const char EnvThere[] = "EnvDataQueue";
    struct Case {
        void **Class;
        const char *Name;
    };
    const Case Cases[] = {
        {&QZCellBaseClass, EnvHere},
        {&QZCellBaseClass, EnvThere},
        {&QZCellBaseClass, "NormalRunnerQueue"},
        {&QZCellBaseClass, "QZProcForOutputQueue"},
        {&QZRealmBaseClass, EnvHere},
        {&QZRealmBaseClass, "QZCellQueue"},
        {&QZProcBaseClass, "InputQueue"},
        {&QZProcBaseClass, "OutputQueue"},
        {&QZDataInputContainerClass, "DataQueue"},
        {&QZDataBaseClass, "ConnectedProc"},
        {&QZProcBaseClass, "NoSuchQueue"},
    };
    auto Check = [&](const char *When) {
        for (const Case &C : Cases) {
            OBJECTATTRIBUTEINDEX Host = XRQ->GetAttributeIndex(*C.Class, C.Name);
            EXPECT_EQ(Trelk_ClassAttrIndex(*C.Class, C.Name), Host) << C.Name << " " << When;
            EXPECT_EQ(Trelk_ClassAttrIndex(*C.Class, C.Name), Host) << C.Name << " asked again " << When;
        }
    };
    EXPECT_EQ(XRQ->GetAttributeIndex(QZProcBaseClass, "NoSuchQueue"), VS_INVALID_ATTRIBUTEINDEX);
    EXPECT_NE(XRQ->GetAttributeIndex(QZCellBaseClass, EnvHere), XRQ->GetAttributeIndex(QZCellBaseClass, "NormalRunnerQueue"));
    Check("first");
    Trelk_ForgetClassAttrIndexes();
    Check("after forgetting");
}
