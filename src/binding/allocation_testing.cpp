// Entry points for the allocation-failure tests, in builds with
// QX_ALLOCATION_TESTING only (the product exports PyInit_qx_limiter alone).
// The tests call them through ctypes.PyDLL, with the interpreter lock held.
//
// qx_testing_call(n, f, args, kwargs) calls f(*args, **kwargs) with the nth
// allocation from the start of the call made to fail: an engine buffer, a
// block of the interpreter's object or memory heap, or a NumPy array's
// data, whichever comes nth. The interpreter's and NumPy's heaps are wrapped
// once, at the first call, by hooks that pass every request on to the
// allocator they replace.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "engine/core/allocation.hpp"
#include "binding/numpy_api.hpp"

// The interpreter's allocator interface is not part of the stable ABI this
// module is built against; its declarations, as CPython 3.11 and later have
// them, are repeated here for this test build alone.
extern "C" {
struct QxMemAllocatorEx {
  void* ctx;
  void* (*malloc)(void* ctx, std::size_t size);
  void* (*calloc)(void* ctx, std::size_t nelem, std::size_t elsize);
  void* (*realloc)(void* ctx, void* ptr, std::size_t new_size);
  void (*free)(void* ctx, void* ptr);
};
void PyMem_GetAllocator(int domain, QxMemAllocatorEx* allocator);
void PyMem_SetAllocator(int domain, QxMemAllocatorEx* allocator);
}

namespace {

using qx::memory::testing::take_failure;

constexpr int kDomainMem = 1;  // PYMEM_DOMAIN_MEM
constexpr int kDomainObj = 2;  // PYMEM_DOMAIN_OBJ

QxMemAllocatorEx g_previous[3];

void* mem_malloc(void* ctx, std::size_t size) {
  auto* previous = static_cast<QxMemAllocatorEx*>(ctx);
  return take_failure() ? nullptr : previous->malloc(previous->ctx, size);
}
void* mem_calloc(void* ctx, std::size_t nelem, std::size_t elsize) {
  auto* previous = static_cast<QxMemAllocatorEx*>(ctx);
  return take_failure() ? nullptr : previous->calloc(previous->ctx, nelem, elsize);
}
void* mem_realloc(void* ctx, void* ptr, std::size_t size) {
  auto* previous = static_cast<QxMemAllocatorEx*>(ctx);
  return take_failure() ? nullptr : previous->realloc(previous->ctx, ptr, size);
}
void mem_free(void* ctx, void* ptr) {
  auto* previous = static_cast<QxMemAllocatorEx*>(ctx);
  previous->free(previous->ctx, ptr);
}

// NumPy's array data, through a handler in front of the one in place.
PyDataMem_Handler g_numpy_previous;
PyDataMem_Handler g_numpy_hook;

PyDataMemAllocator& numpy_previous() { return g_numpy_previous.allocator; }
void* data_malloc(void*, std::size_t size) {
  return take_failure() ? nullptr : numpy_previous().malloc(numpy_previous().ctx, size);
}
void* data_calloc(void*, std::size_t nelem, std::size_t elsize) {
  return take_failure() ? nullptr : numpy_previous().calloc(numpy_previous().ctx, nelem, elsize);
}
void* data_realloc(void*, void* ptr, std::size_t size) {
  return take_failure() ? nullptr : numpy_previous().realloc(numpy_previous().ctx, ptr, size);
}
void data_free(void*, void* ptr, std::size_t size) {
  numpy_previous().free(numpy_previous().ctx, ptr, size);
}

bool install_hooks() {
  static bool installed = false;
  if (installed) return true;
  if (!qx::py::import_numpy_api()) return false;
  PyObject* current = PyDataMem_GetHandler();
  if (current == nullptr) return false;
  auto* handler = static_cast<PyDataMem_Handler*>(PyCapsule_GetPointer(current, "mem_handler"));
  Py_DECREF(current);
  if (handler == nullptr) return false;
  g_numpy_previous = *handler;
  g_numpy_hook = g_numpy_previous;
  g_numpy_hook.allocator = {nullptr, data_malloc, data_calloc, data_realloc, data_free};
  PyObject* hook = PyCapsule_New(&g_numpy_hook, "mem_handler", nullptr);
  if (hook == nullptr) return false;
  PyObject* old = PyDataMem_SetHandler(hook);
  Py_DECREF(hook);
  if (old == nullptr) return false;
  Py_DECREF(old);

  for (int domain : {kDomainMem, kDomainObj}) {
    PyMem_GetAllocator(domain, &g_previous[domain]);
    QxMemAllocatorEx wrapper{&g_previous[domain], mem_malloc, mem_calloc, mem_realloc, mem_free};
    PyMem_SetAllocator(domain, &wrapper);
  }
  installed = true;
  return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) PyObject* qx_testing_call(std::uint64_t n,
                                                                 PyObject* function, PyObject* args,
                                                                 PyObject* kwargs) {
  if (!install_hooks()) return nullptr;
  qx::memory::testing::fail_after(n);
  PyObject* result = PyObject_Call(function, args, kwargs == Py_None ? nullptr : kwargs);
  qx::memory::testing::disarm();
  return result;
}

// Whether the failure placed by the last qx_testing_call happened.
__attribute__((visibility("default"))) int qx_testing_failed() {
  return qx::memory::testing::failed() ? 1 : 0;
}

// Blocks the engine and the array layer hold now.
__attribute__((visibility("default"))) std::int64_t qx_testing_live_blocks() {
  return qx::memory::testing::live_blocks();
}

}  // extern "C"
