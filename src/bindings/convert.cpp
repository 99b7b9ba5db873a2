#include "bindings/convert.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "bindings/fault.hpp"
#include "values/dict_map.hpp"
#include "values/rendered_length.hpp"
#include "vm/limits.hpp"

namespace tarnel::bindings {

namespace {

PyObject* text_object(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_reference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

// The host object of a value that holds no other values.
PyObject* scalar_object(const Value& value) {
    switch (value.type()) {
        case ValueType::Bool:
            return new_reference(value.as_bool() ? Py_True : Py_False);
        case ValueType::Int:
            return PyLong_FromLongLong(value.as_int());
        case ValueType::Float:
            return PyFloat_FromDouble(value.as_float());
        case ValueType::String:
        case ValueType::URL:
            return text_object(value.text());
        case ValueType::Function: {
            std::string text = "function<";
            text += value.function_ref().name;
            text += '>';
            return text_object(text);
        }
        default:
            return new_reference(Py_None);
    }
}

// One container whose host object is being built.
struct Frame {
    const Value* value;
    size_t next;        // array: next element; dict: current slot
    size_t base;        // finished objects of this frame start at results[base]
    PyObject* dict;     // dict under construction (NULL for arrays)
    bool awaiting;      // dict: the value of slot `next` is being converted
};

class Converter {
public:
    ~Converter() {
        for (PyObject* object : results_) Py_XDECREF(object);
        for (const Frame& frame : frames_) Py_XDECREF(frame.dict);
    }

    PyObject* run(const Value& root) {
        if (!start(root)) return nullptr;
        while (!frames_.empty()) {
            if (!step()) return nullptr;
        }
        PyObject* result = results_.back();
        results_.pop_back();
        return result;
    }

private:
    // Begins the conversion of `value`: a scalar lands in results_ at once, a
    // container opens a frame.
    bool start(const Value& value) {
        if (value.is(ValueType::Array)) {
            frames_.push_back({&value, 0, results_.size(), nullptr, false});
            return true;
        }
        if (value.is(ValueType::Dict)) {
            PyObject* dict = PyDict_New();
            if (dict == nullptr) return false;
            frames_.push_back({&value, 0, results_.size(), dict, false});
            return true;
        }
        PyObject* object = scalar_object(value);
        if (object == nullptr) return false;
        results_.push_back(object);
        return true;
    }

    bool step() {
        Frame& frame = frames_.back();
        return frame.dict == nullptr ? step_array(frame) : step_dict(frame);
    }

    bool step_array(Frame& frame) {
        const std::vector<Value>& items = frame.value->items();
        if (frame.next < items.size()) return start(items[frame.next++]);
        // Every element is converted: hand them to a list of the same length.
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
        if (list == nullptr) return false;
        for (size_t i = 0; i < items.size(); ++i) {
            PyList_SetItem(list, static_cast<Py_ssize_t>(i), results_[frame.base + i]);
            results_[frame.base + i] = nullptr;
        }
        results_.resize(frame.base);
        frames_.pop_back();
        results_.push_back(list);
        return true;
    }

    bool step_dict(Frame& frame) {
        const DictMap& map = frame.value->entries();
        if (frame.awaiting) {
            PyObject* item = results_.back();
            results_.pop_back();
            PyObject* key = text_object(map.slot_key(frame.next)->text());
            const int status = key != nullptr ? PyDict_SetItem(frame.dict, key, item) : -1;
            Py_XDECREF(key);
            Py_DECREF(item);
            if (status != 0) return false;
            frame.awaiting = false;
            ++frame.next;
        }
        while (frame.next < map.slot_count() && map.slot_key(frame.next) == nullptr) ++frame.next;
        if (frame.next < map.slot_count()) {
            frame.awaiting = true;
            return start(map.slot_value(frame.next));  // may reallocate frames_
        }
        PyObject* dict = frame.dict;
        frames_.pop_back();
        results_.push_back(dict);
        return true;
    }

    std::vector<Frame> frames_;
    std::vector<PyObject*> results_;
};

// The number of Python objects converting `value` creates (containers,
// items and keys, shared payloads counted once per occurrence), measured
// without building anything; stops counting past `limit`.
size_t converted_object_count(const Value& value, size_t limit) {
    const auto one = [](const Value&) { return size_t{1}; };
    return rendered_length(value, limit, RenderedShape{1, 1, 0, 0}, one, one);
}

// How many objects a result may turn into: about as many as half of
// physical memory holds at 64 bytes each. A result that shares one array
// many times over can expand far beyond that (forty levels of an array
// holding the same array twice are 2^40 lists); converting it would exhaust
// the host, so it is refused before the first object is made.
size_t max_converted_objects() {
    return max_array_length() * sizeof(Value) / 64;
}

}  // namespace

PyObject* to_python(const Value& value) {
    if (converted_object_count(value, max_converted_objects()) > max_converted_objects())
        return raise_fault("result too large to convert to Python objects");
    PyObject* result = nullptr;
    {
        Converter converter;
        result = converter.run(value);
    }
    if (result != nullptr) return result;
    if (PyErr_Occurred()) PyErr_Print();
    return raise_fault("failed to convert the result to a Python object");
}

}  // namespace tarnel::bindings
