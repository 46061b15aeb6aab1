// Marks what the core's shared object exports; everything else is hidden.
#pragma once

#if defined(_WIN32)
#if defined(RP1210CORE_BUILDING)
#define RP1210CORE_EXPORT __declspec(dllexport)
#else
#define RP1210CORE_EXPORT __declspec(dllimport)
#endif
#else
#define RP1210CORE_EXPORT __attribute__((visibility("default")))
#endif
