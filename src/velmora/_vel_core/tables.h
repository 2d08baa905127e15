// Inside the companion library only: the contents of the interning tables,
// for the Python-visible module that lets tools and tests list them.
#ifndef VEL_CORE_TABLES_H
#define VEL_CORE_TABLES_H

#include <Python.h>

enum class VelTable { header_names, methods, content_types };

PyObject *vel_core_table_entries(VelTable table);

#endif
