"""Type information for the tarnel_vm extension module."""

from typing import Any, Callable, List, Optional, Tuple, final

__version__: str
#: What this build has: its engines and abilities ("interpreter", "in-process
#: limits"), then how it was compiled (debug assertions, sanitizers).
__features__: Tuple[str, ...]
__all__: List[str]

@final
class VornVM:
    """Vorn VM exposed to Python"""

    def __new__(cls) -> "VornVM": ...
    def load_bytecode(self, path: str) -> None:
        """Load bytecode from file"""
    def execute(self) -> Any:
        """Execute the loaded bytecode

        The program's result as None, bool, int, float, str (strings, URLs
        and "function<name>" for function references), list or dict with str
        keys; None when the run produced no result.
        """
    def set_debug(self, debug: bool) -> None:
        """Set debug mode"""
    def instruction_count(self) -> int:
        """Get instruction count"""

def _execute(vm: VornVM, max_instructions: Optional[int], timeout: Optional[float],
             max_memory: Optional[int], check_signals: bool, release_gil: bool,
             args: Optional[List[Any]], stop: Optional[Callable[[], bool]] = None) -> Tuple[int, Any]:
    """Run with limits (private: use tarnel.execute)

    Returns (0, result) when the program ends, or (kind, None) when it is
    stopped: 1 instruction limit, 2 time limit, 3 memory limit, 4 `stop`
    returned true. An exception raised by a signal handler or by `stop`
    propagates.
    """
