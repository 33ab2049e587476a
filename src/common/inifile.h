// Reader of the INI-style settings file: sections and keys compared without
// regard to case, the first occurrence of a key in its section wins, values
// trimmed of blanks and of one pair of enclosing double quotes, ';' and '#'
// comment lines, LF, CR LF or lone CR line ends, a UTF-8 byte order mark at
// the start skipped.
#pragma once
#include <cstddef>

// Remember the file and the current section (copied, at most 260 characters).
// The file is read once, when it is set; later changes to it are not seen.
// Returns the number of the first line that is neither blank, a comment, a
// section header nor a key (0: none), and the count of such lines in *count.
int inisetfile(const char* path, int* count);
void inisetsection(const char* name);
// Reads key's text (default, or "" for a null default, when missing) into
// buffer (size bytes with terminator). Returns characters stored; 0 and
// buffer untouched when file or section is unset.
int inigetstr(const char* key, const char* def, char* buffer, size_t size);
// Integer value of key; def when missing or empty; leading blanks, a sign,
// decimal digits or "0x" and hex digits; no digits gives 0.
long inigetint(const char* key, long def);

// Looks up key in section of the file's text; the core of the reader, kept
// separate so that it can be tested and fuzzed on text. Returns 1 and the
// trimmed value (bounded to size) when found.
int inilookup(const char* text, size_t len, const char* section, const char* key, char* value,
              size_t size);
// The first unreadable line of a settings text, as inisetfile reports it.
int inibadline(const char* text, size_t len, int* count);
// Integer conversion of a value text, as inigetint applies it.
long iniparseint(const char* value, long def);
