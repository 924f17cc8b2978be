// The nine Python record classes: a plain record behind a read-only Python face.
#pragma once

#include "lib/pyref.hpp"
#include "types/records.hpp"

#include <memory>
#include <type_traits>
#include <utility>

namespace tovik::compiler::macro_parser {
struct MacroCall;
}
namespace tovik::dag {
struct Dag;
}

namespace tovik::py {

// Every instance owns exactly one record on the heap.
struct Instance {
    PyObject_HEAD
    void* rec;
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

// Moves a record into a new instance without running a constructor.
template <typename T>
PyObject* wrap(T&& rec) {
    auto owned = std::make_unique<std::decay_t<T>>(std::forward<T>(rec));
    PyTypeObject* tp = ClassSlot<std::decay_t<T>>::type;
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o == nullptr) return nullptr;
    reinterpret_cast<Instance*>(o)->rec = owned.release();
    return o;
}

// Creates the class objects on first use; the module adds them in this order.
struct ClassEntry {
    const char* name;
    PyTypeObject* (*get)();
};
const ClassEntry* class_table(std::size_t& count);

}  // namespace tovik::py
