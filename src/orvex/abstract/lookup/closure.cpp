// The closure record: the two variables (func, instance) that one __get__
// call shares with its dispatch wrapper. The wrapper keeps them itself until
// its __self__ is read, which makes the record and moves them there.
// Cycle-collected; clearing sets both fields to None, so a wrapper that
// outlives a collected cycle still finds objects (and not freed memory) in
// them.
#include <utility>

#include "lookup_decorator.hpp"

namespace orvex::abstract {

PyTypeObject closure_record_type = {PyVarObject_HEAD_INIT(nullptr, 0)};  // see function_type

namespace {

ClosureRecord* as_record(PyObject* self) noexcept { return reinterpret_cast<ClosureRecord*>(self); }

int closure_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_record(self)->func);
    Py_VISIT(as_record(self)->instance);
    return 0;
}

int closure_clear(PyObject* self) noexcept {
    set_field(as_record(self)->func, Ref::borrow(Py_None));
    set_field(as_record(self)->instance, Ref::borrow(Py_None));
    return 0;
}

void closure_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_record(self)->func);
    Py_CLEAR(as_record(self)->instance);
    PyObject_GC_Del(self);
}

}  // namespace

int closure_record_type_ready() noexcept {
    PyTypeObject& t = closure_record_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    t.tp_name = "orvex.abstract.decorator.closure_record";
    t.tp_basicsize = sizeof(ClosureRecord);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_dealloc = closure_dealloc;
    t.tp_traverse = closure_traverse;
    t.tp_clear = closure_clear;
    t.tp_getattro = PyObject_GenericGetAttr;
    return PyType_Ready(&t);
}

PyObject* closure_record_of(PyObject*& func, PyObject*& instance) noexcept {
    auto* record = reinterpret_cast<ClosureRecord*>(closure_record_new());
    if (!record) return nullptr;
    // Moved, not copied: no reference is released, no code runs.
    std::swap(record->func, func);
    std::swap(record->instance, instance);
    return reinterpret_cast<PyObject*>(record);
}

PyObject* closure_record_new() noexcept {
    ClosureRecord* record = PyObject_GC_New(ClosureRecord, &closure_record_type);
    if (!record) return nullptr;
    record->func = nullptr;
    record->instance = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(record));
    return reinterpret_cast<PyObject*>(record);
}

}  // namespace orvex::abstract
