// Where the script stood when the module reported: the innermost Lua line of
// the calling thread's running script call, so that a report printed by the
// runner names the user's line and not only the module's fixed source.
#include "lua_engine.h"

#include <string>

namespace tvh {
namespace script {

std::string LuaEngine::scriptWhere() {
    // Only the thread that holds the script lock may read a stack, and only
    // a thread that already has a script state: a report must not make one.
    if (!holdsScriptLock()) return std::string();
    FastTs &f = fastTs();
    if (!f.st || f.gen != gen_) return std::string();
    ThreadState *t = f.st;
    if (t->depth <= 0 || !t->cur) return std::string();
    lua_Debug ar;
    for (int level = 0; lua_getstack(t->cur, level, &ar); ++level) {
        if (!lua_getinfo(t->cur, "Sl", &ar) || ar.currentline <= 0) continue; // C functions have no line
        // "@file" and "=name" carry the full name; code chunks get Lua's short form.
        const char *source = (ar.source[0] == '@' || ar.source[0] == '=') ? ar.source + 1 : ar.short_src;
        return std::string(source) + ":" + std::to_string(ar.currentline);
    }
    return std::string();
}

} // namespace script
} // namespace tvh
