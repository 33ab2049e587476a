// Who the server runs as. Started as root, it binds its port and then goes on
// as an ordinary user, for good: no capabilities, no way back to root.
#pragma once
#include <cstddef>

namespace plat {

struct RunAs {
  char user[64];
  char group[64];
  long uid;
  long gid;
};

// Outcomes of runasuser().
constexpr int kRunAsNone = 0;     // nothing to switch (not started as root, or named root)
constexpr int kRunAsUser = 1;     // started as root: switch to `out` after binding
constexpr int kRunAsUnknown = 2;  // the named user does not exist
constexpr int kRunAsRoot = 3;     // started as root, no user named and no `fallback` user

// Looks up a user by name; fills `out` (its primary group too). Returns 1
// when the user exists.
int lookupuser(const char* name, RunAs* out);
// Decides who to run as: `named` when given (it must exist), else `fallback`
// when that user exists.
int runasuser(const char* named, const char* fallback, RunAs* out);
// From now on no program this process starts can gain privileges; inherited
// by threads started afterwards.
void nonewprivileges();
// Hands a file created while still root to the user (a regular file of its
// own only, never following a link). Returns 1 when done or not there.
int giveto(const char* path, const RunAs& u);
// Switches every thread of the process to the user and its groups, then
// makes sure that root cannot be regained and no capability is left.
// Returns 1 on success; 0 with the last error set (error.h).
int switchuser(const RunAs& u);
// 1 when the process as it runs now can create files in the directory.
int dirwritable(const char* path);
// 1 when the process runs as root (and could switch users).
int isroot();
// Fills `out` with the user the process runs as now (the uid as its name
// when it has none). Returns 1 when it has a name.
int currentuser(RunAs* out);
// 1 when the user `u` could create files in the directory, asked as that
// user in a short-lived child process. REQUIRES: isroot().
int dirwritableas(const char* path, const RunAs& u);
// Creates the directory (mode 0750) and gives it to the user and its group.
// Returns 1 when made; 0 with the last error set (error.h).
int makedirfor(const char* path, const RunAs& u);

}  // namespace plat
