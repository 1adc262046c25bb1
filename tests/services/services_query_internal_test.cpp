// Chains whose order leads back into itself, which no script can make (a
// damaged saved chain can): the chain queries and the chain search end and
// leave such a chain out.
#include "module_test_util.h"

namespace {

class LoopedChain : public trelktest::LoadedModule {
  protected:
    LoopedChain() : LoadedModule("services_query_internal") {}

    // Links the last proc of the named chain back to a proc before it.
    void LoopBack(const char *ChainName, int Back) {
        auto *Chain = (StructOfQZProcChainBase *)Named(ChainName);
        ASSERT_NE(Chain, nullptr);
        std::vector<StructOfQZProcBase *> Order;
        auto *P = (StructOfQZProcBase *)XRQ->GetObject(&Chain->QZProcStart);
        while (P != nullptr) {
            Order.push_back(P);
            P = P->QZProcNext != nullptr ? (StructOfQZProcBase *)XRQ->AtomicToObject(P->QZProcNext) : nullptr;
        }
        ASSERT_GT(int(Order.size()), Back);
        Order.back()->QZProcNext = XRQ->ObjectToAtomic(Order[Order.size() - 1 - Back]);
    }
};

const char *kLibrary = R"LUA(
Raw = QZDataBase:CreateType("ql.Raw")
Mid = QZDataBase:CreateType("ql.Mid")
Done = QZDataBase:CreateType("ql.Done")
Load = QZProcBase:CreateSubType("ql.Load") Load:OutputFrom(Raw)
Refine = QZProcBase:CreateSubType("ql.Refine") Refine:InputFrom(Raw) Refine:OutputFrom(Mid)
Finish = QZProcBase:CreateSubType("ql.Finish") Finish:InputFrom(Mid) Finish:OutputFrom(Done)
function chainOf(name, ...)
  local c = _New(QZProcChainBase)
  local procs = {}
  for i, P in ipairs({...}) do procs[i] = P() end
  assert(c:FromPara(table.unpack(procs)))
  _SetName(c, name)
  _LockGC(c)
  return c
end
realm = _New(QZRealmBase)
_LockGC(realm)
function count(pkg, obj)
  local n = 0
  for i = 0, pkg:_Count() - 1 do if pkg:_Get(i) == obj then n = n + 1 end end
  return n
end
)LUA";

TEST_F(LoopedChain, OutputQueryLeavesALoopedChainOut) {
    Run(kLibrary);
    Run("whole = chainOf('ql.whole', Load, Refine, Finish) self = chainOf('ql.self', Refine, Finish) "
        "long = chainOf('ql.long', Load, Refine, Finish, Refine, Finish, Refine, Finish)");
    LoopBack("ql.whole", 2);
    LoopBack("ql.self", 0);
    LoopBack("ql.long", 5);
    Run("local r = realm:QueryProcChainForOutput(Done)\n"
        "assert(count(r, whole) == 0 and count(r, self) == 0 and count(r, long) == 0, 'looped chains left out')\n"
        "assert(count(realm:QueryProcChainForInput(Raw), self) == 1, 'the input test needs no end')\n"
        "assert(count(realm:QueryProcChainForOutput(nil), self) == 1, 'without data every chain')\n");
}

TEST_F(LoopedChain, SearchPassesALoopedChainOver) {
    Run(kLibrary);
    Run("looped = chainOf('ql.looped', Load, Refine, Finish)");
    LoopBack("ql.looped", 1);
    Run("for _ = 1, 10 do\n"
        "  local r = realm:BuildProcChain(Done)\n"
        "  assert(r:_Get(0) == true, 'built')\n"
        "  assert(r:_Get(1):GetFirstProc():GetTypeName() == 'ql.Load', 'from the proc types')\n"
        "end\n");
}

} // namespace
