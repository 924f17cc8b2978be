#include "lib/classes.hpp"

#include "compiler/macro_parser.hpp"
#include "dag/builder.hpp"
#include "lib/convert.hpp"
#include "lib/trap.hpp"

#include <functional>
#include <string>
#include <vector>

namespace tovik::py {

using compiler::macro_parser::MacroCall;

namespace {

template <typename C, typename F>
C class_of(F C::*);

// Member is a field, or an accessor of a field kept in another form.
template <auto Member>
PyObject* getter(PyObject* self, void*) {
    using C = decltype(class_of(Member));
    if (!has_record(self)) return nullptr;
    return to_py(std::invoke(Member, record<C>(self)));
}

template <auto Member>
constexpr PyGetSetDef field(const char* name) {
    return PyGetSetDef{name, &getter<Member>, nullptr, nullptr, nullptr};
}

// A field of the facts that record class T shares.
template <typename T, auto Member>
PyObject* fact_getter(PyObject* self, void*) {
    if (!has_record(self)) return nullptr;
    return to_py(std::invoke(Member, record<T>(self).facts()));
}

template <typename T, auto Member>
constexpr PyGetSetDef fact(const char* name) {
    return PyGetSetDef{name, &fact_getter<T, Member>, nullptr, nullptr, nullptr};
}

template <typename T>
void dealloc(PyObject* self) {
    if (void* rec = reinterpret_cast<Instance*>(self)->rec) static_cast<T*>(rec)->~T();
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

template <typename T>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", class_name<T>());
    return nullptr;
}

PyObject* new_source_info(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return trap([&]() -> PyObject* {
        static const Params p{"SourceInfo.__new__()", {"database", "schema"}, 2, 2};
        Bound b;
        SourceInfo rec;
        if (!bind(p, args, kwargs, b) || !convert(p, b, rec.database, rec.schema)) return nullptr;
        return wrap(std::move(rec));
    });
}

PyObject* new_parsed_model(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return trap([&]() -> PyObject* {
        static const Params p{"ParsedModel.__new__()",
                              {"name", "refs", "sources", "tags", "materialization"},
                              5,
                              3};
        Bound b;
        ParsedModel rec;
        if (!bind(p, args, kwargs, b)) return nullptr;
        // An explicit None for tags is refused; only omission means "no tags".
        if (!convert(p, b, rec.name, rec.refs, rec.sources, rec.tags, rec.materialization))
            return nullptr;
        return wrap(std::move(rec));
    });
}

PyObject* new_ephemeral_model(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return trap([&]() -> PyObject* {
        static const Params p{"EphemeralModel.__new__()", {"name", "compiled_body", "deps"}, 3, 3};
        Bound b;
        EphemeralModel rec;
        if (!bind(p, args, kwargs, b) || !convert(p, b, rec.name, rec.compiled_body, rec.deps))
            return nullptr;
        return wrap(std::move(rec));
    });
}

// The type's documentation text: name, signature and docstring when the class
// has a signature, the docstring alone otherwise, nothing when it is empty.
const char* doc_text(const char* name, const char* signature, const char* doc) {
    if (doc == nullptr || *doc == '\0') return nullptr;
    if (signature == nullptr) return doc;
    // Built once per class for the life of the process.
    auto* text = new std::string(std::string(name) + signature + "\n--\n\n" + doc);
    return text->c_str();
}

template <typename T>
PyTypeObject* make_type(const char* signature, const char* doc, PyGetSetDef* getset,
                        newfunc ctor) {
    PyTypeObject*& slot = ClassSlot<T>::type;
    if (slot != nullptr) return slot;
    static const std::string full_name = std::string("builtins.") + class_name<T>();
    const char* text = doc_text(class_name<T>(), signature, doc);
    std::vector<PyType_Slot> slots;
    if (text != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(text)});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(ctor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)});
    if (getset != nullptr) slots.push_back({Py_tp_getset, getset});
    slots.push_back({0, nullptr});
    PyType_Spec spec{full_name.c_str(), static_cast<int>(sizeof(Object<T>)), 0,
                     Py_TPFLAGS_DEFAULT, slots.data()};
    slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return slot;
}

PyGetSetDef parsed_sql_fields[] = {
    field<&ParsedSQL::refs>("refs"),
    field<&ParsedSQL::sources>("sources"),
    field<&ParsedSQL::variables>("variables"),
    field<&ParsedSQL::body>("body"),
    field<&ParsedSQL::front_matter>("front_matter"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef compiled_model_fields[] = {
    fact<CompiledModel, &ModelFacts::name>("name"),
    field<&CompiledModel::compiled_sql>("compiled_sql"),
    field<&CompiledModel::ddl>("ddl"),
    fact<CompiledModel, &ModelFacts::target>("target"),
    fact<CompiledModel, &ModelFacts::materialization>("materialization"),
    fact<CompiledModel, &ModelFacts::refs>("refs"),
    fact<CompiledModel, &ModelFacts::sources>("sources"),
    fact<CompiledModel, &ModelFacts::description>("description"),
    fact<CompiledModel, &ModelFacts::tags>("tags"),
    fact<CompiledModel, &ModelFacts::enabled>("enabled"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef resolved_model_fields[] = {
    fact<ResolvedModel, &ModelFacts::name>("name"),
    field<&ResolvedModel::resolved_sql>("resolved_sql"),
    fact<ResolvedModel, &ModelFacts::target>("target"),
    fact<ResolvedModel, &ModelFacts::materialization>("materialization"),
    fact<ResolvedModel, &ModelFacts::refs>("refs"),
    fact<ResolvedModel, &ModelFacts::sources>("sources"),
    field<&ResolvedModel::macros>("macros"),
    fact<ResolvedModel, &ModelFacts::description>("description"),
    fact<ResolvedModel, &ModelFacts::tags>("tags"),
    fact<ResolvedModel, &ModelFacts::enabled>("enabled"),
    field<&ResolvedModel::unique_key>("unique_key"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef macro_call_fields[] = {
    field<&MacroCall::name>("name"),
    field<&MacroCall::args>("args"),
    field<&MacroCall::start>("start"),
    field<&MacroCall::end>("end"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef source_info_fields[] = {
    field<&SourceInfo::database>("database"),
    field<&SourceInfo::schema>("schema"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef parsed_model_fields[] = {
    field<&ParsedModel::name>("name"),
    field<&ParsedModel::refs>("refs"),
    field<&ParsedModel::sources>("sources"),
    field<&ParsedModel::tags>("tags"),
    field<&ParsedModel::materialization>("materialization"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef ephemeral_model_fields[] = {
    field<&EphemeralModel::name>("name"),
    field<&EphemeralModel::compiled_body>("compiled_body"),
    field<&EphemeralModel::deps>("deps"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef validation_error_fields[] = {
    field<&ValidationError::model>("model"),
    field<&ValidationError::error_type>("error_type"),
    field<&ValidationError::message>("message"),
    field<&ValidationError::suggestion>("suggestion"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* parsed_sql_type() {
    return make_type<ParsedSQL>(nullptr, "Result of parsing a raw SQL file", parsed_sql_fields,
                                &no_constructor<ParsedSQL>);
}
PyTypeObject* compiled_model_type() {
    return make_type<CompiledModel>(nullptr,
                                    "Compiled model, ready to be executed by a Python engine",
                                    compiled_model_fields, &no_constructor<CompiledModel>);
}
PyTypeObject* resolved_model_type() {
    return make_type<ResolvedModel>(
        nullptr, "Resolved model \xE2\x80\x94 after ref/var/source resolution, before DDL wrapping",
        resolved_model_fields, &no_constructor<ResolvedModel>);
}
PyTypeObject* macro_call_type() {
    return make_type<MacroCall>(nullptr, "A macro call found in SQL text", macro_call_fields,
                                &no_constructor<MacroCall>);
}
PyTypeObject* source_info_type() {
    return make_type<SourceInfo>("(database, schema)",
                                 "Source info, passed by Python after config resolution",
                                 source_info_fields, &new_source_info);
}
PyTypeObject* parsed_model_type() {
    return make_type<ParsedModel>(
        "(name, refs, sources, tags=..., materialization=None)",
        "Input for building the DAG \xE2\x80\x94 a minimal parsed model", parsed_model_fields,
        &new_parsed_model);
}
PyTypeObject* ephemeral_model_type() {
    return make_type<EphemeralModel>(
        "(name, compiled_body, deps)",
        "Info about an ephemeral model, passed to compile_model for CTE injection",
        ephemeral_model_fields, &new_ephemeral_model);
}
PyTypeObject* dag_handle_type() {
    return make_type<dag::Dag>(nullptr,
                               "Opaque handle to the internal DAG, whose graph the extension "
                               "holds.",
                               nullptr, &no_constructor<dag::Dag>);
}
PyTypeObject* validation_error_type() {
    return make_type<ValidationError>(nullptr, "", validation_error_fields,
                                      &no_constructor<ValidationError>);
}

const ClassEntry kClasses[] = {
    {"ParsedSQL", &parsed_sql_type},
    {"CompiledModel", &compiled_model_type},
    {"ResolvedModel", &resolved_model_type},
    {"MacroCall", &macro_call_type},
    {"SourceInfo", &source_info_type},
    {"ParsedModel", &parsed_model_type},
    {"EphemeralModel", &ephemeral_model_type},
    {"DagHandle", &dag_handle_type},
    {"ValidationError", &validation_error_type},
};

}  // namespace

bool has_record(PyObject* o) {
    if (reinterpret_cast<Instance*>(o)->rec != nullptr) return true;
    Ref qualname(PyType_GetQualName(Py_TYPE(o)));
    if (qualname)
        PyErr_Format(PyExc_TypeError, "'%U' object was not initialised by tovik._core",
                     qualname.get());
    return false;
}

const ClassEntry* class_table(std::size_t& count) {
    count = sizeof kClasses / sizeof kClasses[0];
    return kClasses;
}

}  // namespace tovik::py
