// Fault: the C++ run-time taken from its DLL (libstdc++-6.dll), which Windows does not ship.
#include <iostream>

extern "C" long probe_fault(void* argument) {
    std::cout << "probe " << argument << std::endl;
    return 0;
}
