// The nine Python record classes: a plain record behind a read-only Python face.
#pragma once

#include "lib/pyref.hpp"
#include "types/records.hpp"

#include <new>
#include <type_traits>
#include <utility>

namespace tovik::compiler::macro_parser {
struct MacroCall;
}
namespace tovik::dag {
struct Dag;
}

namespace tovik::py {

struct Instance {
    PyObject_HEAD
    // The record of this instance, null in one that no constructor of the
    // module filled (object.__new__, or a replaced __new__).
    void* rec;
};

// The record lives in the same block as the object: one allocation per instance.
template <typename T>
struct Object {
    Instance head;
    alignas(T) unsigned char storage[sizeof(T)];
};

template <typename T>
struct ClassSlot {
    static inline PyTypeObject* type = nullptr;
};

template <typename T>
inline constexpr bool has_class_v =
    std::is_same_v<T, SourceInfo> || std::is_same_v<T, ParsedModel> ||
    std::is_same_v<T, EphemeralModel> || std::is_same_v<T, ParsedSQL> ||
    std::is_same_v<T, ResolvedModel> || std::is_same_v<T, CompiledModel> ||
    std::is_same_v<T, ValidationError> ||
    std::is_same_v<T, compiler::macro_parser::MacroCall> || std::is_same_v<T, dag::Dag>;

template <typename T>
constexpr const char* class_name() {
    if constexpr (std::is_same_v<T, ParsedSQL>) return "ParsedSQL";
    else if constexpr (std::is_same_v<T, CompiledModel>) return "CompiledModel";
    else if constexpr (std::is_same_v<T, ResolvedModel>) return "ResolvedModel";
    else if constexpr (std::is_same_v<T, compiler::macro_parser::MacroCall>) return "MacroCall";
    else if constexpr (std::is_same_v<T, SourceInfo>) return "SourceInfo";
    else if constexpr (std::is_same_v<T, ParsedModel>) return "ParsedModel";
    else if constexpr (std::is_same_v<T, EphemeralModel>) return "EphemeralModel";
    else if constexpr (std::is_same_v<T, dag::Dag>) return "DagHandle";
    else return "ValidationError";
}

template <typename T>
bool is_instance(PyObject* o) {
    return Py_TYPE(o) == ClassSlot<T>::type;
}

// False, with a TypeError set, for an instance that holds no record: one made by
// object.__new__ or a replaced __new__ rather than by this module.
bool has_record(PyObject* o);

template <typename T>
T& record(PyObject* o) {
    return *static_cast<T*>(reinterpret_cast<Instance*>(o)->rec);
}

// A new instance whose record make() builds in place, without running a
// constructor of the class. Should make() throw, the empty instance is dropped.
template <typename F>
PyObject* emplace(F&& make) {
    using R = std::decay_t<decltype(make())>;
    // The classes take no subclasses and no cyclic collection, so the block
    // needs none of tp_alloc's set-up; and the record is written whole, so it
    // is not zeroed first.
    auto* obj = static_cast<Object<R>*>(PyObject_Malloc(sizeof(Object<R>)));
    if (obj == nullptr) return PyErr_NoMemory();
    PyObject* o = PyObject_Init(reinterpret_cast<PyObject*>(obj), ClassSlot<R>::type);
    obj->head.rec = nullptr;
    Ref owner(o);
    obj->head.rec = new (obj->storage) R(make());
    return owner.release();
}

// Moves a record into a new instance.
template <typename T>
PyObject* wrap(T&& rec) {
    static_assert(std::is_nothrow_move_constructible_v<std::decay_t<T>>);
    return emplace([&]() -> std::decay_t<T> { return std::forward<T>(rec); });
}

// Creates the class objects on first use; the module adds them in this order.
struct ClassEntry {
    const char* name;
    PyTypeObject* (*get)();
};
const ClassEntry* class_table(std::size_t& count);

}  // namespace tovik::py
