// Data objects in arrangements that scripts cannot build by themselves:
// data placed in realms (ordering), data connected to proc inputs (clean-up
// at free, ResetSchedule) and member-wise set kinds (equality and copies of
// sets that contain themselves).
#include "module_test_util.h"
#include "trelk_data_api.h"

namespace {

class DataInternal : public trelktest::LoadedModule {
  protected:
    DataInternal() : LoadedModule("data_internal") {}

    void Move(void *Object, void *Parent, const char *Queue) {
        ASSERT_TRUE(XRQ->ChangeParent(Object, Parent, XRQ->GetAttributeIndex(Parent, Queue))) << Queue;
    }
    int Count(void *QueueHead) {
        int n = 0;
        for (void *o = XRQ->QueryFirst(QueueHead); o != nullptr; o = XRQ->QueryNext(o))
            n++;
        return n;
    }
};

TEST_F(DataInternal, OrderingWithinOneRealm) {
    Run(R"(
        local function named(o, n) _SetName(o, n) _LockGC(o) return o end
        named(_New(QZRealmBase), "realm1") named(_New(QZRealmBase), "realm2")
        local A = QZDataBase:CreateType("ord.A")
        for _, n in ipairs({"o1", "o2", "o3", "far"}) do named(A(1), n) end
    )");
    void *Realm1 = Named("realm1");
    for (const char *Name : {"o1", "o2", "o3"})
        Move(Named(Name), Realm1, "EnvDataQueue");
    Move(Named("far"), Named("realm2"), "EnvDataQueue");
    EXPECT_EQ(QZDataBase_GetOwnerRealm_Internal((StructOfQZDataBase *)Named("o1")), Realm1);
    Run(R"(
        local o1, o2, o3, far = _Find("o1"), _Find("o2"), _Find("o3"), _Find("far")
        o1.ScheduleTickCount, o1.SequenceIndex = 10, 1
        o2.ScheduleTickCount, o2.SequenceIndex = 10, 2
        o3.ScheduleTickCount, o3.SequenceIndex = 9, 5
        far.ScheduleTickCount = 0
        local cases = {  -- a, b, IsBefore, IsAfter
          {o1, o2, true, false}, {o2, o1, false, true}, {o3, o1, true, false},
          {o1, o3, false, true}, {o1, o1, false, false}, {far, o1, false, false},
          {o1, far, false, false}, {o1, _New(_Object), false, false},
        }
        for i, c in ipairs(cases) do
          assert(c[1]:IsBefore(c[2]) == c[3], "IsBefore case " .. i)
          assert(c[1]:IsAfter(c[2]) == c[4], "IsAfter case " .. i)
        end
        local twin = _Find("o2")
        o1.SequenceIndex = 2
        assert(not o1:IsBefore(twin) and not o1:IsAfter(twin), "equal keys")
    )");
}

TEST_F(DataInternal, FreeCleansTheFirstInputOfEachConnectedProc) {
    Run(R"(
        local D = QZDataBase:CreateType("conn.D")
        local d = D(1) _SetName(d, "d") _LockGC(d)
        local p = _New(QZProcBase) _SetName(p, "p") _LockGC(p)
        local q = _New(QZProcBase) _SetName(q, "q") _LockGC(q)
        local stranger = _New(_Object) _SetName(stranger, "stranger") _LockGC(stranger)
    )");
    auto *Data = (StructOfQZDataBase *)Named("d");
    auto *P = (StructOfQZProcBase *)Named("p");
    auto *Q = (StructOfQZProcBase *)Named("q");
    // p holds the data in both of its inputs, q in one; the data names both
    // procs and, by a stray record, an object that is no proc.
    StructOfQZDataInputContainer *Inputs[3];
    for (int i = 0; i < 3; i++) {
        Inputs[i] = (StructOfQZDataInputContainer *)NewObject(QZDataInputContainerClass);
        Move(Inputs[i], i < 2 ? (void *)P : (void *)Q, "InputQueue");
        auto *Ref = (StructOfQZObjectPointerWithChangeFlag *)NewObject(QZObjectPointerWithChangeFlagClass);
        Ref->ObjectID = XRQ->GetID(Data);
        Move(Ref, Inputs[i], "DataQueue");
    }
    for (void *Target : {(void *)Named("stranger"), (void *)P, (void *)Q}) {
        auto *Link = (StructOfQZObjectPointer *)NewObject(QZObjectPointerClass);
        Link->ObjectID = XRQ->GetID(Target);
        Move(Link, Data, "ConnectedProc");
    }
    // ResetSchedule keeps the exclusion of a connected proc only.
    Run(R"(
        local d = _Find("d")
        local loose = _New(QZProcBase)
        d:AddExclude(_Find("p")) d:AddExclude(loose)
        d:ResetSchedule()
        assert(d:IsExclude(_Find("p")), "connected proc stays excluded")
        assert(not d:IsExclude(loose), "unconnected proc is dropped")
        assert(d:ConnectedProcToParaPkg():_Count() == 3, "every linked object that exists is listed")
    )");
    XRQ->FreeObject(Data);
    EXPECT_EQ(Count(&Inputs[0]->DataQueue), 0);
    EXPECT_EQ(Count(&Inputs[1]->DataQueue), 1) << "only the first input of a proc is cleaned";
    EXPECT_EQ(Count(&Inputs[2]->DataQueue), 0);
    EXPECT_EQ(tvh::stats().InvalidObjects, 0);
}

TEST_F(DataInternal, MemberWiseSetsEqualAndCopyWithCycles) {
    Run(R"(
        local Base = QZDataBase:CreateType("comp.Base")
        local CS = Base:CreateType("comp.Base_Set_")
        _SetName(CS, "CS")
        _LockGC(CS)
    )");
    void *CS = Named("CS");
    // The kind a property-bearing type gives its set companion.
    XRQ->InsertIDKey(GlobalDataTypeIndexTree, XRQ->GetIDEx(CS), (void *)(uintptr_t)QZDATATYPE_KIND_SET);
    Run(R"(
        local CS = _Find("CS")
        local A = QZDataBase:CreateType("comp.A")
        local a1, a2, a3 = A(1), A(1), A(2)
        local function set(...) local s = _New(CS) s:SetDataBuf(_Pkg(...)) return s end
        assert(set(a1):IsDataSet(), "a set companion instance is a set")
        assert(set(a1, a3):Equals(set(a3, a2, a1)), "order and repeats do not matter")
        assert(not set(a1, a3):Equals(set(a1)), "a missing member")
        assert(not set(a1):Equals(A(1)), "a set never equals a plain data")
        -- Members that are no data count by identity, never skipped.
        local plain = _New(_Object) _LockGC(plain)
        assert(not set(a1, plain):Equals(set(a1)), "a non-data member is a member")
        assert(not set(a1):Equals(set(a1, plain)), "a non-data member on the other side")
        assert(set(a1, plain):Equals(set(plain, a2)), "the same non-data object matches itself")
        assert(not set(a1, plain):Equals(set(a1, _New(_Object))), "two non-data objects differ")
        _Errors()
        assert(set(a1, plain):Dup() == nil, "a non-data member cannot be copied")
        local de = _Errors()
        assert(de:_Count() == 1 and de:_Get(0):_Get(7):find("'s type object is not found, Dup failed", 1, true),
               "non-data member message")
        local l1, l2, l3 = set(a1), set(a2), set(a3)
        l1:GetDataBuf():_Append(l1) l2:GetDataBuf():_Append(l2) l3:GetDataBuf():_Append(l3)
        assert(l1:Equals(l2), "self-containing sets with equal members")
        assert(not l1:Equals(l3), "self-containing sets with different members")
        local c = l1:Dup()
        assert(c and c ~= l1, "copy of a self-containing set")
        local m = c:GetDataBuf()
        assert(m:_Count() == 2 and m:_Get(1) == c, "the copy contains its copy")
        assert(m:_Get(0) ~= a1 and m:_Get(0):Equals(a1), "members are copied")
        assert(c:Equals(l1), "the copy is equal")
        local empty = _New(CS)
        _Errors()
        assert(empty:Dup() == nil, "a set without members")
        local e = _Errors()
        assert(e:_Count() == 1 and e:_Get(0):_Get(7):find("has no data, Dup failed", 1, true), "message")
        -- Deep nesting stops with a refusal instead of running out of stack.
        local deep = set(a1)
        for i = 1, 300 do deep = set(deep) end
        _Errors()
        assert(deep:Dup() == nil, "too deep to copy")
        assert(deep:Equals(deep), "an object equals itself at any depth")
        -- A member hook that drops the member packages under way.
        local H = QZDataBase:CreateType("comp.H")
        local htc = _New(_Object)
        local outer, other
        function htc:IsRawInstance() return true end
        function htc:Equals(a, b)
          outer:SetDataBuf(nil) other:SetDataBuf(nil) _CollectGarbage()
          return true
        end
        function htc:Dup(holder)
          outer:SetDataBuf(nil) _CollectGarbage()
          return H(_New(_Object))
        end
        H:SetDataTypeClass(htc)
        local h1, h2 = H(_New(_Object)), H(_New(_Object))
        outer, other = set(h1, h2), set(h2, h1)
        _CollectGarbage()
        assert(outer:Equals(other), "members compared on the packages held at the start")
        outer = set(h1, h2)
        _CollectGarbage()
        local copy = outer:Dup()
        assert(copy and copy:GetDataBuf():_Count() == 2, "members copied from the package held at the start")
    )");
}

TEST_F(DataInternal, KindTestsWithAndWithoutInst) {
    Run(R"(
        local S = QZDataSetBase:CreateType("kind.S") _SetName(S, "kindS") _LockGC(S)
        local s = _New(S) _SetName(s, "kinds") _LockGC(s)
        local d = _New(QZDataSetBase) _SetName(d, "kindd") _LockGC(d)
    )");
    struct Case {
        const char *Name;
        VS_BOOL IsInst;
        VS_BOOL Expected;
    } Cases[] = {
        {"kinds", 0, 1}, {"kinds", 1, 0}, {"kindd", 0, 1}, {"kindd", 1, 0}, {"kindS", 0, 1},
    };
    for (const Case &c : Cases)
        EXPECT_EQ(QZDataBase_IsDataSet_Internal((StructOfQZDataBase *)Named(c.Name), c.IsInst), c.Expected)
            << c.Name << " IsInst " << int(c.IsInst);
    EXPECT_EQ(QZDataBase_IsDataSet_Internal((StructOfQZDataBase *)QZDataSetBaseClass, 0), 1);
    EXPECT_EQ(QZDataBase_IsObjectData_Internal((StructOfQZDataBase *)QZObjectDataBaseClass, 0), 1);
    EXPECT_EQ(QZDataBase_IsBufData_Internal((StructOfQZDataBase *)QZBufDataBaseClass, 1), 0);
    EXPECT_EQ(QZDataBase_GetDataType_Internal(nullptr), nullptr);
    // The source holder of a data without any list is the data itself.
    auto *s = (StructOfQZDataBase *)Named("kinds");
    EXPECT_EQ(QZDataBase_GetSourceData_Internal(s), nullptr);
    EXPECT_EQ(QZDataBase_GetSourceDataObject_Internal(s), s);
}

} // namespace
