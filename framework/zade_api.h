#pragma once

// Framework classes and functions keep default visibility even in a build with hidden visibility: their
// virtual tables, type information and non-inline functions live in the host process and must be one and
// the same for host and plug-in.
#define ZADE_API __attribute__((visibility("default")))
