// Appending whole lines to the daily log files without trusting the log
// directory: whoever can write there must not be able to redirect, block or
// tear the program's lines.
#pragma once
#include <cstddef>

namespace plat {

// Result codes of the calls below; on an error the reason is the last error
// (error.h).
constexpr int kLogFileOk = 0;
constexpr int kLogFileOpenFailed = 1;   // missing directory, no rights, a link
constexpr int kLogFileNotRegular = 2;   // a FIFO, device, directory or linked file
constexpr int kLogFileWriteFailed = 3;  // full disk, quota, size limit

struct LogFile {
  long handle = -1;
  // What the file was when opened, and its size after this handle's last
  // whole line (-1: unknown), so that a kept file is checked cheaply.
  unsigned long long dev = 0, ino = 0;
  long long end = -1;
  // The size logreopen just saw under its caller's lock (-1: none), which
  // spares the next append and size query a look of their own.
  long long seen = -1;
};

// Opens `path` for appending (created with mode 0640, close-on-exec). Never
// follows a symbolic link as the last part of the path and never blocks
// (FIFOs and devices are opened non-blocking and refused). Safe to call
// without holding any lock.
int logopen(const char* path, LogFile* f);
// Keeps f open when `path` still names the very file f holds (a plain file
// of its own), else closes it and opens `path` as logopen does: a file kept
// open between lines is as safe as one opened per line, for two calls fewer.
// Windows opens anew each time, and the caller closes the file after its
// line where kLogFilesStayOpen is false (an open file cannot be moved there).
int logreopen(const char* path, LogFile* f);
extern const bool kLogFilesStayOpen;
// Appends `len` bytes that end with a line break, with one write. A file
// whose last byte is not a line break (a line torn before) first gets one.
// A write that does not complete is taken back, so the file holds whole lines
// only. Callers serialise calls on the same file.
int logappend(LogFile* f, const char* line, size_t len);
// The file's size (-1 when it cannot be told), and the file cut back to an
// earlier size: a line whose partner in another file could not be written
// is taken back. logtruncate returns kLogFileOk or kLogFileWriteFailed.
long long logsize(LogFile* f);
int logtruncate(LogFile* f, long long size);
void logclose(LogFile* f);

// Makes `linkpath` a symbolic link to `target` (a name relative to the
// link's directory), replacing what was there in one step, so that a
// follower of the name never finds it missing. Returns false when the
// system cannot (Windows builds do not make the link).
bool renewlink(const char* target, const char* linkpath);

}  // namespace plat
