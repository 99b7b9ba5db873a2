#include "loader/module.hpp"

namespace tarnel {

Constant::Kind Constant::kind() const {
    switch (value_.type()) {
        case ValueType::Int:
            return Kind::Integer;
        case ValueType::Float:
            return Kind::Float;
        case ValueType::String:
            return Kind::String;
        case ValueType::Bool:
            return Kind::Boolean;
        case ValueType::URL:
            return Kind::Url;
        case ValueType::Function:
            return Kind::Function;
        default:
            return Kind::Empty;
    }
}

Value constant_value(const Constant& constant) { return constant.value(); }

}  // namespace tarnel
