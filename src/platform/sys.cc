// The parts of sys.h that are the same on every system.
#include "platform/sys.h"

namespace plat {

namespace {
const char* program_name = "";
}  // namespace

void setprogramname(const char* name) { program_name = name != nullptr ? name : ""; }

const char* programname() { return program_name; }

}  // namespace plat
