// Classic single-character option scanner. Options start with '-' or '/';
// several may share one word ("-Cv 9"); "--" ends the options.
#pragma once

// Kept in a namespace of its own: the C library declares the same names.
namespace opt {

extern const char* optarg;
extern int optind;
extern int opterr;
extern int optopt;

// Returns the next option letter, '?' for an unknown option or a missing
// argument (with a message on standard error while opterr is set), or -1.
int getopt(int argc, char* const* argv, const char* optstring);
// Restarts scanning (for tests and repeated servermain calls).
void getoptreset();

}  // namespace opt
