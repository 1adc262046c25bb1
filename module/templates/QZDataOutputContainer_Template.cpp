// Class template of QZDataOutputContainer, loaded into the host at start-up.
#include "trelk_templates.h"

extern "C" TRELK_TEMPLATE_EXPORT const char QZDataOutputContainer_Template[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<object>\n"
    "  <QZDataOutputContainer ID=\"513DF29F-A6CD-4821-8F33-07E49E485FF7\">\n"
    "    <attribute>\n"
    "      <DataBaseID Type=\"VS_UUID\" />\n"
    "      <OriginalDataBaseID Type=\"VS_UUID\" />\n"
    "      <ChangeFlag Type=\"VS_BOOL\" Default=\"0\" />\n"
    "      <IsMustExist Type=\"VS_BOOL\" Default=\"0\" />\n"
    "      <ReturnNumber Type=\"VS_INT32\" Default=\"1\" />\n"
    "      <QZData Type=\"void *\" Class=\"QZDataBase\" />\n"
    "    </attribute>\n"
    "  </QZDataOutputContainer>\n"
    "</object>\n";
