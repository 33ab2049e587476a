// Sessions per client address: one address may hold (or have queued) at
// most MaxSessionsPerAddress connections at once, so that no single client
// crowds out the rest. A connection beyond that is refused at once.
#pragma once
#include <cstdint>

// Takes a place for the address (network order). Returns false when it
// holds its limit already; the first refusal of an episode is logged.
bool peertake(uint32_t addr);
// Gives back a place taken by peertake. An episode of refusals ends when
// the address is below its limit again, logged with the refusals' count.
void peerrelease(uint32_t addr);
