// The packed lists of a connection record: its mail transactions and the
// list zones that answered. Adding never overflows: what does not fit is
// counted instead.
#pragma once
#include <cstddef>
#include <cstring>

#include "common/record.h"

// Name of the signal bit `1 << i` (i < kSignalCount): "pregreet",
// "pipelining", "bare-lf", "non-smtp", "early-close", "long-line".
const char* signalname(int i);

// A new transaction with the sender as the client gave it.
void transactionbegin(ConnectionRecord* r, const char* sender);
// A recipient of the current transaction (none yet: nothing).
void transactionrcpt(ConnectionRecord* r, const char* rcpt);

// Calls fn(sender, rcpts, count, dropped) for every kept transaction, where
// rcpts points at the first of `count` consecutive zero-terminated texts.
template <typename Fn>
void eachtransaction(const ConnectionRecord* r, Fn fn) {
  const TransactionLog& t = r->transactions;
  const char* p = t.text;
  for (int i = 0; i < t.count && i < kMaxTransactions; i++) {
    const char* sender = p;
    p += strnlen(p, (size_t)(t.text + sizeof t.text - p)) + 1;
    fn(sender, p, (int)t.rcpts[i], t.rcpts_dropped[i]);
    for (int k = 0; k < t.rcpts[i]; k++) p += strnlen(p, (size_t)(t.text + sizeof t.text - p)) + 1;
  }
}

// One A answer of a list zone; listed: whether it counts as a listing.
void listhitadd(ConnectionRecord* r, ListKind kind, const char* zone, const char* answer,
                bool listed);
// Calls fn(kind, zone, answer, listed) for every kept answer, in order.
template <typename Fn>
void eachlisthit(const ConnectionRecord* r, Fn fn) {
  const ListHits& h = r->list_hits;
  const char* p = h.text;
  for (int i = 0; i < h.count; i++) {
    ListKind kind = (ListKind)p[0];
    bool listed = p[1] == '1';
    const char* answer = p + 2;
    const char* zone = answer + strnlen(answer, (size_t)(h.text + sizeof h.text - answer)) + 1;
    fn(kind, zone, answer, listed);
    p = zone + strnlen(zone, (size_t)(h.text + sizeof h.text - zone)) + 1;
  }
}
