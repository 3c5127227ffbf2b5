// Compiled by ctest, not linked into a suite: "..."_cp1252 compiles for a
// text of the code page (KVR_FITS) and stops the compiler on a character
// the code page lacks (KVR_LACKS) or on bytes that are not UTF-8 (KVR_BROKEN).
#include "platform/cp1252.h"

using namespace kvr::literals;

#if defined(KVR_FITS)
const char* kText = "Não foi possível: € – “aspas”"_cp1252;
#elif defined(KVR_LACKS)
const char* kText = "Não foi possível: 中"_cp1252;
#elif defined(KVR_BROKEN)
const char* kText = "N\xE3o"_cp1252;
#endif
