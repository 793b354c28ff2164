// The well-formed core of every program probe: a console program that calls the probe's one
// fault through a table (so that it has base relocations), built as quadhdmi.exe is.
#include <cstdio>

extern "C" long probe_fault(void* argument);

extern "C" long (*const probe_table[])(void*) = {probe_fault};

int main(int argc, char** argv) {
    std::printf("probe %d\n", argc);
    return int(probe_table[0](argv));
}
