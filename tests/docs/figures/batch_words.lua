-- The guide's batching figures (chapter 11, "Big inputs: batching"): a
-- one-proc word count over LINES lines fed BATCH at a time.
--   tarvex quel_trelk.so batch_words.lua LINES BATCH
local LINES, BATCH = tonumber(arg[1]), tonumber(arg[2])
local Line = QZDataBase:CreateType("batch.Line")
local Count = QZDataBase:CreateType("batch.Count")
local Words = QZProcBase:CreateSubType("batch.Words")
Words:InputFrom(Line)
Words:OutputFrom(Count)
function Words:Execute()
  local line = self:GetInput(0)
  local n = 0
  for _ in line[0]:gmatch("%S+") do n = n + 1 end
  self:AddOutputData(Count(n))
  self:AcceptInput(line)
  return 0
end
local cell = _New(QZCellBase)
cell:AddProc(Words())
local realm = _New(QZRealmBase)
realm:AddCell(cell)
local started, words = os.clock(), 0
for first = 1, LINES, BATCH do
  for i = first, math.min(first + BATCH - 1, LINES) do realm:AddEnvData(Line("the quick brown fox " .. i)) end
  local out = realm:ExecuteForResult()
  for i = 0, out:_Count() - 1 do
    local c = out:_Get(i)
    if c then words = words + c[0] end
  end
end
print(string.format("%d lines in batches of %d: %d words, %.2f s CPU", LINES, BATCH, words, os.clock() - started))
