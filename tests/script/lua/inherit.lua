-- Script functions and luafuncs are inherited along instance-of-instance
-- chains; the nearest definition wins.
assert(arg[1] == "extra-arg" and select(1, ...) == "extra-arg", "script arguments")
assert(arg[0]:match("inherit%.lua$"))

local T = _New(TPBase)            -- an instance used as a type
T.Execute = function(self, x) return "T:" .. tostring(x) .. ":" .. _Name(self) end
local I = _New(T)                 -- instance of T
local J = _New(I)                 -- instance of an instance
_SetName(J, "jay")
assert(_Class(J) == I and _Class(I) == T and _Class(T) == TPBase)
assert(_IsInst(TPBase, J) and _IsInst(T, J) and _IsInst(I, J))
assert(not _IsInst(TPDerived, J) and not _IsInst(J, J))

-- found up the chain, called with the object itself as self
assert(J:Execute(1) == "T:1:jay")
assert(J:Add(2, 3) == 5)

-- an override on the middle object hides the one above it
function I:Execute(x) return "I:" .. x end
assert(J:Execute(2) == "I:2" and I:Execute(2) == "I:2" and T:Execute(3) == "T:3:")
I.Execute = nil
assert(J:Execute(4) == "T:4:jay")

-- a registered subclass: the parent's luafuncs, its own, both records
local D = _New(TPDerived)
local DD = _New(D)
assert(DD:Twice(21) == 42 and DD:Add(1, 1) == 2)
assert(DD.Extra == -3 and DD.Count == 7 and DD.Label == "base")
assert(_IsInst(TPBase, DD) and _IsInst(TPDerived, DD) and _IsInst(TPBase, TPDerived))

-- where a function is defined (LuaIsFunctionDefined)
assert(T:IsDefined(J, "Execute", true) == T)
assert(T:IsDefined(J, "Execute", false) == nil)
assert(T:IsDefined(T, "Execute", false) == T)
assert(T:IsDefined(J, "Add", true) == TPBase)
assert(T:IsDefined(DD, "Twice", true) == TPDerived)
assert(T:IsDefined(DD, "Add", true) == TPBase)
assert(T:IsDefined(J, "Nope", true) == nil)
assert(T:IsDefined(J, "Unbound", true) == nil, "an unbound slot is not callable")
T.NotAFunction = 5
assert(T:IsDefined(J, "NotAFunction", true) == nil and J.NotAFunction == 5)

-- a luafunc slot made on an instance is inherited by objects made from it only
assert(T:AddSlot(I, "Plus"))
assert(J:Plus(4, 5) == 9 and I:Plus(1, 2) == 3)
assert(T.Plus == nil)
assert(T:IsDefined(J, "Plus", true) == I)

-- RegLuaFunc: found from the object and its descendants, before a script
-- field of the same object; can be switched off and on
I.Calc = function() return "field" end
assert(I:RegOn("Calc"))
assert(J:Calc(5) == 1005 and I:Calc(1) == 1001)
assert(T:IsDefined(J, "Calc", true) == I)
assert(I:SetRegValid("Calc", false))
assert(J:Calc(5) == "field")
assert(I:SetRegValid("Calc", true))
assert(J:Calc(5) == 1005)

-- called by name from the module, along the chain
local found, err, cnt, r1, r2 = T:CallByName(J, "Execute", 7)
assert(found == true and err == 0 and cnt == 2 and r1 == "T:7:jay" and r2 == nil)
found, err, cnt, r1 = T:CallByName(DD, "Twice", 8)
assert(found and err == 0 and r1 == 16)

-- class objects are globals named after their class
assert(_Name(TPBase) == "TPBase" and _Class(TPDerived) == TPBase and _Class(TPBase) == nil)
assert(_Find("TPDerived") == TPDerived)
print("inherit ok")
