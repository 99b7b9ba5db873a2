#include "bindings/arguments.hpp"

#include <string>
#include <vector>

namespace tarnel::bindings {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += (i + 1 == names.size()) ? " and " : ", ";
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

// A new reference to `name` as found by special-method lookup: in the
// dictionaries of the type's MRO, never on the instance or the metatype.
// NULL without an exception when no class defines it.
PyObject* lookup_on_type(PyObject* type, const char* name) {
    PyObject* mro = PyObject_GetAttrString(type, "__mro__");
    if (mro == nullptr) return nullptr;
    PyObject* key = PyUnicode_FromString(name);
    if (key == nullptr) {
        Py_DECREF(mro);
        return nullptr;
    }
    PyObject* found = nullptr;
    PyObject* iterator = PyObject_GetIter(mro);
    if (iterator != nullptr) {
        while (PyObject* base = PyIter_Next(iterator)) {
            PyObject* namespace_ = PyObject_GetAttrString(base, "__dict__");
            Py_DECREF(base);
            if (namespace_ == nullptr) break;
            found = PyObject_GetItem(namespace_, key);
            Py_DECREF(namespace_);
            if (found != nullptr) break;
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) break;
            PyErr_Clear();
        }
        Py_DECREF(iterator);
    }
    Py_DECREF(key);
    Py_DECREF(mro);
    return found;
}

// `descriptor` bound to `instance` through the descriptor protocol: the
// result of type(descriptor).__get__(descriptor, instance, owner), or the
// descriptor itself when its type has no __get__.
PyObject* bind(PyObject* descriptor, PyObject* instance, PyObject* owner) {
    PyObject* getter = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(descriptor)), "__get__");
    if (getter == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        Py_INCREF(descriptor);
        return descriptor;
    }
    PyObject* bound = PyObject_CallFunctionObjArgs(getter, descriptor, instance, owner, nullptr);
    Py_DECREF(getter);
    return bound;
}

// Whether a str attribute of `type` equals one of `choices`. A failing or
// non-str attribute counts as no match.
bool attribute_is_one_of(PyObject* type, const char* attribute, std::initializer_list<const char*> choices) {
    PyObject* value = PyObject_GetAttrString(type, attribute);
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool match = false;
    if (PyUnicode_Check(value))
        for (const char* choice : choices)
            if (PyUnicode_CompareWithASCIIString(value, choice) == 0) match = true;
    Py_DECREF(value);
    return match;
}

bool is_numpy_bool_type(PyObject* type) {
    return attribute_is_one_of(type, "__module__", {"numpy"}) &&
           attribute_is_one_of(type, "__name__", {"bool_", "bool"});
}

// The flag of a numpy boolean, read through its type's __bool__.
int numpy_bool_flag(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyObject* method = lookup_on_type(type, "__bool__");
    if (method == nullptr) {
        if (PyErr_Occurred()) {
            prefix_argument_error("debug");
            return -1;
        }
        PyObject* type_text = PyObject_Str(type);
        if (type_text == nullptr) return -1;
        PyErr_Format(PyExc_TypeError, "argument 'debug': object of type '%U' does not define a '__bool__' conversion",
                     type_text);
        Py_DECREF(type_text);
        return -1;
    }
    PyObject* bound = bind(method, object, type);
    Py_DECREF(method);
    PyObject* result = bound != nullptr ? PyObject_CallObject(bound, nullptr) : nullptr;
    Py_XDECREF(bound);
    if (result == nullptr) {
        prefix_argument_error("debug");
        return -1;
    }
    int flag = -1;
    if (PyBool_Check(result))
        flag = result == Py_True ? 1 : 0;
    else
        raise_cannot_convert("argument 'debug': ", result, "PyBool");
    Py_DECREF(result);
    return flag;
}

}  // namespace

bool parse_arguments(const char* function, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> params,
                     PyObject** out) {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(params.size());
    const char* const* names = params.begin();
    for (Py_ssize_t i = 0; i < expected; ++i) out[i] = nullptr;

    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    if (given > expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", function, expected, given,
                     given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
                return false;
            }
            Py_ssize_t index = 0;
            while (index < expected && PyUnicode_CompareWithASCIIString(key, names[index]) != 0) ++index;
            if (index == expected) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
                return false;
            }
            if (out[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[index]);
                return false;
            }
            out[index] = value;
        }
    }

    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < expected; ++i)
        if (out[i] == nullptr) missing.push_back(names[i]);
    if (!missing.empty()) {
        const std::string listed = quoted_list(missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", function,
                     static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", listed.c_str());
        return false;
    }
    return true;
}

PyObject* type_qualname(PyObject* object) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
    if (name == nullptr || PyUnicode_Check(name)) return name;
    PyObject* text = PyObject_Str(name);
    Py_DECREF(name);
    return text;
}

std::nullptr_t raise_cannot_convert(const char* prefix, PyObject* object, const char* target) {
    PyObject* name = type_qualname(object);
    if (name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "%s'%U' object cannot be converted to '%s'", prefix, name, target);
    Py_DECREF(name);
    return nullptr;
}

// PyErr_Fetch and friends are the only way to take an exception apart under
// the 3.9 stable ABI; newer headers mark them deprecated.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value != nullptr ? PyObject_Str(value) : PyUnicode_FromString("");
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (text == nullptr) return;  // the failure of str() is what the caller sees
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
    Py_DECREF(text);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

PyObject* path_to_utf8(PyObject* path) {
    if (!PyUnicode_Check(path)) return raise_cannot_convert("argument 'path': ", path, "PyString");
    return PyUnicode_AsUTF8String(path);
}

int debug_flag(PyObject* debug) {
    if (PyBool_Check(debug)) return debug == Py_True ? 1 : 0;
    if (is_numpy_bool_type(reinterpret_cast<PyObject*>(Py_TYPE(debug)))) return numpy_bool_flag(debug);
    raise_cannot_convert("argument 'debug': ", debug, "PyBool");
    return -1;
}

}  // namespace tarnel::bindings
