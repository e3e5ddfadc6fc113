// Sees the console framework's exported data by their plain names, as code
// without C++ name mangling (and the engine's symbol lookup) sees them.
extern "C" void *g_pCVar;
extern "C" void *cvar;

void *ExportedConsoleServiceAddress() { return &g_pCVar; }
void *ExportedCvarAddress() { return &cvar; }
