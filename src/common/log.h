// Diagnostic log and the daily-file writer shared with the connection log.
#pragma once
#include <cstddef>

enum LogLevelCode { LOG_CRIT = 0, LOG_ERR = 1, LOG_WARN = 2, LOG_INFO = 3, LOG_LOG = 4,
                    LOG_CONN = 5, LOG_DATA = 6, LOG_TRON = 8 };

// Logs one message: to standard error (UTC time) and the daily file
// nestrapYYYYMMDD.log when level <= LogLevel, and whatever the level to the
// debug channel when DebugOutput is set.
void logmsg(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends one formatted line to the daily file "<LogPath>/<base>YYYYMMDD.log"
// (local date). Lines of every base except "ipinfo" get a local-time prefix.
// Nothing when LogPath is empty. Each line is written whole or not at all;
// a file that cannot be opened or written is reported once by an [ERR ] line
// and once more when writing it works again.
void writelog(const char* base, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The connection line (writelog("ipinfo", ...) alike) and, when json is not
// null, its JSON line (`jsonlen` bytes, no line break) in the day's
// ipinfoYYYYMMDD.jsonl beside it: both in one step, and either both land
// or neither does.
void writeconnection(const char* line, const char* json, size_t jsonlen);

// Today's path of the daily file "<LogPath>/<base>YYYYMMDD.log".
void logfilepath(const char* base, char* path, size_t size);

// The lock around every append to a daily file.
void log_lock_init();
void log_lock_delete();

constexpr int kLogBufferSize = 9216;
constexpr size_t kLogPathSize = 600;
