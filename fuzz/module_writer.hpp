// Writes an in-memory Module back out as module file bytes, for the fuzz
// harnesses: the structure-aware mutator of run_module_fuzzer edits decoded
// modules and stores them again, and the decoder target checks that what it
// decoded writes back to bytes that decode to the same module.
//
// Only what a module file can hold is written: integer, float, string,
// boolean and empty constants (URL and Function constants are written as
// empty ones), and the encodable instructions (the four in-memory kinds are
// written as Nop). Sections are laid out header, name, constants, functions,
// instructions, back to back.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "loader/module.hpp"

namespace tarnel::fuzzing {

class ByteWriter {
public:
    std::vector<uint8_t> bytes;

    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    }
    void text(std::string_view s) {
        u32(static_cast<uint32_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    void patch_u32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
};

inline void write_constant(ByteWriter& w, const Constant& c) {
    switch (c.kind()) {
        case Constant::Kind::Integer:
            w.u8(1);
            w.u64(static_cast<uint64_t>(c.integer()));
            return;
        case Constant::Kind::Float:
            w.u8(2);
            w.u64(std::bit_cast<uint64_t>(c.number()));
            return;
        case Constant::Kind::String:
            w.u8(3);
            w.text(c.text());
            return;
        case Constant::Kind::Boolean:
            w.u8(4);
            w.u8(c.boolean() ? 1 : 0);
            return;
        case Constant::Kind::Empty:
        case Constant::Kind::Url:
        case Constant::Kind::Function:
            w.u8(5);
            return;
    }
}

// The operands in the file order of the kind's row, each from its slot.
inline void write_instruction(ByteWriter& w, const Instruction& ins) {
    const InstructionInfo& row = info(ins.op);
    if (!row.encodable) {
        w.u8(static_cast<uint8_t>(Opcode::Nop));
        return;
    }
    w.u8(static_cast<uint8_t>(ins.op));
    for (size_t position = 0; position < row.operand_count(); ++position) {
        const OperandSpec& operand = row.at_position(position);
        switch (operand.kind) {
            case OperandKind::Reg:
                w.u8(ins.reg(operand.slot));
                break;
            case OperandKind::U16:
                w.u16(ins.index());
                break;
            case OperandKind::Offset:
                w.u32(ins.wide);
                break;
            case OperandKind::OptReg:
                w.u8(ins.wide != 0 ? 1 : 0);
                if (ins.wide != 0) w.u8(ins.reg(operand.slot));
                break;
            case OperandKind::Args: {
                static const std::vector<uint8_t> kNone;
                const auto& args = ins.lists ? ins.args() : kNone;
                const size_t n = args.size() > 255 ? 255 : args.size();
                w.u8(static_cast<uint8_t>(n));
                for (size_t i = 0; i < n; ++i) w.u8(args[i]);
                break;
            }
            case OperandKind::Sources:
            case OperandKind::Assert:
                break;  // only in-memory kinds have these, written as Nop above
        }
    }
}

inline std::vector<uint8_t> write_module(const Module& m) {
    ByteWriter w;
    w.bytes.reserve(64 + m.instructions.size() * 4);
    w.u32(0x43424E54);  // "TNBC"
    w.u32(m.version);
    w.u32(m.flags);
    const size_t offsets = w.bytes.size();
    for (int i = 0; i < 4; ++i) w.u32(0);

    w.patch_u32(offsets + 0, static_cast<uint32_t>(w.bytes.size()));
    w.text(m.name);

    w.patch_u32(offsets + 4, static_cast<uint32_t>(w.bytes.size()));
    w.u32(static_cast<uint32_t>(m.constants.size()));
    for (const Constant& c : m.constants) write_constant(w, c);

    w.patch_u32(offsets + 8, static_cast<uint32_t>(w.bytes.size()));
    w.u32(static_cast<uint32_t>(m.functions.size()));
    for (const auto& [name, entry] : m.functions) {
        w.text(name);
        w.u32(static_cast<uint32_t>(entry));
    }

    w.patch_u32(offsets + 12, static_cast<uint32_t>(w.bytes.size()));
    w.u32(static_cast<uint32_t>(m.instructions.size()));
    for (const Instruction& ins : m.instructions) write_instruction(w, ins);
    return std::move(w.bytes);
}

}  // namespace tarnel::fuzzing
