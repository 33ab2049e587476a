// PLACEHOLDER until the list module lands.
#include "analysis/lists.h"

const char* const kDnswlDefaults[] = {nullptr};
const char* const kDnsblDefaults[] = {nullptr};
const char* const kDnsglDefaults[] = {nullptr};
const char* const kUriwlDefaults[] = {nullptr};
const char* const kUriblDefaults[] = {nullptr};
ListEntry* dnswl = nullptr;
ListEntry* dnsbl = nullptr;
ListEntry* dnsgl = nullptr;
ListEntry* uriwl = nullptr;
ListEntry* uribl = nullptr;
ListEntry* loadlist(const char*, const char* const*) { return nullptr; }
void loadalllists() {}
void freealllists() {}
void freelist(ListEntry*) {}
int checklist(ConnectionRecord*, const ListEntry*, const char*) { return 0; }
int checklist(ConnectionRecord*, const char*, const ListEntry*, const char*) { return 0; }
