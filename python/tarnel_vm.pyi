"""Type information for the tarnel_vm extension module."""
