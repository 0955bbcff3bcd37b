// Marks what the two shared libraries export; everything else is built hidden.
#pragma once

#if defined(_WIN32)
#define ORV_DECL_EXPORT __declspec(dllexport)
#define ORV_DECL_IMPORT __declspec(dllimport)
#else
#define ORV_DECL_EXPORT __attribute__((visibility("default")))
#define ORV_DECL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(ORV_BUILDING_BASIC)
#define ORV_BASIC_API ORV_DECL_EXPORT
#else
#define ORV_BASIC_API ORV_DECL_IMPORT
#endif

#if defined(ORV_BUILDING_TERDEP)
#define ORV_API ORV_DECL_EXPORT
#else
#define ORV_API ORV_DECL_IMPORT
#endif
