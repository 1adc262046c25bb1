// Class template of QZObjectPointerWithChangeFlag, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZObjectPointerWithChangeFlag_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZObjectPointerWithChangeFlag ID=\"DA6CD5DC-47CA-4f00-9FE8-CA892F3BFE3D\">\n"
    "    <attribute>\n"
    "      <ChangeFlag Type=\"VS_BOOL\" Default=\"0\" SyncFlag=\"1\" />\n"
    "      <ObjectID Type=\"VS_UUID\" />\n"
    "    </attribute>\n"
    "  </QZObjectPointerWithChangeFlag>\n"
    "</object>\n";
