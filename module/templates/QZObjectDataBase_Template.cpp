// Class template of QZObjectDataBase, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZObjectDataBase_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZObjectDataBase ID=\"FC30C5EB-7762-4373-92CA-E5C6CB777084\" Class=\"QZDataBase\">\n"
    "    <function>\n"
    "      <_QuelCall Type=\"luafunc\" Desc=\"void *_QuelCall(void *Object)\" />\n"
    "      <Create Type=\"luafunc\" Desc=\"void *Create(void *Object)\" />\n"
    "      <GetObject Type=\"luafunc\" Desc=\"void *GetObject()\" />\n"
    "    </function>\n"
    "  </QZObjectDataBase>\n"
    "</object>\n";
