// The well-formed core of every probe image: an entry point that calls the probe's one fault
// through a table (so that the image has base relocations), one allowed kernel import, and a
// local array whose address escapes (so that the entry point carries a stack cookie check).
extern "C" __declspec(dllimport) unsigned long DbgPrint(const char* format, ...);
extern "C" long probe_fault(void* argument);

extern "C" long (*const probe_table[])(void*) = {probe_fault};

extern "C" long DriverEntry(void* driver, void* path) {
    char name[8] = "probe";
    DbgPrint("%s %p %p\n", name, driver, path);
    return probe_table[0](driver);
}
