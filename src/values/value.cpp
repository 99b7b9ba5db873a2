#include "values/value.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include "values/container_walk.hpp"
#include "values/dict_map.hpp"
#include "values/float_text.hpp"
#include "values/free_backlog.hpp"
#include "values/memory_meter.hpp"
#include "values/rendered_length.hpp"
#include "values/work_checkpoint.hpp"

namespace tarnel {
namespace {

constexpr std::string_view kTypeNames[] = {"empty",    "bool", "int",   "float", "string",
                                           "function", "url",  "array", "dict",  "unknown"};
constexpr std::string_view kDebugNames[] = {"Empty",    "Bool", "Int",   "Float", "String",
                                            "Function", "URL",  "Array", "Dict",  "Unknown"};

}  // namespace

uint64_t payload_footprint(ValueType type, const Payload* payload) {
    switch (type) {
        case ValueType::String:
        case ValueType::URL:
            return sizeof(StringObject) + static_cast<const StringObject*>(payload)->text.size();
        case ValueType::Function:
            return sizeof(FunctionObject) + static_cast<const FunctionObject*>(payload)->ref.name.size();
        case ValueType::Array:
            return sizeof(ArrayObject) + static_cast<const ArrayObject*>(payload)->items.size() * sizeof(Value);
        case ValueType::Dict:
            return sizeof(DictObject) + static_cast<const DictObject*>(payload)->map.slot_bytes();
        default:
            return 0;
    }
}

namespace {

template <class Object, class... Args>
Value make_heap(ValueType type, Args&&... args);

}  // namespace

class ValueFactory {
public:
    static Value wrap(ValueType type, Payload* payload) {
        Value v;
        v.tag_ = type;
        v.payload_ = payload;
        return v;
    }
};

namespace {
template <class Object, class... Args>
Value make_heap(ValueType type, Args&&... args) {
    return ValueFactory::wrap(type, new Object(std::forward<Args>(args)...));
}
}  // namespace

void Value::release() noexcept {
    if (payload_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) free_dead_payload(tag_, payload_);
}

void Value::add_reference() const noexcept { payload_->refs.fetch_add(1, std::memory_order_relaxed); }

// Each payload is charged to the running thread's memory meter, if it has
// one, before the payload object is allocated (memory_meter.hpp).
Value Value::string(std::string text) {
    charge_memory(sizeof(StringObject) + text.size());
    return make_heap<StringObject>(ValueType::String, std::move(text));
}
Value Value::url(std::string text) {
    charge_memory(sizeof(StringObject) + text.size());
    return make_heap<StringObject>(ValueType::URL, std::move(text));
}
Value Value::function(FunctionRef ref) {
    charge_memory(sizeof(FunctionObject) + ref.name.size());
    return make_heap<FunctionObject>(ValueType::Function, std::move(ref));
}
Value Value::array(std::vector<Value> items) {
    charge_memory(sizeof(ArrayObject) + items.size() * sizeof(Value));
    return make_heap<ArrayObject>(ValueType::Array, std::move(items));
}
Value Value::dict(DictMap map) {
    charge_memory(sizeof(DictObject) + map.slot_bytes());
    return make_heap<DictObject>(ValueType::Dict, std::move(map));
}
Value Value::dict() { return dict(DictMap()); }

// The copy before a change to a shared container: checked against a memory
// limit before it is made, and made in chunks, counting the work, so that a
// run that must stop is not held up by a huge copy.
void Value::unshare() {
    switch (tag_) {
        case ValueType::Array: {
            const std::vector<Value>& from = items();
            require_memory(sizeof(ArrayObject) + from.size() * sizeof(Value));
            std::vector<Value> copy;
            copy.reserve(from.size());
            try {
                for (size_t done = 0; done < from.size();) {
                    const size_t n = std::min(kWorkChunk, from.size() - done);
                    const auto first = from.begin() + static_cast<ptrdiff_t>(done);
                    copy.insert(copy.end(), first, first + static_cast<ptrdiff_t>(n));
                    done += n;
                    count_work(n);
                }
            } catch (...) {
                free_unfinished(std::move(copy));
                throw;
            }
            *this = array(std::move(copy));
            break;
        }
        case ValueType::Dict:
            require_memory(sizeof(DictObject) + entries().slot_bytes());
            *this = dict(entries().copy_in_chunks());
            break;
        case ValueType::String:
            *this = string(std::string(text()));
            break;
        case ValueType::URL:
            *this = url(std::string(text()));
            break;
        default:
            break;
    }
}

std::string_view type_name(ValueType type) { return kTypeNames[static_cast<size_t>(type)]; }
std::string_view debug_name(ValueType type) { return kDebugNames[static_cast<size_t>(type)]; }

bool is_truthy(const Value& value) {
    switch (value.type()) {
        case ValueType::Bool:
            return value.as_bool();
        case ValueType::Int:
            return value.as_int() != 0;
        case ValueType::Float:
            return value.as_float() != 0.0 && value.as_float() == value.as_float();
        case ValueType::String:
            return !value.text().empty();
        case ValueType::Function:
        case ValueType::URL:
            return true;
        case ValueType::Array:
            return !value.items().empty();
        case ValueType::Dict:
            return !value.entries().empty();
        default:
            return false;
    }
}

namespace {

void append_scalar_display(std::string& out, const Value& value) {
    switch (value.type()) {
        case ValueType::Empty:
            out += "empty";
            break;
        case ValueType::Bool:
            out += value.as_bool() ? "true" : "false";
            break;
        case ValueType::Int: {
            char buffer[24];
            auto result = std::to_chars(buffer, buffer + sizeof buffer, value.as_int());
            out.append(buffer, result.ptr);
            break;
        }
        case ValueType::Float:
            append_float_display(out, value.as_float());
            break;
        case ValueType::String:
        case ValueType::URL:
            out += value.text();
            break;
        case ValueType::Function:
            out += "function<";
            out += value.function_ref().name;
            out += '>';
            break;
        default:
            break;
    }
}

// One open container during the display walk: the next element or slot to
// visit and whether an item has been written yet (for the ", " separators).
struct DisplayFrame {
    const Value* container;
    size_t next;
    bool wrote_item;
};

}  // namespace

void append_display_text(std::string& out, const Value& root) {
    std::vector<DisplayFrame> stack;
    auto open = [&](const Value& value) {
        if (value.is(ValueType::Array)) {
            out += '[';
            stack.push_back({&value, 0, false});
        } else if (value.is(ValueType::Dict)) {
            out += '{';
            stack.push_back({&value, 0, false});
        } else {
            append_scalar_display(out, value);
        }
    };
    open(root);
    while (!stack.empty()) {
        DisplayFrame& frame = stack.back();
        const Value* key = nullptr;
        const Value* child = next_child(*frame.container, frame.next, key);
        if (child == nullptr) {
            out += frame.container->is(ValueType::Array) ? ']' : '}';
            stack.pop_back();
            continue;
        }
        count_work(1);
        if (frame.wrote_item) out += ", ";
        frame.wrote_item = true;
        if (key != nullptr) {
            out += key->text();
            out += ": ";
        }
        open(*child);
    }
}

size_t display_length(const Value& value, size_t limit) {
    std::string scratch;
    const auto leaf = [&](const Value& v) -> size_t {
        switch (v.type()) {
            case ValueType::String:
            case ValueType::URL:
                return v.text().size();
            case ValueType::Function:
                return v.function_ref().name.size() + 10;  // "function<" name ">"
            default:
                scratch.clear();
                append_scalar_display(scratch, v);
                return scratch.size();
        }
    };
    const auto key = [](const Value& k) { return k.text().size(); };
    return rendered_length(value, limit, RenderedShape{2, 2, 2, 2}, leaf, key);
}

std::string display_text(const Value& value) {
    std::string out;
    append_display_text(out, value);
    return out;
}

}  // namespace tarnel
