/* SPDX-License-Identifier: BSD-2-Clause */
// Tagged memory allocation for the configuration layer. Every block carries a header with a
// validity tag and the source file name and line of the code that asked for it, and all live
// blocks stay linked, so that a program can count, list and check what it holds, and gather
// blocks in transactions that are later kept or released as a whole.
//
// Conventions: a source file name may be null (listed as "<Unknown>") and is not copied, so it
// must outlive the block. Pointers return null for failure, integers -1. Nothing prints except
// the listing calls and the two abort paths: a tag error and a failed clean-memory assertion,
// which report program faults and end the process with abort.
//
// Thread safety: none. The lists and counters are unguarded process-wide state; use the module
// from one thread at a time.
#ifndef VRELL_CONFIG_TAGMEM_H_
#define VRELL_CONFIG_TAGMEM_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "config/list.h"

constexpr uint16_t TAG_ALLOCATED = 0xA55A;
constexpr uint16_t TAG_RELEASED = 0x5AA5;

// The largest block size a header can record.
constexpr size_t TAGMEM_SIZE_MAX = INT32_MAX;

constexpr char TAGMEM_TAG_ERROR[] = "Memory tag error - %p - %s (%ld)\n";
constexpr char TAGMEM_ASSERT_FAILED[] = "Clean-memory assertion failed - %s (%ld)\n";
constexpr char TAGMEM_ASSERT_DETAILS[] = "Details are in memtrace.lst\n";
constexpr char TAGMEM_TRACE_FILE[] = "memtrace.lst";
constexpr char TAGMEM_UNKNOWN_FILE[] = "<Unknown>";
constexpr char TAGMEM_REPORT_TITLE[] = "Index   Size  File(Line) - total size %lu\n";
constexpr char TAGMEM_REPORT_TRANSACTION[] = "* Transaction %s (%ld)\n";

// The header in front of every block. Its alignment pads it so that the caller's bytes, which
// follow it directly, keep the alignment of max_align_t.
struct alignas(alignof(max_align_t)) tagmem_block {
  list_node link;  // in the block list of its transaction or of the main list
  uint16_t tag;    // TAG_ALLOCATED while live
  int32_t size;    // bytes asked for, header not included
  const char *file;
  int32_t line;
};

// A transaction: blocks allocated into it are later committed to the main list or rolled back.
struct tagmem_txn {
  list_node link;  // in the list of open transactions, in opening order
  const char *file;
  int32_t line;
  list_node blocks;  // head of the transaction's block list
};

// One block holding a length, a pointer to the bytes that follow it, and those bytes.
struct tagmem_desc {
  int32_t size;
  unsigned char *data;
};

// The file name and line recorded by the next tagmem_concat with a null destination; that
// call resets them to "" and 0.
extern const char *xstrcpy_file;
extern uint16_t xstrcpy_line;

// Returns size uninitialised bytes in txn (null: the main list), or null when memory is
// exhausted after the low-memory handlers ran once, or when size exceeds TAGMEM_SIZE_MAX.
// The caller frees the result with tagmem_free.
void *tagmem_alloc(tagmem_txn *txn, size_t size, const char *file, int line);

// Returns a tagged copy of text, or null when text is null or memory is exhausted.
// The caller frees the result with tagmem_free.
char *tagmem_strdup(tagmem_txn *txn, const char *text, const char *file, int line);

// Concatenates the texts that follow dest, up to a null pointer. With a destination, returns
// dest filled with the concatenation (the caller guarantees the room). With a null destination,
// returns a new block of the main list tagged with xstrcpy_file and xstrcpy_line, or null when
// memory is exhausted; the caller frees it with tagmem_free.
char *tagmem_concat(char *dest, ...);

// Releases a block; null does nothing. A block that is not live is a tag error.
void tagmem_free(void *block, const char *file, int line);

// Releases the block *pointer refers to (if any) and sets *pointer to null.
void tagmem_free_and_clear_block(void **pointer, const char *file, int line);
template <typename T>
inline void tagmem_free_and_clear(T **pointer, const char *file, int line) {
  void *block = *pointer;
  tagmem_free_and_clear_block(&block, file, line);
  *pointer = nullptr;
}

// Gives a live block the new size, file name and line, keeping its place in its list and its
// leading bytes. Returns the block, which may have moved, or null when memory is exhausted (or
// size exceeds TAGMEM_SIZE_MAX); the old block is then unchanged. A null block is a plain
// allocation in the main list.
void *tagmem_resize(void *block, size_t size, const char *file, int line);

// A tag error unless block is null or live.
void tagmem_check(const void *block, const char *file, int line);

// Returns the size of a live block after the tag check; 0 for null.
size_t tagmem_size(const void *block, const char *file, int line);

// Returns one block of txn (null: the main list) holding a descriptor whose data points at size
// bytes in the same block, copied from data unless it is null; null when memory is exhausted.
// The caller frees the result with tagmem_free.
tagmem_desc *tagmem_descriptor(tagmem_txn *txn, const void *data, size_t size, const char *file,
                               int line);

// Opens a transaction after the open ones. Returns it, or null when its record cannot be made.
tagmem_txn *tagmem_txn_begin(const char *file, int line);
// Moves the transaction's blocks, in order, to the end of the main list and closes it.
void tagmem_txn_commit(tagmem_txn *txn);
// Releases every block of the transaction and closes it.
void tagmem_txn_rollback(tagmem_txn *txn);

// The three counters: bytes in live blocks, successful allocations and resizes, releases.
size_t tagmem_bytes_in_use(void);
long tagmem_alloc_count(void);
long tagmem_free_count(void);

// Writes the listing of the main list and of every open transaction to stream, then flushes it.
void tagmem_report(FILE *stream);

// Checks every block of the main list, then of each open transaction. At the first bad tag,
// writes the listing to standard error and raises a tag error with file and line.
void tagmem_check_all(const char *file, int line);

// Returns when no bytes are held and no transaction is open. Otherwise writes its two lines to
// standard error, the listing to memtrace.lst in the current directory, and aborts.
void tagmem_assert_clean(const char *file, int line);

// Appends a handler that runs, with arg, when the system heap refuses a request (before the one
// retry). Returns 0, or -1 when its record cannot be allocated.
int tagmem_on_low_memory(void (*handler)(void *arg), void *arg);

// Releases every block of the main list (the low-memory handlers with them), then every open
// transaction with its blocks, oldest first. The counters keep counting.
void tagmem_free_all(void);

// Returns a copy of text on the system heap, or null for a null text or exhausted memory.
// The caller frees the result with free or plain_free_and_clear.
char *plain_strdup(const char *text);
// Frees the system-heap block *pointer refers to and sets *pointer to null.
void plain_free_and_clear_block(void **pointer);
template <typename T>
inline void plain_free_and_clear(T **pointer) {
  void *block = *pointer;
  plain_free_and_clear_block(&block);
  *pointer = nullptr;
}

// Test hook: the system heap calls behind every tagged block and transaction record. Null
// restores malloc and realloc.
void tagmem_set_heap(void *(*alloc)(size_t size), void *(*resize)(void *block, size_t size));

#endif  // VRELL_CONFIG_TAGMEM_H_
