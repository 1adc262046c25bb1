-- The luafuncs of this area, for the robustness sweep.
return {
  {class = "QZDataBase", funcs = {
    "SaveZelDataProperty", "RestoreZelDataProperty", "ClearZelDataProperty", "SetCache", "GetCache",
    "ClearCache", "RunString", "RunProc", "CreateProperty", "IsProperty", "HasProperty",
    "GetDataSetBase", "GetObjectDataBase", "GetBufDataBase", "Wrap", "SetReadOnly"}},
  {class = "QZDataSetBase", funcs = {
    "CreateProperty", "IsProperty", "HasProperty", "GetDataSetBase", "SetCache", "GetCache",
    "RunString", "RunProc", "SaveZelDataProperty", "RestoreZelDataProperty"}},
}
