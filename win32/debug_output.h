// win32/debug_output.h - what the emulated machine's processes wrote with
// OutputDebugStringW, one entry per call, for tests and the demo to read.
#pragma once

#include <string>
#include <vector>

std::vector<std::u16string> BasepReadDebugOutput();
void BasepClearDebugOutput();
