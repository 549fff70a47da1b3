// The string list: ordered private copies of strings with an optional limit
// on their total length, a two-way cursor and a cached join.
#define TXC_MODULE "txc_strings"

#include <cstdint>
#include <cstring>

#include "txc_alloc.h"
#include "txc_log.h"
#include "txlib/txlib.h"

namespace {

struct strlist_node {
  strlist_node *next;  // towards newer
  strlist_node *prev;  // towards older
  char *str;
  uint32_t len;  // kept so that the join needs no strlen
};

}  // namespace

struct txc_strlist {
  int32_t count;
  uint32_t total;
  uint32_t limit;
  uint32_t direction;
  strlist_node *cursor;
  char *joined;
  uint32_t joined_direction;
  strlist_node *first;
  strlist_node *last;
};

namespace {

void drop_joined(txc_strlist *list) {
  txc_free(list->joined);
  list->joined = nullptr;
}

}  // namespace

txc_strlist *strlist_create(uint32_t limit) {
  auto *list = static_cast<txc_strlist *>(txc_calloc(1, sizeof(txc_strlist)));
  if (list == nullptr) return nullptr;
  list->limit = limit;
  return list;
}

void strlist_free(txc_strlist *list) {
  if (list == nullptr) return;
  while (list->first != nullptr) {
    strlist_node *node = list->first;
    list->first = node->next;
    if (list->first != nullptr)
      list->first->prev = nullptr;
    else
      list->last = nullptr;
    list->total -= node->len;
    txc_free(node->str);
    txc_free(node);
    --list->count;
  }
  txc_free(list->joined);
  txc_free(list);
}

int strlist_add(txc_strlist *list, const char *s) {
  if (list == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: strings: null list passed");
    return 0;
  }
  if (s == nullptr) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: strings: null string passed");
    return 1;
  }
  if (s[0] == '\0') {
    txc_log_message(TXC_LOG_DETAIL, "txlib: strings: zero-length string passed");
    return 1;
  }
  const size_t len = strlen(s);
  // Sums are taken in 64 bits: the total is a 32-bit count and must never
  // wrap, with or without a limit, or the join would size its buffer wrong.
  // Without a limit the total still has to leave room for the terminator.
  const uint64_t new_total = static_cast<uint64_t>(len) + list->total;
  const uint64_t bound = list->limit != 0 ? list->limit : UINT32_MAX;
  if (new_total >= bound) {
    txc_log_message(
        TXC_LOG_DETAIL, "txlib: strings: new string(%d) overcome limit (%d) for whole(%d)",
        static_cast<int>(len), static_cast<int>(list->limit), static_cast<int>(list->total));
    return 0;
  }
  auto *node = static_cast<strlist_node *>(txc_calloc(1, sizeof(strlist_node)));
  if (node == nullptr) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: %s(%d) - cannot allocate memory", TXC_MODULE, __LINE__);
    return 0;
  }
  node->str = txc_strndup(s, len);
  if (node->str == nullptr) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: %s(%d) - cannot allocate memory", TXC_MODULE, __LINE__);
    txc_free(node);
    return 0;
  }
  node->len = static_cast<uint32_t>(len);
  node->prev = list->last;
  node->next = nullptr;
  if (list->last != nullptr)
    list->last->next = node;
  else
    list->first = node;
  list->last = node;
  ++list->count;
  list->total = static_cast<uint32_t>(new_total);
  drop_joined(list);
  return 1;
}

int32_t strlist_count(const txc_strlist *list) { return list != nullptr ? list->count : 0; }

uint32_t strlist_length(const txc_strlist *list) { return list != nullptr ? list->total : 0; }

char *strlist_join(txc_strlist *list, uint32_t direction) {
  if (list == nullptr || direction > TXC_STRLIST_BACKWARD) return nullptr;
  if (list->joined != nullptr && list->joined_direction == direction)
    return txc_strdup(list->joined);

  drop_joined(list);
  list->joined_direction = direction;
  const size_t size = static_cast<size_t>(list->total) + 1;
  char *text = static_cast<char *>(txc_malloc(size));
  if (text == nullptr) return nullptr;
  text[0] = '\0';

  size_t used = 0;
  size_t remaining = size;
  const bool forward = direction == TXC_STRLIST_FORWARD;
  for (strlist_node *node = forward ? list->first : list->last; node != nullptr;
       node = forward ? node->next : node->prev) {
    if (remaining <= node->len) {
      txc_log_message(TXC_LOG_DETAIL, "txlib: strings: STRANGE list(%d.%d) with corrupted size",
                      static_cast<int>(list->total), static_cast<int>(list->limit));
      break;
    }
    memcpy(text + used, node->str, node->len);
    used += node->len;
    remaining -= node->len;
  }
  text[used] = '\0';
  list->joined = text;
  return txc_strdup(text);
}

void strlist_rewind(txc_strlist *list, uint32_t direction) {
  if (list == nullptr || direction > TXC_STRLIST_BACKWARD) return;
  list->direction = direction;
  list->cursor = direction == TXC_STRLIST_FORWARD ? list->first : list->last;
}

const char *strlist_next(txc_strlist *list) {
  if (list == nullptr || list->cursor == nullptr) return nullptr;
  strlist_node *node = list->cursor;
  list->cursor = list->direction == TXC_STRLIST_FORWARD ? node->next : node->prev;
  return node->str;
}

int strlist_append(txc_strlist *dst, txc_strlist *src, const char *separator) {
  if (dst == nullptr) return 0;
  if (src == nullptr) return 1;
  strlist_rewind(src, TXC_STRLIST_FORWARD);
  // Walk only the strings present now: when a list is appended to itself
  // the walk would otherwise meet its own additions and never end.
  int32_t left = src->count;
  while (left > 0) {
    const char *s = strlist_next(src);
    if (s == nullptr) break;
    --left;
    if (!strlist_add(dst, s)) return 0;
    if (left > 0 && separator != nullptr && !strlist_add(dst, separator)) return 0;
  }
  return 1;
}

int strlist_contains(const txc_strlist *list, const char *s) {
  if (list == nullptr || s == nullptr) return 0;
  for (const strlist_node *node = list->first; node != nullptr; node = node->next) {
    if (strcmp(node->str, s) == 0) return 1;
  }
  return 0;
}
