// Classic single-character option scanner. Options start with '-' or '/';
// several may share one word ("-Cv 9"); "--" ends the options. A few
// "--name" words stand for a letter of their own (--version for -V).
#pragma once

// Kept in a namespace of its own: the C library declares the same names.
namespace opt {

extern const char* optarg;
extern int optind;
extern int opterr;
extern int optopt;

// A "--name" word and the option letter it stands for (one without argument).
struct LongName {
  const char* name;
  char letter;
};

// Returns the next option letter, '?' for an unknown option or a missing
// argument (with a message on standard error while opterr is set), or -1.
// `longnames`, ended by a null name, may be null.
int getopt(int argc, char* const* argv, const char* optstring,
           const LongName* longnames = nullptr);
// Restarts scanning (for tests and repeated servermain calls).
void getoptreset();

}  // namespace opt
