"""Type information for the tarnel_vm extension module."""

from typing import Any, List, final

__version__: str
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
