"""One run of a workload for measuring what tarnel.execute costs.

    python bench/limits_run.py WORKLOAD N MODE

MODE: plain (vm.execute()), none (tarnel.execute with no limit), quiet
(no limit, interruptible=False), all (every limit, far away), allquiet.
Meant for callgrind: the machine instructions of the extra iterations,
Ir(N2) - Ir(N1), leave the start-up out (see docs/running.md).
"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tarnel  # noqa: E402
import tarnel_vm  # noqa: E402
from workloads import BY_NAME  # noqa: E402

MODES = {
    "none": {},
    "quiet": {"interruptible": False},
    "all": {"max_instructions": 10**12, "timeout": 3600, "max_memory": "1G"},
    "allquiet": {"max_instructions": 10**12, "timeout": 3600, "max_memory": "1G",
                 "interruptible": False},
}


def main() -> None:
    name, n, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    path = os.path.join(tempfile.mkdtemp(), name + ".tnbc")
    with open(path, "wb") as fh:
        fh.write(tarnel.assemble(BY_NAME[name].vm_source(n)))
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(path)
    result = vm.execute() if mode == "plain" else tarnel.execute(vm, **MODES[mode])
    print(name, n, mode, vm.instruction_count(), result)
    os.unlink(path)


if __name__ == "__main__":
    main()
