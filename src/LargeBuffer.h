// Large buffers of the readers (unpacked documents, decoded firmware).
#pragma once

#include <cstddef>

// Asks the kernel to back a large buffer with huge pages before it is first
// written, so a document of tens of megabytes costs a few dozen page faults
// instead of tens of thousands. Small buffers and a refusal change nothing.
void NxAdviseLarge(void* p, size_t n);
