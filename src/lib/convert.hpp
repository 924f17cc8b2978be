// Conversions between Python objects and the core's values. Every extract()
// sets a Python exception and returns false on failure; every to_py() returns
// a new reference or null with an exception set.
#pragma once

#include "lib/args.hpp"
#include "lib/classes.hpp"
#include "types/records.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tovik::py {

// ---- Python -> core -------------------------------------------------------

// The view borrows the caller's str: only for objects held for the whole call.
inline bool extract(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        set_conversion_error(o, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

inline bool extract(PyObject* o, std::string& out) {
    std::string_view v;
    if (!extract(o, v)) return false;
    out.assign(v);
    return true;
}

template <typename T>
bool extract(PyObject* o, std::optional<T>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    T v;
    if (!extract(o, v)) return false;
    out = std::move(v);
    return true;
}

template <typename T>
bool extract(PyObject* o, std::vector<T>& out);
template <typename V, typename H, typename E>
bool extract(PyObject* o, std::unordered_map<std::string, V, H, E>& out);
template <typename V>
bool extract(PyObject* o, util::OrderedMap<V>& out);
template <typename T, typename = std::enable_if_t<has_class_v<T>>>
bool extract(PyObject* o, T& out);
template <typename T>
bool extract(PyObject* o, const T*& out);

template <typename S>
bool extract_pair(PyObject* o, S& first, S& second) {
    if (!PyTuple_Check(o)) {
        set_conversion_error(o, "PyTuple");
        return false;
    }
    if (PyTuple_GET_SIZE(o) != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                     PyTuple_GET_SIZE(o));
        return false;
    }
    // The tuple holds its items for as long as it lives.
    return extract(PyTuple_GET_ITEM(o, 0), first) && extract(PyTuple_GET_ITEM(o, 1), second);
}

inline bool extract(PyObject* o, StrPair& out) { return extract_pair(o, out.first, out.second); }

// Calls each(item) for the items of a list argument, in order, with a capacity
// hint first; false with an exception set on the first failure.
template <typename Reserve, typename Each>
bool for_each_item(PyObject* o, Reserve&& reserve, Each&& each) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    // The interpreter's own test; it runs no Python code, so it cannot fail.
    if (!PySequence_Check(o)) {
        set_conversion_error(o, "Sequence");
        return false;
    }
    // A length from Python code is a hint, and may be anything up to sys.maxsize:
    // only a list's or tuple's own size is trusted for the whole reservation.
    // Any error but TypeError from asking propagates, interrupts included.
    const Py_ssize_t hint = PyObject_LengthHint(o, 0);
    if (hint < 0) return false;
    constexpr Py_ssize_t kUntrustedReserve = 1024;
    reserve(static_cast<std::size_t>(PyList_CheckExact(o) || PyTuple_CheckExact(o)
                                         ? hint
                                         : std::min(hint, kUntrustedReserve)));
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    while (Ref item{PyIter_Next(it.get())}) {
        if (!each(std::move(item))) return false;
    }
    return !PyErr_Occurred();
}

template <typename T>
bool extract(PyObject* o, std::vector<T>& out) {
    static_assert(!std::is_pointer_v<T> && !std::is_same_v<T, NamedText>,
                  "items that borrow from Python objects go in a HeldList");
    return for_each_item(
        o, [&](std::size_t n) { out.reserve(n); },
        [&](Ref item) {
            T value;
            if (!extract(item.get(), value)) return false;
            out.push_back(std::move(value));
            return true;
        });
}

// Items that borrow from their Python objects: (name, text) views into the
// caller's strings, or records read in place. Each item is held for the call,
// since a sequence may build its items afresh on every access.
template <typename T>
struct HeldList {
    std::vector<T> items;
    std::vector<Ref> held;
};

inline bool extract(PyObject* o, NamedText& out) {
    return extract_pair(o, out.name, out.raw_sql);
}

template <typename T>
bool extract(PyObject* o, HeldList<T>& out) {
    return for_each_item(
        o,
        [&](std::size_t n) {
            out.items.reserve(n);
            out.held.reserve(n);
        },
        [&](Ref item) {
            T value{};
            if (!extract(item.get(), value)) return false;
            out.items.push_back(value);
            out.held.push_back(std::move(item));
            return true;
        });
}

// Calls each(key, value) for the entries of a dict argument, with its size
// first; false with an exception set on the first failure. Each entry is held
// while each() runs: a value's conversion may run Python code that changes the
// dict.
template <typename Reserve, typename Each>
bool for_each_entry(PyObject* o, Reserve&& reserve, Each&& each) {
    if (!PyDict_Check(o)) {
        set_conversion_error(o, "PyDict");
        return false;
    }
    reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(o, &pos, &k, &v)) {
        if (!each(Ref::borrow(k), Ref::borrow(v))) return false;
    }
    return true;
}

// Into a map of either kind; an ordered one keeps the dict's order.
template <typename Map>
bool extract_map(PyObject* o, Map& out) {
    return for_each_entry(
        o, [&](std::size_t n) { out.reserve(n); },
        [&](Ref key, Ref value) {
            std::string ks;
            typename Map::mapped_type vs;
            if (!extract(key.get(), ks) || !extract(value.get(), vs)) return false;
            out.insert_or_assign(std::move(ks), std::move(vs));
            return true;
        });
}

template <typename V, typename H, typename E>
bool extract(PyObject* o, std::unordered_map<std::string, V, H, E>& out) {
    return extract_map(o, out);
}

template <typename V>
bool extract(PyObject* o, util::OrderedMap<V>& out) {
    return extract_map(o, out);
}

// Declared sources read in place: the names view the caller's str keys and the
// infos are its SourceInfo records, each held for the call.
struct HeldSources {
    SourceMap map;
    std::vector<Ref> held;
};

inline bool extract(PyObject* o, HeldSources& out) {
    return for_each_entry(
        o,
        [&](std::size_t n) {
            out.map.reserve(n);
            out.held.reserve(2 * n);
        },
        [&](Ref key, Ref value) {
            std::string_view name;
            const SourceInfo* info = nullptr;
            if (!extract(key.get(), name) || !extract(value.get(), info)) return false;
            out.map.insert_or_assign(name, info);
            out.held.push_back(std::move(key));
            out.held.push_back(std::move(value));
            return true;
        });
}

// Instances of the record classes, read in place for the call.
template <typename T>
bool extract(PyObject* o, const T*& out) {
    if (!is_instance<T>(o)) {
        set_conversion_error(o, class_name<T>());
        return false;
    }
    if (!has_record(o)) return false;
    out = &record<T>(o);
    return true;
}

// Instances of the record classes, copied.
template <typename T, typename>
bool extract(PyObject* o, T& out) {
    const T* in_place = nullptr;
    if (!extract(o, in_place)) return false;
    out = *in_place;
    return true;
}

// Converts the bound arguments in declared order; the first failure names its
// parameter. Parameters not given keep the value they were initialised with.
template <typename... T>
bool convert(const Params& p, const Bound& b, T&... outs) {
    std::size_t i = 0;
    auto one = [&](auto& out) {
        const std::size_t idx = i++;
        if (!b[idx]) return true;
        if (extract(b[idx].get(), out)) return true;
        name_argument_error(p.names[idx]);
        return false;
    };
    return (one(outs) && ...);
}

// ---- core -> Python -------------------------------------------------------

inline PyObject* to_py(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_py(const std::string& s) { return to_py(std::string_view(s)); }
inline PyObject* to_py(bool b) { return PyBool_FromLong(b ? 1 : 0); }
inline PyObject* to_py(std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

inline PyObject* to_py(const StrPair& p) {
    Ref a(to_py(p.first));
    if (!a) return nullptr;
    Ref b(to_py(p.second));
    if (!b) return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}

inline PyObject* to_py(const StrMap& m) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [k, v] : m) {
        Ref key(to_py(k));
        if (!key) return nullptr;
        Ref value(to_py(v));
        if (!value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return d.release();
}

template <typename T>
PyObject* to_py(const std::optional<T>& o) {
    if (!o) Py_RETURN_NONE;
    return to_py(*o);
}

template <typename T>
PyObject* to_py(const std::vector<T>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = to_py(v[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// Records handed back to Python move into new instances.
template <typename T, typename = std::enable_if_t<has_class_v<T>>>
PyObject* to_py(T&& rec) {
    return wrap<T>(std::move(rec));
}

template <typename T, typename = std::enable_if_t<has_class_v<T>>>
PyObject* to_py(std::vector<T>&& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = wrap<T>(std::move(v[i]));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace tovik::py
