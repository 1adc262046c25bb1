-- The types that the saving and loading scenarios of the realm share: a data
-- type, a proc type reading and writing it, a second proc type, a rule type
-- and a cell type holding the first proc type.
local K = {}
K.Item = QZDataBase:CreateType("Item")
K.Heat = QZProcBase:CreateSubType("Heat")
K.Heat:InputFrom(K.Item)
K.Heat:OutputFrom(K.Item)
K.Serve = QZProcBase:CreateSubType("Serve")
K.Keep = QZRuleBase:CreateType("Keep")
K.Sorter = QZCellBase:CreateType("Sorter")
K.Sorter:AddProc(K.Heat)
return K
