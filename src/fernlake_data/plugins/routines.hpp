// The module's failing routines as traceback entries name them, and the
// implementation positions of their failure points.
#ifndef FERNLAKE_PLUGINS_ROUTINES_HPP
#define FERNLAKE_PLUGINS_ROUTINES_HPP

#include "support/traceback.hpp"

namespace fernlake {

#define PARAM_SOURCE_FILE "fernlake_data\\plugins\\param"
#define PARAM_IMPL_FILE "fernlake_data/plugins/param"

inline constexpr support::Routine routine_init_module{
    "init fernlake_data.plugins.param", PARAM_SOURCE_FILE, PARAM_IMPL_FILE};
inline constexpr support::Routine routine___init__{
    "fernlake_data.plugins.param.Parameter.__init__", PARAM_SOURCE_FILE,
    PARAM_IMPL_FILE};
inline constexpr support::Routine routine___getitem__{
    "fernlake_data.plugins.param.Parameter.__getitem__", PARAM_SOURCE_FILE,
    PARAM_IMPL_FILE};
inline constexpr support::Routine routine___setitem__{
    "fernlake_data.plugins.param.Parameter.__setitem__", PARAM_SOURCE_FILE,
    PARAM_IMPL_FILE};
inline constexpr support::Routine routine_read_param{
    "fernlake_data.plugins.param.Parameter.read_param", PARAM_SOURCE_FILE,
    PARAM_IMPL_FILE};

// An implementation position names one failure point: the number of the
// source file that holds it, times 1000, plus the line of the failing
// statement in that file. Each file that reports failures defines
// PARAM_SOURCE_ID before it includes this header and ends with
// PARAM_SOURCE_END, which keeps its lines below 1000 so that positions of
// different files never meet.
#define IMPL_POS (PARAM_SOURCE_ID * 1000 + __LINE__)
#define PARAM_SOURCE_END \
    static_assert(__LINE__ < 1000, "positions of this file would overlap")

/// Adds the traceback entry of a failed binding, numbered `failure` as the
/// binding numbers it, at `positions[failure - 1]` and the line of the
/// method's definition. Returns null.
inline PyObject *
binding_failed(const support::Routine &routine, const int *positions,
               int failure, int line) noexcept
{
    support::add_traceback(routine, positions[failure - 1], line);
    return NULL;
}

}  // namespace fernlake

#endif
