#include "loader/module.hpp"

namespace tarnel {

Value constant_value(const Constant& constant) {
    switch (constant.kind) {
        case Constant::Kind::Integer:
            return Value::integer(constant.integer);
        case Constant::Kind::Float:
            return Value::number(constant.number);
        case Constant::Kind::String:
            return Value::string(constant.text);
        case Constant::Kind::Boolean:
            return Value::boolean(constant.boolean);
        case Constant::Kind::Url:
            return Value::url(constant.text);
        case Constant::Kind::Function:
            return Value::function(constant.function);
        case Constant::Kind::Empty:
            break;
    }
    return Value();
}

}  // namespace tarnel
