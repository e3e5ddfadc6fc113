// Linkage and start-up marks shared by the library and the emulated
// platform.  The real target is 32-bit; on i386 the default C calling
// convention is cdecl, which is what every exported entry uses.
#ifndef QUELLGATE_HOST_PLATFORM_H_
#define QUELLGATE_HOST_PLATFORM_H_

#define QG_EXPORT __attribute__((visibility("default")))
#define QG_IMPORT __attribute__((visibility("default")))

// The library's static objects are built in this order at start-up, and
// destroyed in the reverse order at exit, whatever the link order of their
// files: the placeholder console variable first (it must head the pending
// list), then the escape tables, the hook declaration, the plugin object
// and the attacker table.
#define QG_INIT_PRIORITY(n) __attribute__((init_priority(n)))
#define QG_INIT_EMPTY_VARIABLE QG_INIT_PRIORITY(201)
#define QG_INIT_ESCAPE_TABLES QG_INIT_PRIORITY(202)
#define QG_INIT_HOOK_DECLARATION QG_INIT_PRIORITY(203)
#define QG_INIT_PLUGIN QG_INIT_PRIORITY(204)
#define QG_INIT_ATTACKERS QG_INIT_PRIORITY(205)

#endif  // QUELLGATE_HOST_PLATFORM_H_
