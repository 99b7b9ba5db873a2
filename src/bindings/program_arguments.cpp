#include "bindings/program_arguments.hpp"

#include <string>
#include <utility>

#include "values/dict_map.hpp"

namespace tarnel::bindings {
namespace {

// "a set", "an int": the type's name with its article.
std::string described_type(PyObject* object) {
    std::string name = "object";
    PyObject* type_name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__");
    if (type_name != nullptr) {
        Py_ssize_t size = 0;
        PyObject* encoded = PyUnicode_Check(type_name) ? PyUnicode_AsUTF8String(type_name) : nullptr;
        char* data = nullptr;
        if (encoded != nullptr && PyBytes_AsStringAndSize(encoded, &data, &size) == 0)
            name.assign(data, static_cast<size_t>(size));
        Py_XDECREF(encoded);
        Py_DECREF(type_name);
    }
    PyErr_Clear();
    const bool vowel = !name.empty() && std::string("aeiouAEIOU").find(name[0]) != std::string::npos;
    return (vowel ? "an " : "a ") + name;
}

bool fail(PyObject* type, const std::string& where, const std::string& what) {
    PyErr_SetString(type, (where + ": " + what).c_str());
    return false;
}

// The UTF-8 text of a str; a str with no UTF-8 form (a lone surrogate)
// raises the encoder's UnicodeEncodeError, a ValueError.
bool text_of(PyObject* object, std::string& out) {
    PyObject* encoded = PyUnicode_AsUTF8String(object);
    if (encoded == nullptr) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    const bool ok = PyBytes_AsStringAndSize(encoded, &data, &size) == 0;
    if (ok) out.assign(data, static_cast<size_t>(size));
    Py_DECREF(encoded);
    return ok;
}

bool convert(PyObject* object, const std::string& where, int depth, Value& out);

bool convert_list(PyObject* list, const std::string& where, int depth, Value& out) {
    const Py_ssize_t size = PyList_Size(list);
    std::vector<Value> items;
    items.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size && i < PyList_Size(list); ++i) {
        PyObject* item = PyList_GetItem(list, i);  // borrowed
        Value value;
        if (!convert(item, where + "[" + std::to_string(i) + "]", depth + 1, value)) return false;
        items.push_back(std::move(value));
    }
    out = Value::array(std::move(items));
    return true;
}

bool convert_dict(PyObject* dict, const std::string& where, int depth, Value& out) {
    DictMap map;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(dict, &position, &key, &item)) {
        if (!PyUnicode_Check(key))
            return fail(PyExc_TypeError, where, "dict keys must be str, not " + described_type(key));
        std::string text;
        if (!text_of(key, text)) return false;
        Value value;
        if (!convert(item, where + "['" + text + "']", depth + 1, value)) return false;
        map.set(Value::string(std::move(text)), std::move(value));
    }
    out = Value::dict(std::move(map));
    return true;
}

bool convert(PyObject* object, const std::string& where, int depth, Value& out) {
    if (depth > kMaxArgumentDepth)
        return fail(PyExc_ValueError, where, "nested more than " + std::to_string(kMaxArgumentDepth) + " levels deep");
    if (object == Py_None) {
        out = Value();
        return true;
    }
    if (PyBool_Check(object)) {
        out = Value::boolean(object == Py_True);
        return true;
    }
    if (PyLong_Check(object)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow != 0) return fail(PyExc_ValueError, where, "int does not fit in 64 bits");
        if (number == -1 && PyErr_Occurred()) return false;
        out = Value::integer(number);
        return true;
    }
    if (PyFloat_Check(object)) {
        out = Value::number(PyFloat_AsDouble(object));
        return true;
    }
    if (PyUnicode_Check(object)) {
        std::string text;
        if (!text_of(object, text)) return false;
        out = Value::string(std::move(text));
        return true;
    }
    if (PyList_Check(object)) return convert_list(object, where, depth, out);
    if (PyDict_Check(object)) return convert_dict(object, where, depth, out);
    return fail(PyExc_TypeError, where, "cannot pass " + described_type(object) + " to the program");
}

}  // namespace

bool program_arguments(PyObject* args, std::vector<Value>& out) {
    if (!PyList_Check(args)) {
        PyErr_SetString(PyExc_TypeError, ("args must be a list, not " + described_type(args)).c_str());
        return false;
    }
    const Py_ssize_t count = PyList_Size(args);
    if (count > kMaxProgramArguments) {
        PyErr_SetString(
            PyExc_ValueError,
            ("a program takes at most 16 arguments (r0 to r15), " + std::to_string(count) + " given").c_str());
        return false;
    }
    for (Py_ssize_t i = 0; i < count && i < PyList_Size(args); ++i) {
        Value value;
        if (!convert(PyList_GetItem(args, i), "args[" + std::to_string(i) + "]", 1, value)) return false;
        out.push_back(std::move(value));
    }
    return true;
}

}  // namespace tarnel::bindings
