#include "common/recordlists.h"

#include <cstring>
#include <initializer_list>

#include "base/textbuf.h"

namespace {

// Appends the texts as consecutive zero-terminated texts when all fit;
// returns false (nothing stored) otherwise.
template <size_t N>
bool pack(char (&pool)[N], uint16_t* used, std::initializer_list<const char*> texts) {
  size_t need = 0;
  for (const char* t : texts) need += strlen(t) + 1;
  if (need > N - *used) return false;
  for (const char* t : texts) *used += (uint16_t)(textcopy(pool + *used, N - *used, t) + 1);
  return true;
}

}  // namespace

const char* signalname(int i) {
  static const char* const kNames[kSignalCount] = {"pregreet",  "pipelining",  "bare-lf",
                                                   "non-smtp", "early-close", "long-line"};
  return i >= 0 && i < kSignalCount ? kNames[i] : "";
}

void transactionbegin(ConnectionRecord* r, const char* sender) {
  TransactionLog& t = r->transactions;
  // Once one is dropped, so are all later ones: the kept ones stay the first.
  if (t.dropped == 0 && t.count < kMaxTransactions && pack(t.text, &t.used, {sender})) {
    t.rcpts[t.count] = 0;
    t.rcpts_dropped[t.count] = 0;
    t.count++;
  } else {
    t.dropped++;
  }
}

void transactionrcpt(ConnectionRecord* r, const char* rcpt) {
  TransactionLog& t = r->transactions;
  if (t.dropped > 0 || t.count == 0) return;  // its transaction was not kept
  int i = t.count - 1;
  if (t.rcpts[i] < kMaxTransactionRcpts && pack(t.text, &t.used, {rcpt}))
    t.rcpts[i]++;
  else
    t.rcpts_dropped[i]++;
}

void listhitadd(ConnectionRecord* r, ListKind kind, const char* zone, const char* answer,
                bool listed) {
  ListHits& h = r->list_hits;
  const char head[3] = {(char)kind, listed ? '1' : '0', '\0'};
  char first[2 + 16];
  textcopy(first, head);
  textappend(first, answer, 15);
  // The HELO and the reverse name may share their registered domain.
  bool seen = false;
  eachlisthit(r, [&](ListKind k, const char* z, const char* a, bool) {
    seen = seen || (k == kind && strcmp(z, zone) == 0 && strcmp(a, first + 2) == 0);
  });
  if (seen) return;
  if (pack(h.text, &h.used, {first, zone}))
    h.count++;
  else
    h.dropped++;
}
