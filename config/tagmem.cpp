// SPDX-License-Identifier: BSD-2-Clause
#include "config/tagmem.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

const char *xstrcpy_file = "";
uint16_t xstrcpy_line = 0;

namespace {

// A low-memory handler; the record is itself a tagged block of the main list.
struct low_memory_handler {
  list_node link;
  void (*handler)(void *arg);
  void *arg;
};

// The main list belongs to a transaction record that is never in the list of open ones.
tagmem_txn main_txn = {{nullptr, nullptr}, nullptr, 0, {&main_txn.blocks, &main_txn.blocks}};
list_node open_txns = {&open_txns, &open_txns};
list_node handlers = {&handlers, &handlers};

size_t bytes_in_use = 0;
long alloc_count = 0;
long free_count = 0;

void *(*heap_alloc)(size_t) = malloc;
void *(*heap_resize)(void *, size_t) = realloc;

tagmem_block *header_of(const void *block) {
  return reinterpret_cast<tagmem_block *>(const_cast<void *>(block)) - 1;
}

void *data_of(tagmem_block *header) {
  return header + 1;
}

tagmem_block *block_of(list_node *node) {
  return LIST_ENTRY(node, tagmem_block, link);
}

tagmem_txn *txn_of(list_node *node) {
  return LIST_ENTRY(node, tagmem_txn, link);
}

const char *name_or_unknown(const char *file) {
  return file ? file : TAGMEM_UNKNOWN_FILE;
}

[[noreturn]] void tag_error(const tagmem_block *header, const char *file, int line) {
  printf(TAGMEM_TAG_ERROR, static_cast<const void *>(header), name_or_unknown(file),
         static_cast<long>(line));
  fflush(stdout);
  abort();
}

void check_header(const tagmem_block *header, const char *file, int line) {
  if (header->tag != TAG_ALLOCATED) tag_error(header, file, line);
}

void run_low_memory_handlers() {
  // A handler may release memory, its own record included, so the next one is read first.
  for (list_node *node = handlers.next, *next; node != &handlers; node = next) {
    next = node->next;
    low_memory_handler *h = LIST_ENTRY(node, low_memory_handler, link);
    h->handler(h->arg);
  }
}

// Asks the system heap once, and once more after the low-memory handlers ran.
void *heap_request(void *old, size_t bytes) {
  void *raw = old ? heap_resize(old, bytes) : heap_alloc(bytes);
  if (raw) return raw;
  run_low_memory_handlers();
  return old ? heap_resize(old, bytes) : heap_alloc(bytes);
}

// Unlinks, marks and frees a live block that has passed its tag check.
void release(tagmem_block *header) {
  bytes_in_use -= static_cast<size_t>(header->size);
  list_remove(&header->link);
  // The memory is freed next, so a plain store of the tag is dead to the compiler and dropped;
  // a volatile one is kept, and a second release of the block then meets TAG_RELEASED.
  *static_cast<volatile uint16_t *>(&header->tag) = TAG_RELEASED;
  free_count++;
  free(header);
}

void release_list(list_node *head) {
  while (!list_empty(head)) release(block_of(head->next));
}

void report_list(FILE *stream, list_node *head) {
  int index = 0;
  list_node *node;
  LIST_FOREACH(node, head) {
    tagmem_block *b = block_of(node);
    fprintf(stream, "%-5d %6ld", index, static_cast<long>(b->size));
    fprintf(stream, "  %s (%ld)", name_or_unknown(b->file), static_cast<long>(b->line));
    if (b->tag != TAG_ALLOCATED) fputs(" INVALID", stream);
    fprintf(stream, " [%p]\n", data_of(b));
    index++;
  }
}

// Returns the first block of the list whose tag is bad, or null.
const tagmem_block *first_bad(list_node *head) {
  list_node *node;
  LIST_FOREACH(node, head) {
    if (block_of(node)->tag != TAG_ALLOCATED) return block_of(node);
  }
  return nullptr;
}

}  // namespace

void *tagmem_alloc(tagmem_txn *txn, size_t size, const char *file, int line) {
  if (size > TAGMEM_SIZE_MAX) return nullptr;
  auto *header = static_cast<tagmem_block *>(heap_request(nullptr, sizeof(tagmem_block) + size));
  if (!header) return nullptr;
  header->size = static_cast<int32_t>(size);
  header->file = file;
  header->line = line;
  header->tag = TAG_ALLOCATED;
  list_insert_tail(txn ? &txn->blocks : &main_txn.blocks, &header->link);
  bytes_in_use += size;
  alloc_count++;
  return data_of(header);
}

char *tagmem_strdup(tagmem_txn *txn, const char *text, const char *file, int line) {
  if (!text) return nullptr;
  size_t length = strlen(text);
  auto *copy = static_cast<char *>(tagmem_alloc(txn, length + 1, file, line));
  if (copy) memcpy(copy, text, length + 1);
  return copy;
}

char *tagmem_concat(char *dest, ...) {
  va_list args;
  if (!dest) {
    size_t total = 1;
    va_start(args, dest);
    while (const char *text = va_arg(args, const char *)) total += strlen(text);
    va_end(args);
    dest = static_cast<char *>(tagmem_alloc(nullptr, total, xstrcpy_file, xstrcpy_line));
    xstrcpy_file = "";
    xstrcpy_line = 0;
    if (!dest) return nullptr;
  }
  char *end = dest;
  va_start(args, dest);
  while (const char *text = va_arg(args, const char *)) {
    size_t length = strlen(text);
    memmove(end, text, length);
    end += length;
  }
  va_end(args);
  *end = '\0';
  return dest;
}

void tagmem_free(void *block, const char *file, int line) {
  if (!block) return;
  tagmem_block *header = header_of(block);
  check_header(header, file, line);
  release(header);
}

void tagmem_free_and_clear_block(void **pointer, const char *file, int line) {
  if (!pointer) return;
  tagmem_free(*pointer, file, line);
  *pointer = nullptr;
}

void *tagmem_resize(void *block, size_t size, const char *file, int line) {
  if (!block) return tagmem_alloc(nullptr, size, file, line);
  tagmem_block *header = header_of(block);
  check_header(header, file, line);
  if (size > TAGMEM_SIZE_MAX) return nullptr;
  size_t old_size = static_cast<size_t>(header->size);
  auto *moved = static_cast<tagmem_block *>(heap_request(header, sizeof(tagmem_block) + size));
  if (!moved) return nullptr;
  // The neighbours still point at the old address when the block moved.
  list_relink(&moved->link);
  moved->size = static_cast<int32_t>(size);
  moved->file = file;
  moved->line = line;
  bytes_in_use = bytes_in_use - old_size + size;
  free_count++;
  alloc_count++;
  return data_of(moved);
}

void tagmem_check(const void *block, const char *file, int line) {
  if (block) check_header(header_of(block), file, line);
}

size_t tagmem_size(const void *block, const char *file, int line) {
  if (!block) return 0;
  tagmem_block *header = header_of(block);
  check_header(header, file, line);
  return static_cast<size_t>(header->size);
}

tagmem_desc *tagmem_descriptor(tagmem_txn *txn, const void *data, size_t size, const char *file,
                               int line) {
  if (size > TAGMEM_SIZE_MAX - sizeof(tagmem_desc)) return nullptr;
  auto *desc =
      static_cast<tagmem_desc *>(tagmem_alloc(txn, sizeof(tagmem_desc) + size, file, line));
  if (!desc) return nullptr;
  desc->size = static_cast<int32_t>(size);
  desc->data = reinterpret_cast<unsigned char *>(desc + 1);
  if (data && size > 0) memcpy(desc->data, data, size);
  return desc;
}

tagmem_txn *tagmem_txn_begin(const char *file, int line) {
  auto *txn = static_cast<tagmem_txn *>(heap_alloc(sizeof(tagmem_txn)));
  if (!txn) return nullptr;
  txn->file = file;
  txn->line = line;
  list_init(&txn->blocks);
  list_insert_tail(&open_txns, &txn->link);
  return txn;
}

namespace {

void txn_close(tagmem_txn *txn) {
  list_remove(&txn->link);
  free(txn);
}

}  // namespace

void tagmem_txn_commit(tagmem_txn *txn) {
  if (!txn) return;
  list_move_tail(&main_txn.blocks, &txn->blocks);
  txn_close(txn);
}

void tagmem_txn_rollback(tagmem_txn *txn) {
  if (!txn) return;
  release_list(&txn->blocks);
  txn_close(txn);
}

size_t tagmem_bytes_in_use(void) {
  return bytes_in_use;
}
long tagmem_alloc_count(void) {
  return alloc_count;
}
long tagmem_free_count(void) {
  return free_count;
}

void tagmem_report(FILE *stream) {
  fprintf(stream, TAGMEM_REPORT_TITLE, static_cast<unsigned long>(bytes_in_use));
  report_list(stream, &main_txn.blocks);
  list_node *node;
  LIST_FOREACH(node, &open_txns) {
    tagmem_txn *t = txn_of(node);
    fprintf(stream, TAGMEM_REPORT_TRANSACTION, name_or_unknown(t->file),
            static_cast<long>(t->line));
    report_list(stream, &t->blocks);
  }
  fflush(stream);
}

void tagmem_check_all(const char *file, int line) {
  const tagmem_block *bad = first_bad(&main_txn.blocks);
  for (list_node *node = open_txns.next; !bad && node != &open_txns; node = node->next) {
    bad = first_bad(&txn_of(node)->blocks);
  }
  if (!bad) return;
  tagmem_report(stderr);
  tag_error(bad, file, line);
}

void tagmem_assert_clean(const char *file, int line) {
  if (bytes_in_use == 0 && list_empty(&open_txns)) return;
  fflush(stdout);
  fprintf(stderr, TAGMEM_ASSERT_FAILED, name_or_unknown(file), static_cast<long>(line));
  fputs(TAGMEM_ASSERT_DETAILS, stderr);
  if (FILE *trace = fopen(TAGMEM_TRACE_FILE, "w")) {
    tagmem_report(trace);
    fclose(trace);
  }
  abort();
}

int tagmem_on_low_memory(void (*handler)(void *arg), void *arg) {
  auto *h = static_cast<low_memory_handler *>(
      tagmem_alloc(nullptr, sizeof(low_memory_handler), nullptr, 0));
  if (!h) return -1;
  h->handler = handler;
  h->arg = arg;
  list_insert_tail(&handlers, &h->link);
  return 0;
}

void tagmem_free_all(void) {
  release_list(&main_txn.blocks);
  // The handler records were blocks of the main list.
  list_init(&handlers);
  while (!list_empty(&open_txns)) tagmem_txn_rollback(txn_of(open_txns.next));
}

char *plain_strdup(const char *text) {
  if (!text) return nullptr;
  size_t length = strlen(text);
  auto *copy = static_cast<char *>(malloc(length + 1));
  if (copy) memcpy(copy, text, length + 1);
  return copy;
}

void plain_free_and_clear_block(void **pointer) {
  if (!pointer) return;
  free(*pointer);
  *pointer = nullptr;
}

void tagmem_set_heap(void *(*alloc)(size_t size), void *(*resize)(void *block, size_t size)) {
  heap_alloc = alloc ? alloc : malloc;
  heap_resize = resize ? resize : realloc;
}
