#include "bindings/limited_run.hpp"

#include <chrono>
#include <optional>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/program_arguments.hpp"
#include "bindings/vorn_vm.hpp"
#include "vm/engine.hpp"
#include "vm/state.hpp"

namespace tarnel::bindings {
namespace {

// How often a run that releases the interpreter lock takes it back to let
// Python look at its signals.
constexpr auto kSignalPollInterval = std::chrono::milliseconds(2);
// Timeouts beyond this (about 31 years) are no deadline at all.
constexpr double kLongestTimeout = 1e9;

// The interpreter lock, released for the life of the guard (when asked to)
// and taken back on every path out, exceptions included.
class ReleasedLock {
public:
    explicit ReleasedLock(bool release) : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ~ReleasedLock() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    // Runs `check` with the lock held, taking it for the moment if it is
    // released.
    template <class Check>
    bool with_lock(Check&& check) {
        if (saved_ == nullptr) return check();
        PyEval_RestoreThread(saved_);
        const bool result = check();
        saved_ = PyEval_SaveThread();
        return result;
    }

private:
    PyThreadState* saved_;
};

// An optional count: None, or an int from 0 to 2**64 - 1.
bool optional_count(PyObject* object, const char* name, std::optional<uint64_t>& out) {
    if (object == Py_None) return true;
    if (!PyLong_Check(object) || PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int or None", name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be between 0 and 2**64 - 1", name);
        return false;
    }
    out = value;
    return true;
}

bool limits_from(PyObject* max_instructions, PyObject* timeout, PyObject* max_memory, RunLimits& limits) {
    if (!optional_count(max_instructions, "max_instructions", limits.max_instructions)) return false;
    if (!optional_count(max_memory, "max_memory", limits.max_memory)) return false;
    if (timeout != Py_None) {
        const double seconds = PyFloat_AsDouble(timeout);
        if (seconds == -1.0 && PyErr_Occurred()) return false;
        if (!(seconds >= 0.0)) {
            PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds, 0 or more");
            return false;
        }
        if (seconds < kLongestTimeout)
            limits.deadline =
                std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
    return true;
}

PyObject* outcome_tuple(long kind, PyObject* value) {
    if (value == nullptr) return nullptr;
    PyObject* tuple = Py_BuildValue("(lN)", kind, value);
    return tuple;
}

}  // namespace

PyObject* limited_execute(PyObject*, PyObject* args) {
    PyObject* vm = nullptr;
    PyObject* max_instructions = nullptr;
    PyObject* timeout = nullptr;
    PyObject* max_memory = nullptr;
    int check_signals = 0;
    int release_gil = 0;
    PyObject* program_args = nullptr;
    PyObject* stop = Py_None;
    if (!PyArg_ParseTuple(args, "OOOOppO|O:_execute", &vm, &max_instructions, &timeout, &max_memory, &check_signals,
                          &release_gil, &program_args, &stop))
        return nullptr;
    if (stop != Py_None && !PyCallable_Check(stop)) {
        PyErr_SetString(PyExc_TypeError, "stop must be callable or None");
        return nullptr;
    }
    RunLimits limits;
    if (!limits_from(max_instructions, timeout, max_memory, limits)) return nullptr;
    std::vector<Value> arguments;
    if (program_args != Py_None && !program_arguments(program_args, arguments)) return nullptr;

    return with_exclusive_state(vm, [&](VmState& state) -> PyObject* {
        // Arguments go where a call puts them, r0 upwards, once a module is
        // there to receive them.
        if (state.module)
            for (size_t i = 0; i < arguments.size(); ++i)
                state.write_register(static_cast<uint8_t>(i), std::move(arguments[i]));
        Result<std::optional<Value>, RunError> outcome = std::optional<Value>{};
        bool stop_asked = false;
        {
            ReleasedLock lock(release_gil != 0);
            if (check_signals != 0 || stop != Py_None) {
                // True stops the run: a signal handler raised (its exception
                // stays pending), `stop()` said so or raised.
                limits.host_poll = [&] {
                    return lock.with_lock([&] {
                        if (check_signals != 0 && PyErr_CheckSignals() != 0) return true;
                        if (stop == Py_None) return false;
                        PyObject* answer = PyObject_CallObject(stop, nullptr);
                        const int truth = answer != nullptr ? PyObject_IsTrue(answer) : -1;
                        Py_XDECREF(answer);
                        stop_asked = truth > 0;
                        return truth != 0;
                    });
                };
                limits.host_poll_interval = kSignalPollInterval;
            }
            outcome = run_limited(state, limits);
        }
        if (outcome.ok()) {
            const std::optional<Value>& result = outcome.value();
            if (!result.has_value()) {
                Py_INCREF(Py_None);
                return outcome_tuple(0, Py_None);
            }
            return outcome_tuple(0, to_python(*result));
        }
        const auto* stopped = std::get_if<LimitReached>(&outcome.error());
        if (stopped == nullptr) return raise_run_error(outcome.error());
        switch (stopped->kind) {
            case LimitKind::Instructions:
                Py_INCREF(Py_None);
                return outcome_tuple(1, Py_None);
            case LimitKind::Time:
                Py_INCREF(Py_None);
                return outcome_tuple(2, Py_None);
            case LimitKind::Memory:
                Py_INCREF(Py_None);
                return outcome_tuple(3, Py_None);
            case LimitKind::Host:
                break;
        }
        if (stop_asked) {
            Py_INCREF(Py_None);
            return outcome_tuple(4, Py_None);
        }
        // A signal handler (or `stop`) raised: its exception is pending.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the run was stopped by its host");
        return nullptr;
    });
}

}  // namespace tarnel::bindings
