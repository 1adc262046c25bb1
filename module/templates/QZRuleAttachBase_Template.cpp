// Class template of QZRuleAttachBase, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZRuleAttachBase_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZRuleAttachBase ID=\"D8B3D75B-9CED-4417-A0E8-42D76B8EDC59\">\n"
    "    <attribute>\n"
    "      <QZRuleID Type=\"VS_UUID\" />\n"
    "    </attribute>\n"
    "  </QZRuleAttachBase>\n"
    "</object>\n";
