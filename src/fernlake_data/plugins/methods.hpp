// The method records of the class Parameter: name, binding entry, call
// flags. Module execution makes one function object from each.
#ifndef FERNLAKE_PLUGINS_METHODS_HPP
#define FERNLAKE_PLUGINS_METHODS_HPP

#include <Python.h>

namespace fernlake {

extern PyMethodDef method___init__;
extern PyMethodDef method___getitem__;
extern PyMethodDef method___setitem__;
extern PyMethodDef method_read_param;

}  // namespace fernlake

#endif
