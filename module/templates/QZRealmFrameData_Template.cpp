// Class template of QZRealmFrameData, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZRealmFrameData_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZRealmFrameData ID=\"879ABE7B-3A84-4277-9941-E905C613E288\" Class=\"QZDataSetBase\">\n"
    "    <attribute>\n"
    "      <RealmObjectID Type=\"VS_UUID\" />\n"
    "    </attribute>\n"
    "    <function>\n"
    "      <Create Type=\"luafunc\" Desc=\"void *Create(...)\" />\n"
    "      <GetDynamic Type=\"luafunc\" Desc=\"VS_PARAPKGPTR GetDynamic()\" />\n"
    "    </function>\n"
    "  </QZRealmFrameData>\n"
    "</object>\n";
