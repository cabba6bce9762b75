// Traceback entries for failures inside the module: a frame per failing
// routine that names the module's source file, the source line of the
// failing statement and the routine's fully qualified name.
#ifndef FERNLAKE_SUPPORT_TRACEBACK_HPP
#define FERNLAKE_SUPPORT_TRACEBACK_HPP

#include <Python.h>

namespace fernlake::support {

/// A routine that can fail, as its traceback entries name it.
struct Routine {
    const char *name;       // fully qualified function name
    const char *file;       // source file name of its frames
    const char *impl_file;  // shown with implementation positions
};

/// Adds a traceback entry for a failure of `routine` at source line `line`
/// and implementation position `impl_pos` (greater than 0), with the
/// failure's exception still set. The position shows in the entry's name
/// while the switch `cline_in_traceback` of the runtime support module is
/// true; an absent switch is created as False. The exception is passed on
/// unchanged; if the entry cannot be built, the error of that attempt
/// replaces it.
void add_traceback(const Routine &routine, int impl_pos, int line) noexcept;

}  // namespace fernlake::support

#endif
