// The stand-in for the host runtime library's log service.
//
// The real host ships its own SAPTOR library; this one lets the driver run without it. err()
// formats the message with the printf rules and writes one line to stderr:
//   2026-12-11 14:03:07.125 [32] QELPRV: ...
// A program that wants the lines itself (the bench host) installs a sink instead.
#pragma once

#if defined(_WIN32)
#define SAPTOR_API __declspec(dllexport)
#else
#define SAPTOR_API __attribute__((visibility("default")))
#endif

extern "C" {

// Receives each formatted message (without time stamp or line break) and its level.
typedef void (*SaptorSink)(void* context, int level, const char* message);

SAPTOR_API int err(int level, const char* format, ...);

// Installs a sink; nullptr goes back to stderr.
SAPTOR_API void SaptorSetSink(SaptorSink sink, void* context);
}
