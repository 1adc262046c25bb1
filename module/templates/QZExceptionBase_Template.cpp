// Class template of QZExceptionBase, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZExceptionBase_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZExceptionBase ID=\"F51653E8-32ED-4de3-A266-09264B2B05A8\">\n"
    "    <attribute>\n"
    "      <IsType Type=\"VS_BOOL\" Default=\"0\" />\n"
    "    </attribute>\n"
    "    <function>\n"
    "      <AsString Type=\"luafunc\" Desc=\"VS_CHAR *AsString()\" />\n"
    "      <GetInfo Type=\"luafunc\" Desc=\"VS_CHAR *GetInfo()\" />\n"
    "    </function>\n"
    "  </QZExceptionBase>\n"
    "</object>\n";
