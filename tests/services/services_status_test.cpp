// Status packages built from runners and procs set up by hand, for what a
// realm run does not readily show: the order runners keep across queries,
// a runner without procs, a data type that has gone, a QZProcNext cycle, and
// the layout table's layer limit and its emptying.
#include "module_test_util.h"
#include "trelk_realm_internal.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

class StatusInternal : public trelktest::LoadedModule {
  protected:
    StatusInternal() : LoadedModule("services_status") {}

    void SetUp() override {
        LoadedModule::SetUp();
        Realm = (StructOfQZRealmBase *)NewObject(QZRealmBaseClass);
        Cell = (StructOfQZCellBase *)NewObject(QZCellBaseClass);
        XRQ->SetName(Cell, "cell");
    }

    void *Child(void *Class, void *Parent, void *ParentClass, const char *Queue) {
        void *Object = NewObject(Class);
        EXPECT_TRUE(XRQ->ChangeParent(Object, Parent, XRQ->GetAttributeIndex(ParentClass, Queue)));
        XRQ->UnLockGC(Object); // the queue holds it
        return Object;
    }
    StructOfQZProcRunnerBase *NewRunner(const char *Name) {
        auto *R = (StructOfQZProcRunnerBase *)Child(QZProcRunnerBaseClass, Cell, QZCellBaseClass, "NormalRunnerQueue");
        XRQ->SetName(R, Name);
        return R;
    }
    // A proc copy of the runner, linked after Previous (first when NULL).
    StructOfQZProcBase *NewProc(StructOfQZProcRunnerBase *R, StructOfQZProcBase *Previous) {
        auto *P = (StructOfQZProcBase *)Child(QZProcBaseClass, R, QZProcRunnerBaseClass, "QZProcBase");
        if (Previous == nullptr)
            R->QZProcStart = XRQ->GetID(P);
        else
            Previous->QZProcNext = XRQ->ObjectToAtomic(P);
        return P;
    }

    // The layout constants are module-wide and outlive a test: each test
    // that reads geometry sets them.
    static void SetLayout(VS_INT32 W, VS_INT32 H, VS_INT32 HI, VS_INT32 VI, VS_INT32 R) {
        GETSTATUS_QZPROC_WIDTH = W;
        GETSTATUS_QZPROC_HEIGHT = H;
        GETSTATUS_QZPROC_HINTERVAL = HI;
        GETSTATUS_QZPROC_VINTERVAL = VI;
        GETSTATUS_QZDATA_RADIUS = R;
    }
    VS_PARAPKGPTR Query(void *Object, VS_BOOL WithPos) {
        return QZRealmBase_GetStatus_Internal(Realm, Object, WithPos);
    }
    static VS_PARAPKGPTR Pkg(VS_PARAPKGPTR P, const char *Key) {
        VS_INT32 i = P->FindDict(Key);
        return i >= 0 ? P->GetParaPackage(i) : nullptr;
    }
    static std::string Str(VS_PARAPKGPTR P, const char *Key) {
        VS_INT32 i = P->FindDict(Key);
        const VS_CHAR *Text = i >= 0 ? P->GetStr(i) : nullptr;
        return Text != nullptr ? Text : "<none>";
    }
    static VS_INT32 Int(VS_PARAPKGPTR P, const char *Key) {
        VS_INT32 i = P->FindDict(Key);
        return i >= 0 ? P->GetInt(i) : -999;
    }
    // Names of the runners of the described cell, in the order listed.
    std::vector<std::string> RunnerNames(VS_PARAPKGPTR Status) {
        std::vector<std::string> Names;
        VS_PARAPKGPTR List = Pkg(Status, "ObjectList");
        VS_PARAPKGPTR Runners = List != nullptr ? Pkg(List->GetParaPackage(0), "NormalRunnerQueue") : nullptr;
        for (VS_INT32 i = 0; Runners != nullptr && i < Runners->GetNumber(); i++)
            Names.push_back(Str(Runners->GetParaPackage(i), "ObjectName"));
        return Names;
    }
    // The keys of a dictionary package, joined by commas.
    static std::string Keys(VS_PARAPKGPTR P) {
        std::string Text;
        for (VS_INT32 i = 0; i < P->GetNumber(); i += 2)
            Text += (i > 0 ? "," : "") + std::string(P->GetStr(i) != nullptr ? P->GetStr(i) : "?");
        return Text;
    }
    // A shape as "Type x,y" with its size.
    static std::string Shape(VS_PARAPKGPTR E) {
        std::string Text = Str(E, "Type") + " " + std::to_string(Int(E, "PosX")) + "," + std::to_string(Int(E, "PosY"));
        if (E->FindDict("Width") >= 0)
            Text += " " + std::to_string(Int(E, "Width")) + "x" + std::to_string(Int(E, "Height"));
        if (E->FindDict("Radius") >= 0)
            Text += " r" + std::to_string(Int(E, "Radius"));
        return Text;
    }
    static bool TableEmpty() {
        for (auto *Head : GetStatusPositionItemRoot)
            if (Head != nullptr)
                return false;
        return true;
    }

    StructOfQZRealmBase *Realm = nullptr;
    StructOfQZCellBase *Cell = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(StatusInternal, RunnersKeepTheOrderTheyWereFirstSeenIn) {
    StructOfQZProcRunnerBase *A = NewRunner("a");
    StructOfQZProcRunnerBase *B = NewRunner("b");
    VS_PARAPKGPTR S = Query(Cell, VS_FALSE);
    EXPECT_EQ(RunnerNames(S), (Names{"a", "b"}));
    S->Release();

    // a moves behind b in the queue, c joins: the order seen first stays.
    EXPECT_TRUE(XRQ->ChangeParent(A, Cell, XRQ->GetAttributeIndex(QZCellBaseClass, "NormalRunnerQueue")));
    void *First = XRQ->QueryFirst(&Cell->NormalRunnerQueue);
    ASSERT_NE(First, nullptr);
    EXPECT_STREQ(XRQ->GetName(First), "b") << "the queue itself changed order";
    NewRunner("c");
    S = Query(Cell, VS_FALSE);
    EXPECT_EQ(RunnerNames(S), (Names{"a", "b", "c"}));
    S->Release();

    // A runner that left is dropped at the next query.
    XRQ->FreeObject(B);
    S = Query(Cell, VS_FALSE);
    EXPECT_EQ(RunnerNames(S), (Names{"a", "c"}));
    S->Release();
    StructOfQZProcBaseLocalBuf *Buf = QZProcBase_GetProcLocalBuf(Cell);
    ASSERT_NE(Buf, nullptr);
    int Items = 0;
    for (StructOfObjectIDChangeSequence *I = Buf->RunnerSequenceForGetStatusHead; I != nullptr; I = I->Down)
        Items++;
    EXPECT_EQ(Items, 2) << "the order holds one item per runner";
    EXPECT_EQ(Buf->RunnerSequenceForGetStatusTail->Up, Buf->RunnerSequenceForGetStatusHead);
}

TEST_F(StatusInternal, RunnerWithoutProcsIsOneEmptyBand) {
    NewRunner("empty");
    SetLayout(90, 120, 40, 60, 10);
    VS_PARAPKGPTR S = Query(Cell, VS_TRUE);
    VS_PARAPKGPTR Runners = Pkg(Pkg(S, "ObjectList")->GetParaPackage(0), "NormalRunnerQueue");
    ASSERT_NE(Runners, nullptr);
    VS_PARAPKGPTR R = Runners->GetParaPackage(0);
    EXPECT_EQ(R->FindDict("Width"), -1) << "no first proc, no width";
    EXPECT_EQ(R->FindDict("QZProcStart"), -1);
    EXPECT_EQ(Int(R, "Height"), 40) << "4R";
    EXPECT_EQ(Int(R, "PosY"), 0) << "no data row above it";
    ASSERT_NE(Pkg(R, "Elements"), nullptr);
    EXPECT_EQ(Pkg(R, "Elements")->GetNumber(), 0);
    S->Release();
    EXPECT_TRUE(TableEmpty());
}

TEST_F(StatusInternal, AGoneDataTypeEmptiesTheWholeQuery) {
    XRQ->SetName(Realm, "realm");
    // The cell sits in the realm's queue so that the all-cells form finds it.
    EXPECT_TRUE(XRQ->ChangeParent(Cell, Realm, XRQ->GetAttributeIndex(QZRealmBaseClass, "QZCellQueue")));
    StructOfQZProcRunnerBase *R = NewRunner("r");
    StructOfQZProcBase *P = NewProc(R, nullptr);
    NewProc(R, P);
    auto *In = (StructOfQZDataInputContainer *)Child(QZDataInputContainerClass, P, QZProcBaseClass, "InputQueue");
    void *Type = NewObject(QZDataBaseClass);
    XRQ->SetName(Type, "gone.Type");
    In->DataBaseID = XRQ->GetID(Type);
    In->RequestNumber = 1;

    VS_PARAPKGPTR S = Query(Cell, VS_TRUE);
    VS_PARAPKGPTR Procs = Pkg(Pkg(Pkg(S, "ObjectList")->GetParaPackage(0), "NormalRunnerQueue")->GetParaPackage(0),
                              "QZProcStart");
    ASSERT_NE(Procs, nullptr);
    EXPECT_EQ(Procs->GetNumber(), 2);
    VS_PARAPKGPTR Inputs = Pkg(Procs->GetParaPackage(0), "InputQueue");
    ASSERT_NE(Inputs, nullptr);
    EXPECT_EQ(Str(Inputs->GetParaPackage(0), "DataBaseName"), "gone.Type");
    S->Release();

    XRQ->FreeObject(Type);
    for (VS_BOOL WithPos : {VS_FALSE, VS_TRUE}) {
        S = Query(Cell, WithPos);
        EXPECT_EQ(S->GetNumber(), 0) << "one cell, positions " << (int)WithPos;
        S->Release();
        S = Query(nullptr, WithPos);
        EXPECT_EQ(S->GetNumber(), 0) << "all cells, positions " << (int)WithPos;
        S->Release();
        EXPECT_TRUE(TableEmpty()) << "a failed runner leaves no shape behind";
    }
    EXPECT_TRUE(tvh::errors(false).empty()) << "a failed query reports nothing:\n" << trelktest::ErrorLog();
}

TEST_F(StatusInternal, ALinkedCycleOfProcsEnds) {
    StructOfQZProcRunnerBase *R = NewRunner("r");
    StructOfQZProcBase *P1 = NewProc(R, nullptr);
    StructOfQZProcBase *P2 = NewProc(R, P1);
    P2->QZProcNext = XRQ->ObjectToAtomic(P1);
    SetLayout(90, 120, 40, 60, 10);
    VS_PARAPKGPTR S = Query(Cell, VS_TRUE);
    VS_PARAPKGPTR Runner = Pkg(Pkg(S, "ObjectList")->GetParaPackage(0), "NormalRunnerQueue")->GetParaPackage(0);
    ASSERT_NE(Pkg(Runner, "QZProcStart"), nullptr);
    EXPECT_EQ(Pkg(Runner, "QZProcStart")->GetNumber(), 2) << "each proc once";
    // Two procs of 250 from L0 = 40, HI 40 between them.
    EXPECT_EQ(Int(Runner, "Width"), 40 + 250 + 40 + 250);
    S->Release();
}

TEST_F(StatusInternal, LayoutTableLayersAndEmptying) {
    tvh::HostStats Before = tvh::stats();
    VS_PARAPKGPTR Shape = XRQ->GetParaPkgInterface();
    Shape->AsDict(VS_TRUE);
    TrelkStatus_Lock();
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(1024, Shape, 0);
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(-1, Shape, 0);
    EXPECT_TRUE(TableEmpty()) << "nothing above layer 1023, nor below 0";
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(1023, Shape, 7);
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(1023, Shape, 8);
    ASSERT_NE(GetStatusPositionItemRoot[1023], nullptr);
    EXPECT_EQ(GetStatusPositionItemRoot[1023]->HeightOffset, 8) << "the newest item heads its layer";
    EXPECT_EQ(GetStatusPositionItemRoot[1023]->Down->HeightOffset, 7);
    EXPECT_EQ(GetStatusPositionItemRoot[1023]->Down->Up, GetStatusPositionItemRoot[1023]);
    QZRealmBase_GetStatus_FreeGetStatusPositionItem();
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(Shape->AddRef(), 2u) << "the items gave their references back";
    Shape->Release();
    Shape->Release();

    // Bands stop at the first empty layer: a shape in layer 2 with layer 1
    // empty is not drawn.
    auto Element = [&](const char *Type, VS_INT32 Height) {
        VS_PARAPKGPTR E = XRQ->GetParaPkgInterface();
        E->AsDict(VS_TRUE);
        TrelkStatus_PutStr(E, "Type", Type);
        TrelkStatus_PutInt(E, "PosY", 0);
        if (Height > 0)
            TrelkStatus_PutInt(E, "Height", Height);
        return E;
    };
    SetLayout(90, 120, 40, 60, 10);
    VS_PARAPKGPTR Box = Element("ElementProc", 120), Tall = Element("ElementOutput", 200), Far = Element("ElementProc", 50);
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(0, Box, 0);
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(0, Tall, 30);
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(2, Far, 0);
    VS_PARAPKGPTR Runner = XRQ->GetParaPkgInterface();
    Runner->AsDict(VS_TRUE);
    TrelkStatus_RunnerBands(Runner, VS_FALSE, 0, 5);
    TrelkStatus_UnLock();
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(Pkg(Runner, "Elements")->GetNumber(), 2) << "layer 2 is not reached";
    EXPECT_EQ(Int(Box, "Height"), 200) << "a box takes its band's height, set by any shape";
    EXPECT_EQ(Int(Tall, "Height"), 200) << "other shapes keep theirs";
    EXPECT_EQ(Int(Tall, "PosY"), 30 + 0 + 5 + 40);
    EXPECT_EQ(Int(Runner, "Height"), 40 + 200 + 60);
    EXPECT_EQ(Runner->FindDict("Width"), -1);
    for (VS_PARAPKGPTR P : {Box, Tall, Far, Runner})
        P->Release();
    tvh::HostStats After = tvh::stats();
    EXPECT_EQ(After.LivePackages, Before.LivePackages);
}

// The keys a container or a remote proc writes only when they hold
// something, and the shapes of an output side with data and without.
TEST_F(StatusInternal, OptionalKeysOfContainersAndRemoteProcs) {
    void *TypeA = NewObject(QZDataBaseClass), *TypeB = NewObject(QZDataBaseClass);
    XRQ->SetName(TypeA, "t.A");
    XRQ->SetName(TypeB, "t.B");
    StructOfQZProcRunnerBase *R = NewRunner("r");
    auto *P = (StructOfQZProcBase *)Child(QZProcRemoteBaseClass, R, QZProcRunnerBaseClass, "QZProcBase");
    R->QZProcStart = XRQ->GetID(P);
    XRQ->SetVString(&((StructOfQZProcRemoteBase *)P)->Url, "http://example.invalid/p");

    auto *In = (StructOfQZDataInputContainer *)Child(QZDataInputContainerClass, P, QZProcBaseClass, "InputQueue");
    In->DataBaseID = XRQ->GetID(TypeA);
    In->RequestNumber = 2;
    In->IsMustExist = VS_TRUE;
    In->QZProcID = XRQ->GetID(P);
    In->DataLocalBuf = XRQ->GetParaPkgInterface();
    In->DataLocalBuf->InsertInt(0, 7);
    // Two outputs: one holding two data (redirected, required, returning 3),
    // one without data.
    auto *Full = (StructOfQZDataOutputContainer *)Child(QZDataOutputContainerClass, P, QZProcBaseClass, "OutputQueue");
    Full->DataBaseID = XRQ->GetID(TypeB);
    Full->OriginalDataBaseID = XRQ->GetID(TypeA);
    Full->IsMustExist = VS_TRUE;
    Full->ReturnNumber = 3;
    for (int i = 0; i < 2; i++)
        Child(TypeB, Full, QZDataOutputContainerClass, "QZData");
    auto *Empty = (StructOfQZDataOutputContainer *)Child(QZDataOutputContainerClass, P, QZProcBaseClass, "OutputQueue");
    Empty->DataBaseID = XRQ->GetID(TypeA);
    Empty->ReturnNumber = 1;

    SetLayout(90, 120, 40, 60, 10);
    VS_PARAPKGPTR S = Query(Cell, VS_TRUE);
    VS_PARAPKGPTR Runner = Pkg(Pkg(S, "ObjectList")->GetParaPackage(0), "NormalRunnerQueue")->GetParaPackage(0);
    VS_PARAPKGPTR Proc = Pkg(Runner, "QZProcStart")->GetParaPackage(0);
    EXPECT_EQ(Str(Proc, "Type"), "QZProcRemote");
    EXPECT_EQ(Keys(Proc), "Type,ObjectName,ObjectID,IsSuspend,ErrorCount,ChildEndMarker,Status,EnvDataSkipCount,"
                          "NextRunTick,InputQueue,OutputQueue,Url,ParentID")
        << "Url is set, RemoteQZProcName is not";
    EXPECT_EQ(Str(Proc, "Url"), "http://example.invalid/p");

    VS_PARAPKGPTR InPkg = Pkg(Proc, "InputQueue")->GetParaPackage(0);
    EXPECT_EQ(Keys(InPkg), "RequestNumber,IsOnlyDirect,IsSlave,IsMustExist,IsFromInternal,DataBaseName,ObjectID,"
                           "ParentID,DataLocalBuf,QZProcID");
    EXPECT_EQ(Int(InPkg, "RequestNumber"), 2);
    EXPECT_EQ(Str(InPkg, "DataLocalBuf"), "[7]");
    EXPECT_EQ(Str(InPkg, "QZProcID"), IdText(P));
    EXPECT_EQ(Str(InPkg, "ParentID"), IdText(P));

    VS_PARAPKGPTR Outs = Pkg(Proc, "OutputQueue");
    ASSERT_EQ(Outs->GetNumber(), 2);
    VS_PARAPKGPTR FullPkg = Outs->GetParaPackage(0), EmptyPkg = Outs->GetParaPackage(1);
    EXPECT_EQ(Keys(FullPkg), "DataBaseName,OriginalDataBaseName,ObjectID,ParentID,IsMustExist,ReturnNumber,QZData");
    EXPECT_EQ(Str(FullPkg, "DataBaseName"), "t.B");
    EXPECT_EQ(Str(FullPkg, "OriginalDataBaseName"), "t.A");
    EXPECT_EQ(Int(FullPkg, "ReturnNumber"), 3);
    VS_PARAPKGPTR Data = Pkg(FullPkg, "QZData");
    ASSERT_EQ(Data->GetNumber(), 2);
    EXPECT_EQ(Keys(Data->GetParaPackage(0)), "Type,ObjectName,ObjectID,ScheduleTickCount,UniformTick,ParentID");
    EXPECT_EQ(Str(Data->GetParaPackage(0), "ParentID"), IdText(Full));
    EXPECT_EQ(Keys(EmptyPkg), "DataBaseName,ObjectID,ParentID");

    // Three outputs' worth of shapes (two data, one box): 2R*3 + 4R = 100,
    // under H. Newest first: the box (offset R + 6R), the two data (2R, 5R),
    // the input (2R), the proc.
    VS_PARAPKGPTR Elements = Pkg(Runner, "Elements");
    std::vector<std::string> Shapes;
    for (VS_INT32 i = 0; i < Elements->GetNumber(); i++)
        Shapes.push_back(Shape(Elements->GetParaPackage(i)));
    EXPECT_EQ(Shapes, (Names{"ElementOutput 230,110 20x20", "ElementData 260,90 r10", "ElementData 260,60 r10",
                             "ElementInput 70,60 r10", "ElementProc 120,40 90x120"}));
    S->Release();
}

// A cell that runs as a proc of another cell's runner names that cell.
TEST_F(StatusInternal, ACellInsideARunnerNamesItsParentCell) {
    StructOfQZProcRunnerBase *R = NewRunner("r");
    auto *Inner = (StructOfQZCellBase *)Child(QZCellBaseClass, R, QZProcRunnerBaseClass, "QZProcBase");
    R->QZProcStart = XRQ->GetID(Inner);
    VS_PARAPKGPTR S = Query(Cell, VS_FALSE);
    VS_PARAPKGPTR AsProc =
        Pkg(Pkg(Pkg(S, "ObjectList")->GetParaPackage(0), "NormalRunnerQueue")->GetParaPackage(0), "QZProcStart")
            ->GetParaPackage(0);
    EXPECT_EQ(Str(AsProc, "Type"), "QZCell");
    EXPECT_EQ(AsProc->FindDict("IsReady"), -1) << "met as a proc, a cell gets only the proc keys";
    S->Release();

    XRQ->SetName(Realm, "realm");
    Run("local r = _Find('realm'); function r:BreakOnProcContinue() return false end");
    S = Query(Inner, VS_FALSE);
    VS_PARAPKGPTR Described = Pkg(S, "ObjectList")->GetParaPackage(0);
    EXPECT_EQ(Str(Described, "ParentCell"), IdText(Cell));
    EXPECT_EQ(Keys(Described), "Type,ObjectName,ObjectID,IsSuspend,ErrorCount,ChildEndMarker,Status,EnvDataSkipCount,"
                               "NextRunTick,IsReady,ParentCell");
    S->Release();
}

// A query waits for the status lock: while another holder keeps it, no
// query can touch the layout, whatever host locks it holds.
TEST_F(StatusInternal, AQueryWaitsForTheStatusLock) {
    NewRunner("r");
    std::atomic<bool> Done{false};
    VS_INT32 Count = -1;
    const long long Violations = tvh::stats().LockViolations;
    TrelkStatus_Lock();
    tvh::unlockBoth();
    std::thread Other([&] {
        tvh::lockBoth();
        VS_PARAPKGPTR S = QZRealmBase_GetStatus_Internal(Realm, Cell, VS_TRUE);
        Count = S->GetNumber();
        S->Release();
        tvh::unlockBoth();
        Done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(Done.load()) << "the query ran while the status lock was held";
    TrelkStatus_UnLock();
    Other.join();
    tvh::lockBoth();
    EXPECT_TRUE(Done.load());
    EXPECT_GT(Count, 0) << "and then answered in full";
    EXPECT_EQ(tvh::stats().LockViolations, Violations) << "the query kept the host's lock rules";
}

} // namespace
