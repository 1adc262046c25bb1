-- Data objects with the quel_trelk module:  ./run.sh examples/data_objects.lua
-- Defines a data type with properties, makes instances and a set of them,
-- lets a rule judge them, and saves one to a package and back.

-- A data type with two properties; instances read the defaults until written.
local Point = QZDataBase:CreateType("Point")
_LockGC(Point)
Point:CreateProperty("x", 6, 0)
Point:CreateProperty("label", 30, "unnamed")

local a = Point("a")
a.x = 3
a.label = "first"
local b = Point("b")
print(string.format("a: x=%d label=%s", a.x, a.label))
print(string.format("b: x=%d label=%s (defaults)", b.x, b.label))

-- Values: a data object carries a value package; instances of an instance
-- share it until they get their own.
local Reading = QZDataBase:CreateType("Reading")
_LockGC(Reading)
local reading = Reading(21, "celsius")
local copy = reading()
print("copy sees its prototype's value: " .. copy:GetDataBuf():_ToJSon())
print("equal by value: " .. tostring(reading:Equals(copy)))

-- A set of points (the companion class made with the first property).
local Points = Point:GetDataSetBase()
local set = Points(a, b)
print("members in the set: " .. set:GetData():_Count())

-- A rule that hears about approvals.
local Audit = QZRuleBase:CreateType("Audit")
function Audit:OnApproved(data) print("rule: approved " .. tostring(data:GetTypeName())) end
local audit = Audit()
a:SetRuleAttach(audit)
a:Approved()

-- Save a data object into a package, as JSON text, and read it back.
local record = _Pkg()
reading:SaveTo(record)
print("saved: " .. tostring(record:_ToJSon()))
local back = QZDataBase:LoadFrom(record)
print("loaded back equals the original: " .. tostring(back:Equals(reading)))
