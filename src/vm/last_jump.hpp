// The index of the last jump a run took, which PhiR reads: an optional
// 16-bit label kept as one 32-bit word, the label in the low half and a
// high half that is zero exactly when there is one. Recording a jump is
// then one store of the zero-extended label, where an optional's separate
// flag took a second store on every taken jump of the run loops.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnel {

class LastJump {
public:
    LastJump() = default;
    LastJump& operator=(uint16_t label) {
        word_ = label;
        return *this;
    }
    void reset() { word_ = kNone; }
    bool has_value() const { return word_ <= UINT16_MAX; }
    explicit operator bool() const { return has_value(); }
    uint16_t operator*() const { return static_cast<uint16_t>(word_); }
    operator std::optional<uint16_t>() const {
        return has_value() ? std::optional<uint16_t>(static_cast<uint16_t>(word_)) : std::nullopt;
    }
    bool operator==(const std::optional<uint16_t>& other) const { return std::optional<uint16_t>(*this) == other; }

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    uint32_t word_ = kNone;
};

}  // namespace tarnel
