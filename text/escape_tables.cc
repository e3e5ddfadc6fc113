// The two escape tables built at start-up.
#include "host/platform.h"
#include "text/charconversion.h"

namespace {

// Constant data, ready before any constructor of this module runs.
const EscapePair kCStringEscapes[] = {
    {'\n', "n"}, {'\t', "t"}, {'\v', "v"}, {'\b', "b"},
    {'\r', "r"}, {'\f', "f"}, {'\a', "a"}, {'\\', "\\"},
    {'\?', "?"}, {'\'', "'"}, {'"', "\""},
};

const EscapePair kNoEscapes[] = {
    {0x7F, ""},
};

}  // namespace

CUtlCStringConversion g_CStringEscapeTable QG_INIT_ESCAPE_TABLES(
    '\\', "\"", sizeof(kCStringEscapes) / sizeof(kCStringEscapes[0]),
    kCStringEscapes);

CUtlNoEscConversion g_NoEscapeTable QG_INIT_ESCAPE_TABLES(
    0x7F, "\"", sizeof(kNoEscapes) / sizeof(kNoEscapes[0]), kNoEscapes);
