// Class template of QZDataSetBase, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZDataSetBase_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZDataSetBase ID=\"4396EAC4-C1A4-4c00-A8AD-CC956C8603DD\" Class=\"QZDataBase\">\n"
    "    <attribute>\n"
    "      <DataBaseID Type=\"VS_UUID\" />\n"
    "    </attribute>\n"
    "    <function>\n"
    "      <AddData Type=\"luafunc\" Desc=\"void AddData(struct StructOfQZDataBase *QZData)\" />\n"
    "      <RemoveData Type=\"luafunc\" Desc=\"void RemoveData(struct StructOfQZDataBase *QZData)\" />\n"
    "      <GetData Type=\"luafunc\" Desc=\"VS_PARAPKGPTR GetData()\" />\n"
    "      <IsSubSet Type=\"luafunc\" Desc=\"VS_BOOL IsSubSet(void *QZDataSet)\" />\n"
    "      <GetDataBase Type=\"luafunc\" Desc=\"void *GetDataBase()\" />\n"
    "      <_QuelCall Type=\"luafunc\" Desc=\"void *_QuelCall(...)\" />\n"
    "      <Create Type=\"luafunc\" Desc=\"void *Create(...)\" />\n"
    "      <CreateType Type=\"luafunc\" Desc=\"void *CreateType(VS_CHAR *TypeName,void *DataBase)\" />\n"
    "      <RunString Type=\"luafunc\" Desc=\"VS_PARAPKGPTR RunString(VS_CHAR *ProcOrProcChain)\" />\n"
    "      <RunProc Type=\"luafunc\" Desc=\"VS_PARAPKGPTR RunProc(void *ProcOrProcChain)\" />\n"
    "    </function>\n"
    "  </QZDataSetBase>\n"
    "</object>\n";
