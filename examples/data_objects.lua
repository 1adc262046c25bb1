-- Data objects with the quel_trelk module:  ./run.sh examples/data_objects.lua
--
-- Walks through a data type with properties, instances and their values, a
-- set of instances, a rule that hears about approvals, one refused call and
-- how to read its report, and a save to a package and back. docs/scripting.md
-- explains each step at more length.

-- A data type ---------------------------------------------------------------
-- CreateType makes a named type: an object whose class is QZDataBase and whose
-- IsType is true. Instances are made by calling the type.
local Point = QZDataBase:CreateType("Point")
-- The host frees an object at its next collection point once no script
-- variable, no parent and no GC lock holds it. A type must outlive the
-- variables that name it: its instances, its set class below and records
-- saved with its name all refer to it. _LockGC holds it for the whole run.
_LockGC(Point)

-- Properties are declared on the type with a type code (1 boolean, 6 32-bit
-- integer, 30 string, 58 double, 60 64-bit integer) and a default that must
-- have that script type. Instances read the default until they are written.
Point:CreateProperty("x", 6, 0)
Point:CreateProperty("label", 30, "unnamed")

-- Calling a type makes an instance; the arguments become its value (here the
-- one string "a"). Properties are separate from the value.
local a = Point("a")
a.x = 3
a.label = "first"
local b = Point("b")
print(string.format("a: x=%d label=%s", a.x, a.label))
print(string.format("b: x=%d label=%s (defaults)", b.x, b.label))

-- Values --------------------------------------------------------------------
-- A data object's value is a package. Calling an instance makes an instance
-- of that instance: it shares its prototype's value until it is given one.
local Reading = QZDataBase:CreateType("Reading")
_LockGC(Reading)
local reading = Reading(21, "celsius")
local copy = reading()
print("copy sees its prototype's value: " .. copy:GetDataBuf():_ToJSon())
print("equal by value: " .. tostring(reading:Equals(copy)))

-- Sets ----------------------------------------------------------------------
-- The first property made three companion classes of Point; the set class
-- makes sets whose members are Point data. Members are read as a package.
local Points = Point:GetDataSetBase()
local set = Points(a, b)
print("members in the set: " .. set:GetData():_Count())

-- Rules ---------------------------------------------------------------------
-- A rule type with a script function; attached to a data object, it hears
-- Approved() and Disapproved() of that object.
local Audit = QZRuleBase:CreateType("Audit")
function Audit:OnApproved(data) print("rule: approved " .. tostring(data:GetTypeName())) end
local audit = Audit()
a:SetRuleAttach(audit)
a:Approved()

-- A refused call ------------------------------------------------------------
-- A type has no value of its own, so GetDataBuf on it is refused: the call
-- returns nil and the module reports why. The runner prints the report on
-- stderr as
--   [1] quel_trelk:0: [<ID of Point>:Point] is data type, can not get it's buf (at examples/data_objects.lua:69)
-- [1] is the alarm level, quel_trelk:0 the module's own source and line, the
-- bracket names the object (ID and name), and "(at ...)" is the script line
-- that led to it. A script reads the same reports, without the "(at ...)",
-- from _Errors(), which also empties the list.
_Errors()
local refused = Point:GetDataBuf()
local report = _Errors():_Get(0)
print("refused call returned " .. tostring(refused) .. "; report level " .. report:_Get(1))

-- Save and load -------------------------------------------------------------
-- SaveTo writes a data object's record into a package (the type by name and
-- the value); LoadFrom on the QZDataBase class makes a new object from it.
local record = _Pkg()
reading:SaveTo(record)
print("saved: " .. tostring(record:_ToJSon()))
local back = QZDataBase:LoadFrom(record)
print("loaded back equals the original: " .. tostring(back:Equals(reading)))
