// The analysis pipeline: the workers hand finished records straight to a
// pool of analysis threads (the logger only when the window is full), which
// analyse several at once and write their lines in the order the records
// were handed in (the order the sessions ended). A record whose every
// answer is in the answer cache is analysed by the worker handing it in. Everything
// held between a session's end and its line (the logger's queue, records
// waiting for analysis, in analysis or waiting for their turn) counts
// against one cap: past it a record's line is written at once without DNS
// data (as for a record whose every query failed), ahead of the slower
// ones, and a [WARN] line notes the start and the end of each such episode.
#pragma once
#include <cstdint>

#include "common/record.h"

namespace dns {
class CachingResolver;
}

// Analysis threads of the pipeline.
constexpr int kAnalysisThreads = 48;
// Records between the oldest unwritten one and the newest handed in (at
// least; a larger backlog cap widens it): the logger waits for room beyond
// it, which a record ahead holds for at most kRecordDeadlineMs.
constexpr uint32_t kAnalysisWindow = 1024;
// Longest time from a record's hand-in to the end of its analysis, waiting
// for an analysis thread included; what is not known by then is written as
// it is for a DNS failure.
constexpr int64_t kRecordDeadlineMs = 8000;
// A record with less time left when an analysis thread takes it is written
// without DNS data.
constexpr int64_t kLeastAnalysisMs = 1000;
// On a stop, records still waiting get this long for their analysis; the
// rest are written without DNS data.
constexpr int64_t kStopAnalysisMs = 4000;

// Starts the analysis threads (threads = 1 and prefetch off give the
// one-at-a-time reference analysis). `backlog`: the cap (0: none).
// `cache`: the process's answer cache, from which a worker handing in a
// record analyses it itself when every answer is kept there (none: never).
void pipelinestart(int threads, uint32_t backlog, dns::CachingResolver* cache = nullptr);
// Takes one place within the cap for a finished record, on any thread.
// Returns false past the cap (or without a pipeline): the caller then
// writes the record with pipelinewritenow instead of handing it in.
bool pipelineadmit();
// Writes the record's line at once without DNS data and frees it; any
// thread, never waiting for the records ahead.
void pipelinewritenow(ConnectionRecord* r);
// Hands a finished record over (the pipeline frees it). REQUIRES: a place
// taken with pipelineadmit.
void pipelinesubmit(ConnectionRecord* r);
// Hands over up to `n` finished records (each with its place taken) without
// ever waiting: as many as the window has room for, from the first, with
// one wake-up of the analysis threads; those whose every answer is cached
// are analysed and written on the calling thread instead. Returns how many were taken; the
// caller hands the rest to the logger. `tag` names the handing thread in
// the diagnostic line.
int pipelineoffer(ConnectionRecord* const* records, int n, const char* tag);
// Returns once every record handed in is written.
void pipelinewait();
// Runs `reload` (which replaces the lists) while no record is being
// analysed and no line is being written at once; records handed in
// meanwhile wait and are analysed against the new lists.
void pipelinereload(void (*reload)());
// Records admitted whose lines are not written yet.
uint32_t pipelinebacklog();
// From now on analyses end within kStopAnalysisMs.
void pipelinestopping();
// Writes every record handed in, then stops the analysis threads.
void pipelinefinish();
