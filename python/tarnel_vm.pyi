"""Type information for the tarnel_vm extension module."""

from typing import Any, Dict, List, Union, final

__version__: str
__all__: List[str]

#: What ``VornVM.execute`` can return: the program's result as a host object.
#: Strings, URLs and function references all arrive as ``str``.
Result = Union[None, bool, int, float, str, List[Any], Dict[str, Any]]

@final
class VornVM:
    """Vorn VM exposed to Python"""

    def __new__(cls) -> "VornVM": ...
    def load_bytecode(self, path: str) -> None:
        """Load bytecode from file"""
    def execute(self) -> Any:
        """Execute the loaded bytecode"""
    def set_debug(self, debug: bool) -> None:
        """Set debug mode"""
    def instruction_count(self) -> int:
        """Get instruction count"""
