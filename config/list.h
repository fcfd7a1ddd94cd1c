/* SPDX-License-Identifier: BSD-2-Clause */
// An intrusive circular doubly linked list. A record that is to be listed embeds a list_node;
// a list_node of its own is the head of a list, a sentinel that links to itself while the list
// is empty, so that no operation tests for null. LIST_ENTRY finds the record from its node.
//
// Conventions: nothing allocates and nothing prints. The helpers are static so that the
// installed client archive, which carries these objects, gains no global name from them.
//
// Thread safety: none; whoever owns a list guards it.
#ifndef VRELL_CONFIG_LIST_H_
#define VRELL_CONFIG_LIST_H_

#include <stddef.h>

struct list_node {
  list_node *next;
  list_node *prev;
};

// Makes node an empty list head, or an unlinked node, by linking it to itself.
static inline void list_init(list_node *node) {
  node->next = node;
  node->prev = node;
}

// Returns true when the list of head holds no node.
static inline bool list_empty(const list_node *head) {
  return head->next == head;
}

// Links node in at the end of the list of head, just before the sentinel.
static inline void list_insert_tail(list_node *head, list_node *node) {
  node->next = head;
  node->prev = head->prev;
  head->prev->next = node;
  head->prev = node;
}

// Unlinks node from its list and leaves it linked to itself.
static inline void list_remove(list_node *node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  list_init(node);
}

// Moves every node of the list of from, in their order, to the end of the list of to; from is
// left empty.
static inline void list_move_tail(list_node *to, list_node *from) {
  if (list_empty(from)) return;
  from->next->prev = to->prev;
  to->prev->next = from->next;
  from->prev->next = to;
  to->prev = from->prev;
  list_init(from);
}

// Points the neighbours of node at it again after the record holding it was moved in memory
// (by realloc); they still point at its old address.
static inline void list_relink(list_node *node) {
  node->prev->next = node;
  node->next->prev = node;
}

// The record of type type whose member field is the node pointer node.
#define LIST_ENTRY(node, type, field) \
  (reinterpret_cast<type *>(reinterpret_cast<char *>(node) - offsetof(type, field)))

// Runs the statement that follows with node set to each node of the list of head in turn. The
// statement must not unlink node; a loop that releases nodes takes them from the head instead.
#define LIST_FOREACH(node, head) for (node = (head)->next; node != (head); node = node->next)

#endif  // VRELL_CONFIG_LIST_H_
