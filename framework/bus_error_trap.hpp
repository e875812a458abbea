// Code that touches mapped files, run so that a SIGBUS it raises is its failure, not the process's end.
#pragma once

// A mapped file that is cut short under the mapping, or a shared mapping whose page the disk
// cannot take, raises SIGBUS at the access: for an installed copy that another program truncates
// while a patch reads it, that must be the patch's failure. The handler is installed only while
// such code runs and acts only in the thread that runs it; elsewhere a SIGBUS keeps its default.
class bus_error_trap_t {
public:
    // Calls f(arg); false when it raised SIGBUS and was left where it stood. So f must be C code
    // that holds nothing to release (a decoder writing into buffers its caller owns).
    static bool run(void (*f)(void*), void* arg);
};
