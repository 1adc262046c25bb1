// ClassOfXRQObject against a recording host interface: registration, the
// host's notices, detachment, and what each member family forwards.
#include "ClassOfXRQObject.h"
#include "fake_xrq_interface.h"

#include <gtest/gtest.h>

namespace {

// A wrapper that tells when it is destroyed.
class Probe : public ClassOfXRQObject {
  public:
    explicit Probe(bool *Deleted) : m_Deleted(Deleted) {}
    ~Probe() override { *m_Deleted = true; }

  private:
    bool *m_Deleted;
};

int g_ObjA, g_ObjB, g_ObjC; // host objects: only their addresses matter
void *ObjA = &g_ObjA;
void *ObjB = &g_ObjB;
void *ObjC = &g_ObjC;

VS_INT32 Handler(VS_UWORD, void *)
{
    return 0;
}

class WrapperTest : public testing::Test {
  protected:
    FakeXRQInterface Host;
};

} // namespace

TEST_F(WrapperTest, DefaultStateAccessorsAndSelfName)
{
    ClassOfXRQObject w;
    EXPECT_EQ(w.WrapFlag, 0);
    EXPECT_EQ(w.AppClassLayer, 0u);
    EXPECT_EQ(w.GetXRQObject(), nullptr);
    EXPECT_EQ(w.GetXRQInterface(), nullptr);
    EXPECT_FALSE(w.GetAutoReleaseObject());
    EXPECT_FALSE(w.GetAutoReleaseSelf());
    w.SetAutoReleaseObject(true);
    w.SetAutoReleaseSelf(true);
    EXPECT_TRUE(w.GetAutoReleaseObject());
    EXPECT_TRUE(w.GetAutoReleaseSelf());
    w.SetAutoReleaseObject(false);
    w.SetAutoReleaseSelf(false);
    EXPECT_STREQ(w.GetSelfName(), "");
}

TEST_F(WrapperTest, WrapRegistersAndDestructionLetsGo)
{
    {
        ClassOfXRQObject w;
        w.WrapObject(&Host, true, false, ObjA, 5);
        EXPECT_EQ(w.WrapFlag, 1);
        EXPECT_EQ(w.AppClassLayer, 5u);
        EXPECT_EQ(Host.AppClassOf(ObjA, 5), &w);
        EXPECT_EQ(Host.ReMallocCount(ObjA), 1u);
        // A copy registers nothing and is not the registered wrapper.
        ClassOfXRQObject Copy(w);
        EXPECT_EQ(Copy.GetXRQObject(), ObjA);
        Copy.UnWrapObject(); // a copy that unwraps lets go of the registration it copied
        EXPECT_EQ(Host.AppClassOf(ObjA, 5), nullptr);
        w.WrapObject(&Host, true, false, ObjA, 5); // registered again
    }
    EXPECT_EQ(Host.AppClassOf(ObjA, 5), nullptr);
    EXPECT_EQ(Host.ReMallocCount(ObjA), 0u);
    EXPECT_EQ(Host.Count("FreeObject"), 2u) << "AutoReleaseObject frees on unwrap and on destruction";
}

TEST_F(WrapperTest, OwnLayerIsAskedOfTheHost)
{
    ClassOfXRQObject w;
    w.WrapObject(&Host, false, false, ObjA, XRQ_OWNLAYER);
    EXPECT_EQ(w.AppClassLayer, Host.Layer);
    EXPECT_EQ(Host.AppClassOf(ObjA, Host.Layer), &w);
}

TEST_F(WrapperTest, RewrapOfTheSameObjectAndLayerOnlyChangesTheFlags)
{
    ClassOfXRQObject w;
    w.WrapObject(&Host, false, false, ObjA, 2);
    size_t Before = Host.RegistrationCalls();
    w.WrapObject(&Host, true, false, ObjA, 2);
    EXPECT_EQ(Host.RegistrationCalls(), Before);
    EXPECT_TRUE(w.GetAutoReleaseObject());
    w.SetAutoReleaseObject(false);
}

TEST_F(WrapperTest, WrapOntoAnObjectAnotherWrapperHoldsDetachesIt)
{
    // The other wrapper owns itself: it is deleted; the object is not freed.
    bool Deleted = false;
    Probe *Owned = new Probe(&Deleted);
    Owned->WrapObject(&Host, true, true, ObjA, 1);
    ClassOfXRQObject w;
    w.WrapObject(&Host, false, false, ObjA, 1);
    EXPECT_TRUE(Deleted);
    EXPECT_EQ(Host.Count("FreeObject"), 0u);
    EXPECT_EQ(Host.AppClassOf(ObjA, 1), &w);
    EXPECT_EQ(Host.ReMallocCount(ObjA), 1u) << "only the new wrapper's notice stays";

    // Not owning itself: it is left unbound.
    ClassOfXRQObject Other;
    Other.WrapObject(&Host, true, false, ObjB, 1);
    ClassOfXRQObject Taker;
    Taker.WrapObject(&Host, false, false, ObjB, 1);
    EXPECT_EQ(Other.GetXRQObject(), nullptr);
    EXPECT_EQ(Other.WrapFlag, 0);
    EXPECT_FALSE(Other.GetAutoReleaseObject());
    EXPECT_EQ(Host.Count("FreeObject"), 0u);
}

TEST_F(WrapperTest, RebindingFreesAnOwnedObjectButNeverOneOfGetXRQWrap)
{
    ClassOfXRQObject w;
    w.WrapObject(&Host, true, false, ObjA, 1);
    w.WrapObject(&Host, false, false, ObjB, 1);
    ASSERT_EQ(Host.Count("FreeObject"), 1u);
    EXPECT_EQ(Host.Last("FreeObject")->Pointers[0], ObjA);

    ClassOfXRQObject *Made = ClassOfXRQObject::GetXRQWrap(&Host, ObjC, 1);
    ASSERT_NE(Made, nullptr);
    EXPECT_FALSE(Made->GetAutoReleaseObject());
    EXPECT_TRUE(Made->GetAutoReleaseSelf());
    Made->Release();
    EXPECT_EQ(Host.Count("FreeObject"), 1u);
    EXPECT_EQ(Host.AppClassOf(ObjC, 1), nullptr);
}

TEST_F(WrapperTest, MovingToAnotherLayerOfTheSameObjectDoesNotFreeIt)
{
    ClassOfXRQObject w;
    w.WrapObject(&Host, true, false, ObjA, 1);
    w.WrapObject(&Host, true, false, ObjA, 2);
    EXPECT_EQ(Host.Count("FreeObject"), 0u);
    EXPECT_EQ(Host.AppClassOf(ObjA, 1), nullptr);
    EXPECT_EQ(Host.AppClassOf(ObjA, 2), &w);
    EXPECT_EQ(Host.ReMallocCount(ObjA), 1u);
    w.SetAutoReleaseObject(false);
}

TEST_F(WrapperTest, ProcessObjectWithdrawsTheRegistrationAndIsATransientView)
{
    ClassOfXRQObject w;
    w.WrapObject(&Host, false, false, ObjA, 1);
    w.ProcessObject(&Host, ObjB);
    EXPECT_EQ(Host.AppClassOf(ObjA, 1), nullptr) << "the host must not keep pointing at the wrapper";
    EXPECT_EQ(Host.ReMallocCount(ObjA), 0u);
    EXPECT_EQ(w.WrapFlag, 0);
    EXPECT_EQ(w.GetXRQObject(), ObjB);

    size_t Before = Host.Calls.size();
    {
        ClassOfXRQObject View;
        View.ProcessObject(&Host, ObjC);
        View.UnWrapObject();
        View.ProcessObject(&Host, ObjC);
    }
    EXPECT_EQ(Host.Calls.size(), Before) << "a view is unwrapped and destroyed without host calls";
}

TEST_F(WrapperTest, GetXRQWrapFindsTheRegisteredWrapper)
{
    EXPECT_EQ(ClassOfXRQObject::GetXRQWrap(nullptr, ObjA, 1), nullptr);
    EXPECT_EQ(ClassOfXRQObject::GetXRQWrap(&Host, nullptr, 1), nullptr);
    ClassOfXRQObject *First = ClassOfXRQObject::GetXRQWrap(&Host, ObjA, 1);
    EXPECT_EQ(ClassOfXRQObject::GetXRQWrap(&Host, ObjA, 1), First);
    ClassOfXRQObject *Second = ClassOfXRQObject::GetXRQWrap(&Host, ObjA, 2);
    EXPECT_NE(Second, First);
    EXPECT_EQ(ClassOfXRQObject::GetXRQWrap(&Host, ObjA, XRQ_OWNLAYER), ClassOfXRQObject::GetXRQWrap(&Host, ObjA, 3));
    // The host frees the object: the self-owning wrappers go with it.
    Host.HostFree(ObjA);
    EXPECT_TRUE(Host.AppClasses.empty());
}

TEST_F(WrapperTest, HostMovesAndFreesTheObject)
{
    int Moved;
    ClassOfXRQObject Kept;
    Kept.WrapObject(&Host, false, false, ObjA, 1);
    Host.HostMove(ObjA, &Moved);
    EXPECT_EQ(Kept.GetXRQObject(), &Moved);
    size_t Before = Host.Calls.size();
    Host.HostFree(&Moved);
    EXPECT_EQ(Kept.GetXRQObject(), nullptr);
    EXPECT_EQ(Kept.WrapFlag, 0);
    EXPECT_EQ(Host.Calls.size(), Before) << "a freed object is not unregistered or freed again";

    bool Deleted = false;
    Probe *Owned = new Probe(&Deleted);
    Owned->WrapObject(&Host, false, true, ObjB, 1);
    Host.HostFree(ObjB);
    EXPECT_TRUE(Deleted);
}

TEST_F(WrapperTest, PlainForwardersPutTheObjectInTheHostsPlace)
{
    ClassOfXRQObject w;
    w.ProcessObject(&Host, ObjA);
    VS_UUID Id{};

    w.SetName("n");
    ASSERT_NE(Host.Last("SetName"), nullptr);
    EXPECT_EQ(Host.Last("SetName")->Pointers, (std::vector<const void *>{ObjA, (const void *)"n"}));

    w.IsInst(&Id); // the host takes the class first, the object second
    EXPECT_EQ(Host.Last("IsInst")->Pointers, (std::vector<const void *>{&Id, ObjA}));
    w.SetupTimer(10, 2, nullptr, 9);
    EXPECT_EQ(Host.Last("SetupTimer")->Pointers[0], ObjA);
    EXPECT_EQ(Host.Last("SetupTimer")->Words, (std::vector<VS_UWORD>{10, 2, 9}));

    w.GetNameStringValue("k", "d");
    EXPECT_EQ(Host.Count("GetNameStringValue"), 0u);
    EXPECT_EQ(Host.Last("GetNameStrValue")->Pointers[0], ObjA);
    w.SetNameStringValue("k", "v");
    EXPECT_EQ(Host.Last("SetNameStrValue")->Pointers[0], ObjA);
    w.UuidToStringA(&Id);
    EXPECT_EQ(Host.Last("UuidToString")->Pointers, (std::vector<const void *>{&Id}));

    w.GetTickCount(); // no object at all
    EXPECT_TRUE(Host.Last("GetTickCount")->Pointers.empty());
    EXPECT_EQ(w.GetLayer(), Host.Layer) << "results come back unchanged";
}

TEST_F(WrapperTest, ResultObjectsComeBackWrapped)
{
    ClassOfXRQObject w;
    w.ProcessObject(&Host, ObjA);
    Host.ObjectResult = ObjB;
    ClassOfXRQObject *Parent = w.GetParent();
    ASSERT_NE(Parent, nullptr);
    EXPECT_EQ(Parent->GetXRQObject(), ObjB);
    EXPECT_EQ(Parent->AppClassLayer, Host.Layer);
    EXPECT_EQ(w.QueryNext(), Parent) << "the registered wrapper is reused";
    EXPECT_EQ(Host.Last("QueryNext")->Pointers[0], ObjA);
    VS_QUERYRECORD *Query = nullptr;
    w.QueryFirstInst(Query);
    EXPECT_EQ(Host.Last("QueryFirstInst")->Pointers[1], ObjA);
    Host.ObjectResult = nullptr;
    EXPECT_EQ(w.GetClass(), nullptr);
    Host.HostFree(ObjB);
}

TEST_F(WrapperTest, ParentsAndQueues)
{
    ClassOfXRQObject Child, Parent;
    Child.ProcessObject(&Host, ObjA);
    Parent.ProcessObject(&Host, ObjB);
    Child.IsChild(&Parent);
    EXPECT_EQ(Host.Last("IsChild")->Pointers, (std::vector<const void *>{ObjA, ObjB}));

    Host.QueueResult = XRQ_NO_QUEUE;
    EXPECT_FALSE(Child.ChangeParent(&Parent));
    EXPECT_EQ(Host.Count("ChangeParent"), 0u);
    Host.QueueResult = 4;
    EXPECT_TRUE(Child.ChangeParent(&Parent));
    EXPECT_EQ(Host.Last("AllocQueue")->Pointers, (std::vector<const void *>{ObjB, ObjA}));
    EXPECT_EQ(Host.Last("ChangeParent")->Words, (std::vector<VS_UWORD>{4}));
    EXPECT_TRUE(Child.ChangeParent(nullptr));
    EXPECT_EQ(Host.Last("ChangeParent")->Pointers, (std::vector<const void *>{ObjA, nullptr}));
    EXPECT_EQ(Host.Last("ChangeParent")->Words, (std::vector<VS_UWORD>{0}));
    Child.ChangeParent(&Parent, (VS_UINT8)6);
    EXPECT_EQ(Host.Last("ChangeParent")->Words, (std::vector<VS_UWORD>{6}));
}

TEST_F(WrapperTest, MembersThatAddArguments)
{
    ClassOfXRQObject w, Source;
    w.ProcessObject(&Host, ObjA);
    Source.ProcessObject(&Host, ObjB);
    Host.IntNameValue = 42;
    Host.NameValueResult = false; // the host's own result is not what comes back
    EXPECT_EQ(w.GetNameIntValue("n", 1), 42);
    EXPECT_EQ(w.GetNameFloatValue("f", 1.5), 3.0);
    EXPECT_EQ(w.GetNameBoolValue("b", VS_FALSE), VS_TRUE);

    VS_UUID Id{};
    w.CreateOVLFunction(&Id, (void *)Handler);
    EXPECT_EQ(Host.Last("CreateOVLFunction")->Pointers,
              (std::vector<const void *>{ObjA, &Id, (const void *)Handler, nullptr}));
    w.RegSysEventFunction(5, (void *)Handler);
    EXPECT_EQ(Host.Last("RegSysEventFunction")->Words, (std::vector<VS_UWORD>{5, 0}));
    w.UnRegSysEventFunctionEx(5, (void *)Handler, 77);
    EXPECT_EQ(Host.Last("UnRegSysEventFunction")->Words, (std::vector<VS_UWORD>{5, 77}));
    w.RegEventFunction(&Id, (void *)Handler);
    EXPECT_EQ(Host.Last("RegEventFunction")->Pointers,
              (std::vector<const void *>{ObjA, &Id, ObjA, (const void *)Handler}));
    w.UnRegEventFunctionEx(&Source, &Id, (void *)Handler, 3);
    EXPECT_EQ(Host.Last("UnRegEventFunction")->Pointers,
              (std::vector<const void *>{ObjB, &Id, ObjA, (const void *)Handler}));
    EXPECT_EQ(Host.Last("UnRegEventFunction")->Words, (std::vector<VS_UWORD>{3}));
}

TEST_F(WrapperTest, RemoteCallsPassTheirArgumentLists)
{
    ClassOfXRQObject w;
    w.ProcessObject(&Host, ObjA);
    VS_UUID Id{};
    VS_ULONG RetCode = 0;
    EXPECT_EQ(w.RemoteCall(9, &Id, 11, 12), VS_TRUE);
    EXPECT_EQ(Host.Last("RemoteCallVar")->Words, (std::vector<VS_UWORD>{9, 11, 12}));
    EXPECT_EQ(Host.Last("RemoteCallVar")->Pointers[0], ObjA);
    EXPECT_EQ(w.RemoteCallEx(9, &Id, 1, 2), 7u);
    EXPECT_EQ(w.SRemoteCall(100, 9, &RetCode, &Id, 3, 4), 8u);
    EXPECT_EQ(Host.Last("SRemoteCallVar")->Words, (std::vector<VS_UWORD>{100, 9, 3, 4}));
    EXPECT_EQ(w.ARemoteCall(100, 9, nullptr, 55, &Id, 5, 6), VS_TRUE);
    EXPECT_EQ(Host.Last("ARemoteCallVar")->Words, (std::vector<VS_UWORD>{100, 9, 55, 5, 6}));
}

TEST_F(WrapperTest, EventHandlersRegisterWithTheWrapperAndReadBackNull)
{
    ClassOfXRQObject w;
    w.ProcessObject(&Host, ObjA);
    struct Row {
        void (ClassOfXRQObject::*Put)(VS_EVENTHANDLER);
        VS_EVENTHANDLER (ClassOfXRQObject::*Get)();
        VS_ULONG ID;
        const char *Name;
    };
    const Row Rows[] = {
#define XRQ_EVENT_ROW(Event, ID) {&ClassOfXRQObject::Put_E_##Event, &ClassOfXRQObject::Get_E_##Event, ID, #Event},
        XRQ_SYSEVENTS(XRQ_EVENT_ROW)
#undef XRQ_EVENT_ROW
    };
    ASSERT_EQ(sizeof(Rows) / sizeof(Rows[0]), 29u);
    for (const Row &r : Rows) {
        (w.*r.Put)(Handler);
        const FakeXRQInterface::Call *c = Host.Last("RegSysEventFunction");
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->Pointers, (std::vector<const void *>{ObjA, (const void *)Handler})) << r.Name;
        EXPECT_EQ(c->Words, (std::vector<VS_UWORD>{r.ID, (VS_UWORD)(uintptr_t)&w})) << r.Name;
        EXPECT_EQ((w.*r.Get)(), nullptr) << r.Name;
    }
}
