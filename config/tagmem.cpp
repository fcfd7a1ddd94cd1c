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
  low_memory_handler *next;
  low_memory_handler *prev;
  void (*handler)(void *arg);
  void *arg;
};

// The main list belongs to a transaction record that is never in the list of open ones.
tagmem_txn main_txn = {
    nullptr, nullptr, nullptr, 0, {&main_txn.blocks, &main_txn.blocks, 0, 0, nullptr, 0}};
tagmem_txn open_txns = {&open_txns, &open_txns, nullptr, 0, {nullptr, nullptr, 0, 0, nullptr, 0}};
low_memory_handler handlers = {&handlers, &handlers, nullptr, nullptr};

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

void list_append(tagmem_block *head, tagmem_block *header) {
  header->next = head;
  header->prev = head->prev;
  head->prev->next = header;
  head->prev = header;
}

void list_unlink(tagmem_block *header) {
  header->prev->next = header->next;
  header->next->prev = header->prev;
}

void run_low_memory_handlers() {
  // A handler may release memory, its own record included, so the next one is read first.
  for (low_memory_handler *h = handlers.next, *next; h != &handlers; h = next) {
    next = h->next;
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
  list_unlink(header);
  header->tag = TAG_RELEASED;
  free_count++;
  free(header);
}

void release_list(tagmem_block *head) {
  while (head->next != head) release(head->next);
}

void report_list(FILE *stream, const tagmem_block *head) {
  int index = 0;
  for (const tagmem_block *b = head->next; b != head; b = b->next, index++) {
    fprintf(stream, "%-5d %6ld", index, static_cast<long>(b->size));
    fprintf(stream, "  %s (%ld)", name_or_unknown(b->file), static_cast<long>(b->line));
    if (b->tag != TAG_ALLOCATED) fputs(" INVALID", stream);
    fprintf(stream, " [%p]\n", data_of(const_cast<tagmem_block *>(b)));
  }
}

// Returns the first block of the list whose tag is bad, or null.
const tagmem_block *first_bad(const tagmem_block *head) {
  for (const tagmem_block *b = head->next; b != head; b = b->next) {
    if (b->tag != TAG_ALLOCATED) return b;
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
  list_append(txn ? &txn->blocks : &main_txn.blocks, header);
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
  moved->prev->next = moved;
  moved->next->prev = moved;
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
  txn->blocks = {&txn->blocks, &txn->blocks, 0, 0, nullptr, 0};
  txn->next = &open_txns;
  txn->prev = open_txns.prev;
  open_txns.prev->next = txn;
  open_txns.prev = txn;
  return txn;
}

namespace {

void txn_close(tagmem_txn *txn) {
  txn->prev->next = txn->next;
  txn->next->prev = txn->prev;
  free(txn);
}

}  // namespace

void tagmem_txn_commit(tagmem_txn *txn) {
  if (!txn) return;
  tagmem_block *head = &txn->blocks;
  if (head->next != head) {
    tagmem_block *main_head = &main_txn.blocks;
    head->next->prev = main_head->prev;
    main_head->prev->next = head->next;
    head->prev->next = main_head;
    main_head->prev = head->prev;
  }
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
  for (const tagmem_txn *t = open_txns.next; t != &open_txns; t = t->next) {
    fprintf(stream, TAGMEM_REPORT_TRANSACTION, name_or_unknown(t->file),
            static_cast<long>(t->line));
    report_list(stream, &t->blocks);
  }
  fflush(stream);
}

void tagmem_check_all(const char *file, int line) {
  const tagmem_block *bad = first_bad(&main_txn.blocks);
  for (const tagmem_txn *t = open_txns.next; !bad && t != &open_txns; t = t->next) {
    bad = first_bad(&t->blocks);
  }
  if (!bad) return;
  tagmem_report(stderr);
  tag_error(bad, file, line);
}

void tagmem_assert_clean(const char *file, int line) {
  if (bytes_in_use == 0 && open_txns.next == &open_txns) return;
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
  h->next = &handlers;
  h->prev = handlers.prev;
  handlers.prev->next = h;
  handlers.prev = h;
  return 0;
}

void tagmem_free_all(void) {
  release_list(&main_txn.blocks);
  handlers.next = handlers.prev = &handlers;
  while (open_txns.next != &open_txns) tagmem_txn_rollback(open_txns.next);
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
