// Objects the module lets go of may be freed at once by a host that collects
// more eagerly than the stand-in (at the last unlock of an object nothing else
// holds). The module holds what it still uses: it pushes or frees first and
// lets go after. The stand-in host is wrapped here so that, while armed, an
// unlock that leaves a proc, chain or rule attachment unheld frees it on the
// spot.
#include "forwarding_service.h"
#include "module_test_util.h"

#include <string>

namespace {

class EagerService : public ForwardingService {
  public:
    explicit EagerService(ClassOfXRQInterface *Inner) : ForwardingService(Inner) {}
    bool Armed = false;
    int EagerFrees = 0;

    void UnLockGC(void *Object) override {
        Inner->UnLockGC(Object);
        FreeIfUnheld(Object);
    }
    void ReleaseOwnerEx(void *Object) override {
        Inner->ReleaseOwnerEx(Object);
        FreeIfUnheld(Object);
    }

  private:
    void FreeIfUnheld(void *Object) {
        if (!Armed || Object == nullptr || Inner->GetParent(Object) != nullptr || Inner->GetRefEx(Object) != 0)
            return;
        for (void *Class : {QZProcBaseClass, QZProcChainBaseClass, QZRuleAttachBaseClass}) {
            if (Inner->IsInst(Inner->GetIDEx(Class), Object)) {
                EagerFrees++;
                Inner->FreeObject(Object);
                return;
            }
        }
    }
};

class EagerHost : public trelktest::LoadedModule {
  protected:
    EagerHost() : LoadedModule("eager_host") {}
    void SetUp() override {
        LoadedModule::SetUp();
        Plain = QZObject_XRQInterface;
        Eager.reset(new EagerService(Plain));
        QZObject_XRQInterface = Eager.get();
    }
    void TearDown() override {
        QZObject_XRQInterface = Plain;
        LoadedModule::TearDown();
    }
    ClassOfXRQInterface *Plain = nullptr;
    std::unique_ptr<EagerService> Eager;
};

const char *const Fixture = R"(
  Number = QZDataBase:CreateType("EagerNumber")
  Out = QZDataBase:CreateType("EagerOut")
  Twice = QZProcBase:CreateSubType("EagerTwice")
  Twice:InputFrom(Number)
  Twice:OutputFrom(Out)
  Twice.Execute = function(self)
    if self.Status < 0 then return end
    local d = self:GetInput(0)
    self:AcceptInput(d)
    self:AddOutputData(Out(d:GetDataBuf():_Get(0) * 2))
    return 0
  end
  realm = _New(QZRealmBase)
  local saved = _Pkg()
  assert(realm:SaveObject(saved, Twice()), "saved")
  savedText = saved:_ToJSon()
  Rule = QZRuleBase:CreateType("EagerRule")
  held = Number(1)
  assert(held:SetRuleAttach(Rule()), "rule attached")
  local s = _Stats()
  invalidBefore = s:_Get(s:_FindDict("InvalidObjects"))
)";

TEST_F(EagerHost, WhatTheModuleLetsGoOfIsNotUsedAfter) {
    Run(Fixture);
    struct {
        const char *Name;
        const char *Act;   // run with the eager frees armed
        const char *Check; // run after, plain
    } Cases[] = {
        {"RunString pushes the rebuilt procs before letting go of them",
         // The result names its data by ID: they are read before the chunk
         // ends, a collection point.
         "local r = realm:RunString(Number(21), nil, savedText) "
         "got = r:_Count() .. ':' .. tostring(r:_Get(0) and r:_Get(0):GetDataBuf():_Get(0))",
         "assert(got == '1:42', 'the saved proc ran: ' .. got)"},
        {"RemoveRuleAttach frees an attachment before letting go of it", "held:RemoveRuleAttach()",
         "assert(not held:HasRuleAttach(), 'the attachment is gone')"},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        tvh::errors(true);
        Eager->Armed = true;
        Run(Case.Act);
        Eager->Armed = false;
        Run(Case.Check);
        Run("local s = _Stats() assert(s:_Get(s:_FindDict('InvalidObjects')) == invalidBefore, "
            "'a freed object was handed to the host')");
        EXPECT_TRUE(trelktest::ErrorsWithText("").empty()) << trelktest::ErrorLog();
    }
}

} // namespace
