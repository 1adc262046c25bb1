// Class template of QZBufDataBase, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZBufDataBase_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZBufDataBase ID=\"0A914F30-940E-48fd-B02F-73EAC7972F1D\" Class=\"QZDataBase\">\n"
    "    <function>\n"
    "      <_QuelCall Type=\"luafunc\" Desc=\"void *_QuelCall(VS_PARAPKGPTR ParaPkg)\" />\n"
    "      <Create Type=\"luafunc\" Desc=\"void *Create(VS_PARAPKGPTR ParaPkg)\" />\n"
    "    </function>\n"
    "  </QZBufDataBase>\n"
    "</object>\n";
