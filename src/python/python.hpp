#pragma once
// The one place Python.h is included: always through the stable ABI of 3.8.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03080000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
