// Symbols that the modules' shared objects export beside their PyInit function.
#pragma once

#define KIV_EXPORT extern "C" __attribute__((visibility("default")))
