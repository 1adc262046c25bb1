// The class both host benchmarks measure calls on: BenchThing, one attribute
// and one luafunc "Sum" that does nothing but add one, next to the same work
// as a plain Lua C function (raw Lua's floor).
#ifndef TRELK_BENCH_THING_H
#define TRELK_BENCH_THING_H

#include "host_internal.h"
#include "script/lua_engine.h"
#include "tarvex_host.h"

namespace benchthing {

// Links the script engine into the benchmark binary.
inline tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

inline ClassOfXRQInterface *S() { return tvh::service(); }

inline const char *kTemplate = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<object>
  <BenchThing ID="5E1F0A20-1B2C-4D3E-8F40-A1B2C3D4E5F6">
    <attribute>
      <Count Type="VS_INT32" Default="1"/>
    </attribute>
    <function>
      <Sum Type="luafunc" Desc="VS_INT32 Sum(VS_INT32 a)"/>
    </function>
  </BenchThing>
</object>
)XML";

inline VS_INT32 fSum(void *) {
    S()->LuaPushInt(S()->LuaToInt(2) + 1);
    return 1;
}

inline int plainSum(lua_State *L) {
    lua_pushinteger(L, lua_tointeger(L, 2) + 1);
    return 1;
}

} // namespace benchthing

#endif
