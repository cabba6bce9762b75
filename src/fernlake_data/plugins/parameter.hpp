// The class Parameter as module execution made it, and its operation
// slots for item access, item assignment and construction, which reach the
// method bodies directly.
#ifndef FERNLAKE_PLUGINS_PARAMETER_HPP
#define FERNLAKE_PLUGINS_PARAMETER_HPP

#include <Python.h>

namespace fernlake {

/// The class, held for the life of the process once execution made it;
/// null before.
extern PyTypeObject *parameter_class;

/// The function object of read_param that the class held when it was
/// made, held as long as `parameter_class`.
extern PyObject *read_param_function;

/// Takes over the class just made from its namespace (borrowed): holds it
/// and its read_param, and gives it operation slots of its own for item
/// access, item assignment and construction. The interpreter puts its
/// generic slot back as soon as the method of that name is reassigned on
/// the class, and a subclass gets the generic slots, so these run only
/// while the class attribute is the module's own function.
void adopt_class(PyObject *cls) noexcept;

}  // namespace fernlake

#endif
