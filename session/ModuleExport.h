#pragma once

// The one entry a module of qdctl exports, which qdctl looks up by name.
#if defined(_WIN32)
#define QDCTL_MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#define QDCTL_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#endif
