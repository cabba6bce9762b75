// The module as its traceback entries show it: its name, its source file,
// the routine of module execution, and the implementation positions that
// number every failure point.
#ifndef FERNLAKE_PLUGINS_SOURCE_POSITIONS_HPP
#define FERNLAKE_PLUGINS_SOURCE_POSITIONS_HPP

#include "support/traceback.hpp"

#define PARAM_MODULE_NAME "fernlake_data.plugins.param"
// The file that the module's frames name, and the one that implementation
// positions name when the switch shows them.
#define PARAM_SOURCE_FILE "fernlake_data\\plugins\\param"
#define PARAM_IMPL_FILE "fernlake_data/plugins/param"

// An implementation position names one failure point: the number of the
// source file that holds it, times 1000, plus the line of the failing
// statement in that file. Each file that reports failures defines
// PARAM_SOURCE_ID before it includes this header and ends with
// PARAM_SOURCE_END, which keeps its lines below 1000 so that positions of
// different files never meet.
#define IMPL_POS (PARAM_SOURCE_ID * 1000 + __LINE__)
#define PARAM_SOURCE_END \
    static_assert(__LINE__ < 1000, "positions of this file would overlap")

namespace fernlake {

/// A routine of the module as its traceback entries name it.
constexpr support::Routine
param_routine(const char *name) noexcept
{
    return support::Routine{name, PARAM_SOURCE_FILE, PARAM_IMPL_FILE};
}

inline constexpr support::Routine routine_init_module =
    param_routine("init " PARAM_MODULE_NAME);

}  // namespace fernlake

#endif
