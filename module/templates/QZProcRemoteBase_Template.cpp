// Class template of QZProcRemoteBase, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZProcRemoteBase_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZProcRemoteBase ID=\"5F7E7457-14E7-43d2-8F72-2E6A0A02AAF9\" Class=\"QZProcBase\">\n"
    "    <attribute>\n"
    "      <Url Type=\"VS_VSTRING\" Default=\"\" />\n"
    "      <RemoteQZProcName Type=\"VS_VSTRING\" />\n"
    "    </attribute>\n"
    "    <function>\n"
    "      <Execute Type=\"luafunc\" Desc=\"VS_INT32 Execute(void *QZRealm,void *QZCell,void *QZRunner)\" />\n"
    "    </function>\n"
    "  </QZProcRemoteBase>\n"
    "</object>\n";
