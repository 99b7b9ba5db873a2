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
    size_t next;     // array: next element; dict: current slot
    size_t base;     // finished objects of this frame start at results[base]
    PyObject* dict;  // dict under construction (NULL for arrays)
    bool awaiting;   // dict: the value of slot `next` is being converted
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

// What one Python object costs beyond its text, about: an int, a float, a
// short str header or an empty list or dict is 24 to 72 bytes.
constexpr size_t kObjectBytes = 64;

// About how many bytes of Python objects converting `value` creates: every
// object (containers, items, keys) at kObjectBytes plus the text of every
// str, and a list slot or dict entry per item. A payload reached twice
// converts twice, so it counts twice, text included: an array holding one
// 1 MiB string twice, nested twenty deep, is 1 TiB of str objects. Shared
// containers are measured once and their size reused (rendered_length), so
// the measurement costs time in the number of distinct payloads, never in
// the size it finds; it stops counting past `limit`.
size_t converted_bytes(const Value& value, size_t limit) {
    const auto leaf = [](const Value& v) -> size_t {
        switch (v.type()) {
            case ValueType::String:
            case ValueType::URL:
                return kObjectBytes + v.text().size();
            case ValueType::Function:
                return kObjectBytes + v.function_ref().name.size() + 10;  // "function<" + name + ">"
            default:
                return kObjectBytes;
        }
    };
    const auto key = [](const Value& k) { return kObjectBytes + k.text().size(); };
    return rendered_length(value, limit, RenderedShape{kObjectBytes, kObjectBytes, 8, 32}, leaf, key);
}

// How many bytes of Python objects a result may turn into: half of physical
// memory. A result that shares one array or string many times over can
// expand far beyond that (forty levels of an array holding the same array
// twice are 2^40 lists); converting it would exhaust the host, so it is
// refused before the first object is made.
size_t max_converted_bytes() { return max_array_length() * sizeof(Value); }

}  // namespace

PyObject* to_python(const Value& value) {
    if (converted_bytes(value, max_converted_bytes()) > max_converted_bytes())
        return raise_fault("result too large to convert to Python objects");
    PyObject* result = nullptr;
    {
        Converter converter;
        result = converter.run(value);
    }
    if (result != nullptr) return result;
    // Running out of memory says so: an isolated run at its memory limit
    // reports it as the limit being exceeded.
    const bool out_of_memory = PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_MemoryError);
    if (PyErr_Occurred()) PyErr_Print();
    return raise_fault(out_of_memory ? "out of memory while converting the result to Python objects"
                                     : "failed to convert the result to a Python object");
}

}  // namespace tarnel::bindings
