// The private heap of element records and texts.
//
// Every block carries a header that points back at its data and records its
// size, so that a stray or repeated free is recognised and ignored. New
// blocks and the grown part of a resized block are zero-filled. The heap
// counts the bytes in use (var_memused) and the highest count ever reached.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vm {

void* heap_alloc(size_t size);
// heap_alloc without the zero-fill, for a caller that writes every byte at
// once (a copy of a text).
void* heap_alloc_uninit(size_t size);
// heap_alloc for a large block that is about to be written all over: its
// pages are made present in one step, where touching them one by one
// would cost a page fault each.
void* heap_alloc_present(size_t size);
// Resizes a block; the grown part is zeroed. A null block allocates.
// Returns null (and leaves the block alone) when memory runs out.
void* heap_resize(void* block, size_t size);
void heap_free(void* block);
size_t heap_block_size(const void* block);

int64_t heap_bytes_in_use();
int64_t heap_peak_bytes();

}  // namespace vm
