// Small /proc files, read without C++ streams: a process that ends between the open and the
// read makes the read fail with ESRCH, which a stream would throw.
#pragma once

#include <stddef.h>
#include <sys/types.h>

namespace testbed {

// The file at path into buf (NUL-terminated, at most size - 1 bytes); its length, or -1 when the
// file cannot be opened or read (its process has gone).
ssize_t read_proc_file(const char* path, char* buf, size_t size);

}  // namespace testbed
