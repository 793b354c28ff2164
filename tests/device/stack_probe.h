// A routine with a 16-byte local buffer that writes `count` bytes into it: past 16, it overruns
// its own frame.
#pragma once

#include <cstddef>

int FillStackBuffer(size_t count);
