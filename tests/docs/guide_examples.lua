-- Runs every ```lua block of the scripting guide in a fresh runner and checks
-- the block's "--> expected" notes against what it printed: each note (up to
-- a ": " or " (" remark; notes with <placeholders> are skipped) must begin
-- some line of the output, tabs and runs of spaces counting as one space.
--
--   tarvex quel_trelk.so guide_examples.lua GUIDE.md TARVEX MODULE WORKDIR
local guide, tarvex, module, workdir = arg[1], arg[2], arg[3], arg[4]
assert(workdir, "usage: guide_examples.lua GUIDE.md TARVEX MODULE WORKDIR")

local function squeeze(s) return (s:gsub("[ \t]+", " "):gsub("^ ", ""):gsub(" $", "")) end
local function quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

local text = assert(io.open(guide)):read("a")
local failures, blocks = 0, 0
local function fail(n, what)
  failures = failures + 1
  io.stderr:write(string.format("FAIL: example %d: %s\n", n, what))
end

for code in text:gmatch("```lua\n(.-)```") do
  blocks = blocks + 1
  local file = string.format("%s/guide_example_%d.lua", workdir, blocks)
  local f = assert(io.open(file, "w"))
  f:write(code)
  f:close()
  local pipe = assert(io.popen(table.concat({quote(tarvex), quote(module), quote(file), "2>&1"}, " ")))
  local out = pipe:read("a")
  local ok, how, status = pipe:close()
  if not ok then fail(blocks, string.format("runner %s %s:\n%s", how, tostring(status), out)) end
  local lines = {}
  for line in out:gmatch("[^\n]*") do lines[#lines + 1] = squeeze(line) end
  for note in code:gmatch("%-%-> ([^\n]*)") do
    local expect = squeeze((note:gsub(": .*", ""):gsub(" %(.*", "")))
    if not expect:find("<", 1, true) then
      local seen = false
      for _, line in ipairs(lines) do
        if line:sub(1, #expect) == expect then seen = true break end
      end
      if not seen then fail(blocks, "no output line begins with '" .. expect .. "':\n" .. out) end
    end
  end
end
assert(blocks > 0, "no examples found in " .. guide)
print(string.format("%d guide examples run, %d failures", blocks, failures))
if failures > 0 then error("guide examples failed") end
