// Class template of QZObjectPointer, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZObjectPointer_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZObjectPointer ID=\"2DEB27C2-3D89-4243-BDFB-7E08A3AD68F4\">\n"
    "    <attribute>\n"
    "      <ObjectID Type=\"VS_UUID\" />\n"
    "    </attribute>\n"
    "  </QZObjectPointer>\n"
    "</object>\n";
