// DNS list files and list checks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/dnsquery.h"
#include "analysis/recordmemo.h"
#include "common/record.h"

struct ListEntry {
  uint32_t number;    // position among the zones of the file, from 1
  char zone[259 + 1];
  ListEntry* next;
};

// Default contents (comment lines and zones), each ending with a null entry.
extern const char* const kDnswlDefaults[];
extern const char* const kDnsblDefaults[];
extern const char* const kDnsglDefaults[];
extern const char* const kUriwlDefaults[];
extern const char* const kUriblDefaults[];

// The five loaded lists, written by the main thread before the threads start.
extern ListEntry* dnswl;
extern ListEntry* dnsbl;
extern ListEntry* dnsgl;
extern ListEntry* uriwl;
extern ListEntry* uribl;

// The five list files in load order: the list each fills, its file, the
// contents it is created with, and whether its zones are asked about domain
// names (1) or IPv4 addresses (0).
struct ListFile {
  ListEntry** head;
  const char* path;
  const char* const* defaults;
  int bydomain;
};
constexpr size_t kListFileCount = 5;
extern const ListFile kListFiles[kListFileCount];

// Loads a list file, creating it from `defaults` when missing or empty.
// Returns the first entry, or null for an empty list and every failure.
ListEntry* loadlist(const char* path, const char* const* defaults);
// Loads the five list files in their fixed order into the globals above.
void loadalllists();
// Loads the five list files anew and only then replaces the lists in use.
// Call only where no list is being read (the logger thread, between records).
void reloadalllists();
// A zone of the loaded lists, copied.
struct ListZone {
  char zone[259 + 1];
  const char* file;  // its list file
  int bydomain;      // 1: asked about domain names, 0: about IPv4 addresses
};
// Copies of the zones of the five lists, in load order. Callable from any
// thread: reloadalllists replaces the lists under the same lock.
std::vector<ListZone> copyzones();
// Releases the five lists and clears the globals.
void freealllists();
void freelist(ListEntry* first);
// One line of a list file as read (at most 3,070 characters): cuts it at
// the first line feed, carriage return, tab and blank, in that order, and
// copies the zone into `zone`. Returns 0 for an empty or "#" line.
int listzone(char* line, char* zone, size_t zonesize);

// What one A answer of a list zone says. A listing is an address in
// 127.0.0.0/8 outside 127.255.255.0/24, the range the list services use for
// error codes (a refused query, a mistyped zone name, too many queries);
// an address outside 127.0.0.0/8 is no listing either.
enum ListAnswer : int { kListed = 0, kListError = 1, kListForeign = 2 };
// Classifies the A answer `addr` (4 bytes, network order). `note`, when not
// null, receives a static text for the operator: "listed", the documented
// meaning of an error code, or why the answer does not count.
int listanswer(const uint8_t addr[4], const char** note);
// The list check's verdict on the A answer `addr` (network order) of
// `zone`: 1 when listanswer calls it a listing. Otherwise 0, and a [WARN]
// naming the zone and the answer, once per refusal episode of the zone: the
// episode begins with the first such answer (or a different one) and ends
// with the zone's next listing or a healthy check. Thread-safe.
int takelisting(const char* zone, const uint8_t addr[4]);
// Ends the zone's refusal episode (its check found it healthy).
void endrefusal(const char* zone);

// By address: number of the first entry whose zone lists the client
// address (see listanswer), else 0. On a hit writes list_tag and list_detail.
int checklist(ConnectionRecord* r, const ClientAddress& c, const ListEntry* list, const char* tag);
// By domain: the same for the registered part of `domain`.
int checklist(ConnectionRecord* r, const char* domain, const ListEntry* list, const char* tag);
// With JSON lines on, the checks above keep every A answer of the zones in
// the record (list_hits); this keeps those of a list no check asked.
void listhits(ConnectionRecord* r, const ClientAddress& c, const ListEntry* list, ListKind kind);
void listhits(ConnectionRecord* r, const char* domain, const ListEntry* list, ListKind kind);
// The questions the two checks above ask when no zone lists the client,
// so that they can be put in flight together beforehand. The domain form
// runs findzone.
void listquestions(const ClientAddress& c, const ListEntry* list, std::vector<Question>* out);
void listquestions(const char* domain, const ListEntry* list, std::vector<Question>* out);
