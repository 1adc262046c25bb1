-- Runners as scripts see them (the scheduler makes and fills them) and remote
-- procs, whose "Execute" hands the call to the realm's "OnRemoteExecute".
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- Runners ------------------------------------------------------------------------
local run = _New(QZProcRunnerBase)
T.eq(run:GetProcChain(), nil, "a runner without chain answers nil")
T.eq(run:GetCell(), nil, "a runner made without a cell answers nil")
T.eq(run:CurrentProcToParaPkg():_Count(), 0, "no current procs")
T.eq(run:ProcToParaPkg():_Count(), 0, "no procs")
T.eq(run.IsFinish, false, "not finished at creation")
T.eq(run.IsOutputRunner, 0, "no output runner at creation")

local chain = _New(QZProcChainBase)
local cell = _New(QZCellBase)
run.QZProcChainID = _ID(chain)
run.QZCellID = _ID(cell)
T.eq(run:GetProcChain(), chain, "the runner's chain")
T.eq(run:GetCell(), cell, "the runner's cell")
_Free(chain)
T.eq(run:GetProcChain(), nil, "a runner whose chain was freed answers nil")
_Free(run)

-- Remote procs ----------------------------------------------------------------------
local realm = _New(QZRealmBase)
local rp = _New(QZProcRemoteBase)
rp.Url = "tcp://far"
rp.RemoteQZProcName = "far.proc"
local runner = _New(QZProcRunnerBase)
T.errors()
T.eq(rp:Execute(realm, cell, runner), -1, "without a hook of its own the realm's default answers -1")

local got = {}
realm.OnRemoteExecute = function(self, c, r, p)
  got = {c, r, p}
  return 7
end
T.eq(rp:Execute(realm, cell, runner), 7, "the hook's result is the proc's result")
T.check(got[1] == cell and got[2] == runner and got[3] == rp, "the hook gets cell, runner and the proc")
T.eq(got[3].Url, "tcp://far", "and reads the proc's Url")
T.eq(rp:Execute(nil, cell, runner), -1, "no realm: -1")

realm.OnRemoteExecute = function(self, c, r, p) error("remote down") end
T.errors()
T.eq(rp:Execute(realm, cell, runner), -1, "a hook that fails gives -1")
T.eq(#T.errors(), 1, "and its error is reported once")

-- Saved with its place of work.
local R = QZRuleBase:CreateType("rr_R")
local j = R():SaveToJSonPkg(_Pkg(rp))
local rec = T.get(T.get(j, "Value"):_Get(0), "Value")
T.eq(T.get(rec, "Type"), "QZProcRemote", "a remote proc is saved as such")
T.eq(T.get(rec, "Url"), "tcp://far", "with its Url")
T.eq(T.get(rec, "RemoteQZProcName"), "far.proc", "and its remote name")
local back = R():LoadFromJSonPkg(j)
T.check(back ~= nil and _IsInst(QZProcRemoteBase, back:_Get(0)), "and read back as a remote proc")
if back ~= nil then
  T.eq(back:_Get(0).Url, "tcp://far", "with its Url")
  T.eq(back:_Get(0).RemoteQZProcName, "far.proc", "and its remote name")
end

T.finish("chain_runner_remote")
