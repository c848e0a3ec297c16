// The one way this module includes Python.h: always against the stable ABI
// of CPython 3.11, so that one abi3 build imports on every interpreter from
// 3.11 on. The build system defines the same value; defining it here too
// keeps a stray include order from ever seeing the full API.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if Py_LIMITED_API != 0x030B0000
#error "qx_limiter targets the CPython 3.11 stable ABI"
#endif
