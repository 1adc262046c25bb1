-- A first script for the tarvex runner:  ./run.sh examples/hello.lua [name]
-- Uses only the host's own script surface, so it runs with any module loaded.
local who = arg[1] or "world"

-- an object of the host's base class, with a script function of its own
local greeter = _New(_Object)
_SetName(greeter, "greeter")
function greeter:Greet(name)
  return "hello, " .. name .. " (from " .. _Name(self) .. ")"
end
print(greeter:Greet(who))

-- objects made from it inherit the function
local child = _New(greeter)
_SetName(child, "child")
print(child:Greet(who))

-- parameter packages and JSON
local message = _Dict("greeting", "hello", "to", who, "count", 2)
print(message:_ToJSon())
